#include "engine/fast_search.h"

#include "engine/matching.h"
#include "engine/metrics.h"
#include "engine/nearest.h"
#include "engine/palette.h"
#include "settings/settings.h"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace {

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

int grid_axes_for(int channels)
{
    return channels == 4 ? 4 : 3;
}

int even_cells_for(int axes)
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

// Metrics that are weighted sums of squares of the per-channel error: their
// factors by entry.
struct squares_row {
    int metric;
    double factor[4];
};

const squares_row squares_metrics[] = {
    { metric_pow2, { 1.0, 1.0, 1.0, 1.0 } },  // over three channels here
    { metric_pow2m421, { 2.0, 4.0, 1.0, 0.0 } },
    { metric_pow2m1113, { 1.0, 1.0, 1.0, 200.0 } },
};

}  // namespace

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
    float centre[max_grid_axes] = {};
    float inverse_half[max_grid_axes] = {};
    int cells_along[max_grid_axes] = {};
    // Boundaries of each axis's cells in fine steps, and the cell of each step.
    int boundary[max_grid_axes][fine_steps + 1] = {};
    uint8_t cell_of_step[max_grid_axes][fine_steps] = {};
    int inner_cells = 0;
    int outer_base = 0;     // the first cell outside the box
    int farthest_cell = 0;  // beyond the last shell, and the last cell
};

// The entries that may be nearest to a value in the cell, by rising lower
// bound (ties by index): their bounds, indices and colours, padded to whole
// batches with entries that can never win. A cell where one entry beats all
// others everywhere names it, and the search needs no arithmetic there.
struct nearest_color_finder::cell {
    std::atomic<int> state{ cell_empty };
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

namespace {

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

float error_by_code(const plan_t &p, const float *v, int k)
{
    double d[max_working_channels];
    weigh_exactly(p, v, k, d);
    return static_cast<float>(metrics[p.metric].on_doubles(d, p.channels));
}

// The smallest and the largest |v - p| over v in [lo, hi], rounded as the
// search rounds v - p: rounding is monotone, so no v in the interval gives a
// difference outside them.
inline float least_difference(float lo, float hi, float p)
{
    if (p < lo)
        return lo - p;
    if (p > hi)
        return p - hi;
    return 0.0f;
}

inline float greatest_difference(float lo, float hi, float p)
{
    return std::max(std::fabs(lo - p), std::fabs(hi - p));
}

// The metric of entry k on the smallest (or the largest) differences the box
// allows in the grid channels. Written entries outside the grid count 0 for
// the lower bound. Every step is monotone in the differences, so the lower
// bound never exceeds the error of any value in the box, nor the upper bound
// falls below it.
float bound_in_box(const plan_t &p, const float *lo, const float *hi, int k, bool upper)
{
    double d[max_working_channels];
    for (int e = 0; e < p.entries; ++e) {
        if (p.kind[e] == plan_t::constant) {
            d[e] = p.constant_value[e];
        } else if (e < p.axes) {
            float difference = upper ? greatest_difference(lo[e], hi[e], p.pal[e][k])
                                     : least_difference(lo[e], hi[e], p.pal[e][k]);
            d[e] = weighted(difference, p.weight[e]);
        } else {
            d[e] = 0.0;
        }
    }
    return static_cast<float>(metrics[p.metric].on_doubles(d, p.channels));
}

// The exact sum of squares that the plain search's error of entry k rounds,
// at a point of the working space (grid channels first, in double).
double squares_at(const plan_t &p, const double *point, int k)
{
    double sum = 0.0;
    for (int e = 0; e < p.entries; ++e) {
        const double d = p.kind[e] == plan_t::constant ? p.constant_value[e] : p.weight[e] * (point[e] - p.pal[e][k]);
        sum += p.square_factor[e] * (d * d);
    }
    return sum;
}

// Whether entry j beats entry k everywhere in the convex region with these
// corners. Less the reach of the rounding, the one's error less the other's
// is a concave function of the value (the squares cancel but for the
// rounding's own), so it is least at a corner.
bool beaten_everywhere(const double *corner_squares_k, const double *corner_squares_j, int corners)
{
    for (int i = 0; i < corners; ++i) {
        const double k = corner_squares_k[i], j = corner_squares_j[i];
        if (!((1.0 - rounding_reach) * k - (1.0 + rounding_reach) * j > rounding_floor))
            return false;
    }
    return true;
}

// The vectors of a vector unit: sixteen floats for AVX-512, eight for AVX2,
// four for anything else.
template <int lanes>
struct vectors;

template <>
struct vectors<16> {
    typedef float floats __attribute__((vector_size(64)));
    typedef int32_t ints __attribute__((vector_size(64)));
};

template <>
struct vectors<8> {
    typedef float floats __attribute__((vector_size(32)));
    typedef int32_t ints __attribute__((vector_size(32)));
};

template <>
struct vectors<4> {
    typedef float floats __attribute__((vector_size(16)));
    typedef int32_t ints __attribute__((vector_size(16)));
};

template <>
struct vectors<2> {
    typedef float floats __attribute__((vector_size(8)));
    typedef int32_t ints __attribute__((vector_size(8)));
};

// As many doubles as a vector of floats has lanes, for the exact arithmetic:
// eight in the widest registers.
template <int lanes>
struct exact_vectors {
    typedef double doubles __attribute__((vector_size(lanes * sizeof(double))));
};

// The search first sizes the error of a whole vector of candidates roughly, in
// float, then settles the few whose rough error lies near the least with the
// exact arithmetic. Every entry of the per-channel error and every term of a
// metric is a product of at most five non-negative factors, and the terms are
// only ever added, so the float result lies within a relative 30 units of the
// last place (about 2e-6) of the exact one, plus an absolute amount far below
// 1e-38 where values leave the normal range. The margin allowed for it is some
// five times larger.
constexpr float rough_margin = 1e-5f;
constexpr float rough_floor = 1e-35f;

// The most the exact error can be, given the rough one, and the other way
// round: both are the same widening.
inline float widened(float rough)
{
    return rough * (1.0f + rough_margin) + rough_floor;
}

// Above this the exact search decides: the plain search refuses errors from
// 1e18 on, and rough errors may overflow where exact ones do not.
constexpr float rough_limit = 1e17f;

// The rough per-channel error of a vector of candidates. With plain, every
// entry read is |v - pal|, as under the default weighting.
template <int lanes, int entries, bool plain>
__attribute__((always_inline)) inline void weigh_batch(const plan_t &p, const cell_t &c, int i, const float *v,
                                                       typename vectors<lanes>::floats *d)
{
    using floats = typename vectors<lanes>::floats;
    using ints = typename vectors<lanes>::ints;
    for (int e = 0; e < entries; ++e) {
        if (!plain && p.kind[e] == plan_t::constant) {
            d[e] = floats{} + p.constant_value[e];
            continue;
        }
        floats colour;
        std::memcpy(&colour, c.colour(e) + i, sizeof colour);
        const floats magnitude = (floats)((ints)(v[e] - colour) & 0x7fffffff);
        d[e] = !plain && p.kind[e] == plan_t::weighted_difference ? p.float_weight[e] * magnitude : magnitude;
    }
}

// Each lane paired with the lane `step` away, and each lane's own bit: the
// halving steps of the reductions below.
template <int step, typename vector, size_t... lane>
__attribute__((always_inline)) inline vector with_partners(vector x, std::index_sequence<lane...>)
{
    return __builtin_shufflevector(x, x, static_cast<int>(lane ^ step)...);
}

template <int lanes, size_t... lane>
__attribute__((always_inline)) inline typename vectors<lanes>::ints lane_bits(std::index_sequence<lane...>)
{
    return typename vectors<lanes>::ints{ static_cast<int32_t>(1u << lane)... };
}

// Every lane the smallest of them all.
template <int lanes, int step = lanes / 2>
__attribute__((always_inline)) inline typename vectors<lanes>::floats smallest_everywhere(
    typename vectors<lanes>::floats x)
{
    if constexpr (step == 0) {
        return x;
    } else {
        const auto y = with_partners<step>(x, std::make_index_sequence<lanes>{});
        return smallest_everywhere<lanes, step / 2>(x < y ? x : y);
    }
}

// Every lane all the lanes' bits.
template <int lanes, int step = lanes / 2>
__attribute__((always_inline)) inline typename vectors<lanes>::ints joined_everywhere(
    typename vectors<lanes>::ints x)
{
    if constexpr (step == 0)
        return x;
    else
        return joined_everywhere<lanes, step / 2>(x | with_partners<step>(x, std::make_index_sequence<lanes>{}));
}

// GCC inlines these into the searches built for each unit; clang refuses to
// pass a wide vector to them from a function not built for that unit, and
// takes the generic mask instead, which gives the same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TESSALY_VECTOR_MASKS 1
__attribute__((target("avx512f"))) inline uint32_t mask_at_most_16(vectors<16>::floats x, float limit)
{
    return _mm512_cmp_ps_mask(x, _mm512_set1_ps(limit), _CMP_LE_OQ);
}

__attribute__((target("avx"))) inline uint32_t mask_at_most_8(vectors<8>::floats x, float limit)
{
    return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(x, _mm256_set1_ps(limit), _CMP_LE_OQ)));
}
#endif

