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

// The palette's colours in the working scale (1.0 is full level), after the
// gamma treatment of RGB_gamma.
extern float pal_R[palette_entries];
extern float pal_G[palette_entries];
extern float pal_B[palette_entries];

// The palette in working channels, channel by channel: pal_ch[c][k] is channel
// c of entry k. Planes from channels_used up hold 0.
extern float pal_ch[max_working_channels][palette_entries];

// Diffusion windows by slot, 1 ... 9 over the 3 x 3 block around the pixel,
// row above first (index 0 unused, slot 5 the pixel itself). Slots are fixed
// to image positions: slot 6 is the right-hand neighbour also on a row that
// runs right to left.
//
// The window of diffusion_window for rows scanned left to right (wind_r) and
// right to left (wind_l); slots 1 to 3 are 0, slot 5 is never read.
extern float wind_r[10];
extern float wind_l[10];
// Those multiplied by coefficient, rounded to float once; the scan copies one
// orientation per row into wind, the working window.
extern float scaled_wind_r[10];
extern float scaled_wind_l[10];
extern float wind[10];
// The window of the circle pre-processing; one orientation, never scaled.
extern float mix_wind[10];
