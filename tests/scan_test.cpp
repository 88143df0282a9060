// The error-diffusion scan and the circle pre-processing on small images built
// by hand, with the error read back where it went.
#include "engine/color_space.h"
#include "engine/diffusion_windows.h"
#include "engine/nearest.h"
#include "engine/palette.h"
#include "engine/scan.h"
#include "engine/working_image.h"
#include "png/png_writer.h"
#include "settings/settings.h"
#include "tests/engine_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

working_image blank_image(int width, int height)
{
    working_image image;
    size_working_image(image, width, height, channels_used);
    std::fill(image.values.begin(), image.values.end(), 0.0f);
    return image;
}

void set_grey(working_image &image, int x, int y, float level)
{
    for (int c = 0; c < image.channels; ++c)
        image.at(x, y)[c] = level;
}

// Makes (x, y) clear, over the level left under it.
void set_clear(working_image &image, int x, int y, float hidden)
{
    if (image.clear.empty())
        image.clear.assign(static_cast<size_t>(image.width + 2) * image.height, 0);
    image.clear[static_cast<size_t>(y - 1) * (image.width + 2) + x] = 1;
    set_grey(image, x, y, hidden);
}

class scan : public engine_fixture {
protected:
    // Black at entry 0, white at 1; the other entries repeat black and never win.
    void SetUp() override
    {
        engine_fixture::SetUp();
        select_color_space(color_space_rgb);
        install_window(window_floyd);
        std::memset(pal_ch, 0, sizeof pal_ch);
        for (int c = 0; c < 3; ++c)
            pal_ch[c][1] = 1.0f;
    }

    // Runs the pre-processing and the scan as the engine does, the plain
    // paths on a copy of the image first unless only the fast ones are asked
    // for: both must leave the same indices, values and error. The indices
    // row by row.
    std::vector<int> dither(working_image &image, bool fast_only = false)
    {
        scale_scan_windows();
        if (fast_only)
            return run(image, false);
        const int carried = best_color;
        working_image plain_image = image;
        const std::vector<int> plain = run(plain_image, true);
        const std::vector<float> plain_error(error_ch, error_ch + 3);
        best_color = carried;
        const std::vector<int> fast = run(image, false);
        EXPECT_EQ(plain, fast);
        EXPECT_EQ(0, std::memcmp(plain_image.values.data(), image.values.data(), image.values.size() * sizeof(float)));
        EXPECT_EQ(plain_error, std::vector<float>(error_ch, error_ch + 3));
        return fast;
    }

private:
    std::vector<int> run(working_image &image, bool plain)
    {
        use_plain_paths = plain;
        clear_scan_state();
        png_writer_t *writer = png_writer_new(image.width, image.height, PNG_WRITER_INDEXED);
        pre_process(image);
        diffusion_scan(image, writer);
        const std::vector<int> indices(writer->pixels, writer->pixels + writer->pixel_bytes);
        png_writer_destroy(writer);
        return indices;
    }
};

}  // namespace

// A single pixel nearest to black, whose error (1/4, 1/2, 1/8) times any
// share is exact, in the last row of a one-pixel column: the error lands on
// the neighbours of the window's table for the row's direction (pinned to the
// published weights by the windows tests) in its proportions, all of them in
// the frame, and nowhere else. Serpentine on, row 2 runs right to left; off,
// left to right. With -d 0.5 every share is halved; at 0, and for the dot
// window, nothing moves and each pixel maps alone. Plain and fast alike.
TEST_F(scan, impulse_shows_each_window_in_both_orientations)
{
    const float impulse[3] = { 0.25f, 0.5f, 0.125f };
    for (int height : { 1, 2 })
        for (int serpentine_on : { 0, 1 })
            for (float level : { 1.0f, 0.5f, 0.0f })
                for (int window = 0; window < window_count; ++window) {
                    serpentine = serpentine_on;
                    coefficient = level;
                    install_window(window);
                    if (ordered_pattern)
                        continue;
                    const window_block &shares = height == 2 && serpentine_on ? wind_l : wind_r;
                    working_image image = blank_image(1, height);
                    for (int c = 0; c < 3; ++c)
                        image.at(1, height)[c] = impulse[c];
                    EXPECT_EQ(dither(image), std::vector<int>(height, 0));
                    for (int dy = -2; dy <= 2; ++dy)
                        for (int dx = -2; dx <= 2; ++dx)
                            for (int c = 0; c < 3; ++c)
                                ASSERT_EQ(image.at(1 + dx, height + dy)[c], impulse[c] * (shares.at(dx, dy) * level))
                                    << "window " << window << " height " << height << " serpentine " << serpentine_on
                                    << " at " << dx << ", " << dy;
                }
}

