// Diffusion windows, as tables: the scan windows of -w in two orientations,
// the pre-processing windows of -ppw. The slots and the installed windows are
// described in settings/file_state.h.
#pragma once

#include "settings/file_state.h"
#include "settings/settings.h"

#include <cstdint>

// A scan window as the shares of the slots that can carry error: the row
// above and the pixel itself never receive any.
struct window_shares {
    float slot_4, slot_6, slot_7, slot_8, slot_9;
};

struct window_row {
    const char *keyword;  // of -w
    int32_t code;
    window_shares left_to_right, right_to_left;
    const char *message;  // printed when -w selects it
};

// Indexed by code. A new window is a row here.
extern const window_row scan_windows[window_count];

struct pre_processing_window_row {
    const char *keyword;  // of -ppw
    int32_t code;
    float corner, edge;   // slots 1, 3, 7, 9 and slots 2, 4, 6, 8
    const char *message;  // printed when -ppw selects it
};

extern const pre_processing_window_row pre_processing_windows[pre_processing_window_count];

// Writes slots 1-4 and 6-9 of wind_r and wind_l from the row of code (floyd
// for a code outside the table). The engine installs diffusion_window at the
// start of every file.
void install_window(int32_t code);

// Forms scaled_wind_r and scaled_wind_l: every weight of the installed window
// times coefficient, rounded to float once. wind_r and wind_l stay as they are.
void scale_scan_windows();

// Sets mix_wind from pre_processing_window.
void select_pre_processing_window();
