// The lists of the fast search's cells: the entries that may be nearest to a
// value somewhere in a cell, in the order they are tried.
#include "engine/search_parts.h"

#include "engine/palette.h"

#include <algorithm>
#include <cmath>
#include <new>

using namespace search_parts;

namespace {

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

namespace search_parts {

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

}  // namespace search_parts

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
