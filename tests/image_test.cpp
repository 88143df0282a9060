#include "driver/settings.h"
#include "engine/color_space.h"
#include "engine/image.h"
#include "engine/palette.h"
#include "tests/image_writers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// Big-endian 16-bit samples.
bytes samples16(const std::vector<uint16_t> &values)
{
    bytes out;
    for (uint16_t v : values) {
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v & 255));
    }
    return out;
}

std::string text(const bytes &b) { return std::string(b.begin(), b.end()); }

// Six distinct pixels in a 3 x 2 image: a b c / d e f.
const bytes asymmetric_rgb = {
    10, 20, 30,   40, 50, 60,    70, 80, 90,     // a b c
    100, 110, 120, 130, 140, 150, 255, 0, 128,   // d e f
};

class image_test : public ::testing::Test {
protected:
    void SetUp() override { set_default_settings(); }

    source_image load(const std::string &name, bool expect_ok = true)
    {
        source_image image;
        image.width = 99;  // a refusal must not leave anything behind
        image.rgb.assign(3, 1);
        EXPECT_EQ(load_source_image(folder.file(name).c_str(), image), expect_ok) << name;
        if (!expect_ok) {
            EXPECT_EQ(image.width, 0);
            EXPECT_TRUE(image.rgb.empty());
        }
        return image;
    }

    temp_folder folder;
};

struct png_case {
    const char *name;
    uint32_t width, height;
    png_form form;
    bytes rows;
    bytes expected_rgb;
};

// A 9 x 9 pattern whose pixels all differ, so that a pixel of one Adam7 pass
// put in another's place shows: red x, green y, blue x * 9 + y.
bytes pattern_rgb(int size)
{
    bytes out;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            out.insert(out.end(), { uint8_t(x), uint8_t(y), uint8_t(x * size + y) });
    return out;
}

}  // namespace

TEST_F(image_test, every_png_form_reads_as_8_bit_rgb)
{
    const bytes pattern = pattern_rgb(9);
    const bytes three_colours = { 200, 10, 20, 30, 40, 250, 0, 128, 255 };
    // 16-bit samples by hand, (v * 255 + 32767) / 65535: 0xFF00 -> 254 (its
    // high byte is 255), 0x0081 -> 1 (its low byte is 129), 0x1234 -> 18,
    // 0x8000 -> 128, 0x7FFF -> 127, 0x0080 -> 0, 0xFE80 -> 254.
    const png_case cases[] = {
        { "rgb", 3, 2, { 2, 8 }, asymmetric_rgb, asymmetric_rgb },
        { "grey", 2, 1, { 0, 8 }, { 7, 200 }, { 7, 7, 7, 200, 200, 200 } },
        { "grey and alpha", 2, 1, { 4, 8 }, { 7, 0, 200, 255 }, { 7, 7, 7, 200, 200, 200 } },
        { "alpha, one pixel fully transparent", 2, 1, { 6, 8 }, { 1, 2, 3, 0, 250, 251, 252, 128 }, { 1, 2, 3, 250, 251, 252 } },
        { "rgb 16-bit", 2, 1, { 2, 16 }, samples16({ 0, 0xFFFF, 0xFF00, 0x0081, 0x1234, 0x8000 }), { 0, 255, 254, 1, 18, 128 } },
        { "grey 16-bit", 3, 1, { 0, 16 }, samples16({ 0xFF00, 0x0081, 0xFFFF }), { 254, 254, 254, 1, 1, 1, 255, 255, 255 } },
        { "rgba 16-bit", 1, 1, { 6, 16 }, samples16({ 0x7FFF, 0x0080, 0xFE80, 0 }), { 127, 0, 254 } },
        { "grey 1-bit", 3, 1, { 0, 1 }, { 0xA0 }, { 255, 255, 255, 0, 0, 0, 255, 255, 255 } },
        { "grey 2-bit", 4, 1, { 0, 2 }, { 0x1B }, { 0, 0, 0, 85, 85, 85, 170, 170, 170, 255, 255, 255 } },
        { "indexed 4-bit", 3, 1, { 3, 4, false, three_colours }, { 0x20, 0x10 }, { 0, 128, 255, 200, 10, 20, 30, 40, 250 } },
        { "indexed, entries transparent", 3, 1, { 3, 8, false, three_colours, { 0, 0, 128 } }, { 1, 2, 0 }, { 30, 40, 250, 0, 128, 255, 200, 10, 20 } },
        { "rgb with a transparent key", 2, 1, { 2, 8, false, {}, { 7 } }, { 7, 7, 7, 8, 9, 10 }, { 7, 7, 7, 8, 9, 10 } },
        { "interlaced rgb", 9, 9, { 2, 8, true }, pattern, pattern },
        { "interlaced grey 16-bit", 2, 2, { 0, 16, true }, samples16({ 0xFFFF, 0x0081, 0xFF00, 0 }), { 255, 255, 255, 1, 1, 1, 254, 254, 254, 0, 0, 0 } },
    };
    for (const png_case &c : cases) {
        write_png_form(folder.file("a.png"), c.width, c.height, c.form, c.rows);
        const source_image image = load("a.png");
        EXPECT_EQ(image.width, static_cast<int>(c.width)) << c.name;
        EXPECT_EQ(image.height, static_cast<int>(c.height)) << c.name;
        EXPECT_EQ(image.rgb, c.expected_rgb) << c.name;
    }
}

