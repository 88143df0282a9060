// Loading images into 8-bit RGB, and the framed working image built from them.
#include "engine/color_space.h"
#include "engine/palette.h"
#include "engine/working_image.h"
#include "input/image_source.h"
#include "settings/settings.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <webp/decode.h>

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

// An input image read whole: width * height * 3 bytes, row by row, and its
// alpha, width * height bytes, or none when the reader gives none.
struct source_image {
    int width = 0;
    int height = 0;
    bytes rgb;
    bytes alpha;
};

// Reads every row through open_image_source; false when the file cannot be
// opened, a row cannot be read, or the alpha comes for some rows only.
bool load_source_image(const char *path, source_image &image)
{
    std::unique_ptr<image_source> source = open_image_source(path);
    if (!source)
        return false;
    image.width = source->width;
    image.height = source->height;
    image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
    for (int y = 0; y < image.height; ++y) {
        if (!source->read_row(&image.rgb[static_cast<size_t>(y) * image.width * 3]))
            return false;
        const uint8_t *alpha = source->row_alpha();
        if (y > 0 && (alpha != nullptr) == image.alpha.empty())
            return false;
        if (alpha)
            image.alpha.insert(image.alpha.end(), alpha, alpha + image.width);
    }
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
        fill_working_row(image, y, &source.rgb[static_cast<size_t>(y) * source.width * 3],
                         source.alpha.empty() ? nullptr : &source.alpha[static_cast<size_t>(y) * source.width],
                         conversion);
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
// 0x7FFF -> 127, 0x0080 -> 0; alpha alike. Grey is copied to all three. Alpha
// comes from an alpha channel or tRNS (entry alphas, or the one clear colour,
// whose pixels keep their colour); without either there is none.
TEST_F(image_test, every_png_form_reads_as_8_bit_rgb_and_alpha)
{
    const bytes three_colours = { 200, 10, 20, 30, 40, 250, 0, 128, 255 };
    const struct { const char *name; uint32_t width; png_form form; bytes rows, rgb, alpha; } cases[] = {
        { "rgb", 3, { 2, 8 }, asymmetric_rgb, asymmetric_rgb, {} },
        { "grey", 2, { 0, 8 }, { 7, 200 }, { 7, 7, 7, 200, 200, 200 }, {} },
        { "grey and alpha", 2, { 4, 8 }, { 7, 0, 200, 255 }, { 7, 7, 7, 200, 200, 200 }, { 0, 255 } },
        { "rgba", 2, { 6, 8 }, { 1, 2, 3, 0, 250, 251, 252, 128 }, { 1, 2, 3, 250, 251, 252 }, { 0, 128 } },
        { "rgb 16-bit", 2, { 2, 16 }, samples16({ 0, 0xFFFF, 0xFF00, 0x0081, 0x1234, 0x8000 }), { 0, 255, 254, 1, 18, 128 }, {} },
        { "grey 16-bit", 2, { 0, 16 }, samples16({ 0xFF00, 0x0081 }), { 254, 254, 254, 1, 1, 1 }, {} },
        { "rgba 16-bit", 1, { 6, 16 }, samples16({ 0x7FFF, 0x0080, 0xFE80, 0x0081 }), { 127, 0, 254 }, { 1 } },
        { "grey 2-bit", 4, { 0, 2 }, { 0x1B }, { 0, 0, 0, 85, 85, 85, 170, 170, 170, 255, 255, 255 }, {} },
        { "indexed 4-bit, transparent entries", 3, { 3, 4, false, three_colours, { 0, 128 } }, { 0x20, 0x10 },
          { 0, 128, 255, 200, 10, 20, 30, 40, 250 }, { 255, 0, 128 } },
        { "grey with a clear level", 2, { 0, 8, false, {}, { 7 } }, { 7, 200 }, { 7, 7, 7, 200, 200, 200 }, { 0, 255 } },
        { "rgb with a clear colour", 2, { 2, 8, false, {}, { 7 } }, { 7, 7, 7, 7, 7, 8 }, { 7, 7, 7, 7, 7, 8 }, { 0, 255 } },
    };
    for (const auto &c : cases) {
        const uint32_t height = c.rgb.size() / 3 / c.width;
        write_png_form(folder.file("a.png"), c.width, height, c.form, c.rows);
        const source_image image = load("a.png");
        EXPECT_EQ(image.width, int(c.width)) << c.name;
        EXPECT_EQ(image.height, int(height)) << c.name;
        EXPECT_EQ(image.rgb, c.rgb) << c.name;
        EXPECT_EQ(image.alpha, c.alpha) << c.name;
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

    // 32 bits: the fourth byte is alpha only where bit fields declare it so.
    const bytes alpha = { 0, 1, 127, 128, 254, 255 };
    for (const bmp32_form form : { bmp32_form::plain, bmp32_form::alpha, bmp32_form::alpha_top_down }) {
        write_file(folder.file("a.bmp"), bmp32_bytes(3, 2, asymmetric_rgb, alpha, form));
        const source_image image = load("a.bmp");
        EXPECT_EQ(image.rgb, asymmetric_rgb) << int(form);
        EXPECT_EQ(image.alpha, form == bmp32_form::plain ? bytes() : alpha) << int(form);
    }
}

// A pixel is clear when its alpha is below the threshold; an image without
// alpha has no clear pixel, and with -a off there is no mask at all.
TEST_F(image_test, clear_pixels_are_those_below_the_threshold)
{
    source_image source;
    source.width = 3;
    source.height = 2;
    source.rgb = asymmetric_rgb;
    const struct { int threshold; bytes alpha, clear; } cases[] = {
        { 128, { 0, 127, 128, 255, 1, 129 }, { 1, 1, 0, 0, 1, 0 } },
        { 1, { 0, 1, 0, 255, 254, 0 }, { 1, 0, 1, 0, 0, 1 } },
        { 255, { 254, 255, 0, 255, 255, 255 }, { 1, 0, 1, 0, 0, 0 } },
        { 200, {}, { 0, 0, 0, 0, 0, 0 } },
        { 0, { 0, 0, 0, 0, 0, 0 }, {} },
    };
    for (const auto &c : cases) {
        alpha_threshold = c.threshold;
        source.alpha = c.alpha;
        const working_image image = fill_working_image(source);
        bytes clear;
        for (int y = 1; y <= source.height && image.clear_row(y); ++y)
            clear.insert(clear.end(), image.clear_row(y) + 1, image.clear_row(y) + 1 + source.width);
        EXPECT_EQ(clear, c.clear) << "threshold " << c.threshold;
    }
}

std::vector<uint16_t> values_of(const bytes &samples) { return std::vector<uint16_t>(samples.begin(), samples.end()); }

// Levels by hand as for PNG; 1 is black when min-is-white. Colour maps: the
// high byte of each 16-bit level (0x1212 and 0x8000 alike), or the levels as
// they are when none passes 255. CMYK as the JPEG reader turns plain inks into
// RGB, (255 - ink) (255 - K) / 255 rounded: (0, 128, 0, 64) gives 191, 95, 191.
// Tiles (16 x 16, the last ones cut by the image's edge) and planes read as
// strips of side-by-side samples do.
TEST_F(image_test, every_tiff_form_reads_as_8_bit_rgb)
{
    bytes pattern(20 * 18 * 3);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<uint8_t>(i * 37 + i / 60);
    const std::vector<uint16_t> map16 = { 0, 0xFFFF, 0x1212, 0x8000, 0, 0x0100, 0x3434, 0x80FF, 0, 0x0200, 0x5656, 0x0000 };
    const std::vector<uint16_t> map8 = { 10, 20, 30, 40, 50, 60 };
    const struct { const char *name; int width; tiff_form form; std::vector<uint16_t> values; bytes rgb, alpha = {}; } cases[] = {
        { "rgb, lzw", 3, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_LZW }, values_of(asymmetric_rgb), asymmetric_rgb },
        { "rgba 16-bit in planes, deflate", 2, { PHOTOMETRIC_RGB, 16, 4, COMPRESSION_ADOBE_DEFLATE, true },
          { 0xFF00, 0x0081, 0x1234, 0, 0x8000, 0x7FFF, 0x0080, 0xFFFF }, { 254, 1, 18, 128, 127, 0 }, { 0, 255 } },
        { "rgba side by side", 2, { PHOTOMETRIC_RGB, 8, 4 }, { 1, 2, 3, 127, 4, 5, 6, 128 }, { 1, 2, 3, 4, 5, 6 },
          { 127, 128 } },
        { "min-is-white 1-bit, packbits", 10, { PHOTOMETRIC_MINISWHITE, 1, 1, COMPRESSION_PACKBITS }, { 1, 0, 0, 1, 1, 1, 0, 0, 0, 1 },
          { 0, 0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 255, 255, 255,
            255, 255, 255, 0, 0, 0 } },
        { "grey 4-bit and alpha", 3, { PHOTOMETRIC_MINISBLACK, 4, 2 }, { 0, 0, 5, 9, 15, 15 }, { 0, 0, 0, 85, 85, 85, 255, 255, 255 },
          { 0, 153, 255 } },
        { "palette 2-bit, 16-bit map", 4, { PHOTOMETRIC_PALETTE, 2, 1, COMPRESSION_NONE, false, false, map16 }, { 3, 0, 2, 1 },
          { 0x80, 0x80, 0x00, 0, 0, 0, 0x12, 0x34, 0x56, 0xFF, 0x01, 0x02 } },
        { "palette 1-bit, 8-bit map", 2, { PHOTOMETRIC_PALETTE, 1, 1, COMPRESSION_NONE, false, false, map8 }, { 1, 0 },
          { 20, 40, 60, 10, 30, 50 } },
        { "cmyk", 3, { PHOTOMETRIC_SEPARATED, 8, 4, COMPRESSION_LZW }, { 0, 0, 0, 0, 255, 0, 0, 0, 0, 128, 0, 64 },
          { 255, 255, 255, 0, 255, 255, 191, 95, 191 } },
        { "cmyk 16-bit tiles", 1, { PHOTOMETRIC_SEPARATED, 16, 4, COMPRESSION_ADOBE_DEFLATE, false, true }, { 0xFFFF, 0, 0x8000, 0, 0, 0, 0, 0x0080 },
          { 0, 255, 127, 255, 255, 255 } },
        { "rgb in tiles", 20, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_LZW, false, true }, values_of(pattern), pattern },
        { "rgb in planes", 20, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_ADOBE_DEFLATE, true }, values_of(pattern), pattern },
        { "rgb in tiled planes", 20, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_PACKBITS, true, true }, values_of(pattern), pattern },
    };
    for (const auto &c : cases) {
        const int height = static_cast<int>(c.rgb.size() / 3 / c.width);
        write_test_tiff(folder.file("a.tif"), c.width, height, c.form, c.values);
        const source_image image = load("a.tif");
        EXPECT_EQ(image.width, c.width) << c.name;
        EXPECT_EQ(image.height, height) << c.name;
        EXPECT_EQ(image.rgb, c.rgb) << c.name;
        EXPECT_EQ(image.alpha, c.alpha) << c.name;
    }
}

