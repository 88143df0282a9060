// The nearest-colour search of one file, made fast without changing a single
// result.
//
// The plain search tries all 256 entries for every pixel. This one files the
// working values of channels 0 to 2 into the cells of a grid; for each cell it
// keeps the entries ordered by a lower bound of their error anywhere in the
// cell, and tries them in that order until the bound passes the best error
// found. The bound runs the very arithmetic of the search (the same roundings,
// the same metric) on the smallest differences the cell allows, and every step
// of that arithmetic is monotone, so no entry it passes over could have won,
// nor tied with a lower index.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class nearest_color_finder {
public:
    // Takes the palette (pal_ch), channels_used, the two codes, and the
    // entries of dither_quant_error_ch that the weighting leaves unwritten,
    // as they stand now: they keep those values for the whole search. When
    // matching_in_oklab() it takes pal_oklab and the plain squared distance
    // instead, and every value given to it below is converted to OkLab first,
    // as the plain search converts it.
    nearest_color_finder(int weighting_code, int metric_code);
    ~nearest_color_finder();

    // The entry the plain search would choose for the working values
    // v[0 ... channels_used - 1], or -1 when no entry's error is below the
    // search's starting value, in which case the plain search keeps the entry
    // chosen before. Safe to call from several threads at once.
    int find(const float *v) const;

    // The same, trying every entry in index order: the answer for values the
    // grid does not hold (not numbers, or infinite).
    int find_exhaustively(const float *v) const;

    // Whether values are searched through the cells; false only for a metric
    // and channel count without a vector search, which then try every entry.
    bool searches_by_cells() const;

    // The error of entry k for v, exactly as the plain search computes it.
    float error_of(const float *v, int k) const;

    // The per-channel error that the plain search leaves behind after
    // looking at v: every written entry as for the last entry of the palette,
    // the unwritten ones as they were.
    void leave_search_state(const float *v, float *quant_error_ch) const;

    struct plan;
    struct cell;

private:
    int top_cell(const float *v, float *q) const;
    void build_cell(cell &c, int index, const cell *parent) const;
    bool ready(cell &c, int index, const cell *parent) const;

    std::unique_ptr<plan> plan_;
    // Filled lazily, a cell at a time, as values land in them.
    std::unique_ptr<cell[]> cells_;
    // Instead of the cells, for a palette of a few colours: every one of them.
    std::unique_ptr<cell> few_;
    int (*search_)(const plan &, const cell &, const float *v) = nullptr;
};
