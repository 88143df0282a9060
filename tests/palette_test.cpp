#include "driver/settings.h"
#include "engine/palette.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Reference levels, rounded to six significant digits.
struct level_row {
    int byte;
    double linear;
    double srgb;
};

const level_row reference_levels[] = {
    { 0, 0.0, 0.0 },
    { 1, 0.000303527, 0.00392157 },
    { 10, 0.00303527, 0.0392157 },
    { 11, 0.00334654, 0.0431373 },
    { 128, 0.215861, 0.501961 },
    { 188, 0.502886, 0.737255 },
    { 255, 1.0, 1.0 },
};

void expect_six_digits(double expected, float actual, int byte)
{
    EXPECT_NEAR(actual, expected, expected * 5e-6 + 1e-12) << "byte " << byte;
}

// A palette whose entry i is (i, 255 - i, i ^ 0x5A): every entry and channel
// distinct from its neighbours.
std::vector<uint8_t> distinct_palette()
{
    std::vector<uint8_t> rgb;
    for (int i = 0; i < palette_entries; ++i) {
        rgb.push_back(static_cast<uint8_t>(i));
        rgb.push_back(static_cast<uint8_t>(255 - i));
        rgb.push_back(static_cast<uint8_t>(i ^ 0x5A));
    }
    return rgb;
}

class palette_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        set_default_settings();
        RGB_gamma = 1;  // levels are byte / 255, easy to check
    }

    // Reads the palette from the given bytes and returns what was printed.
    std::string read_from(const std::string &bytes, bool expect_ok = true)
    {
        write_file(folder.file("p.act"), bytes);
        return read_path(folder.file("p.act"), expect_ok);
    }

    std::string read_path(const std::string &path, bool expect_ok = true)
    {
        std::strcpy(palette_path_buffer, path.c_str());
        stdout_capture capture;
        bool ok = read_palette();
        std::string printed = capture.finish();
        EXPECT_EQ(ok, expect_ok);
        return printed;
    }

    void expect_entry(int i, int r, int g, int b)
    {
        EXPECT_EQ(srgb_pal_R[i], r) << "entry " << i;
        EXPECT_EQ(srgb_pal_G[i], g) << "entry " << i;
        EXPECT_EQ(srgb_pal_B[i], b) << "entry " << i;
        EXPECT_EQ(pal_R[i], static_cast<float>(r / 255.0)) << "entry " << i;
        EXPECT_EQ(pal_G[i], static_cast<float>(g / 255.0)) << "entry " << i;
        EXPECT_EQ(pal_B[i], static_cast<float>(b / 255.0)) << "entry " << i;
    }

    temp_folder folder;
};

}  // namespace

TEST(srgb_decoding, matches_the_reference_levels)
{
    for (const level_row &row : reference_levels)
        expect_six_digits(row.linear, srgb_byte_to_linear(row.byte), row.byte);
    EXPECT_EQ(srgb_byte_to_linear(0), 0.0f);
    EXPECT_EQ(srgb_byte_to_linear(255), 1.0f);
}

TEST(srgb_decoding, byte_10_is_straight_and_byte_11_on_the_curve)
{
    EXPECT_EQ(srgb_byte_to_linear(10), static_cast<float>(10 / (255 * 12.92)));
    // The power curve taken at byte 10 would give about 0.00317, not 0.00304.
    EXPECT_NEAR(srgb_byte_to_linear(11), std::pow((11 / 255.0 + 0.055) / 1.055, 2.4), 1e-9);
}

TEST(srgb_decoding, every_byte_follows_the_curve_and_rises)
{
    for (int byte = 0; byte < 256; ++byte) {
        const double v = byte / 255.0;
        const double expected = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        // One float step either way: the reference is worked out in another order.
        EXPECT_NEAR(srgb_byte_to_linear(byte), expected, expected * 1.2e-7) << "byte " << byte;
        if (byte > 0) {
            EXPECT_GT(srgb_byte_to_linear(byte), srgb_byte_to_linear(byte - 1)) << "byte " << byte;
        }
    }
}