TEST_F(image_test, bmp_loads_top_row_first)
{
    write_file(folder.file("a.bmp"), bmp_bytes(3, 2, asymmetric_rgb));
    const source_image image = load("a.bmp");
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(image.rgb, asymmetric_rgb);
}

TEST_F(image_test, pnm_files_in_every_type_and_depth)
{
    // Scaled by hand as (v * 255 + maxval / 2) / maxval: 100 of 200 -> 128,
    // 200 of 200 -> 255, 500 of 1000 -> 128, 999 of 1000 -> 255, 1 of 1000 -> 0,
    // 3 of 1023 -> 1, 1020 of 1023 -> 254.
    const struct {
        const char *name, *header;
        bytes pixels;
        bytes expected_rgb;
    } cases[] = {
        { "P6", "P6\n# made by hand\n3 2\n255\n", asymmetric_rgb, asymmetric_rgb },
        { "P5 maxval 200", "P5 2 1 200\n", { 100, 200 }, { 128, 128, 128, 255, 255, 255 } },
        { "P6 16-bit", "P6\n1 1\n65535\n", samples16({ 0xFF00, 0x0081, 0xFFFF }), { 254, 1, 255 } },
        { "P5 maxval 1023", "P5\n2 1\n1023\n", samples16({ 3, 1020 }), { 1, 1, 1, 254, 254, 254 } },
        { "P2", "P2\n2 1\n255\n9 250\n", {}, { 9, 9, 9, 250, 250, 250 } },
        { "P3 maxval 1000", "P3 1 1 1000\n500 999 1\n", {}, { 128, 255, 0 } },
        // In a bitmap 1 is black; the text form needs no space between digits.
        { "P1", "P1\n3 1\n101\n", {}, { 0, 0, 0, 255, 255, 255, 0, 0, 0 } },
        { "P4", "P4\n10 1\n", { 0x40, 0x80 }, { 255, 255, 255, 0, 0, 0, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                                255, 255, 255, 255, 255, 255, 255, 255, 255, 0, 0, 0, 255, 255, 255 } },
    };
    for (const auto &c : cases) {
        write_file(folder.file("a.pnm"), c.header + text(c.pixels));
        EXPECT_EQ(load("a.pnm").rgb, c.expected_rgb) << c.name;
    }
}

TEST_F(image_test, the_format_comes_from_the_contents_not_the_name)
{
    write_test_png(folder.file("really_a_png.bmp"), 1, 1, 3, { 5, 6, 7 });
    EXPECT_EQ(load("really_a_png.bmp").rgb, (bytes{ 5, 6, 7 }));
}

TEST_F(image_test, files_that_are_not_readable_images_are_refused)
{
    write_file(folder.file("notes.txt"), "just some words\n");
    write_file(folder.file("empty.png"), "");
    // Formats the library could only read through an outside program.
    write_file(folder.file("a.gif"), std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 13));
    write_file(folder.file("a.tif"), std::string("II*\x00\x08\x00\x00\x00", 8));
    mkdir(folder.file("folder.png").c_str(), 0755);
    for (const char *name : { "notes.txt", "empty.png", "a.gif", "a.tif", "folder.png", "missing.png" })
        load(name, false);
}

