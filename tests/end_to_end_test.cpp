// The built program on real files: every output decoded by libpng and its
// indices checked against values worked out here.
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

const std::string banner = "\nTessaly d0044 by Vorlane\n\n";

std::string size_lines(int width, int height)
{
    return "\nimage width " + std::to_string(width) + "\nimage heigh " + std::to_string(height) + "\n\n";
}

// 256 different colours, red being the index itself.
std::vector<uint8_t> distinct_palette()
{
    std::vector<uint8_t> rgb;
    for (int i = 0; i < 256; ++i) {
        rgb.push_back(static_cast<uint8_t>(i));
        rgb.push_back(static_cast<uint8_t>((i * 37 + 11) % 256));
        rgb.push_back(static_cast<uint8_t>(255 - (i * 91) % 256));
    }
    return rgb;
}

// An RGB image whose pixels are the palette's own colours at the given entries.
std::vector<uint8_t> pixels_of_entries(const std::vector<uint8_t> &palette, const std::vector<int> &entries)
{
    std::vector<uint8_t> samples;
    for (int entry : entries)
        for (int c = 0; c < 3; ++c)
            samples.push_back(palette[3 * entry + c]);
    return samples;
}

void expect_output_palette(const decoded_png &png, const std::vector<uint8_t> &palette_bytes)
{
    EXPECT_EQ(png.color_type, 3);
    EXPECT_EQ(png.bit_depth, 8);
    EXPECT_EQ(png.palette, std::vector<uint8_t>(palette_bytes.begin(), palette_bytes.begin() + 768));
    EXPECT_EQ(png.transparency, std::vector<uint8_t>(256, 255));
}

class end_to_end : public ::testing::Test {
protected:
    void SetUp() override
    {
        palette = distinct_palette();
        write_palette_file(folder.file("palette.act"), palette);
    }

    decoded_png output(const std::string &name)
    {
        decoded_png png = decode_png_file(folder.file(name));
        EXPECT_TRUE(png.ok) << name << ": " << png.error;
        return png;
    }

    std::vector<uint8_t> palette;
    temp_folder folder;
};

std::vector<uint8_t> as_bytes(const std::vector<int> &indices)
{
    return std::vector<uint8_t>(indices.begin(), indices.end());
}

// Pixels that are palette colours have no error to pass on, so every window
// and colour space gives back the entries they were taken from.
TEST_F(end_to_end, palette_colours_map_onto_their_entries)
{
    const std::vector<int> entries = { 5, 200, 17, 255, 0, 128 };
    write_test_png(folder.file("img.png"), 3, 2, 3, pixels_of_entries(palette, entries));

    run_result r = run_tessaly({ "img.png" }, folder.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, banner + "img.png - " + size_lines(3, 2));
    EXPECT_EQ(r.errors, "");
    decoded_png png = output("img_dithered_0000.png");
    EXPECT_EQ(png.width, 3u);
    EXPECT_EQ(png.height, 2u);
    EXPECT_EQ(png.pixels, as_bytes(entries));
    expect_output_palette(png, palette);

    const char *spaces[] = { "rgb", "cmyk", "rgbcmyk", "yuv", "rgbyuv", "cmy", "cmyk2" };
    const char *windows[] = { "floyd", "round", "x", "linear_x", "linear_y", "linear_x_y", "dot" };
    for (int i = 0; i < 7; ++i) {
        r = run_tessaly({ "-c", spaces[i], "-w", windows[i], "-s", "on", "img.png" }, folder.path());
        EXPECT_EQ(r.status, 0);
        char name[32];
        std::snprintf(name, sizeof name, "img_dithered_%04d.png", i + 1);
        EXPECT_EQ(output(name).pixels, as_bytes(entries)) << spaces[i] << " " << windows[i];
    }
}

// In srgb mode the levels are the bytes over 255, so the nearest entries can
// be worked out here: the palette divides by the double 1/255, the image by
// the float one.
std::vector<int> nearest_entries_srgb(const std::vector<uint8_t> &palette, const std::vector<uint8_t> &samples)
{
    std::vector<int> indices;
    for (size_t p = 0; p < samples.size(); p += 3) {
        int best = 0;
        double best_distance = 1e300;
        for (int k = 0; k < 256; ++k) {
            double distance = 0;
            for (int c = 0; c < 3; ++c) {
                double v = static_cast<float>(samples[p + c] * static_cast<double>(1.0f / 255.0f));
                double pal = static_cast<float>(palette[3 * k + c] * (1.0 / 255.0));
                distance += (v - pal) * (v - pal);
            }
            if (distance < best_distance) {
                best_distance = distance;
                best = k;
            }
        }
        indices.push_back(best);
    }
    return indices;
}

