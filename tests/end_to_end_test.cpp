// The built program on real files: every output decoded by libpng and its
// indices checked against values worked out here.
#include "engine/color_space.h"
#include "engine/windows.h"
#include "tests/image_writers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

const std::string banner = "\nTessaly d0044 by Vorlane\n\n";

std::string size_lines(int width, int height)
{
    return "\nimage width " + std::to_string(width) + "\nimage heigh " + std::to_string(height) + "\n\n";
}

class end_to_end : public ::testing::Test {
protected:
    // 256 distinct colours, with a trailer of four bytes that must not reach
    // the output.
    void SetUp() override
    {
        for (int i = 0; i < 256; ++i)
            palette.insert(palette.end(), { uint8_t(i), uint8_t((i * 37 + 11) % 256), uint8_t(255 - (i * 91) % 256) });
        std::vector<uint8_t> file = palette;
        file.insert(file.end(), { 1, 0, 0, 0 });
        write_palette_file(folder.file("palette.act"), file);
    }

    // An RGB image of the palette's own colours at the given entries.
    void write_entries(const std::string &name, uint32_t width, const std::vector<uint8_t> &entries)
    {
        std::vector<uint8_t> samples;
        for (uint8_t entry : entries)
            samples.insert(samples.end(), &palette[3 * entry], &palette[3 * entry] + 3);
        write_png_form(folder.file(name), width, entries.size() / width, { 2, 8 }, samples);
    }

    // The output's indices, after checking it is 8-bit indexed with the
    // palette file's bytes and every entry opaque.
    std::vector<uint8_t> indices(const std::string &name)
    {
        decoded_png png = decode_png_file(folder.file(name));
        EXPECT_TRUE(png.ok) << name << ": " << png.error;
        EXPECT_EQ(png.color_type, 3);
        EXPECT_EQ(png.bit_depth, 8);
        EXPECT_EQ(png.palette, palette);
        EXPECT_EQ(png.transparency, std::vector<uint8_t>(256, 255));
        return png.pixels;
    }

    std::vector<uint8_t> palette;
    temp_folder folder;
};

}  // namespace

// Pixels of palette colours have no error to pass on, so every window that
// diffuses error, colour space and gamma gives back the entries they were
// taken from. (An ordered window moves them by its thresholds.)
TEST_F(end_to_end, palette_colours_map_onto_their_entries)
{
    const std::vector<uint8_t> entries = { 5, 200, 17, 255, 0, 128 };
    write_entries("img.png", 3, entries);
    run_result r = run_tessaly({ "img.png" }, folder.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, banner + "img.png - " + size_lines(3, 2));
    EXPECT_EQ(r.errors, "");
    EXPECT_EQ(indices("img_dithered_0000.png"), entries);

    const int diffusing = window_bayer2;
    for (int i = 0; i < std::max<int>(color_space_count, diffusing); ++i) {
        const char *space = color_spaces[i % color_space_count].keyword;
        const char *window = scan_windows[i % diffusing].keyword;
        r = run_tessaly({ "-c", space, "-w", window, "-s", "on", "-g", i % 2 ? "srgb" : "linear", "img.png" },
                        folder.path());
        EXPECT_EQ(r.status, 0);
        char name[32];
        std::snprintf(name, sizeof name, "img_dithered_%04d.png", i + 1);
        EXPECT_EQ(indices(name), entries) << space << " " << window;
    }
}

// A file that cannot be opened, or a palette that cannot, is one line; the
// run goes on and the status is 1.
TEST_F(end_to_end, open_errors_are_reported_and_the_run_goes_on)
{
    write_entries("good.png", 2, { 9, 8 });
    run_result r = run_tessaly({ "missing.png", "-w", "x", "good.png", "-p", "none.act", "good.png" }, folder.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, banner + "missing.png - image open error\n-w - x window selected\ngood.png - " + size_lines(2, 1) +
                            "-p - custom palette\nnone.act\ngood.png - palette open error\n");
    EXPECT_EQ(indices("good_dithered_0000.png"), (std::vector<uint8_t>{ 9, 8 }));
    EXPECT_EQ(list_folder(folder.path()), (std::vector<std::string>{ "good.png", "good_dithered_0000.png", "palette.act" }));
}

// One picture of 256 colours, none of them the palette's, as PNG, GIF
// (interlaced, with its own colour table), TIFF and lossless WebP: all four
// give the same indices, and so does the PNG's output compressed.
TEST_F(end_to_end, every_format_and_compression_give_the_same_indices)
{
    std::vector<uint8_t> rgb, colours, entries;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const uint8_t pixel[3] = { uint8_t(x * 16 + 3), uint8_t(y * 16 + 5), uint8_t(128 + x - y) };
            rgb.insert(rgb.end(), pixel, pixel + 3);
            colours.insert(colours.end(), pixel, pixel + 3);
            entries.push_back(static_cast<uint8_t>(y * 16 + x));
        }
    write_png_form(folder.file("png.png"), 16, 16, { 2, 8 }, rgb);
    write_test_gif(folder.file("gif.gif"), 16, 16, { 16, 16, 0, 0, true, true }, colours, entries);
    write_test_tiff(folder.file("tiff.tif"), 16, 16, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_LZW },
                    std::vector<uint16_t>(rgb.begin(), rgb.end()));
    write_file(folder.file("webp.webp"), webp_bytes(16, 16, rgb, true));

    const run_result r = run_tessaly({ "png.png", "gif.gif", "tiff.tif", "webp.webp", "-z", "on", "png.png" }, folder.path());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("-z - png compression on\n"), std::string::npos) << r.output;
    const std::vector<uint8_t> expected = indices("png_dithered_0000.png");
    for (const char *name : { "gif_dithered_0000.png", "tiff_dithered_0000.png", "webp_dithered_0000.png",
                              "png_dithered_0001.png" })
        EXPECT_EQ(indices(name), expected) << name;
}
