// The working colour spaces. Image pixels and palette entries go through the
// same formulas, so equal colours meet as equal working channels.
#pragma once

// Converts R, G, B (working scale) into the channels_used channels of
// color_space, each computed in double and rounded once to float.
void convert_color(float r, float g, float b, float *channels);

// Clears all 12 planes of pal_ch and fills the channels of color_space from
// pal_R, pal_G and pal_B.
void convert_palette();
