#include "driver/settings.h"
#include "engine/color_space.h"
#include "engine/palette.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const int channel_counts[] = { 3, 4, 7, 3, 6, 3, 4 };

void use_space(int space)
{
    color_space = space;
    channels_used = channel_counts[space];
}

// Channels of one conversion; slots past channels_used keep a marker, so a
// conversion that writes too far is seen.
const float untouched = -7.0f;

std::vector<float> convert(int space, float r, float g, float b)
{
    use_space(space);
    std::vector<float> channels(max_working_channels, untouched);
    convert_color(r, g, b, channels.data());
    for (int c = channel_counts[space]; c < max_working_channels; ++c)
        EXPECT_EQ(channels[c], untouched) << "space " << space << " wrote channel " << c;
    channels.resize(channel_counts[space]);
    return channels;
}

// Reference conversions, rounded to six digits.
struct sample_row {
    float r, g, b;
    double cmyk[4], yuv[3], cmy[3], cmyk2[4];
};

const sample_row samples[] = {
    { 1, 1, 1, { 0, 0, 0, 0 }, { 1, 0.5, 0.5 }, { 0, 0, 0 }, { 0, 0, 0, 0 } },
    { 0, 0, 0, { 0, 0, 0, 1 }, { 0, 0.5, 0.5 }, { 1, 1, 1 }, { 1, 1, 1, 1 } },
    { 0.5f, 0.5f, 0.5f, { 0, 0, 0, 0.5 }, { 0.5, 0.5, 0.5 }, { 0.5, 0.5, 0.5 }, { 0.5, 0.5, 0.5, 0.5 } },
    { 0.2f, 0.5f, 0.9f, { 0.777778, 0.444444, 0, 0.1 }, { 0.4559, 0.750621, 0.317475 }, { 0.8, 0.5, 0.1 },
      { 0.8, 0.5, 0.1, 0.1 } },
    { 0.7f, 0.3f, 0.1f, { 0, 0.571429, 0.857143, 0.3 }, { 0.3968, 0.332506, 0.716262 }, { 0.3, 0.7, 0.9 },
      { 0.3, 0.7, 0.9, 0.3 } },
    { 0, 0.4f, 0.8f, { 1, 0.5, 0, 0.2 }, { 0.326, 0.767494, 0.267475 }, { 1, 0.6, 0.2 }, { 1, 0.6, 0.2, 0.2 } },
};

void expect_channels(const std::vector<float> &actual, const double *expected, int count, const char *space)
{
    ASSERT_EQ(static_cast<int>(actual.size()), count) << space;
    for (int c = 0; c < count; ++c)
        EXPECT_NEAR(actual[c], expected[c], 6e-7) << space << " channel " << c;
}

class color_space_test : public ::testing::Test {
protected:
    void SetUp() override { set_default_settings(); }
};

}  // namespace

TEST_F(color_space_test, sample_colours_in_every_single_space)
{
    for (const sample_row &s : samples) {
        SCOPED_TRACE(testing::Message() << s.r << ", " << s.g << ", " << s.b);
        const std::vector<float> rgb = convert(color_space_rgb, s.r, s.g, s.b);
        EXPECT_EQ(rgb, (std::vector<float>{ s.r, s.g, s.b }));
        expect_channels(convert(color_space_cmyk, s.r, s.g, s.b), s.cmyk, 4, "cmyk");
        expect_channels(convert(color_space_yuv, s.r, s.g, s.b), s.yuv, 3, "yuv");
        expect_channels(convert(color_space_cmy, s.r, s.g, s.b), s.cmy, 3, "cmy");
        expect_channels(convert(color_space_cmyk2, s.r, s.g, s.b), s.cmyk2, 4, "cmyk2");
    }
}

TEST_F(color_space_test, combined_spaces_are_rgb_followed_by_the_other_space)
{
    for (const sample_row &s : samples) {
        std::vector<float> rgb = convert(color_space_rgb, s.r, s.g, s.b);
        std::vector<float> rgbcmyk = rgb, rgbyuv = rgb;
        for (float v : convert(color_space_cmyk, s.r, s.g, s.b))
            rgbcmyk.push_back(v);
        for (float v : convert(color_space_yuv, s.r, s.g, s.b))
            rgbyuv.push_back(v);
        EXPECT_EQ(convert(color_space_rgbcmyk, s.r, s.g, s.b), rgbcmyk);
        EXPECT_EQ(convert(color_space_rgbyuv, s.r, s.g, s.b), rgbyuv);
    }
}

TEST_F(color_space_test, black_and_white_in_cmyk_are_exact)
{
    // Black divides 0 by 0; the undefined result must come out 0, not NaN.
    EXPECT_EQ(convert(color_space_cmyk, 0, 0, 0), (std::vector<float>{ 0, 0, 0, 1 }));
    EXPECT_EQ(convert(color_space_cmyk, 1, 1, 1), (std::vector<float>{ 0, 0, 0, 0 }));
    EXPECT_EQ(convert(color_space_rgbcmyk, 0, 0, 0), (std::vector<float>{ 0, 0, 0, 0, 0, 0, 1 }));
}

TEST_F(color_space_test, cmyk_of_a_pure_colour_has_no_negative_channel)
{
    // Red: C = 0, M = Y = 1, K = 0. A colour darker than its max stays below 1 in K.
    EXPECT_EQ(convert(color_space_cmyk, 1, 0, 0), (std::vector<float>{ 0, 1, 1, 0 }));
    const std::vector<float> dark = convert(color_space_cmyk, 0.25f, 0.5f, 0.125f);
    EXPECT_EQ(dark, (std::vector<float>{ 0.5f, 0, 0.75f, 0.5f }));
}

TEST_F(color_space_test, blue_and_red_reach_the_top_of_u_and_v)
{
    // (1 - Kb) * 0.5 / (1 - Kb) + 0.5 for blue, likewise with Kr for red.
    EXPECT_FLOAT_EQ(convert(color_space_yuv, 0, 0, 1)[1], 1.0f);
    EXPECT_FLOAT_EQ(convert(color_space_yuv, 1, 0, 0)[2], 1.0f);
    EXPECT_NEAR(convert(color_space_yuv, 0, 1, 1)[2], 0.0f, 1e-7);
}

TEST_F(color_space_test, palette_conversion_fills_the_used_planes_and_clears_the_rest)
{
    for (int i = 0; i < palette_entries; ++i) {
        pal_R[i] = i / 255.0f;
        pal_G[i] = (255 - i) / 255.0f;
        pal_B[i] = ((i * 7) % 256) / 255.0f;
    }
    for (int space = 0; space < 7; ++space) {
        for (auto &plane : pal_ch)
            for (float &v : plane)
                v = 9.0f;
        use_space(space);
        convert_palette();
        for (int i = 0; i < palette_entries; ++i) {
            const std::vector<float> channels = convert(space, pal_R[i], pal_G[i], pal_B[i]);
            for (int c = 0; c < max_working_channels; ++c) {
                const float expected = c < channel_counts[space] ? channels[c] : 0.0f;
                ASSERT_EQ(pal_ch[c][i], expected) << "space " << space << " entry " << i << " channel " << c;
            }
        }
    }
}
