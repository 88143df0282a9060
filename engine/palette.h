// The installed palette: 256 entries held in three forms
// (settings/file_state.h), and the entry that clear pixels take.
#pragma once

#include "settings/file_state.h"

// sRGB decoding of a byte value to linear light, computed in double and
// rounded once to float: byte 0 gives exactly 0, byte 255 exactly 1.
float srgb_byte_to_linear(int byte);

// Sets transparent_entry from alpha_threshold for a palette of `colours`
// colours: -1 when alpha is ignored, entry `colours` of a short palette, or
// entry 255 of a full one, which is then given up.
void choose_transparent_entry(int colours);

// Whether the installed palette is full and alpha_threshold is on, so that
// entry 255 is given up to the clear pixels.
bool transparency_takes_last_entry();

// Keeps every search, plain or fast, from choosing the transparent entry: it
// takes entry 0's working colour, and a tie goes to the lower index. A carried
// best_color that names it names entry 0 instead. After convert_palette.
void leave_transparent_entry_out_of_search();
