// The nearest-colour search over all 256 palette entries.
#pragma once

// The entry chosen for the last pixel handled; it carries from pixel to pixel
// and from file to file, and stays when no entry's error is below the
// starting value (values grown without bound, or not numbers).
extern int best_color;

// The weighted absolute difference per channel of the candidate under test.
// Entries a weighting does not write keep their value for every candidate.
extern float dither_quant_error_ch[12];
extern float best_dither_quant_error;

// Clears dither_quant_error_ch; done when the engine starts on a file.
void clear_search_state();

// Finds the entry nearest to the working values v[0 ... 11] (those from
// channels_used up are 0, like the unused planes: weightings 1113 and 2417
// read channel 3 in every space) under quant_weighting_coefficients and
// quant_error_finding_algorithm; updates and returns best_color. Ties go to
// the lower index.
int find_nearest_color(const float *v);

// The same search with the plain squared distance and no weights, as the
// circle pre-processing uses it.
int find_nearest_color_squared(const float *v);
