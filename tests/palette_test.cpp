// Reading the palette file: the reference levels in both gamma modes, and
// files of every length, missing or unreadable.
#include "engine/palette.h"
#include "settings/settings.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class palette_test : public ::testing::Test {
protected:
    void SetUp() override { set_default_settings(); }

    // Reads the palette from path (or from a file of the given bytes) and
    // returns what was printed.
    std::string read_path(const std::string &path, bool expect_ok = true)
    {
        std::strcpy(palette_path_buffer, path.c_str());
        stdout_capture capture;
        EXPECT_EQ(read_palette(), expect_ok);
        return capture.finish();
    }
    std::string read_bytes(const std::string &bytes)
    {
        write_file(folder.file("p.act"), bytes);
        return read_path(folder.file("p.act"));
    }

    // Entry i is (i, 255 - i, i ^ 0x5A): every entry and channel distinct.
    static std::string distinct()
    {
        std::string rgb;
        for (int i = 0; i < palette_entries; ++i)
            rgb += { char(i), char(255 - i), char(i ^ 0x5A) };
        return rgb;
    }

    // In srgb mode the levels are the bytes over 255, checked in both forms.
    void expect_entries(const std::string &rgb)
    {
        for (int i = 0; i < palette_entries; ++i) {
            const uint8_t r = uint8_t(rgb[3 * i]), g = uint8_t(rgb[3 * i + 1]), b = uint8_t(rgb[3 * i + 2]);
            ASSERT_EQ(srgb_pal_R[i] + srgb_pal_G[i] * 256 + srgb_pal_B[i] * 65536, r + g * 256 + b * 65536) << i;
            ASSERT_EQ(pal_R[i], static_cast<float>(r / 255.0)) << i;
            ASSERT_EQ(pal_G[i], static_cast<float>(g / 255.0)) << i;
            ASSERT_EQ(pal_B[i], static_cast<float>(b / 255.0)) << i;
        }
    }

    temp_folder folder;
};

}  // namespace

// The sRGB curve against reference values to six digits: bytes 10 and 11
// straddle the switch from the straight piece to the power curve.
TEST_F(palette_test, both_gamma_modes_give_the_reference_levels)
{
    const struct { int byte; double linear, srgb; } levels[] = {
        { 0, 0.0, 0.0 }, { 1, 0.000303527, 0.00392157 }, { 10, 0.00303527, 0.0392157 },
        { 11, 0.00334654, 0.0431373 }, { 128, 0.215861, 0.501961 }, { 188, 0.502886, 0.737255 }, { 255, 1.0, 1.0 },
    };
    std::string rgb(768, '\0');
    for (int i = 0; i < 7; ++i)
        rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * (i + 10) + 2] = char(levels[i].byte);
    for (int gamma : { 0, 1 }) {
        RGB_gamma = gamma;
        EXPECT_EQ(read_bytes(rgb), "");
        for (int i = 0; i < 7; ++i) {
            const double expected = gamma == 0 ? levels[i].linear : levels[i].srgb;
            for (float level : { pal_R[i], pal_G[i], pal_B[i + 10] })
                EXPECT_NEAR(level, expected, expected * 5e-6 + 1e-12) << "byte " << levels[i].byte;
            EXPECT_EQ(srgb_pal_R[i], levels[i].byte);
        }
        EXPECT_EQ(pal_R[6], 1.0f);
    }
}

// 768 bytes or more are read silently, the rest ignored; fewer are reported
// and padded with black; a missing file leaves the palette as it was; a
// folder opens but fails to read.
TEST_F(palette_test, files_of_every_length)
{
    RGB_gamma = 1;
    const std::string full = distinct();
    EXPECT_EQ(read_bytes(full), "");
    expect_entries(full);
    const std::string reversed(full.rbegin(), full.rend());
    EXPECT_EQ(read_bytes(reversed + std::string("\x00\x10\x00\x03", 4) + "extra"), "");
    expect_entries(reversed);

    EXPECT_EQ(read_bytes("\x10\x20\x30\x40\x50"), "Premature end of palette\n");
    expect_entries(std::string("\x10\x20\x30\x40\x50", 5) + std::string(763, '\0'));
    read_bytes(full);
    EXPECT_EQ(read_bytes(""), "Premature end of palette\n");
    expect_entries(std::string(768, '\0'));

    read_bytes(full);
    EXPECT_EQ(read_path(folder.file("missing.act"), false), "palette open error\n");
    expect_entries(full);
    EXPECT_EQ(read_path(folder.path()), "palette read error\n");
    expect_entries(std::string(768, '\0'));
}
