#include "engine/palette.h"

#include "settings/carried_state.h"
#include "settings/settings.h"

#include <cmath>

float srgb_byte_to_linear(int byte)
{
    // Byte 10 is the last one below the point where the straight segment meets
    // the power curve (0.0404482362771082 of full level).
    if (byte <= 10)
        return static_cast<float>(byte * 0.0003035269835488375);
    return static_cast<float>(std::pow((byte * 0.00392156862745098 + 0.055) * 0.9478672985781991, 2.4));
}

void choose_transparent_entry(int colours)
{
    transparent_entry = -1;
    if (alpha_threshold == 0)
        return;
    if (colours < palette_entries) {
        transparent_entry = colours;
        return;
    }
    transparent_entry = palette_entries - 1;
}

bool transparency_takes_last_entry()
{
    return alpha_threshold > 0 && output_palette_entries >= palette_entries;
}

void leave_transparent_entry_out_of_search()
{
    if (transparent_entry < 0)
        return;
    for (int c = 0; c < max_working_channels; ++c)
        pal_ch[c][transparent_entry] = pal_ch[c][0];
    if (best_color == transparent_entry)
        best_color = 0;
}
