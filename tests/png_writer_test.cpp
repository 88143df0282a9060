// The PNG writer: its pixel store, one stream checked byte for byte, and the
// rest read back by libpng, which checks every CRC, the chunk order, the
// filter bytes and the Adler-32 as it reads to the stream's end.
#include "png/png_writer.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

typedef std::vector<uint8_t> bytes;


png_writer_ptr make_writer(uint32_t width, uint32_t height, png_writer_colortype_t type)
{
    return png_writer_ptr(png_writer_new(width, height, type));
}

std::string encode(png_writer_t *writer)
{
    uint32_t length = 0;
    const uint8_t *data = png_writer_get_data(writer, &length);
    return data ? std::string(data, data + length) : std::string();
}

// A value that differs in every byte from its neighbours, so that a swapped
// sample, row or column shows.
uint32_t pattern(uint32_t x, uint32_t y)
{
    uint32_t v = (x + 1) * 0x9E3779B1u ^ (y + 7) * 0x85EBCA6Bu;
    return v ^ (v >> 13);
}

uint32_t channels_of(png_writer_colortype_t type)
{
    return type == PNG_WRITER_TRUECOLOR ? 3 : type == PNG_WRITER_GREYSCALE_ALPHA ? 2 : type == PNG_WRITER_TRUECOLOR_ALPHA ? 4 : 1;
}

// Fills a writer with the pattern (or fill), the lower half of the rows
// through the stream cursor, and reads it back; indexed, at the bit depth
// given, with as many palette entries as it indexes, of which only each
// value's low bits reach the file. Stored, the length shows each row split
// into blocks of at most 65,535 bytes, 5 bytes of block header each.
void check_round_trip(uint32_t width, uint32_t height, png_writer_colortype_t type, const uint32_t *fill,
                      png_writer_compression_t compression, uint32_t depth = 8)
{
    SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + ", colour type " + std::to_string(type) +
                 ", " + std::to_string(depth) + " bits" + (compression == PNG_WRITER_DEFLATE ? ", compressed" : ""));
    png_writer_ptr writer = make_writer(width, height, type);
    ASSERT_TRUE(writer);
    ASSERT_EQ(png_writer_set_compression(writer.get(), compression), 0);
    const bool indexed = type == PNG_WRITER_INDEXED;
    const uint32_t entries = indexed ? 1u << depth : 0, mask = depth == 8 ? 0xFFFFFFFFu : entries - 1;
    uint32_t palette[256];
    bytes plte, trns;
    for (uint32_t i = 0; i < entries; ++i) {
        palette[i] = pattern(i, 1000);
        plte.insert(plte.end(), { uint8_t(palette[i]), uint8_t(palette[i] >> 8), uint8_t(palette[i] >> 16) });
        trns.push_back(uint8_t(palette[i] >> 24));
    }
    if (indexed) {
        ASSERT_EQ(png_writer_set_palette(writer.get(), palette, entries), 0);
        ASSERT_EQ(png_writer_set_bit_depth(writer.get(), depth), 0);
    }
    const uint32_t channels = channels_of(type);
    bytes samples;  // what libpng must give back
    png_writer_start_stream(writer.get(), 0, height / 2);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t value = fill ? *fill : pattern(x, y);
            if (y < height / 2)
                png_writer_set_pixel(writer.get(), x, y, value);
            else
                png_writer_put_pixel(writer.get(), value);
            for (uint32_t c = 0; c < channels; ++c)
                samples.push_back(uint8_t(value >> (8 * c) & mask));
        }
    }
    const std::string stream = encode(writer.get());
    const uint64_t row = (uint64_t(width) * channels * depth + 7) / 8 + 1, blocks_per_row = (row + 65534) / 65535;
    if (compression == PNG_WRITER_STORED) {
        ASSERT_EQ(stream.size(), 8 + 25 + (indexed ? 24 + 4 * entries : 0) + 12 + 6 + height * (row + 5 * blocks_per_row) + 12);
    }

    const decoded_png decoded = decode_png(stream);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ((std::vector<int>{ int(decoded.width), int(decoded.height), decoded.color_type, decoded.bit_depth }),
              (std::vector<int>{ int(width), int(height), int(type), int(depth) }));
    EXPECT_TRUE(decoded.pixels == samples);
    EXPECT_EQ(decoded.palette, plte);
    EXPECT_EQ(decoded.transparency, trns);
}

}  // namespace

