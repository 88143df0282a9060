// The parts of the fast search (engine/fast_search.h) that its files share:
// the plan of a file's search and its cells, the vector kernels' entry, the
// grid's geometry and the cells' lists. Internal to the search.
#pragma once

#include "engine/fast_search.h"
#include "engine/metrics.h"
#include "engine/nearest.h"
#include "settings/settings.h"

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>

namespace search_parts {

constexpr float infinity = std::numeric_limits<float>::infinity();

// A cell's list is padded to a multiple of the widest vector of candidates.
constexpr int batch = 16;

// The cells. A value is first placed relative to the palette's box, u = (v -
// centre) / half on every axis, so that the box is -1 ... 1; inside it each
// axis is cut at boundaries, and a table over fine steps of u gives the cell
// of a value with one multiply.
//
// The grid files the first channels of a value: three, or all four of the
// four-channel spaces, where the K channel tells apart the greys and darks
// that C, M and Y alone lump together. Under the metrics that are sums of
// squared differences the cells follow the palette (boundaries at quantiles
// of its entries, so that they are small where it is dense), the box is
// padded by a quarter of the palette's range on each side, and the outside is
// cut by direction and distance; under the other metrics the box is the
// palette's range cut evenly, its outer cells reaching to infinity.
constexpr int max_grid_axes = 4;
constexpr int fine_steps = 1024;
constexpr float padding = 0.25f;
constexpr int quantile_cells = 6;

inline int grid_axes_for(int channels)
{
    return channels == 4 ? 4 : 3;
}

inline int even_cells_for(int axes)
{
    return axes == 4 ? 8 : 16;
}

// Outside the padded box a value is filed by the face of the box its
// direction leaves through, where it crosses that face (face_cells along each
// side) and how far it is (shells_per_octave shells in every doubling of the
// distance, up to 2^octaves box halves). Values farther out share one cell
// that holds every entry.
constexpr int face_cells = 8;
constexpr int shell_bits = 1;
constexpr int shells_per_octave = 1 << shell_bits;
constexpr int octaves = 11;
constexpr int shells = octaves * shells_per_octave;
constexpr int outer_cell_count = 6 * face_cells * face_cells * shells;
constexpr float farthest_shell = static_cast<float>(1 << octaves);

// The slack of a cell beyond its boundaries: the cell of a value is found
// with rounded arithmetic (u and the ratios within some 3e-7, the distance
// within a relative 3e-7), so a value close to a boundary may be filed on
// either side of it, and both cells must hold it.
constexpr double cell_slack = 1e-4;     // of the cell's size
constexpr double place_slack = 1e-5;    // of u and the ratios, or relative to the distance

// Palettes of at most this many colours are searched without cells, every
// colour tried with the exact arithmetic: two vectors of doubles on the widest
// units.
constexpr int few_candidates = batch;

// A cell of squared distances whose list passes a batch is cut, down to this
// depth.
constexpr int split_above = batch;
constexpr int deepest = 8;

// Under squared distances, the plain search's error of a candidate lies
// within this relative distance of the exact sum of squares (five roundings
// of a float, a few of a double: some 3e-7), plus tiny where values leave
// the normal range.
constexpr double rounding_reach = 2e-6;
constexpr double rounding_floor = 1e-30;

// An entry that some other entry beats everywhere in a cell is left out of
// its list; the challengers tried are this many entries of the least upper
// bound.
constexpr int challengers = 12;

enum cell_state { cell_empty, cell_building, cell_ready };

}  // namespace search_parts

// Everything the search needs of the file, copied once: the palette, how each
// entry of the per-channel error is formed, and the cells.
struct nearest_color_finder::plan {
    // Whether values are matched in OkLab: each is converted once as it comes
    // in, and the palette is pal_oklab.
    bool oklab = false;
    int metric = 0;
    int channels = 3;
    int entries = 3;  // of the per-channel error, the ones the metric reads
    double weight[max_working_channels] = {};
    // How the search forms each entry it reads: |v - pal|, the same weighted,
    // or a constant (an unwritten entry, or a written one beyond the used
    // channels, where value and palette are both 0).
    enum entry_kind { difference, weighted_difference, constant };
    entry_kind kind[max_working_channels] = {};
    float constant_value[max_working_channels] = {};
    float float_weight[max_working_channels] = {};  // for the rough errors
    const weighting_row *weighting = nullptr;
    float pal[max_working_channels][palette_entries] = {};

    // The entries that can win: the first of each colour, in index order. A
    // later entry of the same colour has the same error to the bit (at most
    // a difference of zero changes its sign, which the magnitude drops) and
    // loses the tie to the lower index, so the search leaves every copy out:
    // short palettes repeat their last colour up to 256 entries, and a table
    // may repeat a few colours over and over.
    int candidates[palette_entries] = {};
    int candidate_count = 0;

