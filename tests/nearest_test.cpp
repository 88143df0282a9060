// The nearest-colour search: every weighting and metric on cases worked out by
// hand, ties, and values that have run away.
#include "driver/settings.h"
#include "engine/nearest.h"
#include "engine/palette.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>

namespace {

// A colour far from every value used below under every metric, so that the
// entries a test does not name never win.
constexpr float far_away = 10.0f;

void set_entry(int k, std::initializer_list<float> channels)
{
    int c = 0;
    for (float value : channels)
        pal_ch[c++][k] = value;
}

class nearest : public ::testing::Test {
protected:
    void SetUp() override
    {
        set_default_settings();
        clear_search_state();
        best_color = 0;
        for (auto &plane : pal_ch)
            for (float &value : plane)
                value = far_away;
    }

    void use(int color_space_code, int channels, int weighting, int metric)
    {
        color_space = color_space_code;
        channels_used = channels;
        quant_weighting_coefficients = weighting;
        quant_error_finding_algorithm = metric;
    }

    // The error that the search gives the one candidate at entry 0.
    float error_of(std::initializer_list<float> v, std::initializer_list<float> entry)
    {
        set_entry(0, entry);
        float values[12] = {};
        int c = 0;
        for (float value : v)
            values[c++] = value;
        EXPECT_EQ(find_nearest_color(values), 0);
        return best_dither_quant_error;
    }
};

// For v = (0.5, 0.5, 0.5) and the entry (0.25, 0, 1) the differences are
// 0.25, 0.5 and 0.5.
TEST_F(nearest, each_metric_on_a_hand_worked_case)
{
    use(color_space_rgb, 3, 0, 0);
    EXPECT_FLOAT_EQ(error_of({ 0.5f, 0.5f, 0.5f }, { 0.25f, 0.0f, 1.0f }), 0.5625f);  // 1/16 + 1/4 + 1/4
    use(color_space_rgb, 3, 0, 1);
    EXPECT_FLOAT_EQ(error_of({ 0.5f, 0.5f, 0.5f }, { 0.25f, 0.0f, 1.0f }), 1.25f);
    use(color_space_rgb, 3, 0, 2);
    EXPECT_FLOAT_EQ(error_of({ 0.5f, 0.5f, 0.5f }, { 0.25f, 0.0f, 1.0f }), 1.375f);  // 2/16 + 4/4 + 1/4
    use(color_space_rgb, 3, 0, 3);
    EXPECT_FLOAT_EQ(error_of({ 0.5f, 0.5f, 0.5f }, { 0.25f, 0.0f, 1.0f }), 0.625f);  // 1/16 + 1/16 + 1/2
    use(color_space_rgb, 3, 0, 4);
    EXPECT_FLOAT_EQ(error_of({ 0.5f, 0.5f, 0.5f }, { 0.25f, 0.0f, 1.0f }), 0.296875f);  // 1/32 + 1/64 + 1/4
    // Four channels: the fourth difference 0.25 weighs 200.
    use(color_space_cmyk, 4, 0, 5);
    EXPECT_FLOAT_EQ(error_of({ 0.5f, 0.5f, 0.5f, 0.5f }, { 0.25f, 0.0f, 1.0f, 0.25f }), 13.0625f);
}

TEST_F(nearest, pow421_counts_each_channel_differently)
{
    use(color_space_rgb, 3, 0, 3);
    EXPECT_FLOAT_EQ(error_of({ 0.5f, 0.5f, 0.5f }, { 0.5f, 0.5f, 0.0f }), 0.5f);     // d2
    EXPECT_FLOAT_EQ(error_of({ 0.5f, 0.5f, 0.5f }, { 0.0f, 0.5f, 0.5f }), 0.25f);    // d0 squared
    EXPECT_FLOAT_EQ(error_of({ 0.5f, 0.5f, 0.5f }, { 0.5f, 0.0f, 0.5f }), 0.0625f);  // d1 to the fourth
}

TEST_F(nearest, each_weighting_on_a_hand_worked_case)
{
    use(color_space_rgb, 3, 1, 0);  // 421: d = 0.5, 2, 0.5
    EXPECT_FLOAT_EQ(error_of({ 0.5f, 0.5f, 0.5f }, { 0.25f, 0.0f, 1.0f }), 4.5f);
    use(color_space_rgb, 3, 2, 0);  // 721: d = 0.05315, 0.3576, 0.0361
    EXPECT_NEAR(error_of({ 0.5f, 0.5f, 0.5f }, { 0.25f, 0.0f, 1.0f }), 0.1320058925, 1e-7);
    use(color_space_rgb, 3, 3, 0);  // 631: d = 0.07475, 0.2935, 0.057
    EXPECT_NEAR(error_of({ 0.5f, 0.5f, 0.5f }, { 0.25f, 0.0f, 1.0f }), 0.0949788125, 1e-7);
    use(color_space_cmyk, 4, 4, 0);  // 1113: d = 0.25, 0.5, 0.5, 0.75
    EXPECT_FLOAT_EQ(error_of({ 0.5f, 0.5f, 0.5f, 0.5f }, { 0.25f, 0.0f, 1.0f, 0.25f }), 1.125f);
    use(color_space_cmyk, 4, 5, 0);  // 2417: d = 0.5, 2, 0.5, 1.75
    EXPECT_FLOAT_EQ(error_of({ 0.5f, 0.5f, 0.5f, 0.5f }, { 0.25f, 0.0f, 1.0f, 0.25f }), 7.5625f);
    use(color_space_rgbcmyk, 7, 0, 1);  // 111 runs over all seven channels
    EXPECT_FLOAT_EQ(error_of({ 0, 0, 0, 0, 0, 0, 0 }, { 0.5f, 0.25f, 0.125f, 1, 2, 4, 8 }), 15.875f);
}

TEST_F(nearest, weighting_and_metric_compose)
{
    use(color_space_rgb, 3, 1, 2);  // 2 (2 * 0.25)^2 + 4 (4 * 0.5)^2 + 0.5^2
    EXPECT_FLOAT_EQ(error_of({ 0.5f, 0.5f, 0.5f }, { 0.25f, 0.0f, 1.0f }), 16.75f);
}

TEST_F(nearest, sum_tie_goes_to_the_lower_index)
{
    use(color_space_rgb, 3, 0, 1);
    const float v[3] = { 0.5f, 0.5f, 0.5f };
    set_entry(4, { 0.5f, 0.5f, 0.0f });
    set_entry(9, { 0.25f, 0.25f, 0.5f });
    EXPECT_EQ(find_nearest_color(v), 4);
    EXPECT_EQ(best_dither_quant_error, 0.5f);

    set_entry(4, { 0.25f, 0.25f, 0.5f });
    set_entry(9, { 0.5f, 0.5f, 0.0f });
    EXPECT_EQ(find_nearest_color(v), 4);

    // Under pow2 the two are not equally far: 0.125 against 0.25.
    use(color_space_rgb, 3, 0, 0);
    set_entry(4, { 0.5f, 0.5f, 0.0f });
    set_entry(9, { 0.25f, 0.25f, 0.5f });
    EXPECT_EQ(find_nearest_color(v), 9);
}

TEST_F(nearest, duplicate_colours_give_the_lower_index)
{
    const float v[3] = { 0.3f, 0.6f, 0.2f };
    set_entry(200, { 0.3f, 0.6f, 0.2f });
    set_entry(17, { 0.3f, 0.6f, 0.2f });
    set_entry(255, { 0.3f, 0.6f, 0.2f });
    best_color = 250;
    EXPECT_EQ(find_nearest_color(v), 17);
    EXPECT_EQ(best_dither_quant_error, 0.0f);
}

// Errors that differ only in double but round to the same float are a tie:
// 1 + 2^-30 and 1 are both 1.0f, so the lower index stays.
TEST_F(nearest, errors_are_compared_as_floats)
{
    const float v[3] = { 0.0f, 0.0f, 0.0f };
    set_entry(1, { 1.0f, std::ldexp(1.0f, -30), 0.0f });
    set_entry(2, { 1.0f, 0.0f, 0.0f });
    use(color_space_rgb, 3, 0, 1);
    EXPECT_EQ(find_nearest_color(v), 1);
    use(color_space_rgb, 3, 0, 0);
    EXPECT_EQ(find_nearest_color(v), 1);
}

TEST_F(nearest, pow2m1113_with_three_channels_equals_pow2)
{
    // A spread of entries and values; both metrics must pick the same entry
    // with the same error, the fourth term being 0.
    for (int k = 0; k < palette_entries; ++k)
        set_entry(k, { (k % 7) / 6.0f, (k % 11) / 10.0f, (k % 13) / 12.0f });
    for (int i = 0; i < 50; ++i) {
        const float v[3] = { (i % 5) * 0.27f - 0.1f, (i % 9) * 0.13f, (i % 4) * 0.35f };
        use(color_space_rgb, 3, 0, 0);
        int pow2_choice = find_nearest_color(v);
        float pow2_error = best_dither_quant_error;
        use(color_space_rgb, 3, 0, 5);
        EXPECT_EQ(find_nearest_color(v), pow2_choice);
        EXPECT_EQ(best_dither_quant_error, pow2_error);
    }
}

// 421 writes only d0 to d2; under pow2 with seven channels d3 to d6 keep what
// they held and add the same to every candidate.
TEST_F(nearest, unwritten_channels_add_the_same_to_every_candidate)
{
    use(color_space_rgbcmyk, 7, 1, 0);
    dither_quant_error_ch[3] = 0.5f;
    dither_quant_error_ch[6] = 0.25f;
    const float v[7] = { 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f };
    set_entry(3, { 0.5f, 0.5f, 0.75f, 5, 5, 5, 5 });       // near in 0-2, far in 3-6
    set_entry(8, { 0.5f, 0.25f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f });  // d1 = 4 * 0.25
    EXPECT_EQ(find_nearest_color(v), 3);
    EXPECT_FLOAT_EQ(best_dither_quant_error, 0.0625f + 0.25f + 0.0625f);
    EXPECT_EQ(dither_quant_error_ch[3], 0.5f);
    EXPECT_EQ(dither_quant_error_ch[6], 0.25f);
}

// The pre-processing's search ignores -e and -q and writes d0 ... d6 plainly.
TEST_F(nearest, squared_search_ignores_the_settings)
{
    use(color_space_rgb, 3, 0, 1);
    const float v[3] = { 0.5f, 0.5f, 0.5f };
    set_entry(4, { 0.5f, 0.5f, 0.0f });
    set_entry(9, { 0.25f, 0.25f, 0.5f });
    quant_weighting_coefficients = 1;
    EXPECT_EQ(find_nearest_color_squared(v), 9);
    EXPECT_EQ(best_dither_quant_error, 0.125f);

    use(color_space_rgbcmyk, 7, 1, 3);
    const float w[7] = { 0, 0, 0, 0, 0, 0, 1.5f };
    find_nearest_color_squared(w);
    // The last candidate, 255, is far_away in every channel.
    EXPECT_EQ(dither_quant_error_ch[0], far_away);
    EXPECT_EQ(dither_quant_error_ch[6], far_away - 1.5f);
}

TEST_F(nearest, values_that_ran_away_keep_the_last_choice)
{
    set_entry(0, { 0, 0, 0 });
    set_entry(1, { 1, 1, 1 });
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float cases[][3] = { { nan, 0.0f, 0.0f }, { 0.0f, inf, 0.0f }, { -inf, 0.0f, 0.0f }, { 2e18f, 0.0f, 0.0f } };
    for (int metric = 0; metric < 6; ++metric) {
        use(color_space_rgb, 3, 0, metric);
        for (const auto &v : cases) {
            best_color = 77;
            EXPECT_EQ(find_nearest_color(v), 77) << "metric " << metric << " v0 " << v[0];
            EXPECT_EQ(best_dither_quant_error, 1e18f);
        }
    }
}

}  // namespace
