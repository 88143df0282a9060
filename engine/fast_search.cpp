#include "engine/fast_search.h"

#include "driver/settings.h"
#include "engine/metrics.h"
#include "engine/nearest.h"
#include "engine/palette.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// An entry wins only with an error strictly below this, as in the plain search.
constexpr float no_error_yet = 1e18f;

// The grid files channels 0, 1 and 2, which every colour space has.
constexpr int grid_axes = 3;
constexpr int cells_per_axis = 16;
constexpr int cell_count = cells_per_axis * cells_per_axis * cells_per_axis;

// Candidates are tried eight at a time; a cell's list is padded to a multiple.
constexpr int batch = 8;

constexpr float infinity = std::numeric_limits<float>::infinity();

enum cell_state { cell_empty, cell_building, cell_ready };

}  // namespace

// Everything the search needs of the file, copied once: the palette, how each
// entry of the per-channel error is formed, and the grid.
struct nearest_color_finder::plan {
    int metric = 0;
    int channels = 3;
    int entries = 3;  // of the per-channel error, the ones the metric reads
    bool written[max_working_channels] = {};
    double weight[max_working_channels] = {};
    float stale[max_working_channels] = {};
    // How the search forms each entry it reads: |v - pal|, the same weighted,
    // or a constant (an unwritten entry, or a written one beyond the used
    // channels, where value and palette are both 0).
    enum entry_kind { difference, weighted_difference, constant };
    entry_kind kind[max_working_channels] = {};
    float constant_value[max_working_channels] = {};
    const weighting_row *weighting = nullptr;
    float pal[max_working_channels][palette_entries] = {};

    // The best error anywhere in a cell is bounded from above only when every
    // entry the metric reads is a grid channel or left unwritten.
    bool bounded_above = true;
    // Unwritten entries that are not finite make every error the same
    // non-number or infinity: the grid has nothing to order then.
    bool usable = true;

    float origin[grid_axes] = {};
    float step[grid_axes] = {};
    float inverse_step[grid_axes] = {};
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

// The error of entry k, formed as the plain search forms it.
template <int metric>
float error_of(const plan_t &p, const float *v, int k)
{
    double d[max_working_channels];
    for (int e = 0; e < p.entries; ++e)
        d[e] = p.kind[e] == plan_t::constant ? p.constant_value[e] : weighted(v[e] - p.pal[e][k], p.weight[e]);
    return static_cast<float>(metric_of<metric>(d, p.channels));
}

float error_by_code(const plan_t &p, const float *v, int k)
{
    switch (p.metric) {
    case 1: return error_of<1>(p, v, k);
    case 2: return error_of<2>(p, v, k);
    case 3: return error_of<3>(p, v, k);
    case 4: return error_of<4>(p, v, k);
    case 5: return error_of<5>(p, v, k);
    default: return error_of<0>(p, v, k);
    }
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
        } else if (e < grid_axes) {
            float difference = upper ? greatest_difference(lo[e], hi[e], p.pal[e][k])
                                     : least_difference(lo[e], hi[e], p.pal[e][k]);
            d[e] = weighted(difference, p.weight[e]);
        } else {
            d[e] = 0.0;
        }
    }
    switch (p.metric) {
    case 1: return static_cast<float>(metric_of<1>(d, p.channels));
    case 2: return static_cast<float>(metric_of<2>(d, p.channels));
    case 3: return static_cast<float>(metric_of<3>(d, p.channels));
    case 4: return static_cast<float>(metric_of<4>(d, p.channels));
    case 5: return static_cast<float>(metric_of<5>(d, p.channels));
    default: return static_cast<float>(metric_of<0>(d, p.channels));
    }
}

inline int axis_cell(float value, float origin, float inverse_step)
{
    float t = (value - origin) * inverse_step;
    if (!(t > 0.0f))
        return 0;
    if (t >= cells_per_axis - 1)
        return cells_per_axis - 1;
    return static_cast<int>(t);
}

