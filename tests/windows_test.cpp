// The diffusion and pre-processing windows and the ordered patterns, as
// tables worked out by hand or copied from their publications.
#include "engine/diffusion_windows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

// The round window's weights: a on the edges, b on the corners, a + b = 1/2.
const float a = 0.316519558f, b = 0.183480456f;

// Every window installs its shares over any earlier window: for a row run
// left to right as published (the pixel's row, columns x - 2 ... x + 2, and
// the two rows below, over the divisor), mirrored for a row run right to
// left, nothing above the pixel, and the reach of its furthest share. The
// ordered windows have no shares, only their pattern. The diffusion level
// scales a copy of every share, rounded once to float from the product in
// double, and leaves the installed window as it was.
TEST(windows, every_window_installs_its_published_shares_over_any_earlier_window)
{
    const struct {
        int32_t code;
        float weight[3][5], divisor;
        int columns, rows;
    } windows[] = {
        { window_floyd, { { 0, 0, 0, 7, 0 }, { 0, 3, 5, 1, 0 }, {} }, 16, 1, 1 },
        { window_round, { { 0, 0, 0, a, 0 }, { 0, b, a, b, 0 }, {} }, 1, 1, 1 },
        { window_x, { {}, { 0, 1, 0, 1, 0 }, {} }, 2, 1, 1 },
        { window_linear_x, { { 0, 0, 0, 1, 0 }, {}, {} }, 1, 1, 1 },
        { window_linear_y, { {}, { 0, 0, 1, 0, 0 }, {} }, 1, 1, 1 },
        { window_linear_x_y, { { 0, 0, 0, 1, 0 }, { 0, 0, 1, 0, 0 }, {} }, 2, 1, 1 },
        { window_dot, {}, 1, 1, 1 },
        { window_jarvis, { { 0, 0, 0, 7, 5 }, { 3, 5, 7, 5, 3 }, { 1, 3, 5, 3, 1 } }, 48, 2, 2 },
        { window_stucki, { { 0, 0, 0, 8, 4 }, { 2, 4, 8, 4, 2 }, { 1, 2, 4, 2, 1 } }, 42, 2, 2 },
        { window_burkes, { { 0, 0, 0, 8, 4 }, { 2, 4, 8, 4, 2 }, {} }, 32, 2, 1 },
        { window_sierra, { { 0, 0, 0, 5, 3 }, { 2, 4, 5, 4, 2 }, { 0, 2, 3, 2, 0 } }, 32, 2, 2 },
        { window_sierra2, { { 0, 0, 0, 4, 3 }, { 1, 2, 3, 2, 1 }, {} }, 16, 2, 1 },
        { window_sierra_lite, { { 0, 0, 0, 2, 0 }, { 0, 1, 1, 0, 0 }, {} }, 4, 1, 1 },
        { window_atkinson, { { 0, 0, 0, 1, 1 }, { 0, 1, 1, 1, 0 }, { 0, 0, 1, 0, 0 } }, 8, 2, 2 },
        { window_bayer2, {}, 1, 1, 1 },
        { window_bayer4, {}, 1, 1, 1 },
        { window_bayer8, {}, 1, 1, 1 },
        { window_bluenoise, {}, 1, 1, 1 },
    };
    static_assert(sizeof windows / sizeof windows[0] == window_count, "a window without its table");
    coefficient = 0.97f;
    for (const auto &earlier : windows) {
        for (const auto &w : windows) {
            install_window(earlier.code);
            install_window(w.code);
            scale_scan_windows();
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx) {
                    const float share = dy < 0 ? 0.0f : w.weight[dy][dx + 2] / w.divisor;
                    const float scaled = static_cast<float>(static_cast<double>(share) * 0.97f);
                    EXPECT_EQ(wind_r.at(dx, dy), share) << w.code << " at " << dx << ", " << dy;
                    EXPECT_EQ(wind_l.at(-dx, dy), share) << w.code << " at " << -dx << ", " << dy;
                    EXPECT_EQ(scaled_wind_r.at(dx, dy), scaled) << w.code << " at " << dx << ", " << dy;
                    EXPECT_EQ(scaled_wind_l.at(-dx, dy), scaled) << w.code << " at " << -dx << ", " << dy;
                }
            EXPECT_EQ(wind_r.columns, w.columns) << w.code;
            EXPECT_EQ(wind_l.rows, w.rows) << w.code;
            EXPECT_EQ(scaled_wind_l.columns, w.columns) << w.code;
            EXPECT_EQ(ordered_pattern != nullptr, w.code >= window_bayer2) << w.code;
        }
    }
    EXPECT_FLOAT_EQ(2 * (a + b), 1.0f);
}

// Each pattern holds every rank once; the Bayer matrices are the published
// ones (bayer8 by its first two rows).
TEST(windows, ordered_patterns_hold_every_rank_once)
{
    const struct { int32_t code; int side; std::vector<int> first_ranks; } patterns[] = {
        { window_bayer2, 2, { 0, 2, 3, 1 } },
        { window_bayer4, 4, { 0, 8, 2, 10, 12, 4, 14, 6, 3, 11, 1, 9, 15, 7, 13, 5 } },
        { window_bayer8, 8, { 0, 32, 8, 40, 2, 34, 10, 42, 48, 16, 56, 24, 50, 18, 58, 26 } },
        { window_bluenoise, 64, {} },
    };
    for (const auto &p : patterns) {
        install_window(p.code);
        ASSERT_NE(ordered_pattern, nullptr);
        ASSERT_EQ(ordered_pattern->side, p.side);
        const int cells = p.side * p.side;
        std::vector<int> ranks(ordered_pattern->ranks, ordered_pattern->ranks + cells);
        EXPECT_TRUE(std::equal(p.first_ranks.begin(), p.first_ranks.end(), ranks.begin())) << p.side;
        std::sort(ranks.begin(), ranks.end());
        for (int r = 0; r < cells; ++r)
            ASSERT_EQ(ranks[r], r) << p.side;
    }
}

// Round takes half the round scan window's weights; cross only the edges.
TEST(windows, pre_processing_windows)
{
    const float corner[] = { b / 2, 0.0f, 0.125f }, edge[] = { a / 2, 0.25f, 0.125f };
    for (int code = 0; code < 3; ++code) {
        pre_processing_window = code;
        select_pre_processing_window();
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                EXPECT_EQ(mix_wind.at(dx, dy), dx == 0 && dy == 0 ? 0.0f : dx && dy ? corner[code] : edge[code])
                    << code;
    }
}
