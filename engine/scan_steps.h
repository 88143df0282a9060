// The steps of a pixel that the plain scan and the fast one share: the window
// slots as offsets, taking the chosen colour, the limits. Internal to the
// scan.
#pragma once

#include "engine/palette.h"
#include "engine/working_image.h"
#include "settings/settings.h"

namespace scan_steps {

// A window slot as the offset of its pixel from the one being quantised.
struct slot_offset {
    int slot, dx, dy;
};

// The scan spreads only forward: the row above and the pixel itself never
// receive error, and the slot behind the pixel in scan direction holds 0 in
// every window.
inline const slot_offset scan_slots[] = {
    { 4, -1, 0 }, { 6, 1, 0 }, { 7, -1, 1 }, { 8, 0, 1 }, { 9, 1, 1 },
};

// The pre-processing spreads all around, also back into pixels it has
// already visited; they are looked at again in the next pass.
inline const slot_offset all_slots[] = {
    { 1, -1, -1 }, { 2, 0, -1 }, { 3, 1, -1 }, { 4, -1, 0 },
    { 6, 1, 0 },   { 7, -1, 1 }, { 8, 0, 1 },  { 9, 1, 1 },
};

// The pixel takes the entry's colour; its error per channel goes to error.
inline void take_color(float *v, int color, float *error, int channels)
{
    for (int c = 0; c < channels; ++c) {
        error[c] = v[c] - pal_ch[c][color];
        v[c] = pal_ch[c][color];
    }
}

// The limits act on the 3 x 3 block around the pixel, the upper one first, so
// with max_level below min_level the lower one has the last word.
inline void apply_limits(working_image &image, int x, int y, int channels)
{
    if (max_limit == 1) {
        for (int j = -1; j <= 1; ++j)
            for (int i = -1; i <= 1; ++i) {
                float *value = image.at(x + i, y + j);
                for (int c = 0; c < channels; ++c)
                    if (value[c] > max_level)
                        value[c] = max_level;
            }
    }
    if (min_limit == 1) {
        for (int j = -1; j <= 1; ++j)
            for (int i = -1; i <= 1; ++i) {
                float *value = image.at(x + i, y + j);
                for (int c = 0; c < channels; ++c)
                    if (value[c] < min_level)
                        value[c] = min_level;
            }
    }
}

inline void copy_window(const float *from, float *to)
{
    for (int slot = 1; slot <= 9; ++slot)
        to[slot] = from[slot];
}

}  // namespace scan_steps