// The smallest lane; a non-number is never the smallest.
template <int lanes>
__attribute__((always_inline)) inline float smallest_lane(typename vectors<lanes>::floats x)
{
    return smallest_everywhere<lanes>(x == x ? x : infinity)[0];
}

// Bit j set where lane j is at most the limit (a non-number never is): the
// mask of a vector compare where the unit has one.
template <int lanes>
__attribute__((always_inline)) inline uint32_t lanes_at_most(typename vectors<lanes>::floats x, float limit)
{
#ifdef TESSALY_VECTOR_MASKS
    if constexpr (lanes == 16)
        return mask_at_most_16(x, limit);
    if constexpr (lanes == 8)
        return mask_at_most_8(x, limit);
    if constexpr (lanes == 4)
        return static_cast<uint32_t>(_mm_movemask_ps(_mm_cmple_ps(x, _mm_set1_ps(limit))));
#endif
    const auto bits = (x <= limit) & lane_bits<lanes>(std::make_index_sequence<lanes>{});
    return static_cast<uint32_t>(joined_everywhere<lanes>(bits)[0]);
}

constexpr int unsettled = -2;

// Tries the cell's entries by rising bound, a vector at a time, until the
// next bound passes what the least rough error allows the exact least to be:
// no entry from there on can win or tie. Then settles exactly, lowest index
// on ties, every entry tried whose rough error could hide the exact least.
template <int lanes, int metric, int entries, bool plain>
__attribute__((always_inline)) inline int search_batches(const plan_t &p, const cell_t &c, const float *v)
{
    using floats = typename vectors<lanes>::floats;
    floats rough[palette_entries / lanes];
    float batch_least[palette_entries / lanes];
    float least = infinity;
    int tried = 0;
    for (int i = 0; i < c.count && !(c.bound()[i] > widened(least)); i += lanes, ++tried) {
        floats d[entries];
        weigh_batch<lanes, entries, plain>(p, c, i, v, d);
        // Metrics 0 and 1 run over the used channels, which are the entries
        // they read; the others ignore the count.
        rough[tried] = metric_of<metric>(d, entries);
        batch_least[tried] = smallest_lane<lanes>(rough[tried]);
        least = std::min(least, batch_least[tried]);
    }
    if (!(least <= rough_limit))
        return unsettled;

    // An entry whose rough error passes this is beaten by the entry of the
    // least rough error, whatever their exact errors.
    const float reach = widened(widened(least));
    int candidates = 0, only = -1;
    float best = no_error_yet;
    int best_entry = -1;
    for (int b = 0; b < tried; ++b) {
        if (!(batch_least[b] <= reach))
            continue;
        for (uint32_t mask = lanes_at_most<lanes>(rough[b], reach); mask != 0; mask &= mask - 1) {
            const int k = c.entry()[b * lanes + __builtin_ctz(mask)];
            if (++candidates == 1) {
                // Alone within reach, it wins without being settled.
                only = k;
                continue;
            }
            if (candidates == 2) {
                best = error_of<metric>(p, v, only);
                best_entry = only;
            }
            const float e = error_of<metric>(p, v, k);
            if (e < best || (e == best && k < best_entry)) {
                best = e;
                best_entry = k;
            }
        }
    }
    return candidates == 1 ? only : best_entry;
}

