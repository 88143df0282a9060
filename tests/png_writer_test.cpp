// The PNG writer: its pixel store, and its streams checked byte for byte where
// every byte is fixed, and otherwise by independent readers: a chunk walker
// with zlib's crc32, a stored-block walker with zlib's adler32, zlib's inflater
// and libpng.
#include "png/png_writer.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

typedef std::vector<uint8_t> bytes;

struct writer_deleter {
    void operator()(png_writer_t *writer) const { png_writer_destroy(writer); }
};
typedef std::unique_ptr<png_writer_t, writer_deleter> writer_ptr;

writer_ptr make_writer(uint32_t width, uint32_t height, png_writer_colortype_t type)
{
    return writer_ptr(png_writer_new(width, height, type));
}

bytes encode(png_writer_t *writer)
{
    uint32_t length = 0;
    const uint8_t *data = png_writer_get_data(writer, &length);
    if (!data)
        return bytes();
    return bytes(data, data + length);
}

uint32_t big_endian(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

struct chunk {
    std::string type;
    bytes data;
};

// Splits a stream into chunks after checking the signature, every length
// against the stream and every CRC against zlib's.
std::vector<chunk> read_chunks(const bytes &stream)
{
    static const bytes signature = { 0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A };
    std::vector<chunk> chunks;
    if (stream.size() < 8 || !std::equal(signature.begin(), signature.end(), stream.begin())) {
        ADD_FAILURE() << "no PNG signature";
        return chunks;
    }
    size_t at = 8;
    while (at < stream.size()) {
        if (stream.size() - at < 12) {
            ADD_FAILURE() << "truncated chunk at " << at;
            break;
        }
        uint32_t length = big_endian(&stream[at]);
        if (length > stream.size() - at - 12) {
            ADD_FAILURE() << "chunk at " << at << " runs past the stream";
            break;
        }
        chunk c;
        c.type.assign(stream.begin() + at + 4, stream.begin() + at + 8);
        c.data.assign(stream.begin() + at + 8, stream.begin() + at + 8 + length);
        uLong crc = crc32(0, &stream[at + 4], length + 4);
        EXPECT_EQ(big_endian(&stream[at + 8 + length]), crc) << "CRC of " << c.type;
        chunks.push_back(c);
        at += 12 + length;
    }
    return chunks;
}

std::vector<std::string> chunk_types(const std::vector<chunk> &chunks)
{
    std::vector<std::string> types;
    for (const chunk &c : chunks)
        types.push_back(c.type);
    return types;
}

const chunk *find_chunk(const std::vector<chunk> &chunks, const std::string &type)
{
    for (const chunk &c : chunks)
        if (c.type == type)
            return &c;
    return nullptr;
}

struct stored_blocks {
    std::vector<uint32_t> lengths;
    bytes content;   // the blocks' bytes joined: the filtered rows
};

// Walks a zlib stream that must consist of stored blocks only: header 78 DA,
// blocks up to the first final one, then the Adler-32 (checked against zlib's)
// and nothing else.
stored_blocks read_stored_blocks(const bytes &data)
{
    stored_blocks blocks;
    if (data.size() < 2 || data[0] != 0x78 || data[1] != 0xDA) {
        ADD_FAILURE() << "zlib header is not 78 DA";
        return blocks;
    }
    size_t at = 2;
    bool final = false;
    while (!final) {
        if (data.size() - at < 5) {
            ADD_FAILURE() << "truncated block header at " << at;
            return blocks;
        }
        if (data[at] > 1) {
            ADD_FAILURE() << "not a stored block at " << at << ": " << int(data[at]);
            return blocks;
        }
        final = data[at] == 1;
        uint32_t length = data[at + 1] | data[at + 2] << 8;
        uint32_t complement = data[at + 3] | data[at + 4] << 8;
        EXPECT_EQ(complement, ~length & 0xFFFF) << "NLEN at " << at;
        at += 5;
        if (data.size() - at < length) {
            ADD_FAILURE() << "block at " << at << " runs past the data";
            return blocks;
        }
        blocks.lengths.push_back(length);
        blocks.content.insert(blocks.content.end(), data.begin() + at, data.begin() + at + length);
        at += length;
    }
    if (data.size() - at != 4) {
        ADD_FAILURE() << data.size() - at << " bytes after the final block, 4 expected";
        return blocks;
    }
    uLong adler = adler32(1, blocks.content.data(), static_cast<uInt>(blocks.content.size()));
    EXPECT_EQ(big_endian(&data[at]), adler) << "Adler-32";
    return blocks;
}

// A pixel value that differs in every byte from its neighbours, so that a
// swapped sample, row or column shows.
uint32_t pattern(uint32_t x, uint32_t y)
{
    uint32_t v = (x + 1) * 0x9E3779B1u ^ (y + 7) * 0x85EBCA6Bu;
    return v ^ (v >> 13);
}

uint32_t channels_of(png_writer_colortype_t type)
{
    switch (type) {
    case PNG_WRITER_GREYSCALE: return 1;
    case PNG_WRITER_TRUECOLOR: return 3;
    case PNG_WRITER_INDEXED: return 1;
    case PNG_WRITER_GREYSCALE_ALPHA: return 2;
    case PNG_WRITER_TRUECOLOR_ALPHA: return 4;
    }
    return 0;
}

const png_writer_colortype_t all_types[] = { PNG_WRITER_GREYSCALE, PNG_WRITER_TRUECOLOR, PNG_WRITER_INDEXED,
                                             PNG_WRITER_GREYSCALE_ALPHA, PNG_WRITER_TRUECOLOR_ALPHA };

// Fills a writer with the pattern (or with fill when given), half of the rows
// through the stream cursor, encodes it and checks the stream with every
// independent reader. The rows of one image are split into blocks of at most
// 65,535 bytes, all full but the row's last.
void check_round_trip(uint32_t width, uint32_t height, png_writer_colortype_t type, const uint32_t *fill = nullptr)
{
    SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + ", colour type " + std::to_string(type));
    writer_ptr writer = make_writer(width, height, type);
    ASSERT_TRUE(writer);
    uint32_t channels = channels_of(type);
    uint32_t palette[256];
    for (uint32_t i = 0; i < 256; ++i)
        palette[i] = pattern(i, 1000);
    if (type == PNG_WRITER_INDEXED) {
        ASSERT_EQ(png_writer_set_palette(writer.get(), palette, 256), 0);
    }

    bytes samples;   // what a decoder must give back, row by row
    bytes filtered;  // what the inflater must give back
    png_writer_start_stream(writer.get(), 0, height / 2);
    for (uint32_t y = 0; y < height; ++y) {
        filtered.push_back(0);
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t value = fill ? *fill : pattern(x, y);
            if (y < height / 2)
                png_writer_set_pixel(writer.get(), x, y, value);
            else
                png_writer_put_pixel(writer.get(), value);
            for (uint32_t c = 0; c < channels; ++c) {
                samples.push_back(static_cast<uint8_t>(value >> (8 * c)));
                filtered.push_back(static_cast<uint8_t>(value >> (8 * c)));
            }
        }
    }

    bytes stream = encode(writer.get());
    uint64_t row = uint64_t(width) * channels + 1;
    uint64_t blocks_per_row = (row + 65534) / 65535;
    uint64_t palette_chunks = type == PNG_WRITER_INDEXED ? 24 + 4 * 256 : 0;
    uint64_t expected_length = 8 + 25 + palette_chunks + 12 + 6 + height * (row + 5 * blocks_per_row) + 12;
    ASSERT_EQ(stream.size(), expected_length);

    std::vector<chunk> chunks = read_chunks(stream);
    std::vector<std::string> expected_types = { "IHDR", "IDAT", "IEND" };
    if (type == PNG_WRITER_INDEXED)
        expected_types = { "IHDR", "PLTE", "tRNS", "IDAT", "IEND" };
    ASSERT_EQ(chunk_types(chunks), expected_types);
    bytes header = { uint8_t(width >> 24), uint8_t(width >> 16), uint8_t(width >> 8), uint8_t(width),
                     uint8_t(height >> 24), uint8_t(height >> 16), uint8_t(height >> 8), uint8_t(height),
                     8, uint8_t(type), 0, 0, 0 };
    EXPECT_EQ(chunks[0].data, header);
    EXPECT_TRUE(chunks.back().data.empty());

    const bytes &idat = find_chunk(chunks, "IDAT")->data;
    stored_blocks blocks = read_stored_blocks(idat);
    std::vector<uint32_t> expected_lengths;
    for (uint32_t y = 0; y < height; ++y) {
        uint64_t left = row;
        for (; left > 65535; left -= 65535)
            expected_lengths.push_back(65535);
        expected_lengths.push_back(static_cast<uint32_t>(left));
    }
    EXPECT_TRUE(blocks.lengths == expected_lengths) << blocks.lengths.size() << " blocks";
    EXPECT_TRUE(blocks.content == filtered);

    bytes inflated(filtered.size() + 1);
    uLongf inflated_length = inflated.size();
    ASSERT_EQ(uncompress(inflated.data(), &inflated_length, idat.data(), idat.size()), Z_OK);
    inflated.resize(inflated_length);
    EXPECT_TRUE(inflated == filtered);

    decoded_png decoded = decode_png(std::string(stream.begin(), stream.end()));
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.width, width);
    EXPECT_EQ(decoded.height, height);
    EXPECT_EQ(decoded.color_type, int(type));
    EXPECT_EQ(decoded.bit_depth, 8);
    EXPECT_TRUE(decoded.pixels == samples);
    if (type == PNG_WRITER_INDEXED) {
        ASSERT_EQ(decoded.palette.size(), 768u);
        ASSERT_EQ(decoded.transparency.size(), 256u);
        for (uint32_t i = 0; i < 256; ++i) {
            EXPECT_EQ(decoded.palette[3 * i], uint8_t(palette[i]));
            EXPECT_EQ(decoded.palette[3 * i + 1], uint8_t(palette[i] >> 8));
            EXPECT_EQ(decoded.palette[3 * i + 2], uint8_t(palette[i] >> 16));
            EXPECT_EQ(decoded.transparency[i], uint8_t(palette[i] >> 24));
        }
    }
}

