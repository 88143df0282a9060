#include "engine/working_image.h"

#include "engine/palette.h"
#include "settings/tuning.h"

#include <algorithm>
#include <cstddef>

// Multiplying by 1.0 leaves every float as it is, so "off" needs no case of
// its own.
constexpr level_compress_row level_compressions[level_compress_count] = {
    { "off", level_compress_off, 1.0, "level compress off" },
    { "85", level_compress_85, 0.3333333333333333, "level compress 85" },
    { "128", level_compress_128, 0.5, "level compress 128" },
    { "170", level_compress_170, 0.6666666666666666, "level compress 170" },
};
static_assert(rows_follow_codes(level_compressions), "a row for every code, in code order");

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
    conversion.alpha_threshold = alpha_threshold;
    return conversion;
}

void size_working_image(working_image &image, int width, int height, int channels, bool ring)
{
    image.width = width;
    image.height = height;
    image.channels = channels;
    ring = ring && height + 2 * working_image::frame > ring_rows;
    image.row_mask = ring ? ring_rows - 1 : ~size_t(0);
    // The previous buffer goes before the new one is taken, so two full-size
    // images are never held at once.
    float_buffer().swap(image.values);
    byte_mask().swap(image.clear);
    image.values.resize(static_cast<size_t>(width + 2 * working_image::frame) *
                        (ring ? ring_rows : height + 2 * working_image::frame) * channels);
    // Untouched yet: the hint takes effect as the rows are filled.
    if (prefer_large_pages)
        prefer_large_pages(image.values.data(), image.values.size() * sizeof(float));
}

void allocate_working_image(working_image &image, int width, int height, const row_conversion &conversion,
                            bool ring)
{
    size_working_image(image, width, height, conversion.channels, ring);
    if (conversion.alpha_threshold > 0)
        image.clear.resize(static_cast<size_t>(width + 2) * height);
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

// The row from its first frame pixel on.
void convert_row(float *framed_row, const uint8_t *rgb, int width, int channels, const row_conversion &conversion)
{
    constexpr int frame = working_image::frame;
    for (int x = 0; x < width; ++x)
        convert_pixel(rgb + static_cast<size_t>(x) * 3, framed_row + static_cast<size_t>(x + frame) * channels,
                      conversion);
    // The frame pixels left and right repeat the row's end pixels.
    const float *first = framed_row + static_cast<size_t>(frame) * channels;
    const float *last = framed_row + static_cast<size_t>(width + frame - 1) * channels;
    for (int f = 0; f < frame; ++f) {
        std::copy(first, first + channels, framed_row + static_cast<size_t>(f) * channels);
        std::copy(last, last + channels, framed_row + static_cast<size_t>(width + frame + f) * channels);
    }
}

void mark_clear_pixels(working_image &image, int y, const uint8_t *alpha, int threshold)
{
    uint8_t *clear = image.clear.data() + static_cast<size_t>(y) * static_cast<size_t>(image.width + 2);
    for (int x = 1; x <= image.width; ++x)
        clear[x] = alpha && alpha[x - 1] < threshold;
}

}  // namespace

void fill_working_row(working_image &image, int y, const uint8_t *rgb, const uint8_t *alpha,
                      const row_conversion &conversion)
{
    if (!image.clear.empty())
        mark_clear_pixels(image, y, alpha, conversion.alpha_threshold);
    constexpr int frame = working_image::frame;
    float *row = image.at(1 - frame, y + 1);
    convert_row(row, rgb, image.width, image.channels, conversion);
    // The frame rows above and below repeat the first and the last row.
    for (int f = 1; f <= frame; ++f) {
        if (y == 0)
            std::copy(row, row + image.row_floats(), image.at(1 - frame, 1 - f));
        if (y == image.height - 1)
            std::copy(row, row + image.row_floats(), image.at(1 - frame, image.height + f));
    }
}