// The same inks as a CMYK TIFF and as a CMYK JPEG (stored inverted by
// Adobe's convention): the TIFF gives the colours worked out by hand, the
// JPEG the same within its rounding. The blocks are the JPEG's 8 x 8 units,
// so it keeps them uniform.
TEST_F(image_test, cmyk_tiff_and_cmyk_jpeg_read_alike)
{
    const uint8_t inks[4][4] = { { 0, 0, 0, 0 }, { 255, 0, 0, 0 }, { 0, 128, 0, 64 }, { 20, 40, 60, 200 } };
    const uint8_t colours[4][3] = { { 255, 255, 255 }, { 0, 255, 255 }, { 191, 95, 191 }, { 51, 46, 42 } };
    bytes plain, inverted, expected;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const int block = (y / 8) * 2 + x / 8;
            for (int c = 0; c < 4; ++c) {
                plain.push_back(inks[block][c]);
                inverted.push_back(static_cast<uint8_t>(255 - inks[block][c]));
            }
            expected.insert(expected.end(), colours[block], colours[block] + 3);
        }
    write_test_tiff(folder.file("cmyk.tif"), 16, 16, { PHOTOMETRIC_SEPARATED, 8, 4 }, values_of(plain));
    write_test_jpeg(folder.file("cmyk.jpg"), 16, 16, 4, inverted, false);
    const source_image tiff = load("cmyk.tif"), jpeg = load("cmyk.jpg");
    EXPECT_EQ(tiff.rgb, expected);
    ASSERT_EQ(jpeg.rgb.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(jpeg.rgb[i], expected[i], 1) << i;
}

