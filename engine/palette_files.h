// Palette files: found by name and read in whichever format their content
// shows, then installed in the core.
#pragma once

// Finds the palette named by palette_path_buffer: a file (from the working
// directory), else for a name without a folder part one beside the program
// or installed, else the colours written out in the value itself
// ("#000 #fff,#f00"). Reads it and installs it (install_palette), and the
// palette that output_palette_buffer names, unless that is empty, as the
// output's colours (install_output_palette). Returns false, with one line
// printed and the installed palette left alone, when no palette comes of
// either: "palette open error", "palette format error", a colour table
// without one complete colour ("Premature end of palette" or "palette read
// error"), or "output palette count mismatch" when the two differ in their
// number of entries. A shorter table prints the same lines and is used.
bool read_palette();
