// The built program on real files: every output decoded by libpng and its
// indices checked against values worked out here.
#include "engine/color_space.h"
#include "engine/diffusion_windows.h"
#include "tests/image_writers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

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

    // A hex list of the palette's first colours: a short palette.
    void write_hex_palette(const std::string &name, int colours)
    {
        std::string text;
        char line[8];
        for (int i = 0; i < colours; ++i) {
            std::snprintf(line, sizeof line, "%02X%02X%02X\n", palette[3 * i], palette[3 * i + 1], palette[3 * i + 2]);
            text += line;
        }
        write_file(folder.file(name), text);
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
// taken from (an ordered window moves them by its thresholds). The first run
// is the usage text's example ("-c srgb" is no keyword of -c, so that line
// stays open) among a file and a palette that cannot be opened: each is one
// line, the run goes on and the status is 1.
TEST_F(end_to_end, palette_colours_map_onto_their_entries)
{
    const std::vector<uint8_t> entries = { 5, 200, 17, 255, 0, 128 };
    write_entries("img.png", 3, entries);
    run_result r = run_tessaly({ "-c", "srgb", "-w", "round", "-d", "0.97", "missing.png", "img.png", "-p", "none.act",
                                 "img.png" }, folder.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors, "");
    EXPECT_EQ(r.output, banner + "-c - -w - round window selected\n-d - diffusion level 0.970000\n"
                                 "missing.png - image open error\nimg.png - " + size_lines(3, 2) +
                            "-p - custom palette\nnone.act\nimg.png - palette open error\n");
    EXPECT_EQ(list_folder(folder.path()), (std::vector<std::string>{ "img.png", "img_dithered_0000.png", "palette.act" }));
    EXPECT_EQ(indices("img_dithered_0000.png"), entries);

    const int diffusing = window_bayer2;
    for (int i = 0; i < std::max<int>(color_space_count, diffusing); ++i) {
        const char *space = color_spaces[i % color_space_count].keyword;
        const char *window = scan_windows[i % diffusing].keyword;
        r = run_tessaly({ "-c", space, "-w", window, "-s", "on", "-g", i % 2 ? "srgb" : "linear", "img.png" },
                        folder.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(indices(output_name("img", i + 1)), entries) << space << " " << window;
    }
    // So under -m oklab, which refuses a file in any space but rgb.
    r = run_tessaly({ "-m", "oklab", "-c", "cmyk", "img.png", "-c", "rgb", "-g", "srgb", "img.png" }, folder.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("CMYK color space selected\nimg.png - oklab matching needs -c rgb\n-c - "), std::string::npos);
    EXPECT_EQ(indices(output_name("img", std::max<int>(color_space_count, diffusing) + 1)), entries);
}

// -z gives the same indices and palette in a smaller file: a palette of at
// most 2, 4 or 16 entries, the transparent one of -a included, at 1, 2 or 4
// bits an index, a larger one at 8. (Every form of every reader is the image
// tests'; the program reading each format, the unusual forms' run.)
TEST_F(end_to_end, compression_keeps_the_indices_in_a_smaller_file)
{
    std::vector<uint8_t> rgba;
    for (int i = 0; i < 256; ++i)
        rgba.insert(rgba.end(), { uint8_t(i % 16 * 16 + 3), uint8_t(i / 16 * 16 + 5), uint8_t(128 + i % 16 - i / 16),
                                  uint8_t(i % 5 ? 255 : 0) });
    write_png_form(folder.file("png.png"), 16, 16, { 6, 8 }, rgba);
    write_hex_palette("16.hex", 16);
    const char *const four = "#000 #fff #f00 #ff0";
    const struct { const char *palette, *alpha; int depth; } rows[] = {
        { "#000 #fff", "off", 1 }, { "#000 #fff", "128", 2 }, { four, "off", 2 }, { four, "128", 4 },
        { "#000 #fff #0f0 #00f #f00 #ff0 #f80", "off", 4 }, { "16.hex", "off", 4 }, { "16.hex", "128", 8 },
        { "palette.act", "off", 8 },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.palette) + ", -a " + row.alpha);
        ASSERT_EQ(run_tessaly({ "-p", row.palette, "-a", row.alpha, "png.png", "-z", "on", "png.png" }, folder.path())
                      .status,
                  0);
        const std::string stored_file = folder.file(output_name("png", 0)), packed_file = folder.file(output_name("png", 1));
        const decoded_png stored = decode_png_file(stored_file), packed = decode_png_file(packed_file);
        ASSERT_TRUE(stored.ok && packed.ok) << stored.error << packed.error;
        EXPECT_EQ(stored.bit_depth, 8);
        EXPECT_EQ(packed.bit_depth, row.depth);
        EXPECT_EQ(packed.pixels, stored.pixels);
        EXPECT_EQ(packed.palette, stored.palette);
        EXPECT_EQ(packed.transparency, stored.transparency);
        EXPECT_LT(read_file(packed_file).size(), read_file(stored_file).size());
        std::remove(stored_file.c_str());
        std::remove(packed_file.c_str());
    }
}