// The per-channel error of a vector of candidates exactly as the plain
// search forms it, widened to double: |v - pal| in float, the weighted ones
// multiplied in double and rounded to float once.
template <int lanes, int entries, bool plain>
__attribute__((always_inline)) inline void weigh_exactly_batch(const plan_t &p, const cell_t &c, int i, const float *v,
                                                               typename exact_vectors<lanes>::doubles *d)
{
    using floats = typename vectors<lanes>::floats;
    using ints = typename vectors<lanes>::ints;
    using doubles = typename exact_vectors<lanes>::doubles;
    for (int e = 0; e < entries; ++e) {
        if (!plain && p.kind[e] == plan_t::constant) {
            d[e] = doubles{} + static_cast<double>(p.constant_value[e]);
            continue;
        }
        floats colour;
        std::memcpy(&colour, c.colour(e) + i, sizeof colour);
        const floats magnitude = (floats)((ints)(v[e] - colour) & 0x7fffffff);
        d[e] = __builtin_convertvector(magnitude, doubles);
        if (!plain && p.kind[e] == plan_t::weighted_difference)
            d[e] = __builtin_convertvector(__builtin_convertvector(p.weight[e] * d[e], floats), doubles);
    }
}

// The search of a palette of a few colours: every entry of the list (the
// palette's colours in index order) with the plain search's arithmetic, a
// vector at a time, so that nothing is left to settle. The least error wins
// if it is below the search's starting value, the first lane of it (the
// lowest index) on ties; an error that is not a number never wins.
template <int lanes, int metric, int entries, bool plain>
__attribute__((always_inline)) inline int search_few(const plan_t &p, const cell_t &c, const float *v)
{
    using floats = typename vectors<lanes>::floats;
    float best = no_error_yet;
    int best_entry = -1;
    for (int i = 0; i < c.kept; i += lanes) {
        typename exact_vectors<lanes>::doubles d[entries];
        weigh_exactly_batch<lanes, entries, plain>(p, c, i, v, d);
        const floats error = __builtin_convertvector(metric_of<metric>(d, entries), floats);
        const float least = smallest_lane<lanes>(error);
        if (least < best) {
            best = least;
            best_entry = c.entry()[i + __builtin_ctz(lanes_at_most<lanes>(error, least))];
        }
    }
    return best_entry;
}