// ---------------------------------------------------------------------------
// The object

TEST(png_writer_object, creation_refuses_empty_oversized_and_unknown_images)
{
    EXPECT_EQ(png_writer_new(2, 536870912, PNG_WRITER_INDEXED), nullptr);   // one pixel over the limit
    EXPECT_EQ(png_writer_new(536870912, 2, PNG_WRITER_GREYSCALE), nullptr);
    EXPECT_EQ(png_writer_new(65536, 65536, PNG_WRITER_TRUECOLOR_ALPHA), nullptr);
    EXPECT_EQ(png_writer_new(0, 5, PNG_WRITER_INDEXED), nullptr);
    EXPECT_EQ(png_writer_new(5, 0, PNG_WRITER_INDEXED), nullptr);
    for (int unknown : { 1, 5, 7, 8, 255 })
        EXPECT_EQ(png_writer_new(3, 2, png_writer_colortype_t(unknown)), nullptr) << unknown;
}

// The largest image the guard lets through: 1 GB of pixel store, which the
// system hands out without touching it.
TEST(png_writer_object, largest_image_passes_the_guard)
{
    writer_ptr writer = make_writer(1, 1073741823, PNG_WRITER_INDEXED);
    ASSERT_TRUE(writer);
    EXPECT_EQ(writer->pixel_bytes, 1073741823u);
}

