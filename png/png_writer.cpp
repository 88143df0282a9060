#include "png/png_writer.h"

#include "png/png_deflate.h"
#include "settings/limits.h"
#include "settings/png_signature.h"

#include <zlib.h>

#include <array>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

// ---------------------------------------------------------------------------
// Checksums

// The reflected CRC-32 of ISO 3309 / ITU-T V.42, built by the compiler so that
// the module holds nothing but this constant.
static constexpr std::array<uint32_t, 256> png_writer_make_crc32()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

static constexpr std::array<uint32_t, 256> png_writer_crc32 = png_writer_make_crc32();
static_assert(png_writer_crc32[1] == 0x77073096u, "CRC table entry 1");
static_assert(png_writer_crc32[255] == 0x2D02EF8Du, "CRC table entry 255");

// The same CRC eight bytes at a time: slice k advances the register over a
// byte followed by k zero bytes, so eight look-ups, independent of each other,
// replace eight that wait on one another. Slice 0 is the table above.
static constexpr std::array<std::array<uint32_t, 256>, 8> png_writer_make_crc32_slices()
{
    std::array<std::array<uint32_t, 256>, 8> slices{};
    slices[0] = png_writer_make_crc32();
    for (int k = 1; k < 8; ++k)
        for (uint32_t n = 0; n < 256; ++n)
            slices[k][n] = (slices[k - 1][n] >> 8) ^ slices[0][slices[k - 1][n] & 0xFF];
    return slices;
}

static constexpr std::array<std::array<uint32_t, 256>, 8> png_writer_crc32_slices = png_writer_make_crc32_slices();