// Flat fields of every grey level with black and white, whose spread is 1:
// each pattern's share of white is the level rounded to the nearest cell (the
// thresholds sit at the centres of their cells; no level of 255 ends half way
// between two cells of these patterns, so there are no ties), a Bayer
// pattern repeats with its side, and the blue-noise tile has no shorter
// period across or down wherever it mixes the two. Fast path only: the plain
// one is held to it on pictures by the fast-path tests.
TEST_F(scan, ordered_patterns_mix_flat_fields_in_proportion)
{
    const struct { int32_t window; int side, image_side; } patterns[] = {
        { window_bayer2, 2, 4 }, { window_bayer4, 4, 8 }, { window_bayer8, 8, 16 }, { window_bluenoise, 64, 64 },
    };
    for (const auto &p : patterns) {
        install_window(p.window);
        const int n = p.image_side, cells = p.side * p.side;
        for (int level = 0; level <= 255; ++level) {
            const float value = level / 255.0f;
            working_image image = blank_image(n, n);
            std::fill(image.values.begin(), image.values.end(), value);  // the frame too: nothing spreads
            const std::vector<int> indices = dither(image, true);
            auto at = [&](int x, int y) { return indices[static_cast<size_t>(y % n) * n + x % n]; };
            const long whites = std::count(indices.begin(), indices.end(), 1);
            ASSERT_EQ(whites + std::count(indices.begin(), indices.end(), 0), n * n);
            EXPECT_LT(std::fabs(double(whites) / (n * n) - value), 0.5 / cells) << p.side << " level " << level;
            for (int shift = 1; shift < n; ++shift) {
                bool across = true, down = true;
                for (int y = 0; y < n; ++y)
                    for (int x = 0; x < n; ++x) {
                        across = across && at(x, y) == at(x + shift, y);
                        down = down && at(x, y) == at(x, y + shift);
                    }
                if (shift % p.side == 0) {
                    ASSERT_TRUE(across && down) << p.side << " level " << level << " shift " << shift;
                } else if (p.window == window_bluenoise && whites > 0 && whites < n * n) {
                    ASSERT_FALSE(across) << "level " << level << " shift " << shift;
                    ASSERT_FALSE(down) << "level " << level << " shift " << shift;
                }
            }
        }
    }
}

// One pixel of 3.0 (white, error 2.0 kept whole in error_ch) in a frame of
// values on both sides of the levels. floyd adds 0.875 to -0.25, 0.375 to 0.9,
// 0.625 to 3.0 and 0.125 to 0.1 before the 3 x 3 block is limited: limiting
// before the spreading, or the whole image first, would leave other values.
TEST_F(scan, limits_clamp_the_block_of_the_pixel)
{
    const float frame[9] = { 2.0f, -1.0f, 0.5f, 1.5f, 3.0f, -0.25f, 0.9f, 3.0f, 0.1f };
    const struct { int max_on, min_on; float max, min, expected[9]; } cases[] = {
        { 0, 0, 1, 0, { 2.0f, -1.0f, 0.5f, 1.5f, 1.0f, 0.625f, 1.275f, 3.625f, 0.225f } },
        { 1, 0, 1, 0, { 1.0f, -1.0f, 0.5f, 1.0f, 1.0f, 0.625f, 1.0f, 1.0f, 0.225f } },
        { 0, 1, 1, 0.2f, { 2.0f, 0.2f, 0.5f, 1.5f, 1.0f, 0.625f, 1.275f, 3.625f, 0.225f } },
        { 1, 1, 0.2f, 0.6f, { 0.6f, 0.6f, 0.6f, 0.6f, 0.6f, 0.6f, 0.6f, 0.6f, 0.6f } },  // the lower limit runs second
    };
    for (const auto &c : cases) {
        max_limit = c.max_on;
        min_limit = c.min_on;
        max_level = c.max;
        min_level = c.min;
        working_image image = blank_image(1, 1);
        for (int i = 0; i < 9; ++i)
            set_grey(image, i % 3, i / 3, frame[i]);
        EXPECT_EQ(dither(image), std::vector<int>{ 1 });
        EXPECT_EQ(error_ch[1], 2.0f);
        for (int i = 0; i < 9; ++i)
            EXPECT_FLOAT_EQ(image.at(i % 3, i / 3)[1], c.expected[i]) << "limits " << c.max_on << c.min_on << " at " << i;
    }
}