// An indexed column of h pixels has 7 h + 6 bytes of image data: 306,783,377
// rows reach 2,147,483,645 bytes, one row more passes the chunk limit. Such a
// stream is refused before anything is allocated or opened.
TEST(png_writer_encoding, image_data_past_the_chunk_limit_is_refused)
{
    writer_ptr writer = make_writer(1, 306783378, PNG_WRITER_INDEXED);
    ASSERT_TRUE(writer);
    uint32_t length = 12345;
    EXPECT_EQ(png_writer_get_data(writer.get(), &length), nullptr);
    EXPECT_EQ(length, 12345u);
    EXPECT_EQ(writer->encoded, nullptr);
    temp_folder folder;
    EXPECT_EQ(png_writer_save(writer.get(), folder.file("huge.png").c_str()), 1);
    EXPECT_FALSE(file_exists(folder.file("huge.png")));
}

TEST(png_writer_object, new_writer_is_empty)
{
    writer_ptr writer = make_writer(3, 2, PNG_WRITER_INDEXED);
    ASSERT_TRUE(writer);
    EXPECT_EQ(writer->palette_count, 0u);
    EXPECT_EQ(writer->pixel_bytes, 6u);
    EXPECT_EQ(writer->bytes_per_pixel, 1u);
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 3; ++x)
            EXPECT_EQ(png_writer_get_pixel(writer.get(), x, y), 0u);
    for (uint32_t i = 0; i < 256; ++i)
        EXPECT_EQ(writer->palette[i], 0u);
}