static inline uint32_t png_writer_load_u32_le(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

static uint32_t png_writer_crc_run(uint32_t crc, const uint8_t *p, uint32_t count)
{
    const auto &t = png_writer_crc32_slices;
    for (; count >= 8; count -= 8, p += 8) {
        const uint32_t low = crc ^ png_writer_load_u32_le(p);
        const uint32_t high = png_writer_load_u32_le(p + 4);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
              t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    for (; count > 0; --count, ++p)
        crc = png_writer_crc32[(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return crc;
}

static const uint32_t png_writer_adler_base = 65521;

// The most bytes that can be added to the Adler sums between two reductions:
// starting from sums below 65521, after n bytes of 255 the high sum is at most
// 255 n (n + 1) / 2 + (n + 1) 65520, which stays below 2^32 up to n = 5552.
// Reducing only then gives the same sums as reducing after every byte, since
// both are the same residues modulo 65521.
static const uint32_t png_writer_adler_run = 5552;

// The PNG limit on a chunk's data length.
static const uint64_t png_writer_chunk_limit = 0x7FFFFFFFu;

// LEN of a stored deflate block is 16 bits.
static const uint32_t png_writer_block_limit = 65535;

// ---------------------------------------------------------------------------
// Object

// Bytes one pixel takes in the pixel store: a truecolour pixel keeps its whole
// 32-bit word, although only three of its bytes reach the file.
static uint32_t png_writer_element_bytes(const png_writer_t *writer)
{
    return writer->bytes_per_pixel == 3 ? 4 : writer->bytes_per_pixel;
}

// Bytes per pixel in a scanline by colour type; 0 for a type this writer does
// not know.
static uint32_t png_writer_scanline_bytes(uint32_t color_type)
{
    switch (color_type) {
    case PNG_WRITER_GREYSCALE: return 1;
    case PNG_WRITER_TRUECOLOR: return 3;
    case PNG_WRITER_INDEXED: return 1;
    case PNG_WRITER_GREYSCALE_ALPHA: return 2;
    case PNG_WRITER_TRUECOLOR_ALPHA: return 4;
    }
    return 0;
}

png_writer_t *png_writer_new(uint32_t width, uint32_t height, png_writer_colortype_t color_type)
{
    uint32_t bytes_per_pixel = png_writer_scanline_bytes(color_type);
    if (width == 0 || height == 0)
        return nullptr;
    // The guard keeps width x height x 4 within 32 bits.
    static_assert(max_pixels * 4 <= UINT32_MAX, "the pixel store's size must fit its 32 bits");
    if (height > max_pixels / width)
        return nullptr;
    if (bytes_per_pixel == 0)
        return nullptr;

    png_writer_t *writer = static_cast<png_writer_t *>(calloc(1, sizeof(png_writer_t)));
    if (!writer)
        return nullptr;
    writer->color_type = color_type;
    writer->width = width;
    writer->height = height;
    writer->bytes_per_pixel = bytes_per_pixel;
    writer->pixel_bytes = width * height * png_writer_element_bytes(writer);
    writer->bit_depth = 8;
    if (color_type == PNG_WRITER_INDEXED) {
        writer->palette = static_cast<uint32_t *>(calloc(256, sizeof(uint32_t)));
        if (!writer->palette) {
            free(writer);
            return nullptr;
        }
    }
    writer->pixels = static_cast<uint8_t *>(calloc(writer->pixel_bytes, 1));
    if (!writer->pixels) {
        free(writer->palette);
        free(writer);
        return nullptr;
    }
    return writer;
}

int png_writer_set_palette(png_writer_t *writer, const uint32_t *entries, uint32_t count)
{
    if (!writer || !writer->palette)
        return 1;
    if (count > 256)
        return 1;
    if (!entries && count > 0)
        return 1;
    if (count > (1u << writer->bit_depth))
        return 1;
    if (count > 0)
        memcpy(writer->palette, entries, count * sizeof(uint32_t));
    writer->palette_count = count;
    return 0;
}

int png_writer_set_bit_depth(png_writer_t *writer, uint32_t bit_depth)
{
    if (!writer || writer->color_type != PNG_WRITER_INDEXED)
        return 1;
    if (bit_depth != 1 && bit_depth != 2 && bit_depth != 4 && bit_depth != 8)
        return 1;
    if (writer->palette_count > (1u << bit_depth))
        return 1;
    writer->bit_depth = bit_depth;
    return 0;
}

int png_writer_set_compression(png_writer_t *writer, png_writer_compression_t compression)
{
    if (!writer || (compression != PNG_WRITER_STORED && compression != PNG_WRITER_DEFLATE))
        return 1;
    writer->compression = compression;
    return 0;
}

// Stores least significant byte first, the order in which the samples reach
// the file, whatever the byte order of the machine.
static void png_writer_store(png_writer_t *writer, size_t element, uint32_t value)
{
    uint32_t size = png_writer_element_bytes(writer);
    uint8_t *p = writer->pixels + element * size;
    for (uint32_t i = 0; i < size; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

static uint32_t png_writer_load(const png_writer_t *writer, size_t element)
{
    uint32_t size = png_writer_element_bytes(writer);
    const uint8_t *p = writer->pixels + element * size;
    uint32_t value = 0;
    for (uint32_t i = 0; i < size; ++i)
        value |= static_cast<uint32_t>(p[i]) << (8 * i);
    return value;
}

void png_writer_set_pixel(png_writer_t *writer, uint32_t x, uint32_t y, uint32_t value)
{
    if (!writer || x >= writer->width || y >= writer->height)
        return;
    png_writer_store(writer, static_cast<size_t>(y) * writer->width + x, value);
}

uint8_t *png_writer_row_bytes(png_writer_t *writer, uint32_t y)
{
    if (!writer || y >= writer->height || writer->bytes_per_pixel != 1)
        return nullptr;
    return writer->pixels + static_cast<size_t>(y) * writer->width;
}

uint32_t png_writer_get_pixel(const png_writer_t *writer, uint32_t x, uint32_t y)
{
    if (!writer || x >= writer->width || y >= writer->height)
        return 0;
    return png_writer_load(writer, static_cast<size_t>(y) * writer->width + x);
}

void png_writer_start_stream(png_writer_t *writer, uint32_t x, uint32_t y)
{
    if (!writer || x >= writer->width || y >= writer->height)
        return;
    writer->cursor_x = x;
    writer->cursor_y = y;
}

void png_writer_put_pixel(png_writer_t *writer, uint32_t value)
{
    if (!writer)
        return;
    png_writer_set_pixel(writer, writer->cursor_x, writer->cursor_y, value);
    if (++writer->cursor_x < writer->width)
        return;
    writer->cursor_x = 0;
    if (++writer->cursor_y == writer->height)
        writer->cursor_y = 0;
}

void png_writer_destroy(png_writer_t *writer)
{
    if (!writer)
        return;
    free(writer->palette);
    writer->palette = nullptr;
    free(writer->encoded);
    writer->encoded = nullptr;
    free(writer->pixels);
    writer->pixels = nullptr;
    free(writer);
}

// ---------------------------------------------------------------------------
// Encoding

// The stream's shape, known before its first byte.
struct png_writer_layout {
    uint32_t palette_entries;   // PLTE and tRNS entries, indexed writers only
    uint64_t row_length;        // filter byte and samples
    uint64_t blocks_per_row;    // stored blocks a row is split over
    uint64_t image_data_length; // IDAT data, stored
    uint64_t other_length;      // everything but the IDAT data
};

static png_writer_layout png_writer_measure(const png_writer_t *writer)
{
    png_writer_layout layout{};
    bool indexed = writer->color_type == PNG_WRITER_INDEXED;
    // Exactly the entries set, so that a short palette reaches the file as it
    // is; a palette never set still writes one zero entry, since PLTE may
    // not be empty.
    layout.palette_entries = indexed ? (writer->palette_count < 1 ? 1 : writer->palette_count) : 0;
    layout.row_length = (static_cast<uint64_t>(writer->width) * writer->bytes_per_pixel * writer->bit_depth + 7) / 8 + 1;
    layout.blocks_per_row = (layout.row_length + png_writer_block_limit - 1) / png_writer_block_limit;
    uint64_t block_headers = 5 * layout.blocks_per_row;
    layout.image_data_length = 2 + writer->height * (layout.row_length + block_headers) + 4;
    uint64_t palette_chunks = indexed ? 12 + 3 * layout.palette_entries + 12 + layout.palette_entries : 0;
    layout.other_length = 8 + 25 + palette_chunks + 12 + 12;
    return layout;
}

// One emitter per checksum rule: a byte outside every checksum (lengths and
// CRCs), a byte that feeds the chunk's CRC, and image data bytes that feed the
// CRC and the Adler-32 sums.

static void png_writer_put_plain_u32(png_writer_t *writer, uint32_t value)
{
    uint8_t *p = writer->encoded + writer->encoded_length;
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
    writer->encoded_length += 4;
}

static void png_writer_put_byte(png_writer_t *writer, uint8_t byte)
{
    writer->encoded[writer->encoded_length++] = byte;
    writer->chunk_crc = png_writer_crc32[(writer->chunk_crc ^ byte) & 0xFF] ^ (writer->chunk_crc >> 8);
}

static void png_writer_put_u32(png_writer_t *writer, uint32_t value)
{
    png_writer_put_byte(writer, static_cast<uint8_t>(value >> 24));
    png_writer_put_byte(writer, static_cast<uint8_t>(value >> 16));
    png_writer_put_byte(writer, static_cast<uint8_t>(value >> 8));
    png_writer_put_byte(writer, static_cast<uint8_t>(value));
}

static void png_writer_put_u16_le(png_writer_t *writer, uint32_t value)
{
    png_writer_put_byte(writer, static_cast<uint8_t>(value));
    png_writer_put_byte(writer, static_cast<uint8_t>(value >> 8));
}

// Takes the next count bytes, already placed at the write position, into the
// stream: each feeds the CRC and the Adler-32 sums.
static void png_writer_feed_image_bytes(png_writer_t *writer, uint32_t count)
{
    const uint8_t *p = writer->encoded + writer->encoded_length;
    uint32_t crc = writer->chunk_crc;
    uint32_t low = writer->adler_low;
    uint32_t high = writer->adler_high;
    writer->encoded_length += count;
    crc = png_writer_crc_run(crc, p, count);
    while (count > 0) {
        uint32_t run = count < png_writer_adler_run ? count : png_writer_adler_run;
        count -= run;
        for (const uint8_t *end = p + run; p != end; ++p) {
            low += *p;
            high += low;
        }
        low %= png_writer_adler_base;
        high %= png_writer_adler_base;
    }
    writer->chunk_crc = crc;
    writer->adler_low = low;
    writer->adler_high = high;
}

// Chunk framing: the length stands outside the CRC, the type starts it.
static void png_writer_new_chunk(png_writer_t *writer, const char type[4], uint32_t length)
{
    png_writer_put_plain_u32(writer, length);
    writer->chunk_crc = 0xFFFFFFFFu;
    for (int i = 0; i < 4; ++i)
        png_writer_put_byte(writer, static_cast<uint8_t>(type[i]));
}

static void png_writer_end_chunk(png_writer_t *writer)
{
    png_writer_put_plain_u32(writer, writer->chunk_crc ^ 0xFFFFFFFFu);
}

static void png_writer_put_signature(png_writer_t *writer)
{
    memcpy(writer->encoded + writer->encoded_length, png_signature, sizeof png_signature);
    writer->encoded_length += sizeof png_signature;
}

static void png_writer_put_header(png_writer_t *writer)
{
    png_writer_new_chunk(writer, "IHDR", 13);
    png_writer_put_u32(writer, writer->width);                              // width
    png_writer_put_u32(writer, writer->height);                             // height
    png_writer_put_byte(writer, static_cast<uint8_t>(writer->bit_depth));  // bit depth
    png_writer_put_byte(writer, static_cast<uint8_t>(writer->color_type)); // colour type
    png_writer_put_byte(writer, 0);                                         // compression method: deflate
    png_writer_put_byte(writer, 0);                                         // filter method: the five types
    png_writer_put_byte(writer, 0);                                         // interlace method: none
    png_writer_end_chunk(writer);
}

static void png_writer_put_palette(png_writer_t *writer, uint32_t entries)
{
    png_writer_new_chunk(writer, "PLTE", 3 * entries);
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t entry = writer->palette[i];
        png_writer_put_byte(writer, static_cast<uint8_t>(entry));       // red
        png_writer_put_byte(writer, static_cast<uint8_t>(entry >> 8));  // green
        png_writer_put_byte(writer, static_cast<uint8_t>(entry >> 16)); // blue
    }
    png_writer_end_chunk(writer);
}

static void png_writer_put_transparency(png_writer_t *writer, uint32_t entries)
{
    png_writer_new_chunk(writer, "tRNS", entries);
    for (uint32_t i = 0; i < entries; ++i)
        png_writer_put_byte(writer, static_cast<uint8_t>(writer->palette[i] >> 24)); // alpha
    png_writer_end_chunk(writer);
}

static void png_writer_put_block_header(png_writer_t *writer, uint32_t length, bool final)
{
    png_writer_put_byte(writer, final ? 1 : 0);       // BFINAL, BTYPE 00: stored
    png_writer_put_u16_le(writer, length);            // LEN
    png_writer_put_u16_le(writer, ~length & 0xFFFF);  // NLEN
}

// Places bytes first .. first + count - 1 of row y's packed samples at out:
// 8 / bit_depth indices a byte, the leftmost in the highest bits, and the
// last byte of the row filled up with zero bits.
static void png_writer_pack_samples(const png_writer_t *writer, const uint8_t *row, uint32_t first, uint32_t count,
                                    uint8_t *out)
{
    uint32_t depth = writer->bit_depth;
    uint32_t per_byte = 8 / depth;
    uint32_t mask = (1u << depth) - 1;
    for (uint32_t j = 0; j < count; ++j) {
        uint64_t x = static_cast<uint64_t>(first + j) * per_byte;
        uint32_t byte = 0;
        for (uint32_t k = 0; k < per_byte; ++k, ++x)
            byte = byte << depth | (x < writer->width ? row[x] & mask : 0);
        out[j] = static_cast<uint8_t>(byte);
    }
}

// Places bytes first .. first + count - 1 of row y's samples at out. The
// stored bytes are the file's samples in order, except that a truecolour
// pixel's fourth byte is skipped and indices below 8 bits are packed.
static void png_writer_copy_samples(const png_writer_t *writer, uint32_t y, uint32_t first, uint32_t count,
                                    uint8_t *out)
{
    uint32_t element_bytes = png_writer_element_bytes(writer);
    const uint8_t *row = writer->pixels + static_cast<size_t>(y) * writer->width * element_bytes;
    if (writer->bit_depth < 8) {
        png_writer_pack_samples(writer, row, first, count, out);
        return;
    }
    if (element_bytes == writer->bytes_per_pixel) {
        memcpy(out, row + first, count);
        return;
    }
    const uint8_t *pixel = row + static_cast<size_t>(first / 3) * 4;
    uint32_t sample = first % 3;
    for (uint8_t *end = out + count; out != end; ++out) {
        *out = pixel[sample];
        if (++sample == 3) {
            sample = 0;
            pixel += 4;
        }
    }
}

// Writes bytes from .. from + count - 1 of row y's data, which is the filter
// byte followed by the samples.
static void png_writer_put_row_data(png_writer_t *writer, uint32_t y, uint32_t from, uint32_t count)
{
    uint8_t *out = writer->encoded + writer->encoded_length;
    uint32_t samples = count;
    uint32_t first = from - 1;
    if (from == 0) {
        *out++ = 0; // filter type 0: None
        samples -= 1;
        first = 0;
    }
    png_writer_copy_samples(writer, y, first, samples, out);
    png_writer_feed_image_bytes(writer, count);
}

static void png_writer_put_end(png_writer_t *writer)
{
    png_writer_new_chunk(writer, "IEND", 0);
    png_writer_end_chunk(writer);
}

// Takes a buffer of exactly the stream's length and writes everything before
// the image data: signature, header, palette and transparency, and the
// framing of the one IDAT chunk. Returns 1, with no buffer held, when the
// image data would pass the chunk limit or the buffer cannot be had.
static int png_writer_begin_stream(png_writer_t *writer, const png_writer_layout &layout, uint64_t image_data_length)
{
    // Within the chunk limit the whole stream, about 1 KB more, fits 32 bits.
    if (image_data_length > png_writer_chunk_limit)
        return 1;
    uint64_t stream_length = layout.other_length + image_data_length;
    writer->encoded = static_cast<uint8_t *>(calloc(stream_length, 1));
    if (!writer->encoded)
        return 1;
    writer->encoded_capacity = static_cast<uint32_t>(stream_length);
    png_writer_put_signature(writer);
    png_writer_put_header(writer);
    if (writer->color_type == PNG_WRITER_INDEXED) {
        png_writer_put_palette(writer, layout.palette_entries);
        png_writer_put_transparency(writer, layout.palette_entries);
    }
    png_writer_new_chunk(writer, "IDAT", static_cast<uint32_t>(image_data_length));
    return 0;
}

// After the deflate data: its Adler-32, the IDAT chunk's CRC, and IEND.
static void png_writer_end_stream(png_writer_t *writer, uint32_t adler)
{
    png_writer_put_u32(writer, adler);
    png_writer_end_chunk(writer);
    png_writer_put_end(writer);
    assert(writer->encoded_length == writer->encoded_capacity);
}

// A zlib stream of stored blocks, one per row; a row too long for one block
// is split over as many as it needs.
static int png_writer_encode_stored(png_writer_t *writer, const png_writer_layout &layout)
{
    if (png_writer_begin_stream(writer, layout, layout.image_data_length) != 0)
        return 1;
    uint32_t row_length = static_cast<uint32_t>(layout.row_length);
    uint64_t still_to_come = static_cast<uint64_t>(writer->height) * row_length;
    png_writer_put_byte(writer, 0x78); // CMF: deflate, 32 KiB window
    png_writer_put_byte(writer, 0xDA); // FLG: no dictionary, level 3, 0x78DA a multiple of 31
    writer->adler_low = 1;
    writer->adler_high = 0;
    for (uint32_t y = 0; y < writer->height; ++y) {
        for (uint32_t from = 0; from < row_length;) {
            uint32_t length = row_length - from;
            if (length > png_writer_block_limit)
                length = png_writer_block_limit;
            still_to_come -= length;
            png_writer_put_block_header(writer, length, still_to_come == 0);
            png_writer_put_row_data(writer, y, from, length);
            from += length;
        }
    }
    png_writer_end_stream(writer, writer->adler_high << 16 | writer->adler_low);
    return 0;
}

// ---------------------------------------------------------------------------
// Compressed image data: the pieces of png/png_deflate.h, one after another

static int png_writer_encode_deflated(png_writer_t *writer, const png_writer_layout &layout)
{
    try {
        std::vector<png_writer_piece> pieces;
        if (!png_writer_deflate_rows(writer, layout.row_length, png_writer_copy_samples, pieces))
            return 1;

        uint64_t deflated = 0;
        for (const png_writer_piece &piece : pieces)
            deflated += piece.data.size();
        if (png_writer_begin_stream(writer, layout, 2 + deflated + 4) != 0)
            return 1;
        png_writer_put_byte(writer, 0x78); // CMF: deflate, 32 KiB window
        png_writer_put_byte(writer, 0x01); // FLG: no dictionary, fastest level, 0x7801 a multiple of 31
        uint32_t adler = 1;
        for (const png_writer_piece &piece : pieces) {
            uint8_t *out = writer->encoded + writer->encoded_length;
            memcpy(out, piece.data.data(), piece.data.size());
            writer->chunk_crc = png_writer_crc_run(writer->chunk_crc, out, static_cast<uint32_t>(piece.data.size()));
            writer->encoded_length += static_cast<uint32_t>(piece.data.size());
            adler = adler32_combine(adler, piece.adler, static_cast<z_off_t>(piece.rows * layout.row_length));
        }
        png_writer_end_stream(writer, adler);
        return 0;
    } catch (const std::bad_alloc &) {
        free(writer->encoded);
        writer->encoded = nullptr;
        return 1;
    }
}

// Replaces the encoded buffer with a fresh encoding. Returns 0, or 1 with no
// buffer held. A compression that fails falls back to stored blocks.
static int png_writer_encode(png_writer_t *writer)
{
    free(writer->encoded);
    writer->encoded = nullptr;
    writer->encoded_capacity = 0;
    writer->encoded_length = 0;

    png_writer_layout layout = png_writer_measure(writer);
    if (writer->compression == PNG_WRITER_DEFLATE && png_writer_encode_deflated(writer, layout) == 0)
        return 0;
    free(writer->encoded);
    writer->encoded = nullptr;
    writer->encoded_capacity = 0;
    writer->encoded_length = 0;
    return png_writer_encode_stored(writer, layout);
}

const uint8_t *png_writer_get_data(png_writer_t *writer, uint32_t *length)
{
    if (!writer || png_writer_encode(writer) != 0)
        return nullptr;
    if (length)
        *length = writer->encoded_length;
    return writer->encoded;
}

int png_writer_save(png_writer_t *writer, const char *file_name)
{
    if (!writer || !file_name || png_writer_encode(writer) != 0)
        return 1;
    FILE *file = fopen(file_name, "wb");
    if (!file)
        return 1;
    size_t items = fwrite(writer->encoded, writer->encoded_length, 1, file);
    // Buffered bytes may fail only when they are flushed, at the close.
    int closed = fclose(file);
    return items == 1 && closed == 0 ? 0 : 1;
}
