// What the engine derives for each file from the settings and the palette
// file. Written by the engine on the main thread at the start of every file,
// before the scan begins; read by the scan of that file. Nothing here carries
// a meaning from one file to the next.
#pragma once

#include "settings/limits.h"

#include <cstdint>

// The working channels of color_space: only that many are converted,
// compared and diffused.
extern int32_t channels_used;

// The palette file's colours, unchanged: the output PNG's palette. Entries
// past the palette's own colours repeat its last one.
extern int32_t srgb_pal_R[palette_entries];
extern int32_t srgb_pal_G[palette_entries];
extern int32_t srgb_pal_B[palette_entries];

// How many entries the output PNG's palette holds: 256 for a colour table,
// the palette's own count for every other format.
extern int output_palette_entries;

// The entry that clear pixels are written with, -1 when alpha_threshold is
// off: the first entry the palette does not use, or entry 255 of a full
// palette, which is then given up. No visible pixel ever takes it.
extern int transparent_entry;

// The palette's colours in the working scale (1.0 is full level), after the
// gamma treatment of RGB_gamma.
extern float pal_R[palette_entries];
extern float pal_G[palette_entries];
extern float pal_B[palette_entries];

// The palette in working channels, channel by channel: pal_ch[c][k] is channel
// c of entry k. Planes from channels_used up hold 0.
extern float pal_ch[max_working_channels][palette_entries];

// The levels the limits hold each working channel to, set as the scan starts:
// max_level and min_level, or under limit_palette the largest and smallest
// value the channel takes among the palette's entries.
extern float max_levels[max_working_channels];
extern float min_levels[max_working_channels];

// Diffusion windows as blocks of slots around the pixel being quantised,
// (dx, dy) at share[dy + window_reach][dx + window_reach] with y growing
// downwards: the widest windows reach two columns to either side and two rows
// below. Slots are fixed to image positions: dx = 1 is the right-hand
// neighbour also on a row that runs right to left.
constexpr int window_reach = 2;
constexpr int window_side = 2 * window_reach + 1;

struct window_block {
    float share[window_side][window_side] = {};
    // How far the window reaches: columns to either side and rows below the
    // pixel, at least one each. The scan spreads through every slot from the
    // pixel's row down that far, shares of 0 included, but the pixel itself;
    // the limits act on the same block and the row above it. So the windows
    // that stay within 3 x 3 keep the block of 3 x 3.
    int columns = 1;
    int rows = 1;

    float at(int dx, int dy) const { return share[dy + window_reach][dx + window_reach]; }
};

// The window of diffusion_window for rows scanned left to right (wind_r) and
// right to left (wind_l); the rows above the pixel and the pixel itself hold 0.
extern window_block wind_r;
extern window_block wind_l;
// Those multiplied by coefficient, rounded to float once; the scan copies one
// orientation per row into wind (settings/scan_state.h).
extern window_block scaled_wind_r;
extern window_block scaled_wind_l;
// The window of the circle pre-processing, over the 3 x 3 block; one
// orientation, never scaled.
extern window_block mix_wind;

// The threshold pattern of an ordered window: side x side cells holding the
// ranks 0 ... side * side - 1, the pattern repeated over the image. The
// installed one, or none when the window diffuses error.
struct threshold_pattern {
    int side;
    const uint16_t *ranks;  // row by row
};
extern const threshold_pattern *ordered_pattern;
