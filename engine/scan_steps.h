// The steps of a pixel that the plain scan and the fast one share: the window
// slots, taking the chosen colour, the limits. Internal to the scan.
#pragma once

#include "engine/palette.h"
#include "engine/working_image.h"
#include "settings/settings.h"

#include <cstddef>
#include <utility>

namespace scan_steps {

// Calls visit(dx, dy) for every slot the scan spreads through: the block the
// window reaches from the pixel's row down, but the pixel itself. The slots
// of the block that hold 0 are visited too (the slot behind the pixel in scan
// direction is one of them): an error that is not finite leaves its mark
// there, as it always has in the 3 x 3 block.
template <typename visitor>
inline void for_scan_slots(const window_block &window, visitor &&visit)
{
    for (int dy = 0; dy <= window.rows; ++dy)
        for (int dx = -window.columns; dx <= window.columns; ++dx)
            if (dx != 0 || dy != 0)
                visit(dx, dy);
}

// The pre-processing spreads all around the 3 x 3 block, also back into
// pixels it has already visited; they are looked at again in the next pass.
template <typename visitor>
inline void for_slots_around(visitor &&visit)
{
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            if (dx != 0 || dy != 0)
                visit(dx, dy);
}

// The slots of a window as (dx, dy) from the pixel and their shares, for a
// spreading that walks a list: first the slots whose share is not 0, then the
// others. The neighbours are found through the image, which may hold its rows
// in a ring.
struct spread_list {
    int with_share = 0;
    int all = 0;
    int columns = 1, rows = 1;  // the window's reach
    int dx[window_side * window_side];
    int dy[window_side * window_side];
    double weight[window_side * window_side];
};

inline void add_to_spread_list(spread_list &list, int dx, int dy, float weight)
{
    list.dx[list.all] = dx;
    list.dy[list.all] = dy;
    list.weight[list.all] = weight;
    ++list.all;
    // Slots with a share go before the first slot without one.
    if (weight != 0.0f) {
        for (int i = list.all - 1; i > list.with_share; --i) {
            std::swap(list.dx[i], list.dx[i - 1]);
            std::swap(list.dy[i], list.dy[i - 1]);
            std::swap(list.weight[i], list.weight[i - 1]);
        }
        ++list.with_share;
    }
}

inline spread_list scan_spread_list(const window_block &window)
{
    spread_list list;
    list.columns = window.columns;
    list.rows = window.rows;
    for_scan_slots(window, [&](int dx, int dy) { add_to_spread_list(list, dx, dy, window.at(dx, dy)); });
    return list;
}

inline spread_list spread_list_around(const window_block &window)
{
    spread_list list;
    for_slots_around([&](int dx, int dy) { add_to_spread_list(list, dx, dy, window.at(dx, dy)); });
    return list;
}

// The pixel takes the entry's colour; its error per channel goes to error.
inline void take_color(float *v, int color, float *error, int channels)
{
    for (int c = 0; c < channels; ++c) {
        error[c] = v[c] - pal_ch[c][color];
        v[c] = pal_ch[c][color];
    }
}

// The limits act on the block the window reaches, from the row above the
// pixel down (3 x 3 for the windows that stay within it): every value the
// pixel's error has just reached. The upper one goes first, so with an upper
// level below the lower one the lower one has the last word.
inline void apply_limits(working_image &image, int x, int y, int channels, int columns, int rows)
{
    if (max_limit != limit_off) {
        for (int j = -1; j <= rows; ++j)
            for (int i = -columns; i <= columns; ++i) {
                float *value = image.at(x + i, y + j);
                for (int c = 0; c < channels; ++c)
                    if (value[c] > max_levels[c])
                        value[c] = max_levels[c];
            }
    }
    if (min_limit != limit_off) {
        for (int j = -1; j <= rows; ++j)
            for (int i = -columns; i <= columns; ++i) {
                float *value = image.at(x + i, y + j);
                for (int c = 0; c < channels; ++c)
                    if (value[c] < min_levels[c])
                        value[c] = min_levels[c];
            }
    }
}

}  // namespace scan_steps
