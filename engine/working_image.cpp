#include "engine/image.h"

#include "driver/settings.h"
#include "engine/color_space.h"
#include "engine/palette.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstddef>

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

level_table make_level_table()
{
    level_table table;
    for (int byte = 0; byte < 256; ++byte)
        table.level[byte] = prepared_level(byte);
    return table;
}

void allocate_working_image(working_image &image, int width, int height, bool ring)
{
    image.width = width;
    image.height = height;
    image.channels = channels_used;
    ring = ring && height + 2 > ring_rows;
    image.row_mask = ring ? ring_rows - 1 : ~size_t(0);
    // The previous buffer goes before the new one is taken, so two full-size
    // images are never held at once.
    float_buffer().swap(image.values);
    image.values.resize(static_cast<size_t>(width + 2) * (ring ? ring_rows : height + 2) * channels_used);
    // Untouched yet: the hint takes effect as the rows are filled.
    platform_prefer_large_pages(image.values.data(), image.values.size() * sizeof(float));
}

namespace {

// One pixel into its working channels. The rgb space copies the prepared
// levels as they are, which is all its conversion does.
inline void convert_pixel(const uint8_t *rgb, float *channels, const level_table &levels)
{
    if (color_space == color_space_rgb) {
        channels[0] = levels.level[rgb[0]];
        channels[1] = levels.level[rgb[1]];
        channels[2] = levels.level[rgb[2]];
        return;
    }
    convert_color(levels.level[rgb[0]], levels.level[rgb[1]], levels.level[rgb[2]], channels);
}

void convert_row(float *framed_row, const uint8_t *rgb, int width, int channels, const level_table &levels)
{
    // The frame pixels left and right repeat the row's end pixels.
    convert_pixel(rgb, framed_row, levels);
    for (int x = 0; x < width; ++x)
        convert_pixel(rgb + static_cast<size_t>(x) * 3, framed_row + static_cast<size_t>(x + 1) * channels, levels);
    convert_pixel(rgb + static_cast<size_t>(width - 1) * 3, framed_row + static_cast<size_t>(width + 1) * channels,
                  levels);
}

}  // namespace

void fill_working_row(working_image &image, int y, const uint8_t *rgb, const level_table &levels)
{
    float *row = image.at(0, y + 1);
    convert_row(row, rgb, image.width, image.channels, levels);
    // The frame rows above and below repeat the first and the last row.
    if (y == 0)
        std::copy(row, row + image.row_floats(), image.at(0, 0));
    if (y == image.height - 1)
        std::copy(row, row + image.row_floats(), image.at(0, image.height + 1));
}

void fill_working_image(const source_image &source, working_image &image)
{
    const level_table levels = make_level_table();
    allocate_working_image(image, source.width, source.height);
    for (int y = 0; y < source.height; ++y)
        fill_working_row(image, y, source.pixel(0, y), levels);
}