TEST_F(palette_test, both_gamma_modes_give_the_reference_levels)
{
    std::vector<uint8_t> rgb(768, 0);
    for (size_t i = 0; i < std::size(reference_levels); ++i) {
        rgb[3 * i] = static_cast<uint8_t>(reference_levels[i].byte);          // red
        rgb[3 * i + 1] = static_cast<uint8_t>(reference_levels[i].byte);      // green
        rgb[3 * (i + 10) + 2] = static_cast<uint8_t>(reference_levels[i].byte);  // blue, later entry
    }
    for (int gamma : { 0, 1 }) {
        RGB_gamma = gamma;
        EXPECT_EQ(read_from(std::string(rgb.begin(), rgb.end())), "");
        for (size_t i = 0; i < std::size(reference_levels); ++i) {
            const level_row &row = reference_levels[i];
            const double expected = gamma == 0 ? row.linear : row.srgb;
            expect_six_digits(expected, pal_R[i], row.byte);
            expect_six_digits(expected, pal_G[i], row.byte);
            expect_six_digits(expected, pal_B[i + 10], row.byte);
            EXPECT_EQ(srgb_pal_R[i], row.byte);
        }
    }
}

TEST_F(palette_test, a_768_byte_file_defines_every_entry_silently)
{
    const std::vector<uint8_t> rgb = distinct_palette();
    EXPECT_EQ(read_from(std::string(rgb.begin(), rgb.end())), "");
    for (int i = 0; i < palette_entries; ++i)
        expect_entry(i, i, 255 - i, i ^ 0x5A);
}

TEST_F(palette_test, bytes_after_the_768th_are_ignored_silently)
{
    const std::vector<uint8_t> rgb = distinct_palette();
    // The colour count and transparent index of the 4-byte trailer, then more.
    std::string bytes = std::string(rgb.begin(), rgb.end()) + std::string("\x00\x10\x00\x03", 4) + "extra";
    EXPECT_EQ(read_from(bytes), "");
    for (int i = 0; i < palette_entries; ++i)
        expect_entry(i, i, 255 - i, i ^ 0x5A);
}

TEST_F(palette_test, a_short_file_is_reported_and_padded_with_black)
{
    const std::vector<uint8_t> rgb = distinct_palette();
    read_from(std::string(rgb.begin(), rgb.end()));
    // Five bytes: entry 0 whole, entry 1 without its blue.
    EXPECT_EQ(read_from("\x10\x20\x30\x40\x50"), "Premature end of palette\n");
    expect_entry(0, 0x10, 0x20, 0x30);
    expect_entry(1, 0x40, 0x50, 0);
    for (int i = 2; i < palette_entries; ++i)
        expect_entry(i, 0, 0, 0);
}

TEST_F(palette_test, an_empty_file_is_reported_and_gives_all_black)
{
    const std::vector<uint8_t> rgb = distinct_palette();
    read_from(std::string(rgb.begin(), rgb.end()));
    EXPECT_EQ(read_from(""), "Premature end of palette\n");
    for (int i = 0; i < palette_entries; ++i)
        expect_entry(i, 0, 0, 0);
}

TEST_F(palette_test, a_missing_file_is_reported_and_leaves_the_palette_alone)
{
    const std::vector<uint8_t> rgb = distinct_palette();
    read_from(std::string(rgb.begin(), rgb.end()));
    EXPECT_EQ(read_path(folder.file("missing.act"), false), "palette open error\n");
    for (int i = 0; i < palette_entries; ++i)
        expect_entry(i, i, 255 - i, i ^ 0x5A);
}

TEST_F(palette_test, a_read_that_fails_before_the_end_is_a_read_error)
{
    // A folder opens as a stream on Linux, but reading it fails.
    EXPECT_EQ(read_path(folder.path()), "palette read error\n");
    for (int i = 0; i < palette_entries; ++i)
        expect_entry(i, 0, 0, 0);
}

TEST_F(palette_test, linear_mode_decodes_and_keeps_the_raw_bytes)
{
    RGB_gamma = 0;
    const std::vector<uint8_t> rgb = distinct_palette();
    read_from(std::string(rgb.begin(), rgb.end()));
    for (int i = 0; i < palette_entries; ++i) {
        EXPECT_EQ(srgb_pal_R[i], i);
        EXPECT_EQ(pal_R[i], srgb_byte_to_linear(i));
        EXPECT_EQ(pal_G[i], srgb_byte_to_linear(255 - i));
        EXPECT_EQ(pal_B[i], srgb_byte_to_linear(i ^ 0x5A));
    }
}