// Eight candidates at once. The vectors hold the same values, rounded at the
// same steps, as the plain search's scalars: a float difference, its absolute
// value (the sign bit cleared), the weighted entry rounded to float, and the
// metric in double rounded to float.
typedef float floats8 __attribute__((vector_size(32)));
typedef double doubles8 __attribute__((vector_size(64)));
typedef int32_t ints8 __attribute__((vector_size(32)));

template <typename to, typename from>
__attribute__((always_inline)) inline to bits_as(const from &value)
{
    to result;
    std::memcpy(&result, &value, sizeof result);
    return result;
}

// The entries of eight candidates, widened to double.
template <int entries>
__attribute__((always_inline)) inline void weigh_batch(const plan_t &p, const cell_t &c, int i, const float *v,
                                                       doubles8 *d)
{
    for (int e = 0; e < entries; ++e) {
        if (p.kind[e] == plan_t::constant) {
            d[e] = doubles8{} + static_cast<double>(p.constant_value[e]);
            continue;
        }
        floats8 colour;
        std::memcpy(&colour, c.colour(e) + i, sizeof colour);
        const floats8 magnitude = bits_as<floats8>(bits_as<ints8>(v[e] - colour) & 0x7fffffff);
        doubles8 wide = __builtin_convertvector(magnitude, doubles8);
        if (p.kind[e] == plan_t::weighted_difference)
            wide = __builtin_convertvector(__builtin_convertvector(p.weight[e] * wide, floats8), doubles8);
        d[e] = wide;
    }
}

// Every lane set to the smallest of the eight, in three steps of halving.
template <typename vector>
__attribute__((always_inline)) inline vector smallest_lane(vector x)
{
    using mask = ints8;
    x = x < __builtin_shuffle(x, mask{ 4, 5, 6, 7, 0, 1, 2, 3 }) ? x : __builtin_shuffle(x, mask{ 4, 5, 6, 7, 0, 1, 2, 3 });
    x = x < __builtin_shuffle(x, mask{ 2, 3, 0, 1, 6, 7, 4, 5 }) ? x : __builtin_shuffle(x, mask{ 2, 3, 0, 1, 6, 7, 4, 5 });
    x = x < __builtin_shuffle(x, mask{ 1, 0, 3, 2, 5, 4, 7, 6 }) ? x : __builtin_shuffle(x, mask{ 1, 0, 3, 2, 5, 4, 7, 6 });
    return x;
}

template <int metric, int entries>
__attribute__((always_inline)) inline int search_batches(const plan_t &p, const cell_t &c, const float *v,
                                                         float *error)
{
    float best = no_error_yet;
    int best_entry = -1;
    for (int i = 0; i < c.count; i += batch) {
        if (c.bound[i] > best)
            break;
        doubles8 d[entries];
        weigh_batch<entries>(p, c, i, v, d);
        // Metrics 0 and 1 run over the used channels, which are the entries
        // they read; the others ignore the count.
        floats8 errors = __builtin_convertvector(metric_of<metric>(d, entries), floats8);
        // A non-number never wins, nor does infinity: both may stand as
        // infinity in the reduction.
        errors = errors == errors ? errors : infinity;
        const floats8 least = smallest_lane(errors);
        if (!(least[0] <= best))
            continue;
        ints8 entry;
        std::memcpy(&entry, c.entry.get() + i, sizeof entry);
        const int lowest = smallest_lane(errors == least ? entry : palette_entries)[0];
        if (least[0] < best || lowest < best_entry) {
            best = least[0];
            best_entry = lowest;
        }
    }
    if (best_entry >= 0)
        *error = best;
    return best_entry;
}

