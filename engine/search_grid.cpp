// The grid of the fast search: the palette's box and its cells, the cell of
// a value, and the places of the cells in the working space.
#include "engine/search_parts.h"

#include "engine/palette.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

using namespace search_parts;

namespace {

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

// The point of the working space at u.
inline double at_u(const plan_t &p, int axis, double u)
{
    return p.centre[axis] + u / p.inverse_half[axis];
}

}  // namespace

namespace search_parts {

void place_grid(plan_t &p)
{
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

}  // namespace search_parts

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