TEST_F(end_to_end, dot_and_level_zero_are_plain_nearest_mapping)
{
    std::vector<uint8_t> samples;
    unsigned state = 99;
    for (int i = 0; i < 11 * 7 * 3; ++i) {
        state = state * 1103515245u + 12345u;
        samples.push_back(static_cast<uint8_t>(state >> 16));
    }
    write_test_png(folder.file("noise.png"), 11, 7, 3, samples);
    const std::vector<uint8_t> expected = as_bytes(nearest_entries_srgb(palette, samples));

    ASSERT_EQ(run_tessaly({ "-g", "srgb", "-w", "dot", "noise.png" }, folder.path()).status, 0);
    EXPECT_EQ(output("noise_dithered_0000.png").pixels, expected);
    ASSERT_EQ(run_tessaly({ "-g", "srgb", "-d", "0", "-s", "on", "noise.png" }, folder.path()).status, 0);
    EXPECT_EQ(output("noise_dithered_0001.png").pixels, expected);
    // Diffusion does change the picture.
    ASSERT_EQ(run_tessaly({ "-g", "srgb", "noise.png" }, folder.path()).status, 0);
    EXPECT_NE(output("noise_dithered_0002.png").pixels, expected);
}

// A grey between black and white, floyd, linear gamma, palette of black at 0
// and white everywhere else: half of all pixels come out white (the error
// balances), and every white pixel takes the lowest white entry, 1.
TEST_F(end_to_end, duplicate_colours_give_the_lower_index)
{
    std::vector<uint8_t> black_and_white(768, 255);
    black_and_white[0] = black_and_white[1] = black_and_white[2] = 0;
    write_palette_file(folder.file("bw.act"), black_and_white);
    // Byte 188 decodes to 0.502886 of full light.
    write_test_png(folder.file("grey.png"), 16, 16, 3, std::vector<uint8_t>(16 * 16 * 3, 188));

    run_result r = run_tessaly({ "-p", "bw.act", "grey.png" }, folder.path());
    EXPECT_EQ(r.status, 0);
    decoded_png png = output("grey_dithered_0000.png");
    int whites = 0;
    for (uint8_t index : png.pixels) {
        EXPECT_TRUE(index == 0 || index == 1) << int(index);
        whites += index == 1;
    }
    EXPECT_NEAR(whites, 128, 4);
    expect_output_palette(png, black_and_white);
}

TEST_F(end_to_end, palette_file_bytes_go_to_the_output_whatever_the_gamma)
{
    std::vector<uint8_t> longer = palette;
    longer.insert(longer.end(), { 1, 0, 0, 0 });  // the optional trailer of colour tables
    write_palette_file(folder.file("long.act"), longer);
    write_test_png(folder.file("one.png"), 1, 1, 3, { 10, 20, 30 });
    ASSERT_EQ(run_tessaly({ "-p", "long.act", "-g", "srgb", "-c", "yuv", "-lc", "85", "one.png" }, folder.path()).status, 0);
    expect_output_palette(output("one_dithered_0000.png"), palette);
}

TEST_F(end_to_end, missing_image_is_reported_and_the_run_goes_on)
{
    write_test_png(folder.file("good.png"), 2, 1, 3, pixels_of_entries(palette, { 9, 8 }));
    run_result r = run_tessaly({ "missing.png", "-w", "x", "good.png" }, folder.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, banner + "missing.png - image open error\n-w - x window selected\ngood.png - " + size_lines(2, 1));
    EXPECT_EQ(output("good_dithered_0000.png").pixels, (std::vector<uint8_t>{ 9, 8 }));
    EXPECT_FALSE(file_exists(folder.file("missing_dithered_0000.png")));
}

TEST_F(end_to_end, missing_palette_writes_nothing)
{
    write_test_png(folder.file("good.png"), 2, 1, 3, pixels_of_entries(palette, { 9, 8 }));
    run_result r = run_tessaly({ "-p", "none.act", "good.png" }, folder.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, banner + "-p - custom palette\nnone.act\ngood.png - palette open error\n");
    EXPECT_EQ(list_folder(folder.path()), (std::vector<std::string>{ "good.png", "palette.act" }));
}

TEST_F(end_to_end, existing_output_is_never_touched)
{
    write_test_png(folder.file("pic.png"), 1, 1, 3, pixels_of_entries(palette, { 77 }));
    write_file(folder.file("pic_dithered_0000.png"), "an earlier result");
    ASSERT_EQ(run_tessaly({ "pic.png" }, folder.path()).status, 0);
    EXPECT_EQ(read_file(folder.file("pic_dithered_0000.png")), "an earlier result");
    EXPECT_EQ(output("pic_dithered_0001.png").pixels, (std::vector<uint8_t>{ 77 }));
}

// Outputs land beside their inputs, also when a folder name holds a dot and
// the file name holds none; the image is recognised by its contents.
TEST_F(end_to_end, output_lands_beside_its_input)
{
    ASSERT_EQ(system(("mkdir '" + folder.file("pics.old") + "'").c_str()), 0);
    write_test_png(folder.file("pics.old/photo"), 1, 2, 3, pixels_of_entries(palette, { 3, 4 }));
    run_result r = run_tessaly({ "pics.old/photo", "../" + folder.path().substr(folder.path().rfind('/') + 1) + "/pics.old/photo" },
                               folder.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(list_folder(folder.file("pics.old")),
              (std::vector<std::string>{ "photo", "photo_dithered_0000.png", "photo_dithered_0001.png" }));
    EXPECT_EQ(output("pics.old/photo_dithered_0001.png").pixels, (std::vector<uint8_t>{ 3, 4 }));
}

}  // namespace
