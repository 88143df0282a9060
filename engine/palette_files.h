// Palette files: found by name and read in whichever format their content
// shows, then installed in the core.
#pragma once

#include <string>

// The folder of the installed palettes, without a separator at its end, for
// a caller that finds it for itself (the library, from the place of its own
// file); empty, as for the program, to take it from the program's folder.
extern std::string installed_palettes_folder;

// Finds the palette named by palette_path_buffer (the working directory
// first; then, for a name without a folder part, beside the program and in
// the installed palettes), reads it and installs it (install_palette).
// Returns false, with one line printed and the installed palette left alone,
// when no palette comes of it: "palette open error", "palette format error",
// or a colour table without one complete colour ("Premature end of palette"
// or "palette read error"). A shorter table prints the same lines and is used.
bool read_palette();