TEST_F(image_test, broken_empty_and_lying_images_are_refused_without_a_word)
{
    write_test_png(folder.file("whole.png"), 4, 4, 3, bytes(48, 77));
    const std::string whole = read_file(folder.file("whole.png"));
    const std::string bmp = bmp_bytes(3, 2, asymmetric_rgb);
    std::string bmp_16_colours = bmp_bytes(3, 2, asymmetric_rgb);
    bmp_16_colours[0x1C] = 8;   // 8 bits a pixel ...
    bmp_16_colours[0x2E] = 16;  // ... with a table of 16 colours, which the library would leave unread
    const struct {
        const char *name;
        std::string contents;
    } cases[] = {
        { "cut.png", whole.substr(0, whole.size() - 30) },
        { "no_end.png", whole.substr(0, whole.size() - 12) },
        { "header.png", whole.substr(0, 33) },
        { "zero.ppm", "P6 0 0 255\n" },
        { "zero.bmp", bmp_bytes(0, 0, {}) },
        { "short.ppm", "P6\n2 2\n255\n" + std::string(11, 'x') },
        { "short16.pgm", "P5\n2 1\n65535\n" + std::string(3, 'x') },
        { "short_text.pgm", "P2\n3 1\n255\n1 2\n" },
        { "maxval0.pgm", "P5\n1 1\n0\n" + std::string(1, 'x') },
        { "short.bmp", bmp.substr(0, bmp.size() - 13) },
        { "table16.bmp", bmp_16_colours },
        { "huge.ppm", "P6\n4000000000 4000000000\n255\n" + std::string(100, 'x') },
        { "huge.pbm", "P4 2000000000 2000000000\n" + std::string(100, 'x') },
    };
    stdout_capture out;
    for (const auto &c : cases) {
        write_file(folder.file(c.name), c.contents);
        load(c.name, false);
    }
    EXPECT_EQ(out.finish(), "");
}

TEST_F(image_test, a_one_pixel_image_fills_all_nine_framed_pixels)
{
    write_test_png(folder.file("one.png"), 1, 1, 3, { 255, 128, 0 });
    const source_image source = load("one.png");
    RGB_gamma = 1;
    working_image image;
    fill_working_image(source, image);
    ASSERT_EQ(image.values.size(), 9u * 3u);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 3; ++x) {
            EXPECT_EQ(image.at(x, y)[0], 1.0f);
            EXPECT_NEAR(image.at(x, y)[1], 0.501961, 5e-7);
            EXPECT_EQ(image.at(x, y)[2], 0.0f);
        }
    }
}

TEST_F(image_test, the_frame_repeats_the_nearest_edge_pixel)
{
    source_image source;
    source.width = 3;
    source.height = 2;
    source.rgb = asymmetric_rgb;
    RGB_gamma = 1;
    working_image image;
    fill_working_image(source, image);
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(image.channels, 3);
    ASSERT_EQ(image.values.size(), 5u * 4u * 3u);

    // Which input pixel each framed pixel shows, worked out by hand.
    const char *framed[] = {
        "aabcc",
        "aabcc",
        "ddeff",
        "ddeff",
    };
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 5; ++x) {
            const int index = framed[y][x] - 'a';
            for (int c = 0; c < 3; ++c) {
                const int byte = asymmetric_rgb[index * 3 + c];
                EXPECT_NEAR(image.at(x, y)[c], byte / 255.0, 1e-7) << "(" << x << ", " << y << ") channel " << c;
            }
        }
    }
}

TEST_F(image_test, srgb_images_divide_by_the_float_one_255th)
{
    RGB_gamma = 1;
    EXPECT_EQ(prepared_level(0), 0.0f);
    EXPECT_EQ(prepared_level(255), 1.0f);
    const double reference[][2] = { { 1, 0.00392157 }, { 10, 0.0392157 }, { 11, 0.0431373 },
                                    { 128, 0.501961 }, { 188, 0.737255 } };
    for (const auto &row : reference)
        EXPECT_NEAR(prepared_level(static_cast<int>(row[0])), row[1], row[1] * 5e-6);
}

