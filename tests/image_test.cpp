// Loading images into 8-bit RGB, and the framed working image built from them.
#include "engine/color_space.h"
#include "engine/palette.h"
#include "engine/working_image.h"
#include "input/image_source.h"
#include "settings/settings.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

bytes samples16(const std::vector<uint16_t> &values)
{
    bytes out;
    for (uint16_t v : values)
        out.insert(out.end(), { uint8_t(v >> 8), uint8_t(v) });
    return out;
}

// An input image read whole: width * height * 3 bytes, row by row.
struct source_image {
    int width = 0;
    int height = 0;
    bytes rgb;
};

// Reads every row through open_image_source; false when the file cannot be
// opened or a row cannot be read.
bool load_source_image(const char *path, source_image &image)
{
    std::unique_ptr<image_source> source = open_image_source(path);
    if (!source)
        return false;
    image.width = source->width;
    image.height = source->height;
    image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
    for (int y = 0; y < image.height; ++y)
        if (!source->read_row(&image.rgb[static_cast<size_t>(y) * image.width * 3]))
            return false;
    return true;
}

// The working image as the engine fills it, row by row.
working_image fill_working_image(const source_image &source)
{
    select_color_space(color_space);
    const row_conversion conversion = make_row_conversion();
    working_image image;
    allocate_working_image(image, source.width, source.height, conversion);
    for (int y = 0; y < source.height; ++y)
        fill_working_row(image, y, &source.rgb[static_cast<size_t>(y) * source.width * 3], conversion);
    return image;
}

// Six distinct pixels in a 3 x 2 image: a b c / d e f.
const bytes asymmetric_rgb = { 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 130, 140, 150, 255, 0, 128 };

class image_test : public ::testing::Test {
protected:
    void SetUp() override { set_default_settings(); }

    source_image load(const std::string &name, bool expect_ok = true)
    {
        source_image image;
        EXPECT_EQ(load_source_image(folder.file(name).c_str(), image), expect_ok) << name;
        return image;
    }

    temp_folder folder;
};

}  // namespace

// 16-bit samples by hand, (v * 255 + 32767) / 65535: 0xFF00 -> 254 (its high
// byte is 255), 0x0081 -> 1 (its low byte is 129), 0x1234 -> 18, 0x8000 -> 128,
// 0x7FFF -> 127, 0x0080 -> 0. Alpha is dropped, grey copied to all three.
TEST_F(image_test, every_png_form_reads_as_8_bit_rgb)
{
    const bytes three_colours = { 200, 10, 20, 30, 40, 250, 0, 128, 255 };
    const struct { const char *name; uint32_t width; png_form form; bytes rows, rgb; } cases[] = {
        { "rgb", 3, { 2, 8 }, asymmetric_rgb, asymmetric_rgb },
        { "grey", 2, { 0, 8 }, { 7, 200 }, { 7, 7, 7, 200, 200, 200 } },
        { "grey and alpha", 2, { 4, 8 }, { 7, 0, 200, 255 }, { 7, 7, 7, 200, 200, 200 } },
        { "rgba, one pixel transparent", 2, { 6, 8 }, { 1, 2, 3, 0, 250, 251, 252, 128 }, { 1, 2, 3, 250, 251, 252 } },
        { "rgb 16-bit", 2, { 2, 16 }, samples16({ 0, 0xFFFF, 0xFF00, 0x0081, 0x1234, 0x8000 }), { 0, 255, 254, 1, 18, 128 } },
        { "grey 16-bit", 2, { 0, 16 }, samples16({ 0xFF00, 0x0081 }), { 254, 254, 254, 1, 1, 1 } },
        { "rgba 16-bit", 1, { 6, 16 }, samples16({ 0x7FFF, 0x0080, 0xFE80, 0 }), { 127, 0, 254 } },
        { "grey 2-bit", 4, { 0, 2 }, { 0x1B }, { 0, 0, 0, 85, 85, 85, 170, 170, 170, 255, 255, 255 } },
        { "indexed 4-bit, transparent entries", 3, { 3, 4, false, three_colours, { 0, 128 } }, { 0x20, 0x10 },
          { 0, 128, 255, 200, 10, 20, 30, 40, 250 } },
    };
    for (const auto &c : cases) {
        const uint32_t height = c.rgb.size() / 3 / c.width;
        write_png_form(folder.file("a.png"), c.width, height, c.form, c.rows);
        const source_image image = load("a.png");
        EXPECT_EQ(image.width, int(c.width)) << c.name;
        EXPECT_EQ(image.height, int(height)) << c.name;
        EXPECT_EQ(image.rgb, c.rgb) << c.name;
    }
}

