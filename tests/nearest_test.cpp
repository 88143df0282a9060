// The nearest-colour search: every metric and weighting on cases worked out
// by hand, ties, and values that have run away.
#include "engine/matching.h"
#include "engine/nearest.h"
#include "engine/palette.h"
#include "settings/settings.h"
#include "tests/engine_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>

namespace {

void set_entry(int k, std::initializer_list<float> channels)
{
    int c = 0;
    for (float value : channels)
        pal_ch[c++][k] = value;
}

class nearest : public engine_fixture {
protected:
    // Every entry far from every value used, so only the named ones win.
    void SetUp() override
    {
        engine_fixture::SetUp();
        for (auto &plane : pal_ch)
            for (float &value : plane)
                value = 10.0f;
    }

    void use(int space, int channels, int weighting, int metric)
    {
        color_space = space;
        channels_used = channels;
        quant_weighting_coefficients = weighting;
        quant_error_finding_algorithm = metric;
    }
};

}  // namespace

// v = (0.5, 0.5, 0.5[, 0.5]) against (0.25, 0, 1[, 0.25]): differences 0.25,
// 0.5, 0.5[, 0.25] before weighting.
TEST_F(nearest, each_metric_and_weighting_on_a_hand_worked_case)
{
    const int rgb = color_space_rgb, cmyk = color_space_cmyk;
    const struct { int space, channels, weighting, metric; float entry[3], error; } cases[] = {
        { rgb, 3, weighting_111, metric_pow2, { 0.25f, 0, 1 }, 0.5625f },  // 1/16 + 1/4 + 1/4
        { rgb, 3, weighting_111, metric_sum, { 0.25f, 0, 1 }, 1.25f },
        { rgb, 3, weighting_111, metric_pow2m421, { 0.25f, 0, 1 }, 1.375f },  // 2/16 + 4/4 + 1/4
        { rgb, 3, weighting_111, metric_pow421, { 0.25f, 0, 1 }, 0.625f },  // d0^2 + d1^4 + d2
        { rgb, 3, weighting_111, metric_pow421, { 0, 0.5f, 0.5f }, 0.25f },  // d0 alone: squared
        { rgb, 3, weighting_111, metric_pow421, { 0.5f, 0, 0.5f }, 0.0625f },  // on d1 alone: to the fourth
        { rgb, 3, weighting_111, metric_pow421, { 0.5f, 0.5f, 0 }, 0.5f },  // on d2 alone: plain
        { rgb, 3, weighting_111, metric_pow532, { 0.25f, 0, 1 }, 0.296875f },  // 1/32 + 1/64 + 1/4
        { cmyk, 4, weighting_111, metric_pow2m1113, { 0.25f, 0, 1 }, 13.0625f },  // the fourth weighs 200
        { rgb, 3, weighting_421, metric_pow2, { 0.25f, 0, 1 }, 4.5f },  // 0.5, 2, 0.5
        { rgb, 3, weighting_721, metric_pow2, { 0.25f, 0, 1 }, 0.1320058925f },  // 0.05315, 0.3576, 0.0361
        { rgb, 3, weighting_631, metric_pow2, { 0.25f, 0, 1 }, 0.0949788125f },  // 0.07475, 0.2935, 0.057
        { cmyk, 4, weighting_1113, metric_pow2, { 0.25f, 0, 1 }, 1.125f },  // 0.25, 0.5, 0.5, 0.75
        { cmyk, 4, weighting_2417, metric_pow2, { 0.25f, 0, 1 }, 7.5625f },  // 0.5, 2, 0.5, 1.75
        { rgb, 3, weighting_421, metric_pow2m421, { 0.25f, 0, 1 }, 16.75f },  // 2 (0.5)^2 + 4 (2)^2 + 0.5^2
        // With three channels nothing writes the fourth difference, which
        // pow2m1113 reads: 0 in a cleared search, so pow2 again.
        { rgb, 3, weighting_111, metric_pow2m1113, { 0.25f, 0, 1 }, 0.5625f },
    };
    const float v[4] = { 0.5f, 0.5f, 0.5f, 0.5f };
    for (const auto &c : cases) {
        use(c.space, c.channels, c.weighting, c.metric);
        clear_search_state();
        set_entry(0, { c.entry[0], c.entry[1], c.entry[2], 0.25f });
        EXPECT_EQ(find_nearest_color(v), 0);
        EXPECT_NEAR(best_dither_quant_error, c.error, c.error * 2e-7) << "weighting " << c.weighting << " metric " << c.metric;
    }
}