TEST(png_writer_object, pixels_keep_the_bits_of_their_colour_type)
{
    struct row { png_writer_colortype_t type; uint32_t stored, read; };
    const row rows[] = {
        { PNG_WRITER_INDEXED, 0x1FF, 0xFF },
        { PNG_WRITER_GREYSCALE, 0x1FF, 0xFF },
        { PNG_WRITER_GREYSCALE_ALPHA, 0x12345, 0x2345 },
        { PNG_WRITER_TRUECOLOR, 0xAABBCCDD, 0xAABBCCDD },
        { PNG_WRITER_TRUECOLOR_ALPHA, 0xAABBCCDD, 0xAABBCCDD },
    };
    for (const row &r : rows) {
        writer_ptr writer = make_writer(3, 2, r.type);
        ASSERT_TRUE(writer);
        png_writer_set_pixel(writer.get(), 1, 1, r.stored);
        EXPECT_EQ(png_writer_get_pixel(writer.get(), 1, 1), r.read) << r.type;
        // The neighbours on both sides in the store stay untouched.
        EXPECT_EQ(png_writer_get_pixel(writer.get(), 0, 1), 0u) << r.type;
        EXPECT_EQ(png_writer_get_pixel(writer.get(), 2, 1), 0u) << r.type;
        EXPECT_EQ(png_writer_get_pixel(writer.get(), 1, 0), 0u) << r.type;
    }
}

TEST(png_writer_object, positions_outside_the_image_are_ignored)
{
    for (png_writer_colortype_t type : all_types) {
        writer_ptr writer = make_writer(3, 2, type);
        ASSERT_TRUE(writer);
        png_writer_set_pixel(writer.get(), 3, 0, 0xFFFFFFFF);
        png_writer_set_pixel(writer.get(), 0, 2, 0xFFFFFFFF);
        png_writer_set_pixel(writer.get(), 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF);
        EXPECT_EQ(png_writer_get_pixel(writer.get(), 3, 0), 0u);
        EXPECT_EQ(png_writer_get_pixel(writer.get(), 0, 2), 0u);
        for (uint32_t i = 0; i < writer->pixel_bytes; ++i)
            ASSERT_EQ(writer->pixels[i], 0) << "type " << type << ", byte " << i;
        // A stored pixel is not seen from outside: (3, 0) is not (0, 1).
        png_writer_set_pixel(writer.get(), 0, 1, 0x11);
        EXPECT_EQ(png_writer_get_pixel(writer.get(), 3, 0), 0u);
    }
}

TEST(png_writer_object, palette_takes_up_to_256_entries)
{
    writer_ptr writer = make_writer(3, 2, PNG_WRITER_INDEXED);
    ASSERT_TRUE(writer);
    uint32_t entries[257];
    for (uint32_t i = 0; i < 257; ++i)
        entries[i] = 0x01020304u * (i + 1);
    EXPECT_EQ(png_writer_set_palette(writer.get(), entries, 256), 0);
    EXPECT_EQ(writer->palette_count, 256u);
    EXPECT_EQ(writer->palette[255], entries[255]);

    uint32_t other[257] = { 0 };
    EXPECT_EQ(png_writer_set_palette(writer.get(), other, 257), 1);
    EXPECT_EQ(writer->palette_count, 256u);
    for (uint32_t i = 0; i < 256; ++i)
        ASSERT_EQ(writer->palette[i], entries[i]) << i;

    // A shorter palette replaces the front and leaves the rest as it was.
    EXPECT_EQ(png_writer_set_palette(writer.get(), other, 3), 0);
    EXPECT_EQ(writer->palette_count, 3u);
    EXPECT_EQ(writer->palette[2], 0u);
    EXPECT_EQ(writer->palette[3], entries[3]);

    writer_ptr grey = make_writer(3, 2, PNG_WRITER_GREYSCALE);
    EXPECT_EQ(png_writer_set_palette(grey.get(), entries, 4), 1);
    EXPECT_EQ(png_writer_set_palette(nullptr, entries, 4), 1);
}