// The metric, the number of entries it reads and whether they are all plain
// differences fix the shape of the search, and whether it walks a cell's
// list by its bounds or tries a few colours exactly; the widest vector unit
// of the machine runs it.
template <int metric, int entries, bool plain, bool few>
int search_generic(const plan_t &p, const cell_t &c, const float *v)
{
    if constexpr (few)
        return search_few<2, metric, entries, plain>(p, c, v);
    else
        return search_batches<4, metric, entries, plain>(p, c, v);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <int metric, int entries, bool plain, bool few>
__attribute__((target("avx2"))) int search_avx2(const plan_t &p, const cell_t &c, const float *v)
{
    if constexpr (few)
        return search_few<4, metric, entries, plain>(p, c, v);
    else
        return search_batches<8, metric, entries, plain>(p, c, v);
}

template <int metric, int entries, bool plain, bool few>
__attribute__((target("avx512f,avx512dq"))) int search_avx512(const plan_t &p, const cell_t &c, const float *v)
{
    if constexpr (few)
        return search_few<8, metric, entries, plain>(p, c, v);
    else
        return search_batches<16, metric, entries, plain>(p, c, v);
}
#endif

using batch_search = int (*)(const plan_t &, const cell_t &, const float *);

template <int metric, int entries, bool plain, bool few>
batch_search widest_search()
{
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
        return search_avx512<metric, entries, plain, few>;
    if (__builtin_cpu_supports("avx2"))
        return search_avx2<metric, entries, plain, few>;
#endif
    return search_generic<metric, entries, plain, few>;
}

// Every metric with the number of entries it reads in some colour space:
// metrics 0 and 1 read the used channels (3, 4, 6 or 7), the others a fixed
// number. A pair missing here leaves the file to the exhaustive search, which
// a test makes sure no colour space reaches.
struct search_row {
    int metric, entries;
    // By the kinds of the entries (every kind, or every one a plain
    // difference) and by few: the search of a few colours.
    batch_search (*search[2][2])();
};

template <int metric, int entries>
constexpr search_row row_of()
{
    return { metric, entries,
             { { widest_search<metric, entries, false, false>, widest_search<metric, entries, false, true> },
               { widest_search<metric, entries, true, false>, widest_search<metric, entries, true, true> } } };
}

const search_row searches[] = {
    row_of<0, 3>(), row_of<0, 4>(), row_of<0, 6>(), row_of<0, 7>(), row_of<1, 3>(), row_of<1, 4>(),
    row_of<1, 6>(), row_of<1, 7>(), row_of<2, 3>(), row_of<3, 3>(), row_of<4, 3>(), row_of<5, 4>(),
};

batch_search search_for(int metric, int entries, bool plain, bool few)
{
    for (const search_row &row : searches)
        if (row.metric == metric && row.entries == entries)
            return row.search[plain][few]();
    return nullptr;
}

// The float whose bits are those of x, and back.
inline uint32_t bits_of(float x)
{
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

// Where shell i of the outside starts, in box halves from the centre: the
// shells cut each doubling of the distance evenly, as the float's leading
// mantissa bits do.
double shell_start(int i)
{
    return std::ldexp(1.0 + static_cast<double>(i % shells_per_octave) / shells_per_octave, i / shells_per_octave);
}

// The step of u on an axis, clamped to the table.
inline int fine_step(float u)
{
    const float t = (u + 1.0f) * (fine_steps / 2);
    if (!(t > 0.0f))
        return 0;
    if (t >= fine_steps - 1)
        return fine_steps - 1;
    return static_cast<int>(t);
}

// u of a boundary given in fine steps.
inline double step_position(int step)
{
    return -1.0 + static_cast<double>(step) / (fine_steps / 2);
}

// Sets the boundaries of one axis from its list of fine steps (rising, first
// 0, last fine_steps) and fills the table of steps.
void set_boundaries(plan_t &p, int axis, const std::vector<int> &steps)
{
    p.cells_along[axis] = static_cast<int>(steps.size()) - 1;
    for (size_t i = 0; i < steps.size(); ++i)
        p.boundary[axis][i] = steps[i];
    for (int i = 0; i + 1 < static_cast<int>(steps.size()); ++i)
        for (int step = steps[i]; step < steps[i + 1]; ++step)
            p.cell_of_step[axis][step] = static_cast<uint8_t>(i);
}

// Cells that follow the palette: one for the padding below its least value,
// quantile_cells between its least and greatest value with as many entries in
// each, one for the padding above.
std::vector<int> quantile_boundaries(const plan_t &p, const float *plane, float centre, float inverse_half)
{
    float u[palette_entries];
    const int count = p.candidate_count;
    for (int i = 0; i < count; ++i)
        u[i] = (plane[p.candidates[i]] - centre) * inverse_half;
    std::sort(u, u + count);
    std::vector<int> steps{ 0 };
    auto add = [&](double position) {
        const int step = std::clamp(static_cast<int>((position + 1.0) * (fine_steps / 2)), 1, fine_steps - 1);
        if (step > steps.back())
            steps.push_back(step);
    };
    add(u[0]);
    for (int i = 1; i < quantile_cells; ++i)
        add(u[i * count / quantile_cells]);
    add(u[count - 1] + 1.0 / (fine_steps / 2));
    steps.push_back(fine_steps);
    return steps;
}

std::vector<int> even_boundaries(int cells)
{
    std::vector<int> steps;
    for (int i = 0; i <= cells; ++i)
        steps.push_back(i * fine_steps / cells);
    return steps;
}

// The first entry of each colour the search tells apart, by the entries of
// the per-channel error that it reads. Colours that are not numbers are
// never the same, so every such entry stays.
void list_candidates(plan_t &p)
{
    p.candidate_count = 0;
    for (int k = 0; k < palette_entries; ++k) {
        bool copy = false;
        for (int i = 0; i < p.candidate_count && !copy; ++i) {
            const int j = p.candidates[i];
            copy = true;
            for (int e = 0; e < p.entries && copy; ++e)
                copy = p.kind[e] == plan_t::constant || p.pal[e][j] == p.pal[e][k];
        }
        if (!copy)
            p.candidates[p.candidate_count++] = k;
    }
}

// Fills a cell's list with the entries of order, tried in that order, and
// their lower bounds. Padding: a bound of infinity ends the search, and a
// colour that is not a number gives an error that never wins.
void fill_list(const plan_t &p, cell_t &c, const int *order, const float *lower, int kept)
{
    const int count = (kept + batch - 1) / batch * batch;
    c.planes = static_cast<int8_t>(std::max(p.entries, 1));
    const size_t floats = static_cast<size_t>(count) * (c.planes + 1);
    c.list = std::make_unique<float[]>(floats + (count + sizeof(float) - 1) / sizeof(float));
    c.count = static_cast<int16_t>(count);
    c.kept = static_cast<int16_t>(kept);
    float *bound = c.list.get();
    uint8_t *entry = reinterpret_cast<uint8_t *>(c.list.get() + floats);
    for (int i = 0; i < count; ++i) {
        const bool real = i < kept;
        bound[i] = real ? lower[order[i]] : infinity;
        entry[i] = static_cast<uint8_t>(real ? order[i] : 0);
        for (int e = 0; e < p.entries; ++e)
            c.list[static_cast<size_t>(e + 1) * count + i] =
                real ? p.pal[e][order[i]] : std::numeric_limits<float>::quiet_NaN();
    }
}

}  // namespace

nearest_color_finder::nearest_color_finder(int weighting_code, int metric_code) : plan_(std::make_unique<plan>())
{
    plan &p = *plan_;
    p.oklab = matching_in_oklab();
    if (p.oklab) {
        weighting_code = weighting_111;
        metric_code = metric_pow2;
    }
    p.metric = checked_code(metric_code, metric_count);
    p.channels = p.oklab ? 3 : channels_used;
    p.entries = metric_entries(p.metric, p.channels);
    p.weighting = &weightings[checked_code(weighting_code, weighting_count)];
    p.axes = grid_axes_for(p.channels);
    bool written[max_working_channels] = {};
    if (p.weighting->count == 0) {
        for (int c = 0; c < p.channels; ++c) {
            written[c] = true;
            p.weight[c] = 1.0;
        }
    } else {
        for (int i = 0; i < p.weighting->count; ++i) {
            written[p.weighting->channels[i].channel] = true;
            p.weight[p.weighting->channels[i].channel] = p.weighting->channels[i].weight;
        }
    }
    bool grid_channels_only = true;
    for (int e = 0; e < max_working_channels; ++e) {
        if (!written[e]) {
            p.kind[e] = plan_t::constant;
            p.constant_value[e] = dither_quant_error_ch[e];
        } else if (e >= p.channels) {
            p.kind[e] = plan_t::constant;
            p.constant_value[e] = weighted(0.0f, p.weight[e]);
        } else {
            p.kind[e] = p.weight[e] == 1.0 ? plan_t::difference : plan_t::weighted_difference;
        }
        p.float_weight[e] = static_cast<float>(p.weight[e]);
        if (e < p.entries && p.kind[e] == plan_t::constant && !std::isfinite(p.constant_value[e]))
            p.usable = false;
        if (e < p.entries && p.kind[e] != plan_t::constant && e >= p.axes)
            grid_channels_only = false;
    }
    p.bounded_above = grid_channels_only;
    std::memcpy(p.pal, p.oklab ? pal_oklab : pal_ch, sizeof p.pal);
    list_candidates(p);

    for (const squares_row &row : squares_metrics)
        if (row.metric == p.metric && p.axes == 3 && grid_channels_only && p.entries <= 4) {
            p.squares = true;
            std::copy(row.factor, row.factor + 4, p.square_factor);
        }

    p.inner_cells = 1;
    for (int axis = 0; axis < p.axes; ++axis) {
        const float *plane = p.pal[axis];
        float low = *std::min_element(plane, plane + palette_entries);
        float high = *std::max_element(plane, plane + palette_entries);
        if (!std::isfinite(low) || !std::isfinite(high))
            p.usable = false;
        if (!(high - low > 1e-6f)) {
            low -= 0.5f;
            high += 0.5f;
        }
        const float half = (high - low) / 2 * (p.squares ? 1.0f + 2 * padding : 1.0f);
        p.centre[axis] = low + (high - low) / 2;
        p.inverse_half[axis] = 1.0f / half;
        set_boundaries(p, axis, p.squares ? quantile_boundaries(p, plane, p.centre[axis], p.inverse_half[axis])
                                          : even_boundaries(even_cells_for(p.axes)));
        p.inner_cells *= p.cells_along[axis];
    }
    p.outer_base = p.inner_cells;
    p.farthest_cell = p.outer_base + (p.squares ? outer_cell_count : 0);
    bool plain = true;
    for (int e = 0; e < p.entries; ++e)
        plain = plain && p.kind[e] == plan_t::difference;
    const bool few = p.candidate_count <= few_candidates;
    search_ = search_for(p.metric, p.entries, plain, few);
    if (few) {
        // A few entries are all tried wherever the value is, however far out
        // the diffusion has carried it: no cells.
        few_ = std::make_unique<cell>();
        float lower[palette_entries] = {};
        fill_list(p, *few_, p.candidates, lower, p.candidate_count);
        few_->state.store(cell_ready, std::memory_order_relaxed);
    } else {
        cells_ = std::make_unique<cell[]>(p.farthest_cell + 1);
    }
}

nearest_color_finder::~nearest_color_finder() = default;

bool nearest_color_finder::searches_by_cells() const
{
    return search_ != nullptr;
}

namespace {

// The point of the working space at u.
inline double at_u(const plan_t &p, int axis, double u)
{
    return p.centre[axis] + u / p.inverse_half[axis];
}

// A top cell's place. Inside the box its range of u, from the boundaries;
// outside, its patch of a face and its shell.
void place_top_cell(const plan_t &p, cell_t &c, int index)
{
    if (index < p.outer_base) {
        for (int axis = p.axes - 1, rest = index; axis >= 0; --axis) {
            const int i = rest % p.cells_along[axis];
            rest /= p.cells_along[axis];
            c.low[axis] = static_cast<float>(step_position(p.boundary[axis][i]));
            c.high[axis] = static_cast<float>(step_position(p.boundary[axis][i + 1]));
        }
        return;
    }
    int rest = index - p.outer_base;
    const int shell = rest % shells;
    rest /= shells;
    const int ib = rest % face_cells;
    rest /= face_cells;
    const int ia = rest % face_cells;
    c.side = rest / face_cells;
    const float patch = 2.0f / face_cells;
    c.low[0] = -1.0f + ia * patch;
    c.high[0] = -1.0f + (ia + 1) * patch;
    c.low[1] = -1.0f + ib * patch;
    c.high[1] = -1.0f + (ib + 1) * patch;
    c.low[2] = static_cast<float>(shell_start(shell));
    c.high[2] = static_cast<float>(shell_start(shell + 1));
}

// The corners of a cell of squared distances in the working space, its place
// widened by the slack. Outside the box the cell is the convex set { s u[f]
// in [r0, r1], u[a] / |u[f]| in [a0, a1], u[b] / |u[f]| in [b0, b1] }, whose
// corners are r (s e_f + a e_a + b e_b).
void corners_of(const plan_t &p, const cell_t &c, double corner[8][3])
{
    double lo[3], hi[3];
    for (int i = 0; i < 3; ++i) {
        const double size = static_cast<double>(c.high[i]) - c.low[i];
        const double slack = cell_slack * size + (c.side >= 0 && i == 2 ? place_slack * c.high[i] : place_slack);
        lo[i] = c.low[i] - slack;
        hi[i] = c.high[i] + slack;
    }
    for (int k = 0; k < 8; ++k) {
        double u[3];
        if (c.side < 0) {
            for (int axis = 0; axis < 3; ++axis)
                u[axis] = (k >> axis & 1) ? hi[axis] : lo[axis];
        } else {
            const int face = c.side / 2;
            const double distance = (k >> 2 & 1) ? hi[2] : lo[2];
            u[face] = (c.side % 2 ? -1.0 : 1.0) * distance;
            u[(face + 1) % 3] = ((k & 1) ? hi[0] : lo[0]) * distance;
            u[(face + 2) % 3] = ((k >> 1 & 1) ? hi[1] : lo[1]) * distance;
        }
        for (int axis = 0; axis < 3; ++axis)
            corner[k][axis] = at_u(p, axis, u[axis]);
    }
}

// The box of an evenly cut grid's cell; its outer cells reach to infinity.
void even_box(const plan_t &p, int index, float *lo, float *hi)
{
    for (int axis = p.axes - 1, rest = index; axis >= 0; --axis) {
        const int i = rest % p.cells_along[axis];
        rest /= p.cells_along[axis];
        const double slack = cell_slack * (step_position(p.boundary[axis][i + 1]) - step_position(p.boundary[axis][i]));
        lo[axis] = i == 0 ? -infinity : static_cast<float>(at_u(p, axis, step_position(p.boundary[axis][i]) - slack));
        hi[axis] = i == p.cells_along[axis] - 1
                       ? infinity
                       : static_cast<float>(at_u(p, axis, step_position(p.boundary[axis][i + 1]) + slack));
    }
}

// The sum of squares of entry k at its nearest and its farthest from a box,
// exact in double.
void squares_in_box(const plan_t &p, const double *lo, const double *hi, int k, double &least, double &most)
{
    least = most = 0.0;
    for (int e = 0; e < p.entries; ++e) {
        double near = 0.0, far = 0.0;
        if (p.kind[e] == plan_t::constant) {
            near = far = p.constant_value[e];
        } else {
            const double colour = p.pal[e][k];
            near = p.weight[e] * (colour < lo[e] ? lo[e] - colour : colour > hi[e] ? colour - hi[e] : 0.0);
            far = p.weight[e] * std::max(std::fabs(lo[e] - colour), std::fabs(hi[e] - colour));
        }
        least += p.square_factor[e] * (near * near);
        most += p.square_factor[e] * (far * far);
    }
}

// A float no greater than x.
inline float float_below(double x)
{
    const float f = static_cast<float>(x);
    return f > x ? std::nextafter(f, -infinity) : f;
}

// The list of a cell of squared distances, from the entries its parent kept
// (or all): each entry's error anywhere in the cell lies within the rounding's
// reach of its sum of squares, which is least and greatest at the box around
// the corners, and greatest at a corner. Entries whose least passes some
// entry's greatest are left out, and so is every entry that one of the
// challengers beats everywhere. Returns how many are kept in order, with
// their lower bounds in lower.
int squares_list(const plan_t &p, const cell_t &c, const int32_t *universe, int universe_count, int *order,
                 float *lower, bool &alone)
{
    double corner[8][3];
    corners_of(p, c, corner);
    double lo[3], hi[3];
    for (int axis = 0; axis < 3; ++axis) {
        lo[axis] = hi[axis] = corner[0][axis];
        for (const auto &point : corner) {
            lo[axis] = std::min(lo[axis], point[axis]);
            hi[axis] = std::max(hi[axis], point[axis]);
        }
    }
    double least[palette_entries], greatest[palette_entries];
    double cutoff = HUGE_VAL;
    for (int i = 0; i < universe_count; ++i) {
        const int k = universe[i];
        squares_in_box(p, lo, hi, k, least[k], greatest[k]);
        cutoff = std::min(cutoff, greatest[k]);
    }
    cutoff = (1.0 + rounding_reach) * cutoff + rounding_floor;
    int kept = 0;
    static thread_local double corner_squares[palette_entries][8];
    for (int i = 0; i < universe_count; ++i) {
        const int k = universe[i];
        if ((1.0 - rounding_reach) * least[k] - rounding_floor > cutoff)
            continue;
        order[kept++] = k;
        greatest[k] = 0.0;
        for (int j = 0; j < 8; ++j) {
            corner_squares[k][j] = squares_at(p, corner[j], k);
            greatest[k] = std::max(greatest[k], corner_squares[k][j]);
        }
    }
    int challenger[challengers];
    const int challenger_count = std::min(kept, challengers);
    std::partial_sort_copy(order, order + kept, challenger, challenger + challenger_count,
                           [&](int a, int b) { return greatest[a] < greatest[b]; });
    int survivors = 0;
    for (int i = 0; i < kept; ++i) {
        const int k = order[i];
        bool beaten = false;
        for (int j = 0; j < challenger_count && !beaten; ++j)
            beaten = challenger[j] != k && beaten_everywhere(corner_squares[k], corner_squares[challenger[j]], 8);
        if (!beaten)
            order[survivors++] = k;
    }
    for (int i = 0; i < survivors; ++i)
        lower[order[i]] = float_below(std::max(0.0, (1.0 - rounding_reach) * least[order[i]] - rounding_floor));
    // A lone entry wins everywhere in the cell when its error there stays far
    // below the search's starting value.
    alone = survivors == 1 && greatest[order[0]] < 1e16;
    return survivors;
}

// The list of any other cell, from every entry, by the bounds of its box.
int box_list(const plan_t &p, const float *lo, const float *hi, int *order, float *lower)
{
    bool finite = true;
    for (int axis = 0; axis < p.axes; ++axis)
        finite = finite && std::isfinite(lo[axis]) && std::isfinite(hi[axis]);
    for (int i = 0; i < p.candidate_count; ++i)
        lower[p.candidates[i]] = bound_in_box(p, lo, hi, p.candidates[i], false);
    // No error anywhere in a bounded cell exceeds the smallest upper bound, so
    // entries whose lower bound passes it are never needed.
    float cutoff = infinity;
    if (finite && p.bounded_above) {
        for (int i = 0; i < p.candidate_count; ++i)
            cutoff = std::min(cutoff, bound_in_box(p, lo, hi, p.candidates[i], true));
    }
    int kept = 0;
    for (int i = 0; i < p.candidate_count; ++i)
        if (lower[p.candidates[i]] <= cutoff)
            order[kept++] = p.candidates[i];
    return kept;
}

}  // namespace

// The top cell of a value, and its coordinates there: u inside the box, the
// two ratios and the distance outside it.
int nearest_color_finder::top_cell(const float *v, float *q) const
{
    const plan &p = *plan_;
    if (!p.squares) {
        int index = 0;
        for (int axis = 0; axis < p.axes; ++axis)
            index = index * p.cells_along[axis] +
                    p.cell_of_step[axis][fine_step((v[axis] - p.centre[axis]) * p.inverse_half[axis])];
        return index;
    }
    const float u[3] = { (v[0] - p.centre[0]) * p.inverse_half[0], (v[1] - p.centre[1]) * p.inverse_half[1],
                         (v[2] - p.centre[2]) * p.inverse_half[2] };
    const float out[3] = { std::fabs(u[0]), std::fabs(u[1]), std::fabs(u[2]) };
    if (out[0] < 1.0f && out[1] < 1.0f && out[2] < 1.0f) {
        // Inside the box no step passes the table's end but by rounding.
        auto cell_along = [&](int axis) {
            const int step = static_cast<int>((u[axis] + 1.0f) * (fine_steps / 2));
            return p.cell_of_step[axis][std::min(step, fine_steps - 1)];
        };
        q[0] = u[0];
        q[1] = u[1];
        q[2] = u[2];
        return (cell_along(0) * p.cells_along[1] + cell_along(1)) * p.cells_along[2] + cell_along(2);
    }
    // Outside the box: the face is that of the axis farthest out. Values that
    // are not numbers, infinite or beyond the last shell go to the cell that
    // holds every entry.
    const int face = out[1] > out[0] ? (out[2] > out[1] ? 2 : 1) : (out[2] > out[0] ? 2 : 0);
    const int a = face == 2 ? 0 : face + 1, b = face == 0 ? 2 : face == 1 ? 0 : 1;
    const float distance = out[face];
    if (!(distance < farthest_shell && out[a] <= distance && out[b] <= distance))
        return p.farthest_cell;
    q[0] = u[a] / distance;
    q[1] = u[b] / distance;
    q[2] = distance;
    const int shell = static_cast<int>((bits_of(distance) - bits_of(1.0f)) >> (23 - shell_bits));
    auto patch = [](float ratio) {
        return std::min(static_cast<int>((ratio + 1.0f) * (face_cells / 2)), face_cells - 1);
    };
    const int side = face * 2 + (u[face] < 0.0f ? 1 : 0);
    return p.outer_base + ((side * face_cells + patch(q[0])) * face_cells + patch(q[1])) * shells + shell;
}

void nearest_color_finder::build_cell(cell &c, int index, const cell *parent) const
{
    const plan &p = *plan_;
    int order[palette_entries];
    float lower[palette_entries];
    int kept;
    bool alone = false;
    if (p.squares && index != p.farthest_cell) {
        if (!parent)
            place_top_cell(p, c, index);
        int32_t all[palette_entries];
        for (int i = 0; i < p.candidate_count; ++i)
            all[i] = p.candidates[i];
        if (parent) {
            for (int i = 0; i < parent->kept; ++i)
                all[i] = parent->entry()[i];
        }
        kept = squares_list(p, c, all, parent ? parent->kept : p.candidate_count, order, lower, alone);
    } else {
        float lo[max_grid_axes], hi[max_grid_axes];
        if (index == p.farthest_cell) {
            std::fill(lo, lo + max_grid_axes, -infinity);
            std::fill(hi, hi + max_grid_axes, infinity);
        } else {
            even_box(p, index, lo, hi);
        }
        kept = box_list(p, lo, hi, order, lower);
    }
    std::stable_sort(order, order + kept, [&](int a, int b) { return lower[a] < lower[b]; });
    fill_list(p, c, order, lower, kept);
    c.only = static_cast<int16_t>(alone ? order[0] : -1);

    // A cut that left a child more than half the list of its parent is not
    // repeated below it: where the metric weighs a channel little (blue under
    // -q 721) the entries that differ in it stay in every part, and cells cut
    // down to the deepest level would cost more to build than they save.
    const bool cut_paid = !parent || 2 * kept <= parent->kept;
    if (p.squares && index != p.farthest_cell && kept > split_above && c.depth < deepest && cut_paid) {
        auto children = std::make_unique<cell[]>(8);
        for (int i = 0; i < 8; ++i) {
            cell &child = children[i];
            child.side = c.side;
            child.depth = static_cast<int8_t>(c.depth + 1);
            for (int axis = 0; axis < 3; ++axis) {
                child.low[axis] = (i >> axis & 1) ? c.cut(axis) : c.low[axis];
                child.high[axis] = (i >> axis & 1) ? c.high[axis] : c.cut(axis);
            }
        }
        c.children = std::move(children);
    }
}

// Makes the cell ready; false when the value must take the long way, the
// cell being filled by another thread or its list finding no room.
bool nearest_color_finder::ready(cell &c, int index, const cell *parent) const
{
    int expected = cell_empty;
    if (!c.state.compare_exchange_strong(expected, cell_building, std::memory_order_acq_rel))
        return expected == cell_ready;
    try {
        build_cell(c, index, parent);
    } catch (const std::bad_alloc &) {
        // This pixel, and the next one to land here, take the long way.
        c.state.store(cell_empty, std::memory_order_release);
        return false;
    }
    c.state.store(cell_ready, std::memory_order_release);
    return true;
}

namespace {

// The values a plan compares: v itself, or its OkLab in room.
inline const float *matched(const plan_t &p, const float *v, float *room)
{
    if (!p.oklab)
        return v;
    working_to_oklab(v, room);
    return room;
}

// Every entry tried in index order, on values already matched.
int exhaustive_search(const plan_t &p, const float *v)
{
    float best = no_error_yet;
    int best_entry = -1;
    for (int i = 0; i < p.candidate_count; ++i) {
        const int k = p.candidates[i];
        float e = error_by_code(p, v, k);
        if (e < best) {
            best = e;
            best_entry = k;
        }
    }
    return best_entry;
}

}  // namespace

int nearest_color_finder::find(const float *v) const
{
    const plan &p = *plan_;
    float room[max_working_channels];
    v = matched(p, v, room);
    if (!p.usable || !search_)
        return exhaustive_search(p, v);
    if (few_)
        return search_(p, *few_, v);
    // Values that are not numbers or infinite end in a cell that holds every
    // entry, where the rough errors leave them unsettled.
    float q[3] = {};
    const int index = top_cell(v, q);
    cell *c = &cells_[index];
    const cell *parent = nullptr;
    for (;;) {
        if (c->state.load(std::memory_order_acquire) != cell_ready && !ready(*c, index, parent))
            return exhaustive_search(p, v);
        if (!c->children)
            break;
        parent = c;
        c = &c->children[(q[0] >= c->cut(0) ? 1 : 0) + (q[1] >= c->cut(1) ? 2 : 0) + (q[2] >= c->cut(2) ? 4 : 0)];
    }
    if (c->only >= 0)
        return c->only;
    const int found = search_(p, *c, v);
    return found == unsettled ? exhaustive_search(p, v) : found;
}

float nearest_color_finder::error_of(const float *v, int k) const
{
    float room[max_working_channels];
    return error_by_code(*plan_, matched(*plan_, v, room), k);
}

int nearest_color_finder::find_exhaustively(const float *v) const
{
    float room[max_working_channels];
    return exhaustive_search(*plan_, matched(*plan_, v, room));
}

void nearest_color_finder::leave_search_state(const float *v, float *quant_error_ch) const
{
    const plan &p = *plan_;
    float room[max_working_channels];
    v = matched(p, v, room);
    const int last = palette_entries - 1;
    if (p.weighting->count == 0) {
        for (int c = 0; c < p.channels; ++c)
            quant_error_ch[c] = std::fabs(v[c] - p.pal[c][last]);
        return;
    }
    for (int i = 0; i < p.weighting->count; ++i) {
        const int c = p.weighting->channels[i].channel;
        quant_error_ch[c] = weighted(v[c] - p.pal[c][last], p.weighting->channels[i].weight);
    }
}