// Sprites (-a): a clear background, a sharp hole and a soft edge. At 128
// every pixel of alpha below it has the transparent entry and no other pixel
// has it: entry 255 of a colour table, given up (said once in the run), or
// entry 16 of a list of 16 colours, added to the PLTE, black. The tRNS is 0
// for it and 255 for the rest. The colour left under the clear pixels
// reaches nothing: black or noise there, with or without serpentine rows and
// circle pre-processing, the same file.
TEST_F(end_to_end, only_pixels_below_the_alpha_threshold_are_clear)
{
    const int width = 40, height = 30;
    const std::vector<uint8_t> sprite = sprite_rgba(width, height, 0);
    int soft[2] = {};  // the soft edge reaches both sides of the threshold
    for (size_t i = 3; i < sprite.size(); i += 4)
        soft[sprite[i] >= 128] += sprite[i] != 0 && sprite[i] != 255;
    ASSERT_TRUE(soft[0] > 0 && soft[1] > 0);
    write_png_form(folder.file("black.png"), width, height, { 6, 8 }, sprite);
    write_png_form(folder.file("noise.png"), width, height, { 6, 8 }, sprite_rgba(width, height, 9));
    write_hex_palette("sixteen.hex", 16);
    std::vector<uint8_t> sixteen_and_black(palette.begin(), palette.begin() + 48);
    sixteen_and_black.insert(sixteen_and_black.end(), 3, 0);

    const struct { const char *palette; int entry; std::vector<uint8_t> plte; std::string line; } cases[] = {
        { "palette.act", 255, palette, "palette full, entry 255 made transparent\n" },
        { "sixteen.hex", 16, sixteen_and_black, "" },
    };
    const std::string size = size_lines(width, height);
    for (const auto &c : cases) {
        run_result r = run_tessaly({ "-p", c.palette, "-a", "128", "black.png", "noise.png", "-pp", "circle", "-s",
                                     "on", "black.png", "noise.png" }, folder.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output, banner + "-p - custom palette\n" + c.palette + "\n-a - alpha threshold 128\nblack.png - " +
                                size + c.line + "noise.png - " + size +
                                "-pp - pre processing circle\n-s - serpentine scaning on\nblack.png - " + size +
                                "noise.png - " + size);
        std::vector<uint8_t> transparency(c.entry + 1, 255);
        transparency[c.entry] = 0;
        for (int number : { 0, 1 }) {
            const std::string black = output_name("black", number), noise = output_name("noise", number);
            decoded_png png = decode_png_file(folder.file(black));
            ASSERT_TRUE(png.ok) << black << ": " << png.error;
            EXPECT_EQ(png.palette, c.plte) << c.palette;
            EXPECT_EQ(png.transparency, transparency) << c.palette;
            for (size_t i = 0; i < png.pixels.size(); ++i)
                ASSERT_EQ(png.pixels[i] == c.entry, sprite[4 * i + 3] < 128) << black << ", pixel " << i;
            EXPECT_TRUE(read_file(folder.file(black)) == read_file(folder.file(noise))) << number;
            std::remove(folder.file(black).c_str());
            std::remove(folder.file(noise).c_str());
        }
    }

    // Without clear pixels, -a off is the default, byte for byte. An image
    // without alpha keeps its indices under -a 128 when its palette is short
    // (the PLTE gains the transparent entry); with a full palette whose entry
    // 255 is a colour of its own, pixels of just that colour take others,
    // and entry 255 is gone.
    std::vector<uint8_t> rgb;
    for (size_t i = 0; i < sprite.size(); i += 4) {
        // A band of entry 255's own colour, the sprite's colours beside it.
        const uint8_t *colour = i / 4 % width < 8 ? &palette[3 * 255] : &sprite[i];
        rgb.insert(rgb.end(), colour, colour + 3);
    }
    write_png_form(folder.file("opaque.png"), width, height, { 2, 8 }, rgb);
    write_hex_palette("short.hex", 200);
    run_result r = run_tessaly({ "opaque.png", "-a", "off", "opaque.png", "-a", "128", "opaque.png", "-p",
                                 "short.hex", "opaque.png", "-a", "off", "opaque.png" }, folder.path());
    EXPECT_EQ(r.status, 0);
    std::vector<decoded_png> outputs;
    for (int number = 0; number < 5; ++number) {
        outputs.push_back(decode_png_file(folder.file(output_name("opaque", number))));
        ASSERT_TRUE(outputs.back().ok) << number;
    }
    EXPECT_TRUE(read_file(folder.file(output_name("opaque", 0))) == read_file(folder.file(output_name("opaque", 1))));
    EXPECT_GE(std::count(outputs[0].pixels.begin(), outputs[0].pixels.end(), 255), 8 * height);
    EXPECT_EQ(std::count(outputs[2].pixels.begin(), outputs[2].pixels.end(), 255), 0);
    EXPECT_EQ(outputs[3].pixels, outputs[4].pixels);
    EXPECT_EQ(outputs[3].transparency.size(), 201u);
    EXPECT_EQ(outputs[4].transparency.size(), 200u);
}