// Under "palette" each channel is held to its own range among the entries
// (0.1 ... 0.9, 0.2 ... 0.6, 0.3 ... 0.7; the rest repeat entry 0), the other
// side at -mxl or -mnl: a frame of 2 and -1 round a pixel of 0.5 ends there.
TEST_F(scan, palette_limits_hold_each_channel_to_the_palette_range)
{
    const float low[3] = { 0.1f, 0.2f, 0.3f }, high[3] = { 0.9f, 0.6f, 0.7f };
    for (int c = 0; c < 3; ++c) {
        std::fill(pal_ch[c], pal_ch[c] + palette_entries, low[c]);
        pal_ch[c][1] = high[c];
    }
    const struct { int max_on, min_on; float max, min; } cases[] = {
        { limit_palette, limit_palette, 5, -5 }, { limit_on, limit_palette, 1.5f, -5 }, { limit_palette, limit_on, 5, -0.5f } };
    for (const auto &c : cases) {
        max_limit = c.max_on, min_limit = c.min_on, max_level = c.max, min_level = c.min;
        working_image image = blank_image(1, 1);
        for (int i = 0; i < 9; ++i)
            set_grey(image, i % 3, i / 3, i == 4 ? 0.5f : i % 2 ? 2.0f : -1.0f);
        dither(image);
        for (int i = 0; i < 9; ++i)
            for (int ch = 0; ch < 3 && i != 4; ++ch)
                EXPECT_EQ(image.at(i % 3, i / 3)[ch], i % 2 ? (c.max_on == limit_palette ? high[ch] : c.max)
                                                           : (c.min_on == limit_palette ? low[ch] : c.min))
                    << c.max_on << c.min_on << " at " << i;
    }
}

// A window's limits reach as far as its error: from the row above the pixel
// down to its last row, as many columns to either side. One pixel of 1.5 in
// a field of 1.5 turns white and passes 0.5 on; what lies in the block is cut
// to 1.0, what lies beyond it keeps 1.5.
TEST_F(scan, limits_reach_as_far_as_the_window)
{
    const struct { int32_t window; int columns, rows; } cases[] = {
        { window_floyd, 1, 1 }, { window_burkes, 2, 1 }, { window_jarvis, 2, 2 }, { window_atkinson, 2, 2 },
    };
    max_limit = 1;
    for (const auto &c : cases) {
        install_window(c.window);
        working_image image = blank_image(1, 1);
        for (int y = -1; y <= 3; ++y)
            for (int x = -1; x <= 3; ++x)
                set_grey(image, x, y, 1.5f);
        EXPECT_EQ(dither(image), std::vector<int>{ 1 });
        for (int y = -1; y <= 3; ++y)
            for (int x = -1; x <= 3; ++x) {
                const bool in_block = y >= 0 && y <= 1 + c.rows && std::abs(x - 1) <= c.columns;
                EXPECT_EQ(image.at(x, y)[0], in_block ? 1.0f : 1.5f) << c.window << " at " << x << ", " << y;
            }
    }
}

// Two pixels 0.375 and 0.75, square window (1/8 all round), worked by hand:
//   pass 1: pixel 1 -> black, 0.046875 to each neighbour; pixel 2 is 0.796875
//           -> white, -0.025390625 to each, so pixel 1 holds -0.025390625.
//   pass 2: pixel 1 -> black, -0.003173828125 each; pixel 2 is
//           0.996826171875 -> white, -0.000396728515625 each.
// The error flows back into pixel 1, which the second pass visits again.
// Pass counts of 0 or below, or -pp off, change nothing. Neither the limits
// nor the level touch the pre-processing. Plain and fast alike.
TEST_F(scan, circle_passes_revisit_pixels_that_received_error)
{
    pre_processing_window = 2;
    max_limit = 1;
    coefficient = 0.0f;
    const struct { int algorithm, passes; float pixel_1, pixel_2, above_1, left_of_1; } cases[] = {
        { 1, 0, 0.375f, 0.75f, 0, 0 }, { 1, -3, 0.375f, 0.75f, 0, 0 }, { 0, 5, 0.375f, 0.75f, 0, 0 },
        { 1, 1, -0.025390625f, 1.0f, 0.046875f - 0.025390625f, 0.046875f },
        { 1, 2, -0.000396728515625f, 1.0f, 0.046875f - 0.025390625f - 0.003173828125f - 0.000396728515625f,
          0.046875f - 0.003173828125f },
    };
    auto two_pixels = [] {
        working_image image = blank_image(2, 1);
        set_grey(image, 1, 1, 0.375f);
        set_grey(image, 2, 1, 0.75f);
        return image;
    };
    for (const auto &c : cases)
        for (bool plain : { true, false }) {
            SCOPED_TRACE(testing::Message() << "-pp " << c.algorithm << ", " << c.passes << " passes, plain " << plain);
            pre_processing_algorithm = c.algorithm;
            pre_processing_pass = c.passes;
            use_plain_paths = plain;
            working_image image = two_pixels();
            pre_process(image);
            EXPECT_EQ(image.at(1, 1)[0], c.pixel_1);
            EXPECT_EQ(image.at(2, 1)[0], c.pixel_2);
            EXPECT_EQ(image.at(1, 0)[0], c.above_1);
            EXPECT_EQ(image.at(0, 1)[0], c.left_of_1);
        }
    working_image image = two_pixels();
    EXPECT_EQ(dither(image), (std::vector<int>{ 0, 1 }));
}