TEST(png_writer_object, stream_cursor_runs_in_row_order_and_wraps)
{
    writer_ptr writer = make_writer(3, 2, PNG_WRITER_GREYSCALE);
    ASSERT_TRUE(writer);
    png_writer_start_stream(writer.get(), 2, 1);
    png_writer_put_pixel(writer.get(), 9);
    EXPECT_EQ(png_writer_get_pixel(writer.get(), 2, 1), 9u);
    EXPECT_EQ(writer->cursor_x, 0u);
    EXPECT_EQ(writer->cursor_y, 0u);

    // Out of range in either coordinate: the cursor stays.
    png_writer_start_stream(writer.get(), 1, 2);
    png_writer_start_stream(writer.get(), 3, 0);
    EXPECT_EQ(writer->cursor_x, 0u);
    EXPECT_EQ(writer->cursor_y, 0u);

    png_writer_start_stream(writer.get(), 1, 0);
    for (uint32_t value = 1; value <= 7; ++value)
        png_writer_put_pixel(writer.get(), value);
    // Six stores from (1, 0) wrap after (2, 1) to (0, 0); the seventh lands on (1, 0) again.
    const uint32_t expected[2][3] = { { 6, 7, 2 }, { 3, 4, 5 } };
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 3; ++x)
            EXPECT_EQ(png_writer_get_pixel(writer.get(), x, y), expected[y][x]) << x << ", " << y;
    EXPECT_EQ(writer->cursor_x, 2u);
    EXPECT_EQ(writer->cursor_y, 0u);
}

TEST(png_writer_object, null_writer_is_tolerated)
{
    png_writer_set_pixel(nullptr, 0, 0, 1);
    png_writer_start_stream(nullptr, 0, 0);
    png_writer_put_pixel(nullptr, 1);
    EXPECT_EQ(png_writer_get_pixel(nullptr, 0, 0), 0u);
    uint32_t length = 77;
    EXPECT_EQ(png_writer_get_data(nullptr, &length), nullptr);
    temp_folder folder;
    EXPECT_EQ(png_writer_save(nullptr, folder.file("null.png").c_str()), 1);
    EXPECT_FALSE(file_exists(folder.file("null.png")));
    png_writer_destroy(nullptr);
}

// ---------------------------------------------------------------------------
// Streams whose every byte is fixed

TEST(png_writer_encoding, two_pixel_greyscale_file)
{
    writer_ptr writer = make_writer(2, 1, PNG_WRITER_GREYSCALE);
    ASSERT_TRUE(writer);
    png_writer_set_pixel(writer.get(), 0, 0, 0);
    png_writer_set_pixel(writer.get(), 1, 0, 255);
    const bytes expected = {
        0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A,  // signature
        0x00, 0x00, 0x00, 0x0D,                          // IHDR length
        0x49, 0x48, 0x44, 0x52,                          // "IHDR"
        0x00, 0x00, 0x00, 0x02,                          // width
        0x00, 0x00, 0x00, 0x01,                          // height
        0x08, 0x00, 0x00, 0x00, 0x00,                    // depth, colour type, methods
        0xD1, 0x49, 0x20, 0x56,                          // IHDR CRC
        0x00, 0x00, 0x00, 0x0E,                          // IDAT length
        0x49, 0x44, 0x41, 0x54,                          // "IDAT"
        0x78, 0xDA,                                      // zlib header
        0x01, 0x03, 0x00, 0xFC, 0xFF,                    // final stored block, LEN 3
        0x00, 0x00, 0xFF,                                // filter byte, samples
        0x01, 0x02, 0x01, 0x00,                          // Adler-32
        0xF9, 0x28, 0x83, 0x32,                          // IDAT CRC
        0x00, 0x00, 0x00, 0x00,                          // IEND length
        0x49, 0x45, 0x4E, 0x44,                          // "IEND"
        0xAE, 0x42, 0x60, 0x82,                          // IEND CRC
    };
    EXPECT_EQ(encode(writer.get()), expected);
}

