// Palette files: found by name and read in whichever format their content
// shows, then installed in the core.
#pragma once

#include "engine/palette_formats.h"

#include <string>

// The folder of the installed palettes, without a separator at its end, for
// a caller that finds it for itself (the library, from the place of its own
// file); empty, as for the program, to take it from the program's folder.
extern std::string installed_palettes_folder;

// What a palette value gave: the colours, and how many entries the output's
// palette takes (all 256 of a colour table, just the colours of any other
// form).
struct found_palette {
    parsed_palette colours;
    int output_entries = 0;
};

// Finds the palette a -p value names: a file (from the working directory),
// else for a name without a folder part one beside the program or installed,
// else the colours written out in the value itself ("#000 #fff,#f00"), and
// reads it without installing it. Returns false, with one line printed, when
// no palette comes of it: "palette open error", "palette format error", or a
// colour table without one complete colour ("Premature end of palette" or
// "palette read error"). A shorter table prints the same lines and is used.
bool find_palette(const std::string &value, found_palette &found);

// Installs the palette (install_palette), and the palette that
// output_palette_buffer names, unless that is empty, as the output's colours
// (install_output_palette). Returns false, with one line printed and the
// installed palette left alone, when the output's palette cannot be found or
// read, or differs from the palette in its number of entries ("output
// palette count mismatch").
bool install_found_palette(const found_palette &palette);

// find_palette for palette_path_buffer, then install_found_palette.
bool read_palette();
