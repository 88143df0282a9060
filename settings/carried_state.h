// What one file leaves to the next on purpose. Written by the engine while it
// scans (and the failure count when a file fails); never reset between files,
// so the first pixel of a file may keep the entry of the last pixel of the
// file before it.
#pragma once

#include "settings/limits.h"

// The entry chosen for the last pixel handled; it stays when no entry's error
// is below the search's starting value (values grown without bound, or not
// numbers).
extern int best_color;

// The weighted absolute difference per channel of the last candidate tried.
// Entries a weighting does not write keep their value for every candidate.
// Cleared by the engine when it starts on a file.
extern float dither_quant_error_ch[max_working_channels];
extern float best_dither_quant_error;

// The quantisation error of the last pixel per channel; cleared when the
// engine starts on a file.
extern float error_ch[max_working_channels];

// 1: the row runs left to right, 0: right to left.
extern int direction;

// Whether the run has said that a full palette gives up entry 255 for
// transparency; it says so once, for the first file. Cleared by the driver.
extern bool transparent_entry_reported;

// Input files that were not dithered and saved, raised by the engine; the
// driver turns a non-zero count into exit status 1.
extern int failed_files;