TEST(png_writer_encoding, three_by_two_indexed_image)
{
    writer_ptr writer = make_writer(3, 2, PNG_WRITER_INDEXED);
    ASSERT_TRUE(writer);
    uint32_t palette[256];
    for (uint32_t i = 0; i < 256; ++i)
        palette[i] = 0xFF000000u | i << 16 | (255 - i) << 8 | (i ^ 0x5A);
    ASSERT_EQ(png_writer_set_palette(writer.get(), palette, 256), 0);
    for (uint32_t i = 0; i < 6; ++i)
        png_writer_set_pixel(writer.get(), i % 3, i / 3, i);

    bytes stream = encode(writer.get());
    EXPECT_EQ(stream.size(), 1129u);
    std::vector<chunk> chunks = read_chunks(stream);
    ASSERT_EQ(chunk_types(chunks), (std::vector<std::string>{ "IHDR", "PLTE", "tRNS", "IDAT", "IEND" }));
    const bytes image_data = {
        0x78, 0xDA,                    // zlib header
        0x00, 0x04, 0x00, 0xFB, 0xFF,  // stored block, LEN 4
        0x00, 0x00, 0x01, 0x02,        // filter byte, row 0
        0x01, 0x04, 0x00, 0xFB, 0xFF,  // final stored block, LEN 4
        0x00, 0x03, 0x04, 0x05,        // filter byte, row 1
        0x00, 0x2E, 0x00, 0x10,        // Adler-32
    };
    EXPECT_EQ(chunks[3].data, image_data);
    ASSERT_EQ(chunks[1].data.size(), 768u);
    ASSERT_EQ(chunks[2].data.size(), 256u);
    for (uint32_t i = 0; i < 256; ++i) {
        EXPECT_EQ(chunks[1].data[3 * i], i ^ 0x5A);
        EXPECT_EQ(chunks[1].data[3 * i + 1], 255 - i);
        EXPECT_EQ(chunks[1].data[3 * i + 2], i);
        EXPECT_EQ(chunks[2].data[i], 255);
    }
}

// An image of 1 x 1 pixel whose IDAT data is worked out by hand.
bytes single_pixel_image_data(png_writer_colortype_t type, uint32_t value)
{
    writer_ptr writer = make_writer(1, 1, type);
    png_writer_set_pixel(writer.get(), 0, 0, value);
    std::vector<chunk> chunks = read_chunks(encode(writer.get()));
    const chunk *idat = find_chunk(chunks, "IDAT");
    return idat ? idat->data : bytes();
}

TEST(png_writer_encoding, truecolour_skips_the_fourth_byte_of_its_word)
{
    // Adler-32 of 00 DD CC BB: low 1 + 0 + 221 + 204 + 187 = 613, high 1 + 222 + 426 + 613 = 1262.
    const bytes truecolour = { 0x78, 0xDA, 0x01, 0x04, 0x00, 0xFB, 0xFF, 0x00, 0xDD, 0xCC, 0xBB,
                               0x04, 0xEE, 0x02, 0x65 };
    EXPECT_EQ(single_pixel_image_data(PNG_WRITER_TRUECOLOR, 0xAABBCCDD), truecolour);
    // With alpha all four bytes go out; AA (170) makes low 783 and high 1262 + 783 = 2045.
    const bytes with_alpha = { 0x78, 0xDA, 0x01, 0x05, 0x00, 0xFA, 0xFF, 0x00, 0xDD, 0xCC, 0xBB, 0xAA,
                               0x07, 0xFD, 0x03, 0x0F };
    EXPECT_EQ(single_pixel_image_data(PNG_WRITER_TRUECOLOR_ALPHA, 0xAABBCCDD), with_alpha);
}

