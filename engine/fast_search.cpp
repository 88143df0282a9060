#include "engine/fast_search.h"

#include "engine/metrics.h"
#include "engine/nearest.h"
#include "engine/palette.h"
#include "settings/settings.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace {

// The grid files the first channels of a value: three (16 cells along each),
// or all four of the four-channel spaces (8 along each), where the K channel
// tells apart the greys and darks that C, M and Y alone lump together.
constexpr int max_grid_axes = 4;
constexpr int cell_count = 4096;

int grid_axes_for(int channels)
{
    return channels == 4 ? 4 : 3;
}

int cells_per_axis_for(int axes)
{
    return axes == 4 ? 8 : 16;
}

// A cell's list is padded to a multiple of the widest vector of candidates.
constexpr int batch = 16;

constexpr float infinity = std::numeric_limits<float>::infinity();

enum cell_state { cell_empty, cell_building, cell_ready };

}  // namespace

// Everything the search needs of the file, copied once: the palette, how each
// entry of the per-channel error is formed, and the grid.
struct nearest_color_finder::plan {
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

    // The best error anywhere in a cell is bounded from above only when every
    // entry the metric reads is a grid channel or left unwritten.
    bool bounded_above = true;
    // Unwritten entries that are not finite make every error the same
    // non-number or infinity: the grid has nothing to order then.
    bool usable = true;

    int axes = 3;
    int cells_per_axis = 16;
    float origin[max_grid_axes] = {};
    float step[max_grid_axes] = {};
    float inverse_step[max_grid_axes] = {};
};

// The entries that may be nearest to a value in the cell, by rising lower
// bound (ties by index): their bounds, indices and colours, padded to whole
// batches with entries that can never win.
struct nearest_color_finder::cell {
    std::atomic<int> state{ cell_empty };
    int count = 0;
    std::unique_ptr<float[]> bound;
    std::unique_ptr<int32_t[]> entry;
    std::unique_ptr<float[]> colours;  // entries planes of count values

