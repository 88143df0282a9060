#include "driver/settings.h"
#include "engine/windows.h"

#include <gtest/gtest.h>

namespace {

struct window_case {
    void (*select)();
    // Slots 4, 6, 7, 8, 9 of the left-to-right and right-to-left tables.
    float right[5];
    float left[5];
};

const float a = 0.316519558f, b = 0.183480456f;

const window_case window_cases[] = {
    { select_floyd_window, { 0, 0.4375f, 0.1875f, 0.3125f, 0.0625f }, { 0.4375f, 0, 0.0625f, 0.3125f, 0.1875f } },
    { select_round_window, { 0, a, b, a, b }, { a, 0, b, a, b } },
    { select_x_window, { 0, 0, 0.5f, 0, 0.5f }, { 0, 0, 0.5f, 0, 0.5f } },
    { select_linear_x_window, { 0, 1, 0, 0, 0 }, { 1, 0, 0, 0, 0 } },
    { select_linear_y_window, { 0, 0, 0, 1, 0 }, { 0, 0, 0, 1, 0 } },
    { select_linear_x_y_window, { 0, 0.5f, 0, 0.5f, 0 }, { 0.5f, 0, 0, 0.5f, 0 } },
    { select_dot_window, { 0, 0, 0, 0, 0 }, { 0, 0, 0, 0, 0 } },
};

const int spread_slots[] = { 4, 6, 7, 8, 9 };

}  // namespace

TEST(windows, every_selector_installs_its_tables_over_any_earlier_window)
{
    for (const window_case &earlier : window_cases) {
        for (const window_case &c : window_cases) {
            earlier.select();
            wind_r[1] = wind_r[2] = wind_r[3] = wind_l[1] = wind_l[2] = wind_l[3] = 9.0f;
            c.select();
            for (int slot = 1; slot <= 3; ++slot) {
                EXPECT_EQ(wind_r[slot], 0.0f);
                EXPECT_EQ(wind_l[slot], 0.0f);
            }
            for (int i = 0; i < 5; ++i) {
                EXPECT_EQ(wind_r[spread_slots[i]], c.right[i]) << "slot " << spread_slots[i];
                EXPECT_EQ(wind_l[spread_slots[i]], c.left[i]) << "slot " << spread_slots[i];
            }
        }
    }
}

TEST(windows, round_weights_are_the_exact_floats_and_sum_to_one)
{
    select_round_window();
    EXPECT_EQ(wind_r[6], 0.316519558f);
    EXPECT_EQ(wind_r[7], 0.183480456f);
    EXPECT_FLOAT_EQ(wind_r[6] + wind_r[7] + wind_r[8] + wind_r[9], 1.0f);
}

TEST(windows, scaling_multiplies_every_weight_and_leaves_the_installed_window)
{
    set_default_settings();
    select_floyd_window();
    coefficient = 0.5f;
    scale_scan_windows();
    EXPECT_EQ(scaled_wind_r[6], 0.21875f);
    EXPECT_EQ(scaled_wind_r[7], 0.09375f);
    EXPECT_EQ(scaled_wind_r[8], 0.15625f);
    EXPECT_EQ(scaled_wind_r[9], 0.03125f);
    EXPECT_EQ(scaled_wind_l[4], 0.21875f);
    EXPECT_EQ(scaled_wind_l[9], 0.09375f);
    EXPECT_EQ(wind_r[6], 0.4375f);

    // The product is rounded once to float.
    select_round_window();
    coefficient = 0.97f;
    scale_scan_windows();
    EXPECT_EQ(scaled_wind_r[6], static_cast<float>(static_cast<double>(0.316519558f) * 0.97f));

    coefficient = -1.0f;
    scale_scan_windows();
    EXPECT_EQ(scaled_wind_l[4], -0.316519558f);
}

TEST(windows, pre_processing_windows)
{
    const float corner[] = { 0.0917402282f, 0.0f, 0.125f };
    const float edge[] = { 0.158259779f, 0.25f, 0.125f };
    for (int code = 0; code < 3; ++code) {
        pre_processing_window = code;
        select_pre_processing_window();
        for (int slot : { 1, 3, 7, 9 })
            EXPECT_EQ(mix_wind[slot], corner[code]);
        for (int slot : { 2, 4, 6, 8 })
            EXPECT_EQ(mix_wind[slot], edge[code]);
        EXPECT_EQ(mix_wind[5], 0.0f);
    }
    // Half the round scan window's weights.
    EXPECT_EQ(0.0917402282f, 0.183480456f / 2);
    EXPECT_EQ(0.158259779f, 0.316519558f / 2);
}
