// The palette: 256 entries, read afresh from the palette file for every input
// file and held in three forms (settings/file_state.h).
#pragma once

#include "settings/file_state.h"

// Reads the first 768 bytes of the file named by palette_path_buffer and fills
// the srgb_pal_ and pal_ arrays. Prints "palette open error" and returns false
// when the file cannot be opened (the arrays are then left alone); prints
// "Premature end of palette" or "palette read error" for a short read and goes
// on with zero for the missing bytes.
bool read_palette();

// sRGB decoding of a byte value to linear light, computed in double and
// rounded once to float: byte 0 gives exactly 0, byte 255 exactly 1.
float srgb_byte_to_linear(int byte);
