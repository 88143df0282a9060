// The engine's front for the program: the palette file, the input file, the
// lines of the transcript and the saved output around the core
// (engine/core.h).
#pragma once

#include "settings/image_source.h"

// The engine entry: dithers the input file named in arguments_buffer with the
// settings as they stand and writes the result beside it. Reports on standard
// output; a file that could not be dithered and saved raises failed_files.
void ditherer();

// The part of ditherer() after the palette is read and the input opened:
// prints the size lines, dithers the source and saves the result beside the
// path in path_buffer, which is rewritten in place to the output's name.
// Prints the one line of a failure ("image too large", "image open error",
// "file not saved") and returns false; true when the output was saved.
bool dither_source(image_source &source, char *path_buffer);

// Whether the matching of -m goes with the colour space: false, with "oklab
// matching needs -c rgb" printed, for -m oklab in any space but rgb.
bool matching_fits_color_space();

// The palette of -p, found, read and installed (read_palette), or for
// "auto:N" the count of colours to make from the image, left in made_colours
// (0 otherwise). False, with one line printed, when no palette comes of it,
// N is no count ("palette open error"), or -po is set beside auto:N.
bool palette_ready(int &made_colours);

// Makes the palette of -p auto:N from the pixels and installs it.
struct palette_maker_pixels;
void install_made_palette(const palette_maker_pixels &pixels, int colours);
