#include "engine/image.h"

#include "driver/settings.h"
#include "engine/color_space.h"
#include "engine/palette.h"

#include <algorithm>

namespace {

// Factors of level compression by level_compress code. The factor for "128"
// is 0.5, not 128/255. Multiplying by 1.0 leaves every float as it is, so
// "off" needs no case of its own.
const double level_compress_factors[] = {
    1.0,                 // "off"
    0.3333333333333333,  // "85"
    0.5,                 // "128"
    0.6666666666666666,  // "170"
};

// The gamma-treated level of one byte, as stored before the compression.
float gamma_level(int byte)
{
    if (RGB_gamma == 0)
        return srgb_byte_to_linear(byte);
    // The image divides by 255 with 1/255 held as a float, unlike the palette.
    return static_cast<float>(byte * static_cast<double>(0.003921569f));
}

}  // namespace

float prepared_level(int byte)
{
    return static_cast<float>(gamma_level(byte) * level_compress_factors[level_compress]);
}

void fill_working_image(const source_image &source, working_image &image)
{
    // Gamma and compression depend on the byte alone, so one table per file
    // gives exactly what treating every sample would.
    float levels[256];
    for (int byte = 0; byte < 256; ++byte)
        levels[byte] = prepared_level(byte);

    const int width = source.width, height = source.height;
    image.width = width;
    image.height = height;
    image.channels = channels_used;
    // The previous buffer goes before the new one is taken, so two full-size
    // images are never held at once.
    std::vector<float>().swap(image.values);
    image.values.resize(static_cast<size_t>(width + 2) * (height + 2) * channels_used);

    // Every frame pixel repeats its nearest edge pixel: clamping the framed
    // coordinates to the image covers the edges and the corners alike.
    for (int y = 0; y <= height + 1; ++y) {
        const int source_y = std::clamp(y - 1, 0, height - 1);
        for (int x = 0; x <= width + 1; ++x) {
            const uint8_t *rgb = source.pixel(std::clamp(x - 1, 0, width - 1), source_y);
            convert_color(levels[rgb[0]], levels[rgb[1]], levels[rgb[2]], image.at(x, y));
        }
    }
}
