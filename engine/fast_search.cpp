#include "engine/fast_search.h"

#include "engine/matching.h"
#include "engine/palette.h"
#include "engine/search_parts.h"

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace search_parts;

namespace {

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

float error_by_code(const plan_t &p, const float *v, int k)
{
    double d[max_working_channels];
    weigh_exactly(p, v, k, d);
    return static_cast<float>(metrics[p.metric].on_doubles(d, p.channels));
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

    place_grid(p);
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