// Sizes and colour types outside the contract give no writer. The largest,
// 1 GB of pixel store, is handed out by the system untouched. An indexed
// column of h pixels has 7 h + 6 bytes of image data: 306,783,378 rows pass
// the chunk limit of 2^31 - 1, and that stream is refused before anything is
// allocated or opened; the pixel store is mapped lazily.
TEST(png_writer_object, sizes_beyond_the_limits_are_refused)
{
    EXPECT_EQ(png_writer_new(2, 536870912, PNG_WRITER_INDEXED), nullptr);  // one pixel over the limit
    EXPECT_EQ(png_writer_new(65536, 65536, PNG_WRITER_TRUECOLOR_ALPHA), nullptr);  // 2^32 pixels wrap to 0
    EXPECT_EQ(png_writer_new(0, 5, PNG_WRITER_INDEXED), nullptr);
    EXPECT_EQ(png_writer_new(5, 0, PNG_WRITER_INDEXED), nullptr);
    EXPECT_EQ(png_writer_new(3, 2, png_writer_colortype_t(1)), nullptr);
    EXPECT_TRUE(make_writer(1, 1073741823, PNG_WRITER_INDEXED));
    png_writer_ptr writer = make_writer(1, 306783378, PNG_WRITER_INDEXED);
    ASSERT_TRUE(writer);
    uint32_t length = 12345;
    EXPECT_EQ(png_writer_get_data(writer.get(), &length), nullptr);
    EXPECT_EQ(length, 12345u);
    temp_folder folder;
    EXPECT_EQ(png_writer_save(writer.get(), folder.file("huge.png").c_str()), 1);
    EXPECT_FALSE(file_exists(folder.file("huge.png")));
}

// Each colour type keeps only its element's bits and touches no neighbour;
// positions outside the image are ignored, not wrapped onto the next row. Row
// bytes are the pixels of one-byte types only, and of rows inside the image.
TEST(png_writer_object, the_pixel_store)
{
    const struct { png_writer_colortype_t type; uint32_t stored, read; } rows[] = {
        { PNG_WRITER_INDEXED, 0x1FF, 0xFF }, { PNG_WRITER_GREYSCALE, 0x1FF, 0xFF },
        { PNG_WRITER_GREYSCALE_ALPHA, 0x12345, 0x2345 }, { PNG_WRITER_TRUECOLOR, 0xAABBCCDD, 0xAABBCCDD },
        { PNG_WRITER_TRUECOLOR_ALPHA, 0xAABBCCDD, 0xAABBCCDD },
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.type);
        png_writer_ptr writer = make_writer(3, 2, r.type);
        ASSERT_TRUE(writer);
        png_writer_set_pixel(writer.get(), 3, 0, 0xFFFFFFFF);
        png_writer_set_pixel(writer.get(), 0, 2, 0xFFFFFFFF);
        png_writer_set_pixel(writer.get(), 1, 1, r.stored);
        for (uint32_t i = 0; i < 6; ++i)
            EXPECT_EQ(png_writer_get_pixel(writer.get(), i % 3, i / 3), i == 4 ? r.read : 0u) << i;
        EXPECT_EQ(png_writer_get_pixel(writer.get(), 3, 0), 0u);
        uint8_t *row = png_writer_row_bytes(writer.get(), 1);
        ASSERT_EQ(row != nullptr, channels_of(r.type) == 1);
        if (row) {
            row[2] = 7;
            EXPECT_EQ(png_writer_get_pixel(writer.get(), 2, 1), 7u);
            EXPECT_EQ(png_writer_row_bytes(writer.get(), 2), nullptr);
        }
    }
    EXPECT_EQ(png_writer_row_bytes(nullptr, 0), nullptr);

    // Six stores from (1, 0) wrap after (2, 1) to (0, 0); the seventh lands
    // on (1, 0) again. A start outside the image leaves the cursor.
    png_writer_ptr writer = make_writer(3, 2, PNG_WRITER_GREYSCALE);
    png_writer_start_stream(writer.get(), 1, 0);
    png_writer_start_stream(writer.get(), 3, 0);
    png_writer_start_stream(writer.get(), 0, 2);
    for (uint32_t value = 1; value <= 7; ++value)
        png_writer_put_pixel(writer.get(), value);
    const uint32_t expected[6] = { 6, 7, 2, 3, 4, 5 };
    for (uint32_t i = 0; i < 6; ++i)
        EXPECT_EQ(png_writer_get_pixel(writer.get(), i % 3, i / 3), expected[i]) << i;
}

