// The error-diffusion scan and the circle pre-processing on small images built
// by hand, with the error read back where it went.
#include "driver/settings.h"
#include "engine/image.h"
#include "engine/nearest.h"
#include "engine/palette.h"
#include "engine/scan.h"
#include "engine/windows.h"
#include "png/png_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

working_image blank_image(int width, int height)
{
    working_image image;
    image.width = width;
    image.height = height;
    image.channels = channels_used;
    image.values.assign(static_cast<size_t>(width + 2) * (height + 2) * channels_used, 0.0f);
    return image;
}

void set_grey(working_image &image, int x, int y, float level)
{
    for (int c = 0; c < image.channels; ++c)
        image.at(x, y)[c] = level;
}

void set_rgb(working_image &image, int x, int y, float r, float g, float b)
{
    image.at(x, y)[0] = r;
    image.at(x, y)[1] = g;
    image.at(x, y)[2] = b;
}

// Black at entry 0 and white at entry 1; every other entry repeats black and
// so never wins against entry 0.
void black_and_white_palette()
{
    for (auto &plane : pal_ch)
        for (float &value : plane)
            value = 0.0f;
    for (int c = 0; c < 3; ++c)
        pal_ch[c][1] = 1.0f;
}

class scan : public ::testing::Test {
protected:
    void SetUp() override
    {
        set_default_settings();
        select_floyd_window();
        clear_search_state();
        clear_scan_state();
        best_color = 0;
        black_and_white_palette();
    }

    // Scales the window for the file, runs the pre-processing and the scan as
    // the engine does, and returns the stored indices row by row.
    std::vector<int> dither(working_image &image)
    {
        scale_scan_windows();
        png_writer_t *writer = png_writer_new(image.width, image.height, PNG_WRITER_INDEXED);
        EXPECT_NE(writer, nullptr);
        pre_process(image);
        diffusion_scan(image, writer);
        std::vector<int> indices;
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x)
                indices.push_back(static_cast<int>(png_writer_get_pixel(writer, x, y)));
        png_writer_destroy(writer);
        return indices;
    }
};

struct window_case {
    const char *name;
    void (*select)();
    // Slots 4, 6, 7, 8, 9 for rows left to right and right to left.
    float right[5];
    float left[5];
};

const float a = 0.316519558f, b = 0.183480456f;

const window_case window_cases[] = {
    { "floyd", select_floyd_window, { 0, 0.4375f, 0.1875f, 0.3125f, 0.0625f }, { 0.4375f, 0, 0.0625f, 0.3125f, 0.1875f } },
    { "round", select_round_window, { 0, a, b, a, b }, { a, 0, b, a, b } },
    { "x", select_x_window, { 0, 0, 0.5f, 0, 0.5f }, { 0, 0, 0.5f, 0, 0.5f } },
    { "linear_x", select_linear_x_window, { 0, 1, 0, 0, 0 }, { 1, 0, 0, 0, 0 } },
    { "linear_y", select_linear_y_window, { 0, 0, 0, 1, 0 }, { 0, 0, 0, 1, 0 } },
    { "linear_x_y", select_linear_x_y_window, { 0, 0.5f, 0, 0.5f, 0 }, { 0.5f, 0, 0, 0.5f, 0 } },
    { "dot", select_dot_window, { 0, 0, 0, 0, 0 }, { 0, 0, 0, 0, 0 } },
};

// Where slots 4, 6, 7, 8 and 9 lie from the pixel.
const int slot_dx[5] = { -1, 1, -1, 0, 1 };
const int slot_dy[5] = { 0, 0, 1, 1, 1 };

// The impulse: a pixel nearest to black whose error per channel (1/4, 1/2,
// 1/8) times any weight is exact in float.
const float impulse[3] = { 0.25f, 0.5f, 0.125f };

// Checks the frame around the single pixel of a one-pixel-wide row y: the
// error went through the five slots and nowhere else.
void expect_impulse_spread(const working_image &image, int y, const float *weights, float scale, const char *name)
{
    for (int i = 0; i < 5; ++i)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(image.at(1 + slot_dx[i], y + slot_dy[i])[c], impulse[c] * (weights[i] * scale))
                << name << " slot index " << i << " channel " << c;
    // The row above receives nothing, and the pixel takes black.
    for (int dx = -1; dx <= 1; ++dx)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(image.at(1 + dx, y - 1)[c], 0.0f) << name;
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(image.at(1, y)[c], 0.0f) << name;
}

