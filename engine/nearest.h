// The nearest-colour search over all 256 palette entries. It keeps its state
// in best_color and dither_quant_error_ch (settings/carried_state.h).
#pragma once

#include "settings/carried_state.h"
#include "settings/scan_state.h"

// The largest error a candidate may have and still be chosen: an entry only
// wins with an error strictly below it, so values that have run away to
// infinity or are not numbers leave best_color as it was.
constexpr float no_error_yet = 1e18f;

// Clears dither_quant_error_ch; done when the engine starts on a file.
void clear_search_state();

// Finds the entry nearest to the working values v[0 ... 11] (those from
// channels_used up are 0, like the unused planes: weightings 1113 and 2417
// read channel 3 in every space) under quant_weighting_coefficients and
// quant_error_finding_algorithm; updates and returns best_color. Ties go to
// the lower index. When matching_in_oklab(), the search compares the OkLab of
// v with pal_oklab under the plain squared distance instead, and the
// per-channel error it leaves is that of OkLab.
int find_nearest_color(const float *v);

// The same search with the plain squared distance and no weights, as the
// circle pre-processing uses it (in OkLab the same as the one above).
int find_nearest_color_squared(const float *v);