// The frame sits on the logical screen, which is filled with the background
// colour of the global table; a frame reaching past the screen widens it. The
// transparent colour is still shown as its colour, and gives alpha: 0 for its
// pixels and for the screen around the frame, 255 for the rest.
TEST_F(image_test, a_gif_frame_sits_on_its_screen)
{
    const bytes red_green = { 255, 0, 0, 0, 255, 0 };
    const bytes four = { 0, 0, 0, 10, 20, 30, 40, 50, 60, 70, 80, 90 };
    const bytes nine = { 0, 1, 2, 3, 0, 1, 2, 3, 1 };
    bytes nine_rgb;
    for (uint8_t i : nine)
        nine_rgb.insert(nine_rgb.end(), &four[3 * i], &four[3 * i] + 3);
    const struct { const char *name; int width, height; gif_form form; bytes colours, indices, rgb, alpha; } cases[] = {
        { "on a wider screen", 1, 1, { 3, 1, 1, 0, false, false, -1, 1 }, red_green, { 0 },
          { 0, 255, 0, 255, 0, 0, 0, 255, 0 }, {} },
        { "on a wider screen, transparent", 1, 1, { 3, 1, 1, 0, false, false, 1, 1 }, red_green, { 0 },
          { 0, 255, 0, 255, 0, 0, 0, 255, 0 }, { 0, 255, 0 } },
        { "past the screen", 2, 1, { 1, 1, 0, 0, false, false, 0 }, red_green, { 1, 0 }, { 0, 255, 0, 255, 0, 0 },
          { 255, 0 } },
        { "interlaced, own table", 1, 9, { 1, 9, 0, 0, true, true, 2 }, four, nine, nine_rgb,
          { 255, 255, 0, 255, 255, 255, 0, 255, 255 } },
    };
    for (const auto &c : cases) {
        write_test_gif(folder.file("a.gif"), c.width, c.height, c.form, c.colours, c.indices);
        const source_image image = load("a.gif");
        EXPECT_EQ(image.rgb, c.rgb) << c.name;
        EXPECT_EQ(image.alpha, c.alpha) << c.name;
    }
}

