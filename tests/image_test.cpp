// Loading images into 8-bit RGB and alpha, and the framed working image built
// from them.
#include "engine/color_space.h"
#include "engine/palette.h"
#include "engine/palette_files.h"
#include "engine/working_image.h"
#include "input/image_source.h"
#include "settings/settings.h"
#include "tests/engine_fixture.h"
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

std::vector<uint16_t> values_of(const bytes &samples) { return std::vector<uint16_t>(samples.begin(), samples.end()); }

// Grey levels as the RGB that every reader gives for them.
bytes grey(const bytes &levels)
{
    bytes rgb;
    for (uint8_t v : levels)
        rgb.insert(rgb.end(), 3, v);
    return rgb;
}

// 16 x 16 in four uniform 8 x 8 blocks, a JPEG's own units, which at quality
// 100 come back uniform: block b (left to right, then down) all pixel[b].
bytes blocks(const std::vector<bytes> &pixel)
{
    bytes out;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            out.insert(out.end(), pixel[(y / 8) * 2 + x / 8].begin(), pixel[(y / 8) * 2 + x / 8].end());
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

class image_test : public engine_fixture {
protected:
    // The files of each writer, as bytes.
    std::string png(uint32_t width, uint32_t height, const png_form &form, const bytes &rows)
    {
        write_png_form(scratch(), width, height, form, rows);
        return read_file(scratch());
    }
    std::string tiff(int width, int height, const tiff_form &form, const std::vector<uint16_t> &values)
    {
        write_test_tiff(scratch(), width, height, form, values);
        return read_file(scratch());
    }
    std::string gif(int width, int height, const gif_form &form, const bytes &colours, const bytes &indices)
    {
        write_test_gif(scratch(), width, height, form, colours, indices);
        return read_file(scratch());
    }
    std::string jpeg(int components, const bytes &samples, bool progressive)
    {
        write_test_jpeg(scratch(), 16, 16, components, samples, progressive);
        return read_file(scratch());
    }
    std::string scratch() const { return folder.file("scratch"); }

    temp_folder folder;
};

// The colours libwebp itself gives as RGB.
bytes webp_rgb(const std::string &webp)
{
    int width = 0, height = 0;
    uint8_t *rgb = WebPDecodeRGB(reinterpret_cast<const uint8_t *>(webp.data()), webp.size(), &width, &height);
    const bytes out(rgb, rgb + width * height * 3);
    WebPFree(rgb);
    return out;
}

}  // namespace