TEST_F(scan, impulse_shows_each_window_left_to_right)
{
    for (const window_case &w : window_cases) {
        w.select();
        working_image image = blank_image(1, 1);
        set_rgb(image, 1, 1, impulse[0], impulse[1], impulse[2]);
        EXPECT_EQ(dither(image), std::vector<int>{ 0 });
        expect_impulse_spread(image, 1, w.right, 1.0f, w.name);
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(error_ch[c], impulse[c]);
    }
}

// Serpentine on, one column: row 1 holds black and spreads nothing, row 2 runs
// right to left with the _l weights.
TEST_F(scan, impulse_shows_each_window_right_to_left)
{
    serpentine = 1;
    for (const window_case &w : window_cases) {
        w.select();
        working_image image = blank_image(1, 2);
        set_rgb(image, 1, 2, impulse[0], impulse[1], impulse[2]);
        EXPECT_EQ(dither(image), (std::vector<int>{ 0, 0 }));
        expect_impulse_spread(image, 2, w.left, 1.0f, w.name);
    }
}

TEST_F(scan, without_serpentine_every_row_runs_left_to_right)
{
    for (const window_case &w : window_cases) {
        w.select();
        working_image image = blank_image(1, 2);
        set_rgb(image, 1, 2, impulse[0], impulse[1], impulse[2]);
        dither(image);
        expect_impulse_spread(image, 2, w.right, 1.0f, w.name);
    }
}

// The level scales both orientations; -d 0.5 halves floyd to 0.21875,
// 0.09375, 0.15625 and 0.03125.
TEST_F(scan, diffusion_level_scales_the_weights)
{
    coefficient = 0.5f;
    serpentine = 1;
    working_image image = blank_image(1, 1);
    set_rgb(image, 1, 1, impulse[0], impulse[1], impulse[2]);
    dither(image);
    expect_impulse_spread(image, 1, window_cases[0].right, 0.5f, "floyd halved");

    image = blank_image(1, 2);
    set_rgb(image, 1, 2, impulse[0], impulse[1], impulse[2]);
    dither(image);
    expect_impulse_spread(image, 2, window_cases[0].left, 0.5f, "floyd halved, right to left");
}

TEST_F(scan, error_of_a_pixel_nearest_to_white_is_negative)
{
    select_linear_x_window();
    working_image image = blank_image(1, 1);
    set_grey(image, 1, 1, 0.75f);
    EXPECT_EQ(dither(image), std::vector<int>{ 1 });
    EXPECT_EQ(image.at(2, 1)[0], -0.25f);
    EXPECT_EQ(image.at(1, 1)[0], 1.0f);
}

// linear_x carries everything to the next pixel in scan direction. The row
// 0.3 0.3 0 gives 0 1 0 when run left to right and 1 0 0 when run right to
// left (0.3 goes to 0 and passes 0.3 on, 0.6 goes to 1).
TEST_F(scan, serpentine_turns_every_second_row)
{
    select_linear_x_window();
    auto three_rows = [] {
        working_image image = blank_image(3, 3);
        for (int y = 1; y <= 3; ++y) {
            set_grey(image, 1, y, 0.3f);
            set_grey(image, 2, y, 0.3f);
        }
        return image;
    };
    serpentine = 1;
    working_image image = three_rows();
    EXPECT_EQ(dither(image), (std::vector<int>{ 0, 1, 0, 1, 0, 0, 0, 1, 0 }));
    // The last pixel of each row hands its error to the frame on the side the
    // row ran towards: right on rows 1 and 3, left on row 2.
    EXPECT_FLOAT_EQ(image.at(4, 1)[0], -0.4f);
    EXPECT_FLOAT_EQ(image.at(0, 2)[0], -0.4f);
    EXPECT_FLOAT_EQ(image.at(4, 3)[0], -0.4f);
    EXPECT_EQ(image.at(0, 1)[0], 0.0f);
    EXPECT_EQ(image.at(4, 2)[0], 0.0f);

    serpentine = 0;
    image = three_rows();
    EXPECT_EQ(dither(image), (std::vector<int>{ 0, 1, 0, 0, 1, 0, 0, 1, 0 }));
    EXPECT_EQ(direction, 1);
}