// 421 writes only d0 to d2; with seven channels d3 to d6 keep what they held
// and add the same to every candidate, so entry 3, near in 0-2, wins.
TEST_F(nearest, weighting_421_with_seven_channels)
{
    use(color_space_rgbcmyk, 7, weighting_421, metric_pow2);
    dither_quant_error_ch[3] = 0.5f;
    dither_quant_error_ch[6] = 0.25f;
    const float v[7] = { 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f };
    set_entry(3, { 0.5f, 0.5f, 0.75f, 5, 5, 5, 5 });
    set_entry(8, { 0.5f, 0.25f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f });
    EXPECT_EQ(find_nearest_color(v), 3);
    EXPECT_FLOAT_EQ(best_dither_quant_error, 0.0625f + 0.25f + 0.0625f);
}

// Equal errors go to the lower index, in either order and for exact
// duplicates; errors equal only in double are compared as floats. The
// pre-processing's search ignores -e and -q: plain squared distance.
TEST_F(nearest, ties_go_to_the_lower_index)
{
    use(color_space_rgb, 3, weighting_111, metric_sum);
    const float v[3] = { 0.5f, 0.5f, 0.5f };
    set_entry(4, { 0.5f, 0.5f, 0.0f });    // sum 0.5, pow2 0.25
    set_entry(9, { 0.25f, 0.25f, 0.5f });  // sum 0.5, pow2 0.125
    EXPECT_EQ(find_nearest_color(v), 4);
    EXPECT_EQ(best_dither_quant_error, 0.5f);
    use(color_space_rgb, 3, weighting_421, metric_sum);  // 0.5 against 1.5
    EXPECT_EQ(find_nearest_color_squared(v), 9);
    EXPECT_EQ(best_dither_quant_error, 0.125f);
    use(color_space_rgb, 3, weighting_111, metric_sum);
    set_entry(4, { 0.25f, 0.25f, 0.5f });
    set_entry(9, { 0.5f, 0.5f, 0.0f });
    EXPECT_EQ(find_nearest_color(v), 4);
    use(color_space_rgb, 3, weighting_111, metric_pow2);
    EXPECT_EQ(find_nearest_color(v), 4);

    set_entry(200, { 0.3f, 0.6f, 0.2f });
    set_entry(17, { 0.3f, 0.6f, 0.2f });
    const float w[3] = { 0.3f, 0.6f, 0.2f };
    EXPECT_EQ(find_nearest_color(w), 17);

    for (int k : { 4, 9, 17, 200 })
        set_entry(k, { 10, 10, 10 });
    const float zero[3] = { 0, 0, 0 };
    set_entry(1, { 1.0f, std::ldexp(1.0f, -30), 0.0f });  // 1 + 2^-30 is 1.0f
    set_entry(2, { 1.0f, 0.0f, 0.0f });
    EXPECT_EQ(find_nearest_color(zero), 1);
}

// NaN, infinities and errors beyond float beat no candidate: the last
// choice stays, under every metric.
TEST_F(nearest, values_that_ran_away_keep_the_last_choice)
{
    set_entry(0, { 0, 0, 0 });
    set_entry(1, { 1, 1, 1 });
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const float cases[][3] = { { nan, 0, 0 }, { 0, inf, 0 }, { -inf, 0, 0 }, { 2e18f, 0, 0 } };
    for (int metric = 0; metric < metric_count; ++metric) {
        use(color_space_rgb, 3, weighting_111, metric);
        for (const auto &v : cases) {
            best_color = 77;
            EXPECT_EQ(find_nearest_color(v), 77) << "metric " << metric << " v0 " << v[0];
        }
    }
}

// Under -m oklab the entry nearest in OkLab wins, whatever -q and -e say: a
// grey of 0.05 is nearer to black than to 0.2 in linear light, but nearer to
// 0.2 in lightness (L 0.368 against 0 and 0.585); stored levels are decoded
// first (0.1 ties as stored, L 0.216 against 0 and 0.321). Other spaces keep
// their channels; a value far beyond white wins nothing.
TEST_F(nearest, oklab_matching_finds_the_entry_nearest_in_lightness)
{
    const struct { int space, gamma; float level; int entry; float error; } cases[] = {
        { color_space_rgb, gamma_linear, 0.05f, 1, 0.046829f }, { color_space_rgb, gamma_srgb, 0.1f, 1, 0.011127f },
        { color_space_yuv, gamma_linear, 0.05f, 0, 0.0616f }, { color_space_rgb, gamma_linear, 1e30f, 77, 0 },
    };
    for (const auto &c : cases) {
        use(c.space, 3, weighting_421, metric_pow421);
        RGB_gamma = c.gamma, color_matching = matching_oklab, best_color = 77;
        set_entry(0, { 0, 0, 0 });
        set_entry(1, { 0.2f, 0.2f, 0.2f });
        convert_matching_palette();
        const float v[3] = { c.level, c.level, c.level };
        EXPECT_EQ(find_nearest_color(v), c.entry) << "space " << c.space << " gamma " << c.gamma;
        EXPECT_NEAR(c.entry == 77 ? 0 : best_dither_quant_error, c.error, 2e-6) << "space " << c.space;
    }
}