// WebP alpha, lossless and lossy (whose alpha plane is kept exactly); the
// colours of an image with alpha are those libwebp gives as RGB.
TEST_F(image_test, webp_reads_its_alpha)
{
    const bytes alpha = { 0, 1, 127, 128, 254, 255 };
    const struct { const char *name; bool lossless; bytes alpha; } cases[] = {
        { "lossless", true, {} }, { "lossless with alpha", true, alpha }, { "lossy with alpha", false, alpha },
    };
    for (const auto &c : cases) {
        const std::string webp = webp_bytes(3, 2, asymmetric_rgb, c.lossless, c.alpha);
        write_file(folder.file("a.webp"), webp);
        int width = 0, height = 0;
        uint8_t *rgb = WebPDecodeRGB(reinterpret_cast<const uint8_t *>(webp.data()), webp.size(), &width, &height);
        const source_image image = load("a.webp");
        EXPECT_EQ(image.rgb, bytes(rgb, rgb + width * height * 3)) << c.name;
        WebPFree(rgb);
        EXPECT_EQ(image.alpha, c.alpha) << c.name;
    }
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

// The frame of two pixels repeats the nearest edge pixel; worked by hand.
TEST_F(image_test, the_frame_repeats_the_nearest_edge_pixel)
{
    RGB_gamma = 1;
    const struct { int width, height; bytes rgb; std::vector<const char *> framed; } cases[] = {
        { 1, 1, { 255, 128, 0 }, { "aaaaa", "aaaaa", "aaaaa", "aaaaa", "aaaaa" } },
        { 3, 2, asymmetric_rgb, { "aaabccc", "aaabccc", "aaabccc", "dddefff", "dddefff", "dddefff" } },
    };
    for (const auto &c : cases) {
        source_image source;
        source.width = c.width;
        source.height = c.height;
        source.rgb = c.rgb;
        const working_image image = fill_working_image(source);
        ASSERT_EQ(image.values.size(), size_t(c.width + 4) * (c.height + 4) * 3);
        for (int y = -1; y < c.height + 3; ++y)
            for (int x = -1; x < c.width + 3; ++x)
                for (int ch = 0; ch < 3; ++ch)
                    EXPECT_NEAR(image.at(x, y)[ch], c.rgb[(c.framed[y + 1][x + 1] - 'a') * 3 + ch] / 255.0, 1e-7)
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