    const float *colour(int e) const { return colours.get() + static_cast<size_t>(e) * count; }
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

inline int axis_cell(float value, float origin, float inverse_step, int cells_per_axis)
{
    float t = (value - origin) * inverse_step;
    if (!(t > 0.0f))
        return 0;
    if (t >= cells_per_axis - 1)
        return cells_per_axis - 1;
    return static_cast<int>(t);
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

// The rough per-channel error of a vector of candidates.
template <int lanes, int entries>
__attribute__((always_inline)) inline void weigh_batch(const plan_t &p, const cell_t &c, int i, const float *v,
                                                       typename vectors<lanes>::floats *d)
{
    using floats = typename vectors<lanes>::floats;
    using ints = typename vectors<lanes>::ints;
    for (int e = 0; e < entries; ++e) {
        if (p.kind[e] == plan_t::constant) {
            d[e] = floats{} + p.constant_value[e];
            continue;
        }
        floats colour;
        std::memcpy(&colour, c.colour(e) + i, sizeof colour);
        const floats magnitude = (floats)((ints)(v[e] - colour) & 0x7fffffff);
        d[e] = p.kind[e] == plan_t::weighted_difference ? p.float_weight[e] * magnitude : magnitude;
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

// The smallest lane; a non-number is never the smallest.
template <int lanes>
__attribute__((always_inline)) inline float smallest_lane(typename vectors<lanes>::floats x)
{
    return smallest_everywhere<lanes>(x == x ? x : infinity)[0];
}

// Bit j set where lane j is at most the limit.
template <int lanes>
__attribute__((always_inline)) inline uint32_t lanes_at_most(typename vectors<lanes>::floats x, float limit)
{
    const auto bits = (x <= limit) & lane_bits<lanes>(std::make_index_sequence<lanes>{});
    return static_cast<uint32_t>(joined_everywhere<lanes>(bits)[0]);
}

constexpr int unsettled = -2;

// Tries the cell's entries by rising bound, a vector at a time, until the
// next bound passes what the least rough error allows the exact least to be:
// no entry from there on can win or tie. Then settles exactly, lowest index
// on ties, every entry tried whose rough error could hide the exact least.
template <int lanes, int metric, int entries>
__attribute__((always_inline)) inline int search_batches(const plan_t &p, const cell_t &c, const float *v)
{
    using floats = typename vectors<lanes>::floats;
    floats rough[palette_entries / lanes];
    float batch_least[palette_entries / lanes];
    float least = infinity;
    int tried = 0;
    for (int i = 0; i < c.count && !(c.bound[i] > widened(least)); i += lanes, ++tried) {
        floats d[entries];
        weigh_batch<lanes, entries>(p, c, i, v, d);
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
            const int k = c.entry[b * lanes + __builtin_ctz(mask)];
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

// The metric and the number of entries it reads fix the shape of the search;
// the widest vector unit of the machine runs it.
template <int metric, int entries>
int search_generic(const plan_t &p, const cell_t &c, const float *v)
{
    return search_batches<4, metric, entries>(p, c, v);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <int metric, int entries>
__attribute__((target("avx2"))) int search_avx2(const plan_t &p, const cell_t &c, const float *v)
{
    return search_batches<8, metric, entries>(p, c, v);
}

template <int metric, int entries>
__attribute__((target("avx512f,avx512dq"))) int search_avx512(const plan_t &p, const cell_t &c, const float *v)
{
    return search_batches<16, metric, entries>(p, c, v);
}
#endif

using batch_search = int (*)(const plan_t &, const cell_t &, const float *);

template <int metric, int entries>
batch_search widest_search()
{
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
        return search_avx512<metric, entries>;
    if (__builtin_cpu_supports("avx2"))
        return search_avx2<metric, entries>;
#endif
    return search_generic<metric, entries>;
}

// Metrics 0 and 1 read the used channels (3, 4, 6 or 7), the others a fixed
// number of entries.
batch_search search_for(int metric, int entries)
{
    switch (metric * 16 + entries) {
    case 0 * 16 + 4: return widest_search<0, 4>();
    case 0 * 16 + 6: return widest_search<0, 6>();
    case 0 * 16 + 7: return widest_search<0, 7>();
    case 1 * 16 + 3: return widest_search<1, 3>();
    case 1 * 16 + 4: return widest_search<1, 4>();
    case 1 * 16 + 6: return widest_search<1, 6>();
    case 1 * 16 + 7: return widest_search<1, 7>();
    case 2 * 16 + 3: return widest_search<2, 3>();
    case 3 * 16 + 3: return widest_search<3, 3>();
    case 4 * 16 + 3: return widest_search<4, 3>();
    case 5 * 16 + 4: return widest_search<5, 4>();
    default: return widest_search<0, 3>();
    }
}

}  // namespace

nearest_color_finder::nearest_color_finder(int weighting_code, int metric_code)
    : plan_(std::make_unique<plan>()), cells_(std::make_unique<cell[]>(cell_count))
{
    plan &p = *plan_;
    p.metric = checked_code(metric_code, metric_count);
    p.channels = channels_used;
    p.entries = metric_entries(p.metric, p.channels);
    p.weighting = &weightings[checked_code(weighting_code, weighting_count)];
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
        if (e < p.entries && p.kind[e] != plan_t::constant && e >= grid_axes_for(p.channels))
            p.bounded_above = false;
    }
    std::memcpy(p.pal, pal_ch, sizeof p.pal);

    // The grid spans the palette; values beyond it fall into the outer cells,
    // which reach to infinity.
    p.axes = grid_axes_for(p.channels);
    p.cells_per_axis = cells_per_axis_for(p.axes);
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
        p.origin[axis] = low;
        p.step[axis] = (high - low) / p.cells_per_axis;
        p.inverse_step[axis] = 1.0f / p.step[axis];
    }
    search_ = search_for(p.metric, p.entries);
}

nearest_color_finder::~nearest_color_finder() = default;

void nearest_color_finder::build_cell(cell &c, int index) const
{
    const plan &p = *plan_;
    // The box of the cell, widened by a little: the cell of a value is found
    // with rounded arithmetic, so a value close to a border may be filed on
    // either side of it, and both boxes must hold it.
    float lo[max_grid_axes], hi[max_grid_axes];
    const int cells_per_axis = p.cells_per_axis;
    int position[max_grid_axes];
    for (int axis = p.axes - 1, rest = index; axis >= 0; --axis, rest /= cells_per_axis)
        position[axis] = rest % cells_per_axis;
    bool finite = true;
    for (int axis = 0; axis < p.axes; ++axis) {
        const float margin = p.step[axis] / 1024;
        const int i = position[axis];
        lo[axis] = i == 0 ? -infinity : p.origin[axis] + i * p.step[axis] - margin;
        hi[axis] = i == cells_per_axis - 1 ? infinity : p.origin[axis] + (i + 1) * p.step[axis] + margin;
        finite = finite && i != 0 && i != cells_per_axis - 1;
    }

    float lower[palette_entries];
    for (int k = 0; k < palette_entries; ++k)
        lower[k] = bound_in_box(p, lo, hi, k, false);

    // No error anywhere in a bounded cell exceeds the smallest upper bound, so
    // entries whose lower bound passes it are never needed.
    float cutoff = infinity;
    if (finite && p.bounded_above) {
        for (int k = 0; k < palette_entries; ++k)
            cutoff = std::min(cutoff, bound_in_box(p, lo, hi, k, true));
    }

    int order[palette_entries];
    int kept = 0;
    for (int k = 0; k < palette_entries; ++k)
        if (lower[k] <= cutoff)
            order[kept++] = k;
    std::stable_sort(order, order + kept, [&](int a, int b) { return lower[a] < lower[b]; });

    // Padding: a bound of infinity ends the search, and a colour that is not
    // a number gives an error that never wins.
    const int count = (kept + batch - 1) / batch * batch;
    c.bound = std::make_unique<float[]>(count);
    c.entry = std::make_unique<int32_t[]>(count);
    c.colours = std::make_unique<float[]>(static_cast<size_t>(count) * std::max(p.entries, 1));
    c.count = count;
    for (int i = 0; i < count; ++i) {
        const bool real = i < kept;
        c.bound[i] = real ? lower[order[i]] : infinity;
        c.entry[i] = real ? order[i] : palette_entries;
        for (int e = 0; e < p.entries; ++e)
            c.colours[static_cast<size_t>(e) * count + i] =
                real ? p.pal[e][order[i]] : std::numeric_limits<float>::quiet_NaN();
    }
}

nearest_color_finder::cell &nearest_color_finder::cell_for(const float *v) const
{
    const plan &p = *plan_;
    int index = 0;
    for (int axis = 0; axis < p.axes; ++axis)
        index = index * p.cells_per_axis + axis_cell(v[axis], p.origin[axis], p.inverse_step[axis], p.cells_per_axis);
    return cells_[index];
}

int nearest_color_finder::find(const float *v) const
{
    const plan &p = *plan_;
    if (!p.usable)
        return find_exhaustively(v);
    for (int c = 0; c < p.channels; ++c)
        if (!std::isfinite(v[c]))
            return find_exhaustively(v);

    cell &c = cell_for(v);
    if (c.state.load(std::memory_order_acquire) != cell_ready) {
        int expected = cell_empty;
        if (c.state.compare_exchange_strong(expected, cell_building, std::memory_order_acq_rel)) {
            try {
                build_cell(c, static_cast<int>(&c - cells_.get()));
            } catch (const std::bad_alloc &) {
                // No room for the cell's list: this pixel, and the next one
                // to land here, take the long way.
                c.state.store(cell_empty, std::memory_order_release);
                return find_exhaustively(v);
            }
            c.state.store(cell_ready, std::memory_order_release);
        } else if (expected == cell_building) {
            // Another thread is filling the cell: this pixel takes the long way.
            return find_exhaustively(v);
        }
    }
    const int found = search_(p, c, v);
    return found == unsettled ? find_exhaustively(v) : found;
}

float nearest_color_finder::error_of(const float *v, int k) const
{
    return error_by_code(*plan_, v, k);
}

int nearest_color_finder::find_exhaustively(const float *v) const
{
    const plan &p = *plan_;
    float best = no_error_yet;
    int best_entry = -1;
    for (int k = 0; k < palette_entries; ++k) {
        float e = error_by_code(p, v, k);
        if (e < best) {
            best = e;
            best_entry = k;
        }
    }
    return best_entry;
}

void nearest_color_finder::leave_search_state(const float *v, float *quant_error_ch) const
{
    const plan &p = *plan_;
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
