#include "engine/working_image.h"

#include "engine/palette.h"

#include <algorithm>
#include <cstddef>

// Multiplying by 1.0 leaves every float as it is, so "off" needs no case of
// its own.
const level_compress_row level_compressions[level_compress_count] = {
    { "off", level_compress_off, 1.0, "level compress off" },
    { "85", level_compress_85, 0.3333333333333333, "level compress 85" },
    { "128", level_compress_128, 0.5, "level compress 128" },
    { "170", level_compress_170, 0.6666666666666666, "level compress 170" },
};

namespace {

// The gamma-treated level of one byte, as stored before the compression.
float gamma_level(int byte)
{
    if (RGB_gamma == gamma_linear)
        return srgb_byte_to_linear(byte);
    // The image divides by 255 with 1/255 held as a float, unlike the palette.
    return static_cast<float>(byte * static_cast<double>(0.003921569f));
}

}  // namespace

float prepared_level(int byte)
{
    const double factor = level_compressions[checked_code(level_compress, level_compress_count)].factor;
    return static_cast<float>(gamma_level(byte) * factor);
}

row_conversion make_row_conversion()
{
    row_conversion conversion;
    for (int byte = 0; byte < 256; ++byte)
        conversion.level[byte] = prepared_level(byte);
    const color_space_row &space = color_space_of(color_space);
    conversion.space = space.code;
    conversion.convert = space.convert;
    conversion.channels = space.channels;
    return conversion;
}

void allocate_working_image(working_image &image, int width, int height, const row_conversion &conversion)
{
    image.width = width;
    image.height = height;
    image.channels = conversion.channels;
    // The previous buffer goes before the new one is taken, so two full-size
    // images are never held at once.
    float_buffer().swap(image.values);
    image.values.resize(static_cast<size_t>(width + 2) * (height + 2) * image.channels);
}

namespace {

// One pixel into its working channels. The rgb space copies the prepared
// levels as they are, which is all its conversion does.
inline void convert_pixel(const uint8_t *rgb, float *channels, const row_conversion &conversion)
{
    const float *level = conversion.level;
    if (conversion.space == color_space_rgb) {
        channels[0] = level[rgb[0]];
        channels[1] = level[rgb[1]];
        channels[2] = level[rgb[2]];
        return;
    }
    conversion.convert(level[rgb[0]], level[rgb[1]], level[rgb[2]], channels);
}

void convert_row(float *framed_row, const uint8_t *rgb, int width, int channels, const row_conversion &conversion)
{
    // The frame pixels left and right repeat the row's end pixels.
    convert_pixel(rgb, framed_row, conversion);
    for (int x = 0; x < width; ++x)
        convert_pixel(rgb + static_cast<size_t>(x) * 3, framed_row + static_cast<size_t>(x + 1) * channels,
                      conversion);
    convert_pixel(rgb + static_cast<size_t>(width - 1) * 3, framed_row + static_cast<size_t>(width + 1) * channels,
                  conversion);
}

}  // namespace

void fill_working_row(working_image &image, int y, const uint8_t *rgb, const row_conversion &conversion)
{
    float *row = image.at(0, y + 1);
    convert_row(row, rgb, image.width, image.channels, conversion);
    // The frame rows above and below repeat the first and the last row.
    if (y == 0)
        std::copy(row, row + image.row_floats(), image.at(0, 0));
    if (y == image.height - 1)
        std::copy(row, row + image.row_floats(), image.at(0, image.height + 1));
}
