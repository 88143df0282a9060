#include "engine/palette.h"

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