// A pseudo-random palette and image; the expected indices come from a plain
// double-precision nearest search in the test.
class plain_mapping : public scan {
protected:
    void SetUp() override
    {
        scan::SetUp();
        unsigned state = 12345;
        auto next = [&state] {
            state = state * 1103515245u + 12345u;
            return static_cast<float>((state >> 8) & 0xffff) / 65535.0f;
        };
        for (int k = 0; k < palette_entries; ++k)
            for (int c = 0; c < 3; ++c)
                pal_ch[c][k] = next();
        image = blank_image(9, 7);
        for (float &value : image.values)
            value = next() * 1.4f - 0.2f;
        original = image;
    }

    std::vector<int> expected_mapping() const
    {
        std::vector<int> indices;
        for (int y = 1; y <= original.height; ++y)
            for (int x = 1; x <= original.width; ++x) {
                const float *v = original.at(x, y);
                int best = 0;
                double best_distance = 1e300;
                for (int k = 0; k < palette_entries; ++k) {
                    double distance = 0;
                    for (int c = 0; c < 3; ++c)
                        distance += (static_cast<double>(v[c]) - pal_ch[c][k]) * (v[c] - pal_ch[c][k]);
                    if (distance < best_distance) {
                        best_distance = distance;
                        best = k;
                    }
                }
                indices.push_back(best);
            }
        return indices;
    }

    void expect_frame_untouched() const
    {
        for (int y = 0; y <= original.height + 1; ++y)
            for (int x = 0; x <= original.width + 1; ++x) {
                if (x >= 1 && x <= original.width && y >= 1 && y <= original.height)
                    continue;
                for (int c = 0; c < 3; ++c)
                    EXPECT_EQ(image.at(x, y)[c], original.at(x, y)[c]);
            }
    }

    working_image image, original;
};

TEST_F(plain_mapping, dot_window_maps_each_pixel_to_its_nearest_entry)
{
    select_dot_window();
    serpentine = 1;
    EXPECT_EQ(dither(image), expected_mapping());
    expect_frame_untouched();
}

TEST_F(plain_mapping, level_zero_maps_each_pixel_to_its_nearest_entry)
{
    select_round_window();
    coefficient = 0.0f;
    EXPECT_EQ(dither(image), expected_mapping());
    expect_frame_untouched();
}

TEST_F(plain_mapping, with_floyd_the_mapping_differs)
{
    EXPECT_NE(dither(image), expected_mapping());
}

// One pixel whose frame holds values on both sides of the levels; every
// frame pixel lies in the pixel's 3 x 3 block.
class limits : public scan {
protected:
    working_image framed_pixel()
    {
        working_image image = blank_image(1, 1);
        const float frame[] = { 2.0f, -1.0f, 0.5f, 1.5f, -0.25f, 0.9f, 3.0f, 0.1f };
        int i = 0;
        for (int y = 0; y <= 2; ++y)
            for (int x = 0; x <= 2; ++x)
                if (x != 1 || y != 1)
                    set_grey(image, x, y, frame[i++]);
        set_grey(image, 1, 1, 3.0f);
        return image;
    }
};

TEST_F(limits, off_leaves_the_values)
{
    select_dot_window();
    working_image image = framed_pixel();
    dither(image);
    EXPECT_EQ(image.at(0, 0)[0], 2.0f);
    EXPECT_EQ(image.at(1, 0)[0], -1.0f);
}

