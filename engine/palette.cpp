#include "engine/palette.h"

#include "settings/carried_state.h"
#include "settings/report.h"
#include "settings/settings.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr int palette_file_bytes = palette_entries * 3;

// The palette's colours in the working scale. In srgb mode the division by
// 255 is the double 1/255; the image uses the float one, and the two differ
// in the last places of some levels.
float palette_level(int byte)
{
    if (RGB_gamma == gamma_linear)
        return srgb_byte_to_linear(byte);
    return static_cast<float>(byte * 0.00392156862745098);
}

}  // namespace

float srgb_byte_to_linear(int byte)
{
    // Byte 10 is the last one below the point where the straight segment meets
    // the power curve (0.0404482362771082 of full level).
    if (byte <= 10)
        return static_cast<float>(byte * 0.0003035269835488375);
    return static_cast<float>(std::pow((byte * 0.00392156862745098 + 0.055) * 0.9478672985781991, 2.4));
}

bool read_palette()
{
    std::FILE *file = std::fopen(palette_path_buffer, "rb");
    if (!file) {
        print_line("palette open error");
        return false;
    }
    // Bytes a short file does not supply stay 0, so the missing entries are
    // black rather than left over from the previous file.
    unsigned char palette_bytes[palette_file_bytes] = {};
    size_t got = std::fread(palette_bytes, 1, sizeof palette_bytes, file);
    if (got < sizeof palette_bytes)
        print_line(std::feof(file) ? "Premature end of palette" : "palette read error");
    std::fclose(file);

    for (int i = 0; i < palette_entries; ++i) {
        const unsigned char *entry = palette_bytes + 3 * i;
        srgb_pal_R[i] = entry[0];
        srgb_pal_G[i] = entry[1];
        srgb_pal_B[i] = entry[2];
        pal_R[i] = palette_level(entry[0]);
        pal_G[i] = palette_level(entry[1]);
        pal_B[i] = palette_level(entry[2]);
    }
    return true;
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
    if (!transparent_entry_reported)
        print_line("palette full, entry 255 made transparent");
    transparent_entry_reported = true;
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
