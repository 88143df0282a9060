// The palette file formats that are told apart by their content: pure
// functions from a file's first bytes to its colours, so that each format can
// be tested and fuzzed without a file. Finding the file, the colour table of
// 768 bytes and palettes taken from an image's pixels are in palette.cpp.
#pragma once

#include "engine/palette.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// The colour table: red, green and blue for each of the 256 entries.
constexpr size_t colour_table_bytes = 3 * palette_entries;

// A text palette longer than this is refused rather than read: 256 colours
// with a name and a comment each fill a few kilobytes, so the limit only
// bounds the memory a wrong file can take.
constexpr size_t max_palette_text_bytes = 1 << 20;

enum palette_outcome {
    palette_not_recognised,  // none of these formats: perhaps an image, or a colour table
    palette_colours,         // colours were read
    palette_malformed,       // one of these formats, but unusable as it stands
    palette_from_pixels,     // an image whose palette is the colours of its pixels
};

struct parsed_palette {
    palette_outcome outcome = palette_not_recognised;
    int count = 0;                                   // 1 ... 256 when outcome is palette_colours
    uint8_t rgb[colour_table_bytes] = {};            // colour i at 3i: red, green, blue
};

// Reads bytes[0 ... size) as one of:
//   a GIMP palette ("GIMP Palette", "Name:" and "Columns:" lines, "#"
//     comments, "R G B name" lines);
//   a JASC palette ("JASC-PAL", "0100", the count, then that many "R G B");
//   a RIFF palette ("RIFF", size, "PAL ", and a "data" chunk of version,
//     count and 4-byte entries);
//   a list of hexadecimal colours, one "RRGGBB", "#RRGGBB" or "AARRGGBB"
//     (alpha dropped) a line, ";" comment lines and blank lines skipped;
//   an indexed PNG, whose PLTE chunk is the palette.
// A format is known by its first line or bytes; after that any line or
// chunk that does not fit, a level above 255, no colour, more than 256
// colours, or a text longer than max_palette_text_bytes make it malformed.
// A PNG of another colour type is palette_from_pixels; anything else is not
// recognised.
parsed_palette parse_palette_file(const uint8_t *bytes, size_t size);

// Reads a palette written out in a command-line value: colours "#rgb" or
// "#rrggbb" (either case) separated by blanks or commas, such as
// "#000 #ffffff,#c81e28". Anything else in the text makes it no list
// (palette_not_recognised); more than 256 colours make it malformed.
parsed_palette parse_colour_list(std::string_view text);
