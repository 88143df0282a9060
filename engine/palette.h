// The palette: 256 entries, read afresh from the palette file for every input
// file and held in three forms (settings/file_state.h).
#pragma once

#include "settings/file_state.h"

// Finds the palette that palette_path_buffer names: a file (from the working
// directory), else for a name without a folder part one beside the program
// or installed, else colours written out in the value itself ("#000 #fff").
// Reads a file in whichever format its content shows and fills the pal_
// arrays with its colours and the srgb_pal_ arrays with those of the
// palette that output_palette_buffer names, or with its own when that is
// empty (the entries past the colours repeating the last one), and
// output_palette_entries. Returns false, with one line printed and the arrays
// left alone, when no palette comes of either: "palette open error",
// "palette format error", a colour table without one complete colour
// ("Premature end of palette" or "palette read error"), or "output palette
// count mismatch" when the two differ in their number of entries. A shorter
// table prints the same lines and is used.
bool read_palette();

// sRGB decoding of a byte value to linear light, computed in double and
// rounded once to float: byte 0 gives exactly 0, byte 255 exactly 1.
float srgb_byte_to_linear(int byte);

// Sets transparent_entry from alpha_threshold for a palette of `colours`
// colours: -1 when alpha is ignored, entry `colours` of a short palette, or
// entry 255 of a full one, which is then given up; the first time in a run,
// that is said in one line.
void choose_transparent_entry(int colours);

// Keeps every search, plain or fast, from choosing the transparent entry: it
// takes entry 0's working colour, and a tie goes to the lower index. A carried
// best_color that names it names entry 0 instead. After convert_palette.
void leave_transparent_entry_out_of_search();