// linear_x carries all to the next pixel in scan direction, so each row
// shows the order it ran in. The row 0.3 0.3 0 gives 0 1 0 left to right and
// 1 0 0 right to left, and its last pixel hands -0.4 to the frame on the side
// the row ran towards; serpentine on, every second row runs right to left.
// A clear pixel gets the transparent entry (7 here) and does nothing else:
// in 0.3, clear, 0.3 both ends stay black, where dithering the clear pixel
// would pass on 0.4 from 0.3 + 0.1 and whiten the third, and so would giving
// the error of a hidden 0.4. A pixel where no entry wins (1e10 is beyond every
// error) keeps the entry of the last pixel searched, white, not the clear
// one's. dither() holds the fast scan to the plain one.
TEST_F(scan, rows_run_in_scan_order_and_clear_pixels_take_no_part)
{
    transparent_entry = 7;
    install_window(window_linear_x);
    const struct { float left, middle, right; bool clear; int forward[3], backward[3]; } rows[] = {
        { 0.3f, 0.3f, 0, false, { 0, 1, 0 }, { 0, 1, 0 } },
        { 0.3f, 0.3f, 0, false, { 0, 1, 0 }, { 1, 0, 0 } },
        { 0.3f, 0.1f, 0.3f, true, { 0, 7, 0 }, { 0, 7, 0 } },
        { 0.3f, 0.4f, 0.3f, true, { 0, 7, 0 }, { 0, 7, 0 } },
        { 1.0f, 0.2f, 1e10f, true, { 1, 7, 1 }, { 1, 7, 1 } },
    };
    for (int serpentine_on : { 0, 1 }) {
        serpentine = serpentine_on;
        working_image image = blank_image(3, 5);
        std::vector<int> expected;
        for (int y = 1; y <= 5; ++y) {
            const auto &row = rows[y - 1];
            set_grey(image, 1, y, row.left);
            (row.clear ? set_clear : set_grey)(image, 2, y, row.middle);
            set_grey(image, 3, y, row.right);
            const int *indices = serpentine_on && y % 2 == 0 ? row.backward : row.forward;
            expected.insert(expected.end(), indices, indices + 3);
        }
        EXPECT_EQ(dither(image), expected) << "serpentine " << serpentine_on;
        EXPECT_FLOAT_EQ(image.at(4, 1)[0], -0.4f);
        EXPECT_FLOAT_EQ(image.at(serpentine_on ? 0 : 4, 2)[0], -0.4f);
    }
}

// An ordered pattern maps every visible pixel as it would without clear
// pixels around it, but for pixels where no entry wins (1e10): they keep the
// entry of the last pixel searched, across a clear one to the row above.
TEST_F(scan, ordered_patterns_leave_clear_pixels_out)
{
    transparent_entry = 7;
    install_window(window_bayer4);
    working_image ramp = blank_image(8, 4);
    for (int y = 1; y <= 4; ++y)
        for (int x = 1; x <= 8; ++x)
            set_grey(ramp, x, y, (x + 8 * y) / 40.0f);
    set_grey(ramp, 1, 2, 1e10f);
    set_grey(ramp, 3, 2, 1e10f);
    working_image clear_ramp = ramp;
    std::vector<int> expected = dither(ramp);
    ASSERT_NE(expected[7], expected[9]);
    for (int i : { 0, 5, 6, 9, 17, 31 }) {
        set_clear(clear_ramp, i % 8 + 1, i / 8 + 1, 0.5f);
        expected[i] = 7;
    }
    expected[10] = expected[7];
    EXPECT_EQ(dither(clear_ramp), expected);
}
