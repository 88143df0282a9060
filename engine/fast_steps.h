// The fast scan's pixel step, shared by the scan in one thread, the circle
// passes and the row wavefront: the plain scan's steps for a channel count
// known when compiling. Internal to the fast scan.
#pragma once

#include "engine/fast_search.h"
#include "engine/scan.h"
#include "engine/scan_steps.h"
#include "engine/working_image.h"
#include "engine/palette.h"
#include "settings/settings.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace fast_steps {

using namespace scan_steps;

// The fast scan's pixel step, for a channel count known when compiling: the
// same arithmetic as pixel_step. The fast search reads only the used
// channels, so the values are searched where they stand.
//
// A share of weight 0 leaves a value as it is when the error is finite (at
// most a zero changes its sign, which no distance or comparison sees), so
// such slots are passed over; an infinite or undefined error still makes the
// plain scan's undefined value there, and then every slot is taken.
//
// The rows above and below are found through the image, which may hold its
// rows in a ring.
template <int channels>
inline void spread_fast(working_image &image, int x, int y, const float *error, const spread_list &slots)
{
    double e[channels];
    bool finite = true;
    for (int c = 0; c < channels; ++c) {
        e[c] = error[c];
        finite = finite && std::isfinite(error[c]);
    }
    const int count = finite ? slots.with_share : slots.all;
    for (int i = 0; i < count; ++i) {
        const double weight = slots.weight[i];
        float *neighbour = image.at(x + slots.dx[i], y + slots.dy[i]);
        for (int c = 0; c < channels; ++c)
            neighbour[c] = static_cast<float>(neighbour[c] + e[c] * weight);
    }
}

// The rest of a pixel step once its entry is chosen; the index goes to the
// writer's row of indices.
template <int channels>
inline void apply_color(working_image &image, uint8_t *indices, int x, int y, float *v, int color,
                        const spread_list &window, float *error)
{
    for (int c = 0; c < channels; ++c) {
        error[c] = v[c] - pal_ch[c][color];
        v[c] = pal_ch[c][color];
    }
    indices[x - 1] = static_cast<uint8_t>(color);
    spread_fast<channels>(image, x, y, error, window);
    if (max_limit != limit_off || min_limit != limit_off)
        apply_limits(image, x, y, channels, window.columns, window.rows);
}

template <int channels, typename chooser>
inline void fast_pixel_step(working_image &image, uint8_t *indices, int x, int y, const spread_list &window,
                            float *error, chooser &&choose)
{
    float *v = image.at(x, y);
    apply_color<channels>(image, indices, x, y, v, choose(v), window, error);
}

// The fast search keeps the choice of a pixel where no entry wins, exactly as
// the plain search keeps best_color.
struct carrying_chooser {
    const nearest_color_finder &finder;
    int &carried;
    bool &found;  // whether the last search found its entry

    int operator()(const float *v) const
    {
        const int entry = finder.find(v);
        found = entry >= 0;
        if (found)
            carried = entry;
        return carried;
    }
};

// The values of the last pixel searched, for leave_state. Without clear
// pixels that is the last pixel, and only it is kept; with them, any pixel
// searched may turn out to be the last.
struct last_searched {
    float values[max_working_channels] = {};
    bool any = false;

    void keep(const float *v, int channels)
    {
        std::memcpy(values, v, sizeof(float) * channels);
        any = true;
    }
};

// The rows the window reaches below row y must be filled before row y is
// scanned: rows 1 ... y + rows of the framed image, input rows 0 ... y +
// rows - 1.
inline bool rows_ready(const row_gate *gate, const working_image &image, int y, int rows)
{
    return !gate || gate->wait_for(std::min(y + rows, image.height));
}

// The framed rows that are done with once row y is scanned, and every row
// above it: those below y, and with a window that reaches two rows down, below
// y - 1, since it writes two rows down and reads the rows it spreads into.
inline int rows_done_with(int y, int rows)
{
    return y + 1 - rows;
}

// A row being scanned: where it stands and what it carries.
struct row_cursor {
    int y = 0;
    int x = 1;            // the next pixel
    int carried = -1;     // the entry of the pixel before, once known
    bool found = false;   // whether the last search found its entry
    bool waiting = false; // stopped at a pixel where no entry wins, for the row above to end
    uint8_t *indices = nullptr;  // the row in the writer
    const uint8_t *clear = nullptr;  // the row of the mask of clear pixels, if any
    float error[max_working_channels] = {};
    last_searched last;

    bool finished(int width) const { return x > width; }
};

// Steps the cursor over one pixel. Returns false, having changed nothing,
// when no entry wins there and the entry it keeps is not known yet: that
// is the last of the row above, which has not ended.
template <int channels, bool masked>
inline bool step_row(working_image &image, const nearest_color_finder &finder, uint8_t transparent, row_cursor &row,
                     const spread_list &window)
{
    if (masked && row.clear[row.x]) {
        row.indices[row.x - 1] = transparent;
        ++row.x;
        return true;
    }
    float *v = image.at(row.x, row.y);
    int color = finder.find(v);
    row.found = color >= 0;
    if (row.found) {
        row.carried = color;
    } else if (row.carried < 0) {
        return false;
    } else {
        color = row.carried;
    }
    if (masked || row.x == image.width)
        row.last.keep(v, channels);
    apply_color<channels>(image, row.indices, row.x, row.y, v, color, window, row.error);
    ++row.x;
    return true;
}

}  // namespace fast_steps