// Scaled by hand as (v * 255 + maxval / 2) / maxval; in a bitmap 1 is black.
TEST_F(image_test, pnm_and_bmp)
{
    const struct { const char *header; bytes pixels, rgb; } cases[] = {
        { "P6\n# made by hand\n3 2\n255\n", asymmetric_rgb, asymmetric_rgb },
        { "P5 2 1 200\n", { 100, 200 }, { 128, 128, 128, 255, 255, 255 } },
        { "P5\n2 1\n1023\n", samples16({ 3, 1020 }), { 1, 1, 1, 254, 254, 254 } },
        { "P3 1 1 1000\n500 999 1\n", {}, { 128, 255, 0 } },
        { "P1\n3 1\n101\n", {}, { 0, 0, 0, 255, 255, 255, 0, 0, 0 } },
    };
    for (const auto &c : cases) {
        write_file(folder.file("a.pnm"), c.header + std::string(c.pixels.begin(), c.pixels.end()));
        EXPECT_EQ(load("a.pnm").rgb, c.rgb) << c.header;
    }
    write_file(folder.file("a.bmp"), bmp_bytes(3, 2, asymmetric_rgb));
    EXPECT_EQ(load("a.bmp").rgb, asymmetric_rgb);  // bottom-up rows, read top row first
}

// Files cut short or lying about themselves are refused without a word.
TEST_F(image_test, broken_and_lying_images_are_refused_silently)
{
    const std::string bmp = bmp_bytes(3, 2, asymmetric_rgb);
    std::string bmp_16_colours = bmp;
    bmp_16_colours[0x1C] = 8;   // 8 bits a pixel with a table of 16 colours,
    bmp_16_colours[0x2E] = 16;  // which the library would leave unread
    const struct { const char *name; std::string contents; } cases[] = {
        { "zero.ppm", "P6 0 0 255\n" },
        { "short.ppm", "P6\n2 2\n255\n" + std::string(11, 'x') },
        { "short16.pgm", "P5\n2 1\n65535\n" + std::string(3, 'x') },
        { "short_text.pgm", "P2\n3 1\n255\n1 2\n" },
        { "maxval0.pgm", "P5\n1 1\n0\nx" },
        { "short.bmp", bmp.substr(0, bmp.size() - 13) },
        { "table16.bmp", bmp_16_colours },
        { "a.gif", std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 13) },
    };
    stdout_capture out;
    for (const auto &c : cases) {
        write_file(folder.file(c.name), c.contents);
        load(c.name, false);
    }
    EXPECT_EQ(out.finish(), "");
}

// The frame of one pixel repeats the nearest edge pixel; worked by hand.
TEST_F(image_test, the_frame_repeats_the_nearest_edge_pixel)
{
    RGB_gamma = 1;
    const struct { int width, height; bytes rgb; std::vector<const char *> framed; } cases[] = {
        { 1, 1, { 255, 128, 0 }, { "aaa", "aaa", "aaa" } },
        { 3, 2, asymmetric_rgb, { "aabcc", "aabcc", "ddeff", "ddeff" } },
    };
    for (const auto &c : cases) {
        source_image source;
        source.width = c.width;
        source.height = c.height;
        source.rgb = c.rgb;
        const working_image image = fill_working_image(source);
        ASSERT_EQ(image.values.size(), size_t(c.width + 2) * (c.height + 2) * 3);
        for (int y = 0; y < c.height + 2; ++y)
            for (int x = 0; x < c.width + 2; ++x)
                for (int ch = 0; ch < 3; ++ch)
                    EXPECT_NEAR(image.at(x, y)[ch], c.rgb[(c.framed[y][x] - 'a') * 3 + ch] / 255.0, 1e-7)
                        << "(" << x << ", " << y << ") channel " << ch;
    }
}

// White is 1 / 3, 1 / 2 or 2 / 3 with "85", "128", "170"; in linear mode the
// compression scales linear light, after the decoding.
TEST_F(image_test, level_compression_in_both_gamma_modes)
{
    const float white[] = { 1.0f, float(1.0 / 3.0), 0.5f, float(2.0 / 3.0) };
    for (int gamma : { 0, 1 }) {
        RGB_gamma = gamma;
        for (int code = 0; code < 4; ++code) {
            level_compress = code;
            EXPECT_EQ(prepared_level(255), white[code]) << "gamma " << gamma << " code " << code;
            EXPECT_EQ(prepared_level(0), 0.0f);
        }
    }
    level_compress = 1;
    EXPECT_NEAR(prepared_level(128), 128 / 255.0 / 3, 1e-7);
    RGB_gamma = 0;
    EXPECT_NEAR(prepared_level(188), 0.502886 / 3, 2e-7);
    level_compress = 0;
    EXPECT_NEAR(prepared_level(128), 0.215861, 2e-6);
}

// The palette stays uncompressed while the image is compressed.
TEST_F(image_test, compression_reaches_the_image_but_not_the_palette)
{
    write_file(folder.file("p.act"), std::string(3, '\xff') + std::string(765, '\0'));
    std::strcpy(palette_path_buffer, folder.file("p.act").c_str());
    level_compress = 2;
    select_color_space(color_space_cmy);
    ASSERT_TRUE(read_palette());
    convert_palette();
    EXPECT_EQ(pal_ch[0][0], 0.0f);  // cyan of white
    source_image white;
    white.width = white.height = 1;
    white.rgb = { 255, 255, 255 };
    const working_image image = fill_working_image(white);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(image.at(1, 1)[c], 0.5f);
}
