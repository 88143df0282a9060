// Diffusion windows. A window has nine slots over the 3 x 3 block around the
// pixel being quantised, row above first:
//
//     1 2 3
//     4 5 6      slot 5 is the pixel itself
//     7 8 9
//
// The arrays below are indexed by slot number (index 0 is unused). Slots are
// fixed to image positions, not to the scan direction: slot 6 is always the
// right-hand neighbour, also on a row scanned right to left.
#pragma once

// The window installed last by a selector, for rows scanned left to right
// (wind_r) and right to left (wind_l). Slots 1 to 3 are always 0; slot 5 is
// never set or read.
extern float wind_r[10];
extern float wind_l[10];

// The installed window multiplied by the diffusion level of the current file,
// formed by scale_scan_windows(); the scan copies one orientation per row into
// wind, the working window.
extern float scaled_wind_r[10];
extern float scaled_wind_l[10];
extern float wind[10];

// The window of the circle pre-processing; one orientation, never scaled.
extern float mix_wind[10];

// The seven scan-window selectors: each overwrites slots 1-4 and 6-9 of both
// orientations with its table.
void select_floyd_window();
void select_round_window();
void select_x_window();
void select_linear_x_window();
void select_linear_y_window();
void select_linear_x_y_window();
void select_dot_window();

// Forms scaled_wind_r and scaled_wind_l: every weight times coefficient,
// rounded to float once. The installed tables stay as the selector left them.
void scale_scan_windows();

// Sets mix_wind from pre_processing_window (0 round, 1 cross, 2 square).
void select_pre_processing_window();