// Every form of every format read whole, its colours and alpha worked out by
// hand; files cut short or lying about themselves (no colours expected) are
// refused without a word.
TEST_F(image_test, every_form_reads_as_8_bit_rgb_and_alpha)
{
    const bytes three_colours = { 200, 10, 20, 30, 40, 250, 0, 128, 255 };
    const bytes grey_blocks = blocks({ { 0 }, { 64 }, { 200 }, { 255 } }), rgb_blocks = grey(grey_blocks);
    std::vector<uint16_t> rgba16_blocks;  // the grey blocks, their alpha their level
    for (uint8_t v : blocks({ { 0, 0, 0, 0 }, { 64, 64, 64, 64 }, { 200, 200, 200, 200 }, { 255, 255, 255, 255 } }))
        rgba16_blocks.push_back(uint16_t(v * 257));
    bytes pattern(20 * 18 * 3);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = uint8_t(i * 37 + i / 60);
    const std::vector<uint16_t> map16 = { 0, 0xFFFF, 0x1212, 0x8000, 0, 0x0100, 0x3434, 0x80FF, 0, 0x0200, 0x5656, 0 };
    const bytes gif_four = { 0, 0, 0, 10, 20, 30, 40, 50, 60, 70, 80, 90 }, red_green = { 255, 0, 0, 0, 255, 0 };
    const bytes nine = { 0, 1, 2, 3, 0, 1, 2, 3, 1 };
    bytes nine_rgb;
    for (uint8_t i : nine)
        nine_rgb.insert(nine_rgb.end(), &gif_four[3 * i], &gif_four[3 * i] + 3);
    const bytes alpha6 = { 0, 1, 127, 128, 254, 255 };
    const std::string bmp = bmp_bytes(3, 2, asymmetric_rgb), lossy = webp_bytes(3, 2, asymmetric_rgb, false),
                      lossless_alpha = webp_bytes(3, 2, asymmetric_rgb, true, alpha6),
                      lossy_alpha = webp_bytes(3, 2, asymmetric_rgb, false, alpha6);
    std::string bmp_16_colours = bmp;
    bmp_16_colours[0x1C] = 8;   // 8 bits a pixel with a table of 16 colours,
    bmp_16_colours[0x2E] = 16;  // which the library would leave unread

    const struct { const char *name; std::string file; int width; bytes rgb, alpha = {}; int tolerance = 0; } cases[] = {
        // PNG. 16-bit samples as (v * 255 + 32767) / 65535: 0xFF00 -> 254 (its
        // high byte is 255), 0x0081 -> 1 (its low byte is 129), 0x7FFF -> 127,
        // 0x0080 -> 0; alpha alike. Grey is copied to all three. Alpha comes
        // from an alpha channel or tRNS (entry alphas, or the one clear
        // colour, whose pixels keep their colour); without either, none.
        { "png rgb", png(3, 2, { 2, 8 }, asymmetric_rgb), 3, asymmetric_rgb },
        { "png grey and alpha", png(2, 1, { 4, 8 }, { 7, 0, 200, 255 }), 2, grey({ 7, 200 }), { 0, 255 } },
        { "png rgba", png(2, 1, { 6, 8 }, { 1, 2, 3, 0, 250, 251, 252, 128 }), 2, { 1, 2, 3, 250, 251, 252 }, { 0, 128 } },
        { "png rgb 16-bit", png(2, 1, { 2, 16 }, samples16({ 0, 0xFFFF, 0xFF00, 0x0081, 0x1234, 0x8000 })), 2,
          { 0, 255, 254, 1, 18, 128 } },
        { "png grey 16-bit", png(2, 1, { 0, 16 }, samples16({ 0xFF00, 0x0081 })), 2, grey({ 254, 1 }) },
        { "png rgba 16-bit", png(1, 1, { 6, 16 }, samples16({ 0x7FFF, 0x0080, 0xFE80, 0x0081 })), 1, { 127, 0, 254 }, { 1 } },
        { "png grey 2-bit", png(4, 1, { 0, 2 }, { 0x1B }), 4, grey({ 0, 85, 170, 255 }) },
        { "png indexed 4-bit, transparent entries", png(3, 1, { 3, 4, false, three_colours, { 0, 128 } }, { 0x20, 0x10 }),
          3, { 0, 128, 255, 200, 10, 20, 30, 40, 250 }, { 255, 0, 128 } },
        { "png grey, a clear level", png(2, 1, { 0, 8, false, {}, { 7 } }, { 7, 200 }), 2, grey({ 7, 200 }),
          { 0, 255 } },
        { "png rgb, a clear colour", png(2, 1, { 2, 8, false, {}, { 7 } }, { 7, 7, 7, 7, 7, 8 }), 2, { 7, 7, 7, 7, 7, 8 },
          { 0, 255 } },
        { "png interlaced", png(16, 16, { 0, 8, true }, grey_blocks), 16, rgb_blocks },
        // PNM scaled as (v * 255 + maxval / 2) / maxval; in a bitmap 1 is black.
        { "ppm", "P6\n# made by hand\n3 2\n255\n" + std::string(asymmetric_rgb.begin(), asymmetric_rgb.end()), 3,
          asymmetric_rgb },
        { "pgm", "P5 2 1 200\n\x64\xC8", 2, grey({ 128, 255 }) },
        { "pgm 16-bit", "P5\n2 1\n1023\n" + std::string("\0\x03\x03\xFC", 4), 2, grey({ 1, 254 }) },
        { "ppm text", "P3 1 1 1000\n500 999 1\n", 1, { 128, 255, 0 } },
        { "pbm", "P1\n3 1\n101\n", 3, grey({ 0, 255, 0 }) },
        // BMP rows bottom-up; 32 bits: the fourth byte is alpha only where bit
        // fields declare it so.
        { "bmp", bmp, 3, asymmetric_rgb },
        { "bmp 32-bit", bmp32_bytes(3, 2, asymmetric_rgb, alpha6, bmp32_form::plain), 3, asymmetric_rgb },
        { "bmp 32-bit alpha", bmp32_bytes(3, 2, asymmetric_rgb, alpha6, bmp32_form::alpha), 3, asymmetric_rgb, alpha6 },
        { "bmp 32-bit alpha, top down", bmp32_bytes(3, 2, asymmetric_rgb, alpha6, bmp32_form::alpha_top_down), 3,
          asymmetric_rgb, alpha6 },
        // JPEG: grey and RGB exact in their uniform blocks; CMYK stored inverted
        // by Adobe's convention, within the rounding of (255 - ink) (255 - K) / 255.
        { "jpeg grey", jpeg(1, grey_blocks, false), 16, rgb_blocks },
        { "jpeg progressive", jpeg(3, rgb_blocks, true), 16, rgb_blocks },
        { "jpeg cmyk", jpeg(4, blocks({ { 255, 255, 255, 255 }, { 0, 255, 255, 255 }, { 255, 127, 255, 191 },
                                       { 235, 215, 195, 55 } }), false),
          16, blocks({ { 255, 255, 255 }, { 0, 255, 255 }, { 191, 95, 191 }, { 51, 46, 42 } }), {}, 1 },
        // TIFF levels as for PNG; 1 is black when min-is-white. Colour maps:
        // the high byte of each 16-bit level (0x1212 and 0x8000 alike), or the
        // levels as they are when none passes 255. CMYK as for JPEG. Tiles
        // (16 x 16, the last ones cut by the image's edge) and planes read as
        // strips of side-by-side samples do.
        { "tiff rgb, lzw", tiff(3, 2, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_LZW }, values_of(asymmetric_rgb)), 3,
          asymmetric_rgb },
        { "tiff rgba 16-bit in planes", tiff(2, 1, { PHOTOMETRIC_RGB, 16, 4, COMPRESSION_ADOBE_DEFLATE, true },
                                             { 0xFF00, 0x0081, 0x1234, 0, 0x8000, 0x7FFF, 0x0080, 0xFFFF }),
          2, { 254, 1, 18, 128, 127, 0 }, { 0, 255 } },
        { "tiff rgba", tiff(2, 1, { PHOTOMETRIC_RGB, 8, 4 }, { 1, 2, 3, 127, 4, 5, 6, 128 }), 2, { 1, 2, 3, 4, 5, 6 },
          { 127, 128 } },
        { "tiff min-is-white 1-bit", tiff(10, 1, { PHOTOMETRIC_MINISWHITE, 1, 1, COMPRESSION_PACKBITS },
                                          { 1, 0, 0, 1, 1, 1, 0, 0, 0, 1 }),
          10, grey({ 0, 255, 255, 0, 0, 0, 255, 255, 255, 0 }) },
        { "tiff grey 4-bit and alpha", tiff(3, 1, { PHOTOMETRIC_MINISBLACK, 4, 2 }, { 0, 0, 5, 9, 15, 15 }), 3,
          grey({ 0, 85, 255 }), { 0, 153, 255 } },
        { "tiff palette 2-bit, 16-bit map", tiff(4, 1, { PHOTOMETRIC_PALETTE, 2, 1, 1, false, false, map16 }, { 3, 0, 2, 1 }),
          4, { 0x80, 0x80, 0x00, 0, 0, 0, 0x12, 0x34, 0x56, 0xFF, 0x01, 0x02 } },
        { "tiff palette 1-bit, 8-bit map", tiff(2, 1, { PHOTOMETRIC_PALETTE, 1, 1, 1, false, false, { 10, 20, 30, 40, 50, 60 } },
                                                { 1, 0 }), 2, { 20, 40, 60, 10, 30, 50 } },
        { "tiff cmyk", tiff(4, 1, { PHOTOMETRIC_SEPARATED, 8, 4, COMPRESSION_LZW },
                            { 0, 0, 0, 0, 255, 0, 0, 0, 0, 128, 0, 64, 20, 40, 60, 200 }),
          4, { 255, 255, 255, 0, 255, 255, 191, 95, 191, 51, 46, 42 } },
        { "tiff cmyk 16-bit tiles", tiff(1, 2, { PHOTOMETRIC_SEPARATED, 16, 4, COMPRESSION_ADOBE_DEFLATE, false, true },
                                         { 0xFFFF, 0, 0x8000, 0, 0, 0, 0, 0x0080 }), 1, { 0, 255, 127, 255, 255, 255 } },
        { "tiff rgb in tiles", tiff(20, 18, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_LZW, false, true }, values_of(pattern)),
          20, pattern },
        { "tiff rgb in planes", tiff(20, 18, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_ADOBE_DEFLATE, true }, values_of(pattern)),
          20, pattern },
        { "tiff rgb in tiled planes", tiff(20, 18, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_PACKBITS, true, true },
                                           values_of(pattern)), 20, pattern },
        { "tiff rgba 16-bit in tiled planes", tiff(16, 16, { PHOTOMETRIC_RGB, 16, 4, COMPRESSION_ADOBE_DEFLATE, true, true },
                                                   rgba16_blocks), 16, rgb_blocks, grey_blocks },
        { "tiff jpeg", tiff(16, 16, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_JPEG }, values_of(rgb_blocks)), 16, rgb_blocks },
        // GIF: the frame sits on the logical screen, filled with the
        // background colour of the global table; a frame reaching past the
        // screen widens it. The transparent colour is still shown as its
        // colour, and gives alpha 0, as does the screen around the frame.
        { "gif on a wider screen", gif(1, 1, { 3, 1, 1, 0, false, false, -1, 1 }, red_green, { 0 }), 3,
          { 0, 255, 0, 255, 0, 0, 0, 255, 0 } },
        { "gif on a wider screen, transparent", gif(1, 1, { 3, 1, 1, 0, false, false, 1, 1 }, red_green, { 0 }), 3,
          { 0, 255, 0, 255, 0, 0, 0, 255, 0 }, { 0, 255, 0 } },
        { "gif past the screen", gif(2, 1, { 1, 1, 0, 0, false, false, 0 }, red_green, { 1, 0 }), 2,
          { 0, 255, 0, 255, 0, 0 }, { 255, 0 } },
        { "gif interlaced, own table", gif(1, 9, { 1, 9, 0, 0, true, true, 2 }, gif_four, nine), 1, nine_rgb,
          { 255, 255, 0, 255, 255, 255, 0, 255, 255 } },
        // WebP, lossy and lossless; the alpha plane is kept exactly, and the
        // colours of an image with alpha are those libwebp gives as RGB.
        { "webp lossless", webp_bytes(3, 2, asymmetric_rgb, true), 3, asymmetric_rgb },
        { "webp lossy", lossy, 3, webp_rgb(lossy) },
        { "webp lossless with alpha", lossless_alpha, 3, webp_rgb(lossless_alpha), alpha6 },
        { "webp lossy with alpha", lossy_alpha, 3, webp_rgb(lossy_alpha), alpha6 },
        // Refused.
        { "ppm of no pixels", "P6 0 0 255\n", 0, {} },
        { "ppm cut short", "P6\n2 2\n255\n" + std::string(11, 'x'), 0, {} },
        { "pgm 16-bit cut short", "P5\n2 1\n65535\n" + std::string(3, 'x'), 0, {} },
        { "pgm text cut short", "P2\n3 1\n255\n1 2\n", 0, {} },
        { "pgm of maxval 0", "P5\n1 1\n0\nx", 0, {} },
        { "bmp cut short", bmp.substr(0, bmp.size() - 13), 0, {} },
        { "bmp of a short colour table", bmp_16_colours, 0, {} },
        { "gif without a frame", std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 13), 0, {} },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(folder.file("in"), c.file);
        source_image image;
        stdout_capture printed;
        const bool loaded = load_source_image(folder.file("in").c_str(), image);
        EXPECT_EQ(printed.finish(), "");
        ASSERT_EQ(loaded, !c.rgb.empty());
        if (c.rgb.empty())
            continue;
        EXPECT_EQ(image.width, c.width);
        EXPECT_EQ(image.height, int(c.rgb.size() / 3 / c.width));
        ASSERT_EQ(image.rgb.size(), c.rgb.size());
        for (size_t i = 0; i < c.rgb.size(); ++i)
            ASSERT_NEAR(image.rgb[i], c.rgb[i], c.tolerance) << "byte " << i;
        EXPECT_EQ(image.alpha, c.alpha);
    }
}