// The metric and the number of entries it reads fix the shape of the search;
// the widest vector unit of the machine runs it.
template <int metric, int entries>
int search_generic(const plan_t &p, const cell_t &c, const float *v, float *error)
{
    return search_batches<metric, entries>(p, c, v, error);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <int metric, int entries>
__attribute__((target("avx2"))) int search_avx2(const plan_t &p, const cell_t &c, const float *v, float *error)
{
    return search_batches<metric, entries>(p, c, v, error);
}

template <int metric, int entries>
__attribute__((target("avx512f,avx512dq"))) int search_avx512(const plan_t &p, const cell_t &c, const float *v,
                                                             float *error)
{
    return search_batches<metric, entries>(p, c, v, error);
}
#endif

using batch_search = int (*)(const plan_t &, const cell_t &, const float *, float *);

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
    p.metric = checked_code(metric_code, metric_codes);
    p.channels = channels_used;
    p.entries = metric_entries(p.metric, p.channels);
    p.weighting = &weightings[checked_code(weighting_code, weighting_codes)];
    if (p.weighting->count == 0) {
        for (int c = 0; c < p.channels; ++c) {
            p.written[c] = true;
            p.weight[c] = 1.0;
        }
    } else {
        for (int i = 0; i < p.weighting->count; ++i) {
            p.written[p.weighting->channels[i].channel] = true;
            p.weight[p.weighting->channels[i].channel] = p.weighting->channels[i].weight;
        }
    }
    for (int e = 0; e < max_working_channels; ++e) {
        p.stale[e] = dither_quant_error_ch[e];
        if (!p.written[e])
            p.kind[e] = plan_t::constant, p.constant_value[e] = p.stale[e];
        else if (e >= p.channels)
            p.kind[e] = plan_t::constant, p.constant_value[e] = weighted(0.0f, p.weight[e]);
        else
            p.kind[e] = p.weight[e] == 1.0 ? plan_t::difference : plan_t::weighted_difference;
        if (e < p.entries && p.kind[e] == plan_t::constant && !std::isfinite(p.constant_value[e]))
            p.usable = false;
        if (e < p.entries && p.kind[e] != plan_t::constant && e >= grid_axes)
            p.bounded_above = false;
    }
    std::memcpy(p.pal, pal_ch, sizeof p.pal);

    // The grid spans the palette; values beyond it fall into the outer cells,
    // which reach to infinity.
    for (int axis = 0; axis < grid_axes; ++axis) {
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
        p.step[axis] = (high - low) / cells_per_axis;
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
    float lo[grid_axes], hi[grid_axes];
    const int position[grid_axes] = { index / (cells_per_axis * cells_per_axis), index / cells_per_axis % cells_per_axis,
                                      index % cells_per_axis };
    bool finite = true;
    for (int axis = 0; axis < grid_axes; ++axis) {
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
    for (int axis = 0; axis < grid_axes; ++axis)
        index = index * cells_per_axis + axis_cell(v[axis], p.origin[axis], p.inverse_step[axis]);
    return cells_[index];
}

int nearest_color_finder::find(const float *v, float *error) const
{
    const plan &p = *plan_;
    if (!p.usable)
        return find_exhaustively(v, error);
    for (int c = 0; c < p.channels; ++c)
        if (!std::isfinite(v[c]))
            return find_exhaustively(v, error);

    cell &c = cell_for(v);
    if (c.state.load(std::memory_order_acquire) != cell_ready) {
        int expected = cell_empty;
        if (c.state.compare_exchange_strong(expected, cell_building, std::memory_order_acq_rel)) {
            build_cell(c, static_cast<int>(&c - cells_.get()));
            c.state.store(cell_ready, std::memory_order_release);
        } else if (expected == cell_building) {
            // Another thread is filling the cell: this pixel takes the long way.
            return find_exhaustively(v, error);
        }
    }
    return search_(p, c, v, error);
}

int nearest_color_finder::find_exhaustively(const float *v, float *error) const
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
    if (best_entry >= 0)
        *error = best;
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