TEST_F(image_test, linear_images_decode_as_the_palette_does)
{
    for (int byte = 0; byte < 256; ++byte)
        EXPECT_EQ(prepared_level(byte), srgb_byte_to_linear(byte)) << "byte " << byte;
}

TEST_F(image_test, level_compression_scales_the_treated_levels)
{
    const float third = static_cast<float>(1.0 / 3.0), two_thirds = static_cast<float>(2.0 / 3.0);
    for (int gamma : { 0, 1 }) {
        RGB_gamma = gamma;
        const float white[] = { 1.0f, third, 0.5f, two_thirds };  // "off", "85", "128", "170"
        for (int code = 0; code < 4; ++code) {
            level_compress = code;
            EXPECT_EQ(prepared_level(255), white[code]) << "gamma " << gamma << " code " << code;
            EXPECT_EQ(prepared_level(0), 0.0f);
        }
    }
    // In linear mode the compression scales linear light, after the decoding.
    RGB_gamma = 0;
    level_compress = 2;
    EXPECT_EQ(prepared_level(128), srgb_byte_to_linear(128) / 2);
    level_compress = 1;
    EXPECT_NEAR(prepared_level(188), 0.502886 / 3, 2e-7);
    RGB_gamma = 1;
    EXPECT_NEAR(prepared_level(128), 128 / 255.0 / 3, 1e-7);
}

TEST_F(image_test, compression_reaches_the_image_but_not_the_palette)
{
    bytes palette(768, 0);
    palette[0] = palette[1] = palette[2] = 255;
    write_palette_file(folder.file("p.act"), palette);
    std::strcpy(palette_path_buffer, folder.file("p.act").c_str());
    level_compress = 2;
    color_space = color_space_cmy;
    channels_used = 3;
    ASSERT_TRUE(read_palette());
    convert_palette();
    EXPECT_EQ(pal_R[0], 1.0f);
    EXPECT_EQ(pal_ch[0][0], 0.0f);

    source_image white;
    white.width = white.height = 1;
    white.rgb = { 255, 255, 255 };
    working_image image;
    fill_working_image(white, image);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(image.at(1, 1)[c], 0.5f);
}

TEST_F(image_test, pixels_and_palette_entries_of_one_colour_meet_in_every_space)
{
    // Palette entry i has the colour of input pixel i, in a 16 x 16 image.
    bytes rgb;
    for (int i = 0; i < palette_entries; ++i) {
        rgb.push_back(static_cast<uint8_t>(i));
        rgb.push_back(static_cast<uint8_t>((i * 37) & 255));
        rgb.push_back(static_cast<uint8_t>(255 - i / 2));
    }
    write_palette_file(folder.file("p.act"), rgb);
    std::strcpy(palette_path_buffer, folder.file("p.act").c_str());
    source_image source;
    source.width = source.height = 16;
    source.rgb = rgb;

    const int channel_counts[] = { 3, 4, 7, 3, 6, 3, 4 };
    for (int gamma : { 0, 1 }) {
        for (int space = 0; space < 7; ++space) {
            RGB_gamma = gamma;
            color_space = space;
            channels_used = channel_counts[space];
            ASSERT_TRUE(read_palette());
            convert_palette();
            working_image image;
            fill_working_image(source, image);
            ASSERT_EQ(image.channels, channels_used);
            ASSERT_EQ(image.values.size(), 18u * 18u * channels_used);
            for (int i = 0; i < palette_entries; ++i) {
                const float *pixel = image.at(i % 16 + 1, i / 16 + 1);
                for (int c = 0; c < channels_used; ++c) {
                    // The image divides by a float 1/255, the palette by the
                    // double one; a last-place difference may carry through.
                    if (gamma == 0)
                        ASSERT_EQ(pixel[c], pal_ch[c][i]) << "space " << space << " entry " << i << " channel " << c;
                    else
                        ASSERT_NEAR(pixel[c], pal_ch[c][i], 3e-7) << "space " << space << " entry " << i;
                }
            }
        }
    }
}