// A pixel is clear when its alpha is below the threshold; an image without
// alpha has no clear pixel, and with -a off there is no mask at all.
TEST_F(image_test, clear_pixels_are_those_below_the_threshold)
{
    source_image source = { 3, 2, asymmetric_rgb, {} };
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

// The frame of two pixels repeats the nearest edge pixel; worked by hand.
TEST_F(image_test, the_frame_repeats_the_nearest_edge_pixel)
{
    RGB_gamma = 1;
    const struct { int width, height; bytes rgb; std::vector<const char *> framed; } cases[] = {
        { 1, 1, { 255, 128, 0 }, { "aaaaa", "aaaaa", "aaaaa", "aaaaa", "aaaaa" } },
        { 3, 2, asymmetric_rgb, { "aaabccc", "aaabccc", "aaabccc", "dddefff", "dddefff", "dddefff" } },
    };
    for (const auto &c : cases) {
        const working_image image = fill_working_image({ c.width, c.height, c.rgb, {} });
        ASSERT_EQ(image.values.size(), size_t(c.width + 4) * (c.height + 4) * 3);
        for (int y = -1; y < c.height + 3; ++y)
            for (int x = -1; x < c.width + 3; ++x)
                for (int ch = 0; ch < 3; ++ch)
                    EXPECT_NEAR(image.at(x, y)[ch], c.rgb[(c.framed[y + 1][x + 1] - 'a') * 3 + ch] / 255.0, 1e-7)
                        << "(" << x << ", " << y << ") channel " << ch;
    }
}

// White is 1 / 3, 1 / 2 or 2 / 3 with "85", "128", "170"; in linear mode the
// compression scales linear light, after the decoding. It reaches the image
// but not the palette, which stays whole.
TEST_F(image_test, level_compression_scales_the_image_not_the_palette)
{
    const struct { int gamma, code, byte; double level; } cases[] = {
        { 1, 0, 255, 1 }, { 1, 1, 255, 1 / 3.0 }, { 0, 2, 255, 0.5 }, { 1, 3, 255, 2 / 3.0 }, { 0, 3, 0, 0 },
        { 1, 1, 128, 128 / 255.0 / 3 }, { 0, 1, 188, 0.502886 / 3 }, { 0, 0, 128, 0.215861 },
    };
    for (const auto &c : cases) {
        RGB_gamma = c.gamma;
        level_compress = c.code;
        EXPECT_NEAR(prepared_level(c.byte), c.level, 1e-6) << "gamma " << c.gamma << " code " << c.code << " byte " << c.byte;
    }
    write_file(folder.file("p.act"), std::string(3, '\xff') + std::string(765, '\0'));
    std::strcpy(palette_path_buffer, folder.file("p.act").c_str());
    level_compress = 2;
    select_color_space(color_space_cmy);
    ASSERT_TRUE(read_palette());
    convert_palette();
    EXPECT_EQ(pal_ch[0][0], 0.0f);  // cyan of white
    const working_image image = fill_working_image({ 1, 1, { 255, 255, 255 }, {} });
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(image.at(1, 1)[c], 0.5f);
}