TEST(png_writer_encoding, two_pixel_greyscale_file)
{
    png_writer_ptr writer = make_writer(2, 1, PNG_WRITER_GREYSCALE);
    png_writer_set_pixel(writer.get(), 1, 0, 255);
    const bytes expected = {
        0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A,  // signature
        0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52,  // IHDR
        0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01,  // width, height
        0x08, 0x00, 0x00, 0x00, 0x00,                    // depth, colour type, methods
        0xD1, 0x49, 0x20, 0x56,                          // CRC
        0x00, 0x00, 0x00, 0x0E, 0x49, 0x44, 0x41, 0x54,  // IDAT
        0x78, 0xDA,                                      // zlib header
        0x01, 0x03, 0x00, 0xFC, 0xFF,                    // final stored block, LEN 3
        0x00, 0x00, 0xFF,                                // filter byte, samples
        0x01, 0x02, 0x01, 0x00,                          // Adler-32
        0xF9, 0x28, 0x83, 0x32,                          // CRC
        0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44,  // IEND
        0xAE, 0x42, 0x60, 0x82,
    };
    EXPECT_EQ(encode(writer.get()), std::string(expected.begin(), expected.end()));
}

// More than 256 entries, or any for a writer that is not indexed, are refused
// whole; fewer replace the front only. PLTE and tRNS hold exactly the entries
// last set, and one zero entry before any is set, since PLTE may not be empty.
TEST(png_writer_encoding, palette_entries)
{
    png_writer_ptr writer = make_writer(2, 2, PNG_WRITER_INDEXED);
    decoded_png decoded = decode_png(encode(writer.get()));
    EXPECT_EQ(decoded.palette, bytes(3, 0));
    EXPECT_EQ(decoded.transparency, bytes(1, 0));
    uint32_t sixteen[16], other[257] = {};
    for (uint32_t i = 0; i < 16; ++i)
        sixteen[i] = 0x01020304u * (i + 1);
    ASSERT_EQ(png_writer_set_palette(writer.get(), sixteen, 16), 0);
    EXPECT_EQ(png_writer_set_palette(writer.get(), other, 257), 1);
    const uint32_t five[5] = { 0x80112233, 0xFF445566, 0x00778899, 0x01AABBCC, 0xFEDDEEFF };
    ASSERT_EQ(png_writer_set_palette(writer.get(), five, 5), 0);
    EXPECT_EQ(writer->palette[5], sixteen[5]);
    decoded = decode_png(encode(writer.get()));
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.palette, (bytes{ 0x33, 0x22, 0x11, 0x66, 0x55, 0x44, 0x99, 0x88, 0x77, 0xCC, 0xBB, 0xAA, 0xFF, 0xEE, 0xDD }));
    EXPECT_EQ(decoded.transparency, (bytes{ 0x80, 0xFF, 0x00, 0x01, 0xFE }));
    EXPECT_EQ(png_writer_set_palette(make_writer(3, 2, PNG_WRITER_GREYSCALE).get(), five, 4), 1);
}