TEST(png_writer_encoding, short_palette_writes_sixteen_entries)
{
    writer_ptr writer = make_writer(2, 2, PNG_WRITER_INDEXED);
    ASSERT_TRUE(writer);
    std::vector<chunk> chunks = read_chunks(encode(writer.get()));
    ASSERT_EQ(chunk_types(chunks), (std::vector<std::string>{ "IHDR", "PLTE", "tRNS", "IDAT", "IEND" }));
    EXPECT_EQ(chunks[1].data, bytes(48, 0));   // no entry set at all
    EXPECT_EQ(chunks[2].data, bytes(16, 0));

    const uint32_t five[5] = { 0x80112233, 0xFF445566, 0x00778899, 0x01AABBCC, 0xFEDDEEFF };
    ASSERT_EQ(png_writer_set_palette(writer.get(), five, 5), 0);
    chunks = read_chunks(encode(writer.get()));
    bytes plte = { 0x33, 0x22, 0x11, 0x66, 0x55, 0x44, 0x99, 0x88, 0x77, 0xCC, 0xBB, 0xAA, 0xFF, 0xEE, 0xDD };
    plte.resize(48, 0);
    bytes trns = { 0x80, 0xFF, 0x00, 0x01, 0xFE };
    trns.resize(16, 0);
    EXPECT_EQ(chunks[1].data, plte);
    EXPECT_EQ(chunks[2].data, trns);

    // Entries 5 to 15 go out as the store holds them, here from a longer palette.
    uint32_t twenty[20];
    for (uint32_t i = 0; i < 20; ++i)
        twenty[i] = 0x40000000u + i;
    ASSERT_EQ(png_writer_set_palette(writer.get(), twenty, 20), 0);
    chunks = read_chunks(encode(writer.get()));
    EXPECT_EQ(chunks[1].data.size(), 60u);
    EXPECT_EQ(chunks[2].data, bytes(20, 0x40));
    ASSERT_EQ(png_writer_set_palette(writer.get(), five, 5), 0);
    chunks = read_chunks(encode(writer.get()));
    ASSERT_EQ(chunks[1].data.size(), 48u);
    EXPECT_EQ(chunks[1].data[3 * 4], 0xFF);
    EXPECT_EQ(chunks[1].data[3 * 5], 5);
    EXPECT_EQ(chunks[1].data[3 * 15], 15);
    EXPECT_EQ(chunks[2].data[15], 0x40);

    decoded_png decoded = decode_png(std::string(reinterpret_cast<const char *>(png_writer_get_data(writer.get(), nullptr)),
                                                 writer->encoded_length));
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.palette.size(), 48u);
}

// ---------------------------------------------------------------------------
// Streams read back by independent decoders

TEST(png_writer_encoding, every_colour_type_at_small_sizes)
{
    const uint32_t sizes[][2] = { { 1, 1 }, { 1, 9 }, { 9, 1 }, { 2, 1 }, { 3, 2 }, { 5, 3 }, { 7, 7 }, { 13, 11 }, { 64, 5 } };
    for (png_writer_colortype_t type : all_types)
        for (const auto &size : sizes)
            check_round_trip(size[0], size[1], type);
}

// Taller than a buffer of the pixel store plus 32 KiB would hold.
TEST(png_writer_encoding, tall_images)
{
    check_round_trip(1, 5277, PNG_WRITER_INDEXED);
    check_round_trip(3, 6000, PNG_WRITER_INDEXED);
    check_round_trip(1, 5451, PNG_WRITER_GREYSCALE);
    check_round_trip(2, 5500, PNG_WRITER_GREYSCALE_ALPHA);
    check_round_trip(1, 6600, PNG_WRITER_TRUECOLOR);
    check_round_trip(1, 5600, PNG_WRITER_TRUECOLOR_ALPHA);
}

// LEN holds at most 65,535: longer rows are split, even inside a pixel.
TEST(png_writer_encoding, rows_wider_than_one_stored_block)
{
    check_round_trip(65534, 2, PNG_WRITER_INDEXED);        // rows of exactly 65,535 bytes: one block each
    check_round_trip(65535, 2, PNG_WRITER_GREYSCALE);      // 65,536: blocks of 65,535 and 1
    check_round_trip(70000, 3, PNG_WRITER_INDEXED);        // 70,001: 65,535 and 4,466
    check_round_trip(21846, 2, PNG_WRITER_TRUECOLOR);      // 65,539, cut after the second sample of a pixel
    check_round_trip(20000, 2, PNG_WRITER_TRUECOLOR_ALPHA);// 80,001, cut after the second sample of a pixel
    check_round_trip(32768, 1, PNG_WRITER_GREYSCALE_ALPHA);// 65,537 in a single row: the split row is final
    check_round_trip(40000, 4, PNG_WRITER_TRUECOLOR_ALPHA);// 160,001: three blocks a row
}

