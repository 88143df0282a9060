// The palette: 256 entries, read afresh from the palette file for every input
// file and held in three forms.
#pragma once

#include <cstdint>

constexpr int palette_entries = 256;
constexpr int max_working_channels = 12;

// The file's bytes, unchanged: the output PNG's palette is built from these.
extern int32_t srgb_pal_R[palette_entries];
extern int32_t srgb_pal_G[palette_entries];
extern int32_t srgb_pal_B[palette_entries];

// The colours in the working scale (1.0 is full level), after the gamma
// treatment chosen by RGB_gamma.
extern float pal_R[palette_entries];
extern float pal_G[palette_entries];
extern float pal_B[palette_entries];

// The palette in working channels, channel by channel: pal_ch[c][k] is channel
// c of entry k. Planes from channels_used up hold 0.
extern float pal_ch[max_working_channels][palette_entries];

// How many entries the output PNG's palette holds: 256 for a colour table,
// the palette's own count for every other format. Set by read_palette.
extern int output_palette_entries;

// Finds the palette named by palette_path_buffer (the working directory
// first; then, for a name without a folder part, beside the program and in
// the installed palettes), reads it in whichever format its content shows
// and fills the srgb_pal_ and pal_ arrays, the entries past its colours
// repeating its last one. Returns false, with one line printed and the
// arrays left alone, when no palette comes of it: "palette open error",
// "palette format error", or a colour table without one complete colour
// ("Premature end of palette" or "palette read error"). A shorter table
// prints the same lines and is used.
bool read_palette();

// sRGB decoding of a byte value to linear light, computed in double and
// rounded once to float: byte 0 gives exactly 0, byte 255 exactly 1.
float srgb_byte_to_linear(int byte);