// Every colour type at small sizes, stored and compressed; images taller
// than a buffer of the pixel store plus 32 KiB would hold; rows longer than
// the 65,535 bytes a stored block holds, split even inside a pixel (bytes of
// 255 drive the Adler sums fastest and show a late reduction); compressed
// images of many pieces (half a MiB of rows each), flat, patterned and noisy,
// so that pieces end on every kind of block and at every bit of their last
// byte. Indices at 1, 2 and 4 bits at the same sizes, whose rows fill their
// last byte or leave 1 to 7 bits of it, and in rows longer than a block.
TEST(png_writer_encoding, round_trips_over_sizes_and_colour_types)
{
    const png_writer_compression_t stored = PNG_WRITER_STORED, deflate = PNG_WRITER_DEFLATE;
    const uint32_t sizes[][2] = { { 1, 1 }, { 1, 9 }, { 9, 1 }, { 3, 2 }, { 13, 11 }, { 64, 5 } };
    for (png_writer_compression_t compression : { stored, deflate })
        for (png_writer_colortype_t type : { PNG_WRITER_GREYSCALE, PNG_WRITER_TRUECOLOR, PNG_WRITER_INDEXED,
                                             PNG_WRITER_GREYSCALE_ALPHA, PNG_WRITER_TRUECOLOR_ALPHA })
            for (const auto &size : sizes)
                check_round_trip(size[0], size[1], type, nullptr, compression);
    for (png_writer_compression_t compression : { stored, deflate })
        for (uint32_t depth : { 1, 2, 4 }) {
            for (const auto &size : sizes)
                check_round_trip(size[0], size[1], PNG_WRITER_INDEXED, nullptr, compression, depth);
            check_round_trip(530000, 2, PNG_WRITER_INDEXED, nullptr, compression, depth);
        }
    const uint32_t full = 0xFFFFFFFF, flat = 0x01020304;
    const struct { uint32_t width, height; png_writer_colortype_t type; const uint32_t *fill; png_writer_compression_t compression; } large[] = {
        { 1, 5277, PNG_WRITER_INDEXED, nullptr, stored }, { 3, 6000, PNG_WRITER_INDEXED, nullptr, stored },
        { 1, 6600, PNG_WRITER_TRUECOLOR, nullptr, stored },
        { 65534, 2, PNG_WRITER_INDEXED, nullptr, stored },      // rows of exactly 65,535 bytes
        { 65535, 2, PNG_WRITER_GREYSCALE, nullptr, stored },    // 65,536: blocks of 65,535 and 1
        { 21846, 2, PNG_WRITER_TRUECOLOR, nullptr, stored },    // cut after a pixel's second sample
        { 32768, 1, PNG_WRITER_GREYSCALE_ALPHA, nullptr, stored },  // one row: its split ends final
        { 40000, 4, PNG_WRITER_TRUECOLOR_ALPHA, &full, stored },    // three blocks a row
        { 65535, 2, PNG_WRITER_GREYSCALE, nullptr, deflate }, { 2000, 1500, PNG_WRITER_INDEXED, &flat, deflate },
        { 1000, 2100, PNG_WRITER_INDEXED, nullptr, deflate }, { 700, 400, PNG_WRITER_TRUECOLOR_ALPHA, nullptr, deflate },
        { 3, 300000, PNG_WRITER_GREYSCALE, nullptr, deflate },
    };
    for (const auto &l : large)
        check_round_trip(l.width, l.height, l.type, l.fill, l.compression);
}

