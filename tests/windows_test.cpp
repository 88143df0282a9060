// The diffusion and pre-processing windows, as tables worked out by hand.
#include "engine/windows.h"

#include <gtest/gtest.h>

namespace {

// The round window's weights: a on the edges, b on the corners, a + b = 1/2.
const float a = 0.316519558f, b = 0.183480456f;

}  // namespace

// Slots 1-3 (the row above) must be cleared by every selector, whatever the
// window before left there; slots 4 and 6-9 hold the weights.
TEST(windows, every_window_installs_its_tables_over_any_earlier_window)
{
    const struct { int32_t code; float right[5], left[5]; } windows[] = {
        { window_floyd, { 0, 0.4375f, 0.1875f, 0.3125f, 0.0625f }, { 0.4375f, 0, 0.0625f, 0.3125f, 0.1875f } },
        { window_round, { 0, a, b, a, b }, { a, 0, b, a, b } },
        { window_x, { 0, 0, 0.5f, 0, 0.5f }, { 0, 0, 0.5f, 0, 0.5f } },
        { window_linear_x, { 0, 1, 0, 0, 0 }, { 1, 0, 0, 0, 0 } },
        { window_linear_y, { 0, 0, 0, 1, 0 }, { 0, 0, 0, 1, 0 } },
        { window_linear_x_y, { 0, 0.5f, 0, 0.5f, 0 }, { 0.5f, 0, 0, 0.5f, 0 } },
        { window_dot, { 0, 0, 0, 0, 0 }, { 0, 0, 0, 0, 0 } },
    };
    static_assert(sizeof windows / sizeof windows[0] == window_count, "a window without its hand-worked table");
    const int slots[] = { 4, 6, 7, 8, 9 };
    for (const auto &earlier : windows) {
        for (const auto &w : windows) {
            install_window(earlier.code);
            wind_r[1] = wind_r[2] = wind_r[3] = wind_l[1] = wind_l[2] = wind_l[3] = 9.0f;
            install_window(w.code);
            for (int slot : { 1, 2, 3 })
                EXPECT_EQ(wind_r[slot] + wind_l[slot], 0.0f);
            for (int i = 0; i < 5; ++i) {
                EXPECT_EQ(wind_r[slots[i]], w.right[i]) << "slot " << slots[i];
                EXPECT_EQ(wind_l[slots[i]], w.left[i]) << "slot " << slots[i];
            }
        }
    }
    EXPECT_FLOAT_EQ(2 * (a + b), 1.0f);
}

// The level multiplies every weight, rounded once to float, and leaves the
// installed window as it was.
TEST(windows, scaling_multiplies_every_weight)
{
    set_default_settings();
    install_window(window_floyd);
    coefficient = 0.5f;
    scale_scan_windows();
    EXPECT_EQ(scaled_wind_r[6], 0.21875f);
    EXPECT_EQ(scaled_wind_r[9], 0.03125f);
    EXPECT_EQ(scaled_wind_l[4], 0.21875f);
    EXPECT_EQ(scaled_wind_l[9], 0.09375f);
    EXPECT_EQ(wind_r[6], 0.4375f);
    install_window(window_round);
    coefficient = 0.97f;
    scale_scan_windows();
    EXPECT_EQ(scaled_wind_r[6], static_cast<float>(static_cast<double>(a) * 0.97f));
}

// Round takes half the round scan window's weights; cross only the edges.
TEST(windows, pre_processing_windows)
{
    const float corner[] = { b / 2, 0.0f, 0.125f }, edge[] = { a / 2, 0.25f, 0.125f };
    for (int code = 0; code < 3; ++code) {
        pre_processing_window = code;
        select_pre_processing_window();
        for (int slot : { 1, 3, 7, 9 })
            EXPECT_EQ(mix_wind[slot], corner[code]) << code;
        for (int slot : { 2, 4, 6, 8 })
            EXPECT_EQ(mix_wind[slot], edge[code]) << code;
        EXPECT_EQ(mix_wind[5], 0.0f);
    }
}
