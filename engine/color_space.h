// The working colour spaces. Image pixels and palette entries go through the
// same formulas, so equal colours meet as equal working channels.
#pragma once

#include "settings/settings.h"

#include <cstdint>

// Writes the channels of one colour space for R, G, B in the working scale,
// each computed in double and rounded once to float.
using color_converter = void (*)(double r, double g, double b, float *channels);

struct color_space_row {
    const char *keyword;  // of -c
    int32_t code;
    int32_t channels;
    color_converter convert;
    const char *message;  // printed when -c selects it
};

// Indexed by code. A new space is a row here and its converter.
extern const color_space_row color_spaces[color_space_count];

// The row of a colour space code; codes outside the table give rgb's.
const color_space_row &color_space_of(int32_t code);

// Sets color_space and channels_used, which go together; the engine calls it
// for color_space at the start of every file.
void select_color_space(int32_t code);

// Clears all planes of pal_ch and fills the channels of color_space from
// pal_R, pal_G and pal_B.
void convert_palette();