// A depth is refused for other colour types and values, and for a palette it
// cannot index, as is a palette longer than the depth indexes.
TEST(png_writer_object, bit_depths)
{
    png_writer_ptr writer = make_writer(4, 4, PNG_WRITER_INDEXED), grey = make_writer(4, 4, PNG_WRITER_GREYSCALE);
    const uint32_t seventeen[17] = {};
    ASSERT_EQ(png_writer_set_palette(writer.get(), seventeen, 5), 0);
    const struct { png_writer_t *writer; uint32_t depth; int result; } settings[] = {
        { grey.get(), 1, 1 }, { nullptr, 4, 1 }, { writer.get(), 3, 1 }, { writer.get(), 0, 1 },
        { writer.get(), 16, 1 }, { writer.get(), 2, 1 }, { writer.get(), 4, 0 },
    };
    for (const auto &s : settings)
        EXPECT_EQ(png_writer_set_bit_depth(s.writer, s.depth), s.result) << s.depth;
    EXPECT_EQ(writer->bit_depth, 4u);
    EXPECT_EQ(png_writer_set_palette(writer.get(), seventeen, 17), 1);
    ASSERT_EQ(png_writer_set_bit_depth(writer.get(), 8), 0);
    EXPECT_EQ(png_writer_set_palette(writer.get(), seventeen, 17), 0);
}

// Compression is a choice of two; an unknown one changes nothing. Every
// encoding follows the pixels as they are now, gives the same stream for the
// same pixels, and a dithered-looking image of few colours compresses.
TEST(png_writer_encoding, compression_is_a_mode_of_the_writer)
{
    png_writer_ptr writer = make_writer(300, 200, PNG_WRITER_INDEXED);
    for (uint32_t i = 0; i < 300 * 200; ++i)
        png_writer_set_pixel(writer.get(), i % 300, i / 300, pattern(i % 300, i / 300) % 7);
    const std::string stored = encode(writer.get());
    EXPECT_EQ(png_writer_set_compression(writer.get(), png_writer_compression_t(2)), 1);
    EXPECT_EQ(png_writer_set_compression(nullptr, PNG_WRITER_DEFLATE), 1);
    EXPECT_EQ(encode(writer.get()), stored);
    ASSERT_EQ(png_writer_set_compression(writer.get(), PNG_WRITER_DEFLATE), 0);
    const std::string compressed = encode(writer.get());
    EXPECT_LT(compressed.size(), stored.size() / 2);
    EXPECT_EQ(encode(writer.get()), compressed);
    png_writer_set_pixel(writer.get(), 299, 199, 200);
    EXPECT_NE(encode(writer.get()), compressed);
    ASSERT_EQ(png_writer_set_compression(writer.get(), PNG_WRITER_STORED), 0);
    const std::string changed = encode(writer.get());
    EXPECT_EQ(changed.size(), stored.size());
    EXPECT_NE(changed, stored);
}

// The saved file is the stream and replaces an older, longer file whole. A
// missing folder or a null writer gives 1 and no file; /dev/full takes the
// open and refuses every byte: a small stream fails at the close's flush, a
// large one already in the write.
TEST(png_writer_save, writes_the_stream_or_gives_1)
{
    png_writer_ptr writer = make_writer(7, 3, PNG_WRITER_INDEXED), large = make_writer(300, 300, PNG_WRITER_TRUECOLOR_ALPHA);
    for (uint32_t i = 0; i < 21; ++i)
        png_writer_put_pixel(writer.get(), i * 11);
    temp_folder folder;
    write_file(folder.file("out.png"), std::string(5000, 'x'));
    ASSERT_EQ(png_writer_save(writer.get(), folder.file("out.png").c_str()), 0);
    EXPECT_EQ(read_file(folder.file("out.png")), encode(writer.get()));
    EXPECT_EQ(png_writer_save(writer.get(), folder.file("no such folder/out.png").c_str()), 1);
    EXPECT_EQ(png_writer_save(nullptr, folder.file("null.png").c_str()), 1);
    EXPECT_EQ(list_folder(folder.path()), std::vector<std::string>{ "out.png" });
    if (!file_exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(png_writer_save(writer.get(), "/dev/full"), 1);
    EXPECT_EQ(png_writer_save(large.get(), "/dev/full"), 1);
}
