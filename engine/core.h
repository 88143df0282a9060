// The engine's core: it installs a palette held in memory and dithers an image
// source into the indices of a writer, reading the settings as they stand. It
// prints nothing and opens no file; finding and reading palettes, opening the
// inputs, reporting and saving are left to its caller (engine/front.h for the
// program).
#pragma once

#include "png/png_writer.h"
#include "settings/image_source.h"

#include <cstdint>

// How dithering one image ended.
enum class dither_outcome {
    dithered,   // every row read and scanned: the writer holds the image
    damaged,    // the source could not give every row
    too_large,  // past max_pixels, or memory ran out
};

// Installs count colours, 3 bytes each (red, green, blue), as the palette
// that every image after it is dithered with: the entries past them repeat
// the last one, so that no index reaches count. output_entries is how many
// entries the output's palette holds, count or more (a colour table always
// writes its 256). Returns false, with nothing changed, unless
// 1 <= count <= output_entries <= 256.
bool install_palette(const uint8_t *rgb, int count, int output_entries);

// Makes count colours the output's palette in place of the installed
// palette's own, entry for entry, the entries past them repeating the last
// one; the search and the error still use the installed colours. Returns
// false, with nothing changed, unless 1 <= count <= output_entries and
// output_entries is the installed palette's.
bool install_output_palette(const uint8_t *rgb, int count, int output_entries);

// Dithers the source with the installed palette into a new indexed writer of
// its size, whose palette is the output palette; the indices are its row
// bytes (png_writer_row_bytes). The writer is set only when the outcome is
// dithered. The working image is let go before it returns, so that an
// encoder that follows has the memory.
dither_outcome dither_image(image_source &source, png_writer_ptr &writer);
