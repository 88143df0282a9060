// Ordered dithering: the windows of -w that hold a threshold pattern instead
// of shares. Each pixel's working values are moved by the threshold of its
// cell of the pattern before the exact nearest-colour search; no error flows
// from pixel to pixel, so the rows stand on their own.
#pragma once

#include "engine/scan.h"
#include "engine/working_image.h"
#include "png/png_writer.h"
#include "settings/file_state.h"

#include <vector>

// How far the thresholds move a pixel's values at -d 1: the widest gap
// between a palette colour and the colour nearest to it, measured as the
// largest difference in one working channel. Every area between two
// neighbouring colours is then mixed, and in a palette of evenly spaced
// colours (black and white, grey ramps, colour cubes, in the working scale)
// in the proportion of its distance from them. 0 for a palette of one
// colour. Reads pal_ch and channels_used.
double palette_spread();

// The offset of every cell of the pattern, row by row: its threshold
// (rank + 1/2) / cells - 1/2, in (-1/2, 1/2), times the spread and
// coefficient, rounded to float once.
std::vector<float> cell_offsets(const threshold_pattern &pattern, double spread);

// Maps every pixel to the entry nearest to its values plus its cell's offset,
// with the plain search or the fast one on every core; stores each index in
// the writer and leaves the search state of the plain search. With a gate,
// rows are mapped as they are filled; returns false when the gate fails.
bool ordered_scan(const working_image &image, png_writer_t *writer, const threshold_pattern &pattern,
                  const row_gate *gate);