TEST_F(limits, upper_limit_clamps_the_block_and_not_the_error)
{
    max_limit = 1;
    working_image image = framed_pixel();
    EXPECT_EQ(dither(image), std::vector<int>{ 1 });
    // The error of 3.0 against white is 2.0, kept whole in error_ch; floyd
    // adds 0.875 to -0.25, 0.375 to 0.9, 0.625 to 3.0 and 0.125 to 0.1 before
    // the block is clamped at 1.0.
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(error_ch[c], 2.0f);
    const float expected[3][3] = { { 1.0f, -1.0f, 0.5f }, { 1.0f, 1.0f, 0.625f }, { 1.0f, 1.0f, 0.225f } };
    for (int y = 0; y <= 2; ++y)
        for (int x = 0; x <= 2; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_FLOAT_EQ(image.at(x, y)[c], expected[y][x]) << x << "," << y;
}

TEST_F(limits, lower_limit_clamps_the_block)
{
    select_dot_window();
    min_limit = 1;
    min_level = 0.2f;
    working_image image = framed_pixel();
    dither(image);
    const float expected[3][3] = { { 2.0f, 0.2f, 0.5f }, { 1.5f, 1.0f, 0.2f }, { 0.9f, 3.0f, 0.2f } };
    for (int y = 0; y <= 2; ++y)
        for (int x = 0; x <= 2; ++x)
            EXPECT_EQ(image.at(x, y)[1], expected[y][x]) << x << "," << y;
}

// With max_level below min_level every value ends at min_level, since the
// lower limit runs second.
TEST_F(limits, max_below_min_ends_at_min_level)
{
    max_limit = 1;
    min_limit = 1;
    max_level = 0.2f;
    min_level = 0.6f;
    working_image image = framed_pixel();
    dither(image);
    for (float value : image.values)
        EXPECT_EQ(value, 0.6f);
}

// Only the 3 x 3 block of the pixel just quantised is limited. One column,
// linear_y: pixel 3 starts at 3.0 and lies outside pixel 1's block. Pixel 2
// (0.75, white) passes -0.25 down, so pixel 3 holds 2.75 when pixel 2's block
// clamps it to 1.0, and it then has no error for the frame below. Limiting the
// whole image at once would clamp 3.0 first and leave 0.75, whose error -0.25
// would reach the frame.
TEST_F(limits, only_the_block_of_the_pixel_is_limited)
{
    select_linear_y_window();
    max_limit = 1;
    working_image image = blank_image(1, 3);
    set_grey(image, 1, 2, 0.75f);
    set_grey(image, 1, 3, 3.0f);
    set_grey(image, 1, 4, 0.5f);
    EXPECT_EQ(dither(image), (std::vector<int>{ 0, 1, 1 }));
    EXPECT_EQ(image.at(1, 4)[0], 0.5f);
}

// The scan goes on with the entry chosen last when a value is not a number;
// the pixel still takes that entry's colour and passes on its error.
TEST_F(scan, value_that_is_not_a_number_keeps_the_last_entry)
{
    select_linear_x_window();
    working_image image = blank_image(2, 1);
    set_grey(image, 1, 1, 0.875f);
    set_grey(image, 2, 1, std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(dither(image), (std::vector<int>{ 1, 1 }));
    EXPECT_EQ(image.at(2, 1)[0], 1.0f);
    EXPECT_TRUE(std::isnan(error_ch[0]));
    EXPECT_TRUE(std::isnan(image.at(3, 1)[0]));
}

// A level of 1e30 makes the second pixel -1e29: every squared distance is
// beyond float, so pixel after pixel keeps white, the entry of the first.
TEST_F(scan, runaway_diffusion_keeps_the_last_entry)
{
    select_linear_x_window();
    coefficient = 1e30f;
    best_color = 0;
    working_image image = blank_image(4, 1);
    set_grey(image, 1, 1, 0.875f);
    EXPECT_EQ(dither(image), (std::vector<int>{ 1, 1, 1, 1 }));
    EXPECT_EQ(best_color, 1);
}

class circle : public scan {
protected:
    void SetUp() override
    {
        scan::SetUp();
        pre_processing_algorithm = 1;
        coefficient = 0.0f;
    }
};

TEST_F(circle, no_pass_or_off_changes_nothing)
{
    working_image image = blank_image(2, 1);
    set_grey(image, 1, 1, 0.375f);
    set_grey(image, 2, 1, 0.75f);
    const working_image before = image;
    pre_processing_pass = 0;
    pre_process(image);
    EXPECT_EQ(image.values, before.values);
    pre_processing_pass = -3;
    pre_process(image);
    EXPECT_EQ(image.values, before.values);
    pre_processing_algorithm = 0;
    pre_processing_pass = 5;
    pre_process(image);
    EXPECT_EQ(image.values, before.values);
}

// One pass over one pixel of 0.25 (black): cross gives 1/16 to each edge
// neighbour, round gives D/4 to the edges and C/4 to the corners.
TEST_F(circle, one_pass_spreads_all_around)
{
    struct { int window; float corner, edge; } cases[] = {
        { 1, 0.0f, 0.0625f },
        { 2, 0.03125f, 0.03125f },
        { 0, 0.0917402282f * 0.25f, 0.158259779f * 0.25f },
    };
    for (const auto &w : cases) {
        pre_processing_window = w.window;
        pre_processing_pass = 1;
        working_image image = blank_image(1, 1);
        set_grey(image, 1, 1, 0.25f);
        pre_process(image);
        for (int y = 0; y <= 2; ++y)
            for (int x = 0; x <= 2; ++x) {
                float expected = (x == 1 && y == 1) ? 0.0f : (x == 1 || y == 1) ? w.edge : w.corner;
                EXPECT_EQ(image.at(x, y)[2], expected) << "window " << w.window << " at " << x << "," << y;
            }
    }
}

// Two pixels 0.375 and 0.75 with the square window (1/8 all round), worked by
// hand:
//   pass 1: pixel 1 -> black, error 0.375, 0.046875 to each neighbour; pixel 2
//           is 0.796875 -> white, error -0.203125, -0.025390625 each, so
//           pixel 1 holds -0.025390625.
//   pass 2: pixel 1 -> black, error -0.025390625, -0.003173828125 each;
//           pixel 2 is 0.996826171875 -> white, -0.000396728515625 each.
// The error flows back into pixel 1, which the second pass looks at again.
TEST_F(circle, passes_revisit_pixels_that_received_error)
{
    pre_processing_window = 2;
    auto two_pixels = [] {
        working_image image = blank_image(2, 1);
        set_grey(image, 1, 1, 0.375f);
        set_grey(image, 2, 1, 0.75f);
        return image;
    };
    pre_processing_pass = 1;
    working_image image = two_pixels();
    pre_process(image);
    EXPECT_EQ(image.at(1, 1)[0], -0.025390625f);
    EXPECT_EQ(image.at(2, 1)[0], 1.0f);
    EXPECT_EQ(image.at(1, 0)[0], 0.046875f - 0.025390625f);
    EXPECT_EQ(image.at(0, 1)[0], 0.046875f);
    EXPECT_EQ(image.at(3, 1)[0], -0.025390625f);

    pre_processing_pass = 2;
    image = two_pixels();
    pre_process(image);
    EXPECT_EQ(image.at(1, 1)[0], -0.000396728515625f);
    EXPECT_EQ(image.at(2, 1)[0], 1.0f);
    EXPECT_EQ(image.at(1, 0)[0], 0.046875f - 0.025390625f - 0.003173828125f - 0.000396728515625f);
    EXPECT_EQ(image.at(0, 1)[0], 0.046875f - 0.003173828125f);
    EXPECT_EQ(best_color, 1);

    // With the level at 0 the scan then maps the pre-processed pixels.
    image = two_pixels();
    EXPECT_EQ(dither(image), (std::vector<int>{ 0, 1 }));
}

// The pre-processing applies no limits and does not use the diffusion level.
TEST_F(circle, ignores_the_limits_and_the_level)
{
    pre_processing_window = 1;
    pre_processing_pass = 1;
    max_limit = 1;
    coefficient = 0.5f;
    working_image image = blank_image(1, 1);
    set_grey(image, 1, 1, 8.0f);  // white, error 7.0, 1.75 to each edge
    pre_process(image);
    EXPECT_EQ(image.at(1, 0)[0], 1.75f);
    EXPECT_EQ(image.at(2, 1)[0], 1.75f);
    EXPECT_EQ(best_color, 1);
}

}  // namespace
