// Diffusion windows, as tables: the windows of -w in two orientations, the
// error-diffusion kernels and the ordered patterns among them, and the
// pre-processing windows of -ppw. The slots and the installed windows are
// described in settings/file_state.h.
#pragma once

#include "settings/file_state.h"
#include "settings/settings.h"

#include <cstdint>

// A window as it is published: the weights for a row scanned left to right,
// over the pixel's row and the two rows below it, columns x - 2 ... x + 2,
// and the divisor that turns them into shares. The pixel itself and the
// pixels before it in its row hold 0; a right-to-left row takes the mirror
// image.
struct window_row {
    const char *keyword;  // of -w
    int32_t code;
    float weight[window_reach + 1][window_side];
    float divisor;
    // An ordered window's threshold pattern; its weights are all 0. None for
    // the windows that diffuse error.
    const threshold_pattern *pattern;
    const char *message;  // printed when -w selects it
};

// Indexed by code. A new window is a row here.
extern const window_row scan_windows[window_count];

struct pre_processing_window_row {
    const char *keyword;  // of -ppw
    int32_t code;
    float corner, edge;   // the diagonal neighbours and the four beside the pixel
    const char *message;  // printed when -ppw selects it
};

extern const pre_processing_window_row pre_processing_windows[pre_processing_window_count];

// Writes wind_r, wind_l and ordered_pattern from the row of code (floyd for
// a code outside the table): each share the weight over the divisor, rounded
// to float once, wind_l the mirror image of wind_r, and the reach of both.
// The engine installs diffusion_window at the start of every file.
void install_window(int32_t code);

// Forms scaled_wind_r and scaled_wind_l: every weight of the installed window
// times coefficient, rounded to float once. wind_r and wind_l stay as they are.
void scale_scan_windows();

// Sets mix_wind from pre_processing_window.
void select_pre_processing_window();