// Bytes of 255 drive the Adler sums fastest; long runs of them show whether
// the sums are reduced in time.
TEST(png_writer_encoding, long_runs_of_full_samples)
{
    const uint32_t full = 0xFFFFFFFF;
    check_round_trip(9000, 3, PNG_WRITER_GREYSCALE, &full);
    check_round_trip(3000, 40, PNG_WRITER_TRUECOLOR_ALPHA, &full);
    check_round_trip(30000, 2, PNG_WRITER_TRUECOLOR, &full);
}

TEST(png_writer_encoding, one_row_has_a_single_final_block)
{
    writer_ptr writer = make_writer(4, 1, PNG_WRITER_INDEXED);
    ASSERT_TRUE(writer);
    std::vector<chunk> chunks = read_chunks(encode(writer.get()));
    const chunk *idat = find_chunk(chunks, "IDAT");
    ASSERT_TRUE(idat);
    // Five zero bytes leave low at 1 and add it five times to high.
    const bytes expected = { 0x78, 0xDA, 0x01, 0x05, 0x00, 0xFA, 0xFF, 0, 0, 0, 0, 0, 0x00, 0x05, 0x00, 0x01 };
    EXPECT_EQ(idat->data, expected);
}

TEST(png_writer_encoding, repeated_encodings_are_equal_and_follow_changes)
{
    writer_ptr writer = make_writer(5, 4, PNG_WRITER_TRUECOLOR_ALPHA);
    ASSERT_TRUE(writer);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 5; ++x)
            png_writer_set_pixel(writer.get(), x, y, pattern(x, y));
    bytes first = encode(writer.get());
    bytes second = encode(writer.get());
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first, second);
    EXPECT_EQ(writer->encoded_length, first.size());
    EXPECT_EQ(writer->encoded_capacity, first.size());

    png_writer_set_pixel(writer.get(), 4, 3, 0);
    bytes changed = encode(writer.get());
    ASSERT_EQ(changed.size(), first.size());
    EXPECT_NE(changed, first);
}

// ---------------------------------------------------------------------------
// Files

TEST(png_writer_save, writes_the_stream_and_truncates_an_older_file)
{
    writer_ptr writer = make_writer(7, 3, PNG_WRITER_INDEXED);
    ASSERT_TRUE(writer);
    for (uint32_t i = 0; i < 21; ++i)
        png_writer_put_pixel(writer.get(), i * 11);
    temp_folder folder;
    std::string path = folder.file("out.png");
    write_file(path, std::string(5000, 'x'));
    ASSERT_EQ(png_writer_save(writer.get(), path.c_str()), 0);
    std::string saved = read_file(path);
    bytes stream = encode(writer.get());
    EXPECT_EQ(saved, std::string(stream.begin(), stream.end()));
    decoded_png decoded = decode_png_file(path);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    for (uint32_t i = 0; i < 21; ++i)
        EXPECT_EQ(decoded.pixels[i], i * 11);
}

TEST(png_writer_save, missing_folder_gives_1)
{
    writer_ptr writer = make_writer(2, 2, PNG_WRITER_GREYSCALE);
    ASSERT_TRUE(writer);
    temp_folder folder;
    EXPECT_EQ(png_writer_save(writer.get(), folder.file("no such folder/out.png").c_str()), 1);
    // The encoding stays with the writer.
    EXPECT_NE(writer->encoded, nullptr);
    EXPECT_EQ(writer->encoded_length, 8u + 25 + 12 + 6 + 2 * (3 + 5) + 12);
}

// /dev/full takes the open and refuses every byte: a small stream fails when
// the close flushes it, a large one already in the write.
TEST(png_writer_save, short_write_gives_1)
{
    if (!file_exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    writer_ptr small = make_writer(2, 2, PNG_WRITER_GREYSCALE);
    writer_ptr large = make_writer(300, 300, PNG_WRITER_TRUECOLOR_ALPHA);
    ASSERT_TRUE(small && large);
    EXPECT_EQ(png_writer_save(small.get(), "/dev/full"), 1);
    EXPECT_EQ(png_writer_save(large.get(), "/dev/full"), 1);
}

} // namespace