    // The best error anywhere in a cell is bounded from above only when every
    // entry the metric reads is a grid channel or left unwritten.
    bool bounded_above = true;
    // Unwritten entries that are not finite make every error the same
    // non-number or infinity: the grid has nothing to order then.
    bool usable = true;
    // The metric is a weighted sum of squares of the grid channels (and of
    // constants): the error of one entry less another's is then linear in
    // the value, and the cells follow the palette.
    bool squares = false;
    double square_factor[max_working_channels] = {};

    int axes = 3;
    float centre[search_parts::max_grid_axes] = {};
    float inverse_half[search_parts::max_grid_axes] = {};
    int cells_along[search_parts::max_grid_axes] = {};
    // Boundaries of each axis's cells in fine steps, and the cell of each step.
    int boundary[search_parts::max_grid_axes][search_parts::fine_steps + 1] = {};
    uint8_t cell_of_step[search_parts::max_grid_axes][search_parts::fine_steps] = {};
    int inner_cells = 0;
    int outer_base = 0;     // the first cell outside the box
    int farthest_cell = 0;  // beyond the last shell, and the last cell
};

// The entries that may be nearest to a value in the cell, by rising lower
// bound (ties by index): their bounds, indices and colours, padded to whole
// batches with entries that can never win. A cell where one entry beats all
// others everywhere names it, and the search needs no arithmetic there.
struct nearest_color_finder::cell {
    std::atomic<int> state{ search_parts::cell_empty };
    int16_t count = 0;  // padded
    int16_t kept = 0;   // real entries
    int16_t only = -1;
    // Under squared distances, the cell's place in the coordinates that file
    // a value: u inside the box; outside it (side 2 * face + 1 where the face
    // is at -1, 2 * face at +1) where its direction crosses the face, as two
    // ratios to the distance, and the distance. A cell whose list is longer
    // than a batch is cut in two along each coordinate, at half its range;
    // its children take their entries from its list.
    int8_t side = -1;
    int8_t depth = 0;
    int8_t planes = 0;  // of colours
    float low[3] = {}, high[3] = {};
    std::unique_ptr<cell[]> children;
    // One block: the bounds, the colours (entries planes of count values),
    // then the indices as bytes (the padding's never read).
    std::unique_ptr<float[]> list;

    const float *bound() const { return list.get(); }
    const float *colour(int e) const { return list.get() + static_cast<size_t>(e + 1) * count; }
    const uint8_t *entry() const
    {
        return reinterpret_cast<const uint8_t *>(list.get() + static_cast<size_t>(planes + 1) * count);
    }
    float cut(int axis) const { return low[axis] + (high[axis] - low[axis]) / 2; }
};

namespace search_parts {

using plan_t = nearest_color_finder::plan;
using cell_t = nearest_color_finder::cell;

// The per-channel error of entry k, formed as the plain search forms it, for
// the entries the metric reads.
__attribute__((always_inline)) inline void weigh_exactly(const plan_t &p, const float *v, int k, double *d)
{
    for (int e = 0; e < p.entries; ++e)
        d[e] = p.kind[e] == plan_t::constant ? p.constant_value[e] : weighted(v[e] - p.pal[e][k], p.weight[e]);
}

// The error of entry k: with the metric known when compiling, or by code.
template <int metric>
__attribute__((always_inline)) inline float error_of(const plan_t &p, const float *v, int k)
{
    double d[max_working_channels];
    weigh_exactly(p, v, k, d);
    return static_cast<float>(metric_of<metric>(d, p.channels));
}

// The search of a cell's list by a vector unit: the entry, -1 when none
// wins, or unsettled when the rough errors leave the exact search to decide.
using batch_search = int (*)(const plan_t &, const cell_t &, const float *);
constexpr int unsettled = -2;

// The widest vector unit's search for the metric, the entries it reads,
// whether they are all plain differences and whether it tries a few colours
// exactly; null for a pair that has none (search_vectors.cpp).
batch_search search_for(int metric, int entries, bool plain, bool few);

// The grid (search_grid.cpp): its box, boundaries and cells for the plan's
// palette and metric; the place of a top cell; the corners of a cell of
// squared distances in the working space; the box of an evenly cut cell.
void place_grid(plan_t &p);
void place_top_cell(const plan_t &p, cell_t &c, int index);
void corners_of(const plan_t &p, const cell_t &c, double corner[8][3]);
void even_box(const plan_t &p, int index, float *lo, float *hi);

// The cells' lists (search_cells.cpp).
void fill_list(const plan_t &p, cell_t &c, const int *order, const float *lower, int kept);

}  // namespace search_parts
