// Colour conversions on reference colours worked out by hand.
#include "engine/color_space.h"
#include "engine/matching.h"
#include "engine/palette.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// The channels of one conversion; slots past the space's count keep a marker,
// so a conversion that writes too far (or past the planes the engine holds) is
// seen.
std::vector<float> convert(int space, float r, float g, float b)
{
    select_color_space(space);
    std::vector<float> channels(max_working_channels + 1, -7.0f);
    color_spaces[space].convert(r, g, b, channels.data());
    for (int c = channels_used; c <= max_working_channels; ++c)
        EXPECT_EQ(channels[c], -7.0f) << "space " << space << " wrote channel " << c;
    channels.resize(channels_used);
    return channels;
}

// Reference conversions rounded to six digits; YUV with Kr 0.299, Kb 0.114.
const struct {
    float r, g, b;
    std::vector<double> cmyk, yuv, cmy, cmyk2;
} samples[] = {
    { 1, 1, 1, { 0, 0, 0, 0 }, { 1, 0.5, 0.5 }, { 0, 0, 0 }, { 0, 0, 0, 0 } },
    { 0, 0, 0, { 0, 0, 0, 1 }, { 0, 0.5, 0.5 }, { 1, 1, 1 }, { 1, 1, 1, 1 } },
    { 0.5f, 0.5f, 0.5f, { 0, 0, 0, 0.5 }, { 0.5, 0.5, 0.5 }, { 0.5, 0.5, 0.5 }, { 0.5, 0.5, 0.5, 0.5 } },
    { 0.2f, 0.5f, 0.9f, { 0.777778, 0.444444, 0, 0.1 }, { 0.4559, 0.750621, 0.317475 }, { 0.8, 0.5, 0.1 }, { 0.8, 0.5, 0.1, 0.1 } },
    { 0.7f, 0.3f, 0.1f, { 0, 0.571429, 0.857143, 0.3 }, { 0.3968, 0.332506, 0.716262 }, { 0.3, 0.7, 0.9 }, { 0.3, 0.7, 0.9, 0.3 } },
    { 0, 0.4f, 0.8f, { 1, 0.5, 0, 0.2 }, { 0.326, 0.767494, 0.267475 }, { 1, 0.6, 0.2 }, { 1, 0.6, 0.2, 0.2 } },
};

void expect_near(const std::vector<float> &actual, const std::vector<double> &expected, const char *space)
{
    ASSERT_EQ(actual.size(), expected.size()) << space;
    for (size_t c = 0; c < expected.size(); ++c)
        EXPECT_NEAR(actual[c], expected[c], 6e-7) << space << " channel " << c;
}

}  // namespace

// The combined spaces are RGB followed by CMYK or YUV, exactly. Black
// divides 0 by 0 in CMYK: a NaN there fails the comparison.
TEST(color_space, sample_colours_in_every_space)
{
    set_default_settings();
    for (const auto &s : samples) {
        SCOPED_TRACE(testing::Message() << s.r << ", " << s.g << ", " << s.b);
        const std::vector<float> rgb = convert(color_space_rgb, s.r, s.g, s.b);
        EXPECT_EQ(rgb, (std::vector<float>{ s.r, s.g, s.b }));
        const std::vector<float> cmyk = convert(color_space_cmyk, s.r, s.g, s.b), yuv = convert(color_space_yuv, s.r, s.g, s.b);
        expect_near(cmyk, s.cmyk, "cmyk");
        expect_near(yuv, s.yuv, "yuv");
        expect_near(convert(color_space_cmy, s.r, s.g, s.b), s.cmy, "cmy");
        expect_near(convert(color_space_cmyk2, s.r, s.g, s.b), s.cmyk2, "cmyk2");
        std::vector<float> rgbcmyk = rgb, rgbyuv = rgb;
        rgbcmyk.insert(rgbcmyk.end(), cmyk.begin(), cmyk.end());
        rgbyuv.insert(rgbyuv.end(), yuv.begin(), yuv.end());
        EXPECT_EQ(convert(color_space_rgbcmyk, s.r, s.g, s.b), rgbcmyk);
        EXPECT_EQ(convert(color_space_rgbyuv, s.r, s.g, s.b), rgbyuv);
    }
}

// Planes past the space's channels are cleared, so a space with fewer
// channels than the last one leaves nothing stale for the search.
TEST(color_space, palette_conversion_fills_the_used_planes_and_clears_the_rest)
{
    for (int i = 0; i < palette_entries; ++i) {
        pal_R[i] = i / 255.0f;
        pal_G[i] = (255 - i) / 255.0f;
        pal_B[i] = ((i * 7) % 256) / 255.0f;
    }
    for (int space = 0; space < color_space_count; ++space) {
        for (auto &plane : pal_ch)
            for (float &v : plane)
                v = 9.0f;
        convert(space, 0, 0, 0);
        convert_palette();
        for (int i = 0; i < palette_entries; i += 5) {
            std::vector<float> expected = convert(space, pal_R[i], pal_G[i], pal_B[i]);
            expected.resize(max_working_channels, 0.0f);
            for (int c = 0; c < max_working_channels; ++c)
                ASSERT_EQ(pal_ch[c][i], expected[c]) << "space " << space << " entry " << i << " channel " << c;
        }
    }
}

// OkLab from linear light and from stored levels (-g srgb), past black and
// white too (mirrored below 0), to six digits of the published matrices with
// an exact cube root; values not finite give no finite channel.
TEST(color_space, oklab_of_working_values_in_both_gammas)
{
    const struct { int gamma; float rgb[3]; double lab[3]; } cases[] = {
        { gamma_linear, { 1, 1, 1 }, { 1, 0, 0 } },
        { gamma_linear, { 1, 0, 0 }, { 0.627955, 0.224863, 0.125846 } },
        { gamma_linear, { -0.25f, 0, 0 }, { -0.395587, -0.141655, -0.079278 } },
        { gamma_linear, { 3, 0.5f, 0 }, { 1.025387, 0.191204, 0.207472 } },
        { gamma_srgb, { 0.2f, 0.5f, 0.9f }, { 0.604309, -0.038779, -0.167344 } },
        { gamma_srgb, { -0.5f, 0.02f, 1.5f }, { 0.554017, -0.265607, -0.454439 } },
    };
    set_default_settings();
    float lab[3];
    for (const auto &c : cases) {
        RGB_gamma = c.gamma;
        working_to_oklab(c.rgb, lab);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(lab[i], c.lab[i], 1e-6) << c.rgb[0] << ", " << c.rgb[1] << ", " << c.rgb[2] << " gamma " << c.gamma;
    }
    for (float odd : { std::nanf(""), INFINITY, -INFINITY }) {
        const float rgb[3] = { odd, 0.5f, 0.5f };
        working_to_oklab(rgb, lab);
        EXPECT_FALSE(std::isfinite(lab[0]) || std::isfinite(lab[1]) || std::isfinite(lab[2])) << odd;
    }
}
