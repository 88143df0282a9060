// Palettes made from the picture: what the maker gives for images whose
// answer is known, and -p auto:N through the program.
#include "engine/palette_maker.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

TEST(palette_maker, colours_made_from_the_visible_pixels)
{
    std::vector<uint8_t> ramp, random_colours;
    for (int level = 0; level < 256; ++level)
        ramp.insert(ramp.end(), 3, uint8_t(level));
    std::mt19937 random(9);
    for (int i = 0; i < 3 * 300; ++i)
        random_colours.push_back(uint8_t(random()));
    const struct {
        const char *name;
        std::vector<uint8_t> rgb, alpha;
        int threshold, asked;
        std::vector<uint8_t> expected;  // the colours exactly, or empty: `count` distinct ones
        int count;
    } cases[] = {
        { "flat", std::vector<uint8_t>(3 * 16, 0), {}, 0, 16, { 0, 0, 0 }, 1 },
        { "two colours", { 255, 255, 255, 0, 0, 0, 255, 255, 255, 0, 0, 0 }, {}, 0, 2, { 0, 0, 0, 255, 255, 255 }, 2 },
        // Four colours that share a cell of the count, kept apart and exact.
        { "close colours", { 12, 12, 12, 10, 10, 10, 9, 10, 11, 11, 11, 11, 10, 10, 10 }, {}, 0, 16,
          { 9, 10, 11, 10, 10, 10, 11, 11, 11, 12, 12, 12 }, 4 },
        // Alpha at the threshold is visible, below it clear.
        { "clear pixels", { 128, 128, 128, 255, 0, 0, 60, 60, 60 }, { 255, 127, 128 }, 128, 16,
          { 60, 60, 60, 128, 128, 128 }, 2 },
        { "all clear", { 1, 2, 3, 4, 5, 6 }, { 0, 10 }, 128, 16, {}, 0 },
        { "alpha off", { 1, 2, 3 }, { 0 }, 0, 16, { 1, 2, 3 }, 1 },
        { "grey ramp", ramp, {}, 0, 16, {}, 16 },
        { "300 colours", random_colours, {}, 0, 256, {}, 256 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        palette_maker_pixels pixels;
        pixels.rgb = c.rgb.data();
        pixels.alpha = c.alpha.empty() ? nullptr : c.alpha.data();
        pixels.count = c.rgb.size() / 3;
        pixels.alpha_threshold = c.threshold;
        std::vector<uint8_t> made(3 * 256, 7);
        const int count = make_palette(pixels, c.asked, made.data());
        ASSERT_EQ(count, c.count);
        made.resize(3 * size_t(count));
        if (!c.expected.empty()) {
            EXPECT_EQ(made, c.expected);
        }
        std::vector<uint32_t> distinct;
        for (int k = 0; k < count; ++k)
            distinct.push_back(uint32_t(made[3 * k]) << 16 | uint32_t(made[3 * k + 1]) << 8 | made[3 * k + 2]);
        std::sort(distinct.begin(), distinct.end());
        EXPECT_EQ(std::unique(distinct.begin(), distinct.end()), distinct.end());
    }
    // The greys made from a ramp run dark to light and reach both ends of it.
    palette_maker_pixels greys;
    greys.rgb = ramp.data();
    greys.count = 256;
    uint8_t made[3 * 16];
    ASSERT_EQ(make_palette(greys, 16, made), 16);
    for (int k = 1; k < 16; ++k)
        EXPECT_LT(made[3 * k - 2], made[3 * k + 1]) << k;
    EXPECT_LT(made[1], 24);
    EXPECT_GT(made[3 * 15 + 1], 231);
}

TEST(palette_maker, counts_of_auto_values)
{
    const struct { const char *value; int colours; } cases[] = {
        { "auto:2", 2 }, { "auto:256", 256 }, { "auto:016", 16 }, { "auto:1", -1 }, { "auto:257", -1 },
        { "auto:99999999999", -1 }, { "auto:", -1 }, { "auto:16x", -1 }, { "auto:-4", -1 }, { "auto16", 0 },
        { "pal.act", 0 }, { "", 0 },
    };
    for (const auto &c : cases)
        EXPECT_EQ(made_palette_colours(c.value), c.colours) << c.value;
}

// Through the program: the output's palette holds the colours made, at the
// bit depth they need with -z on, the transparent entry of -a within the
// 256; a second run writes the same bytes; a count out of range or -po is
// refused in one line and nothing is written.
TEST(palette_maker, auto_palettes_through_the_program)
{
    temp_folder folder;
    const int width = 40, height = 30;
    std::vector<uint8_t> rgb;
    for (int i = 0; i < width * height; ++i)
        rgb.insert(rgb.end(), { uint8_t(i * 7), uint8_t(i / width * 8), uint8_t(255 - i % width * 6) });
    write_png_form(folder.file("in.png"), width, height, { 2, 8 }, rgb);
    write_png_form(folder.file("sprite.png"), width, height, { 6, 8 }, sprite_rgba(width, height, 3));
    const struct {
        std::vector<std::string> arguments;
        const char *refusal;  // the line that ends the file, or null when it is saved
        int entries, bit_depth;
    } cases[] = {
        { { "-p", "auto:16", "in.png" }, nullptr, 16, 8 },
        { { "-z", "on", "-p", "auto:16", "in.png" }, nullptr, 16, 4 },
        { { "-z", "on", "-p", "auto:3", "-a", "128", "sprite.png" }, nullptr, 4, 2 },
        { { "-p", "auto:256", "-a", "128", "in.png" }, nullptr, 256, 8 },
        { { "-p", "auto:1", "in.png" }, "palette open error\n", 0, 0 },
        { { "-p", "auto:sixteen", "in.png" }, "palette open error\n", 0, 0 },
        { { "-po", "bw", "-p", "auto:2", "in.png" }, "output palette refused with an auto palette\n", 0, 0 },
    };
    for (const auto &c : cases) {
        const std::string image = c.arguments.back(), stem = image.substr(0, image.size() - 4);
        SCOPED_TRACE(c.arguments[c.arguments.size() - 2]);
        const run_result first = run_tessaly(c.arguments, folder.path());
        if (c.refusal) {
            EXPECT_EQ(first.status, 1);
            EXPECT_NE(first.output.find(c.refusal), std::string::npos) << first.output;
            EXPECT_EQ(list_folder(folder.path()).size(), 2u);
            continue;
        }
        const run_result second = run_tessaly(c.arguments, folder.path());
        ASSERT_EQ(first.status, 0) << first.output;
        ASSERT_EQ(second.status, 0);
        EXPECT_EQ(first.output.find("palette full"), std::string::npos) << "the made colours keep entry 255 free";
        const std::string made = read_file(folder.file(stem + "_dithered_0000.png"));
        EXPECT_EQ(made, read_file(folder.file(stem + "_dithered_0001.png")));
        const decoded_png png = decode_png(made);
        ASSERT_TRUE(png.ok) << png.error;
        EXPECT_EQ(png.palette.size(), 3u * c.entries);
        EXPECT_EQ(png.bit_depth, c.bit_depth);
        std::remove(folder.file(stem + "_dithered_0000.png").c_str());
        std::remove(folder.file(stem + "_dithered_0001.png").c_str());
    }
}
