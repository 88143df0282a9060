// The scratch of one file's search and scan: cleared or set by the engine
// when it starts on a file, a scan or a row, and read by nothing after the
// file is done.
#pragma once

#include "settings/file_state.h"
#include "settings/limits.h"

// The weighted absolute difference per channel of the last candidate tried.
// Entries a weighting does not write keep their value for every candidate.
// Cleared when the engine starts on a file.
extern float dither_quant_error_ch[max_working_channels];
extern float best_dither_quant_error;

// The quantisation error of the last pixel per channel; cleared when the
// engine starts on a file.
extern float error_ch[max_working_channels];

// 1: the row runs left to right, 0: right to left. Set by every scan.
extern int direction;

// The working window of the row being scanned: one orientation of
// scaled_wind_r and scaled_wind_l.
extern window_block wind;
