#include "engine/scan.h"

#include "driver/settings.h"
#include "engine/nearest.h"
#include "engine/palette.h"
#include "engine/windows.h"

float error_ch[12];
int direction = 1;

namespace {

// A window slot as the offset of its pixel from the one being quantised.
struct slot_offset {
    int slot, dx, dy;
};

// The scan spreads only forward: the row above and the pixel itself never
// receive error, and the slot behind the pixel in scan direction holds 0 in
// every window.
const slot_offset scan_slots[] = {
    { 4, -1, 0 }, { 6, 1, 0 }, { 7, -1, 1 }, { 8, 0, 1 }, { 9, 1, 1 },
};

// The pre-processing spreads all around, also back into pixels it has
// already visited; they are looked at again in the next pass.
const slot_offset all_slots[] = {
    { 1, -1, -1 }, { 2, 0, -1 }, { 3, 1, -1 }, { 4, -1, 0 },
    { 6, 1, 0 },   { 7, -1, 1 }, { 8, 0, 1 },  { 9, 1, 1 },
};

// v + e * w in double, rounded once when stored.
inline void add_share(float &value, float error, float weight)
{
    value = static_cast<float>(value + static_cast<double>(error) * weight);
}

// Spreads the error of the pixel at (x, y) through the given slots of the
// window; the frame of one pixel takes what falls off the image.
template <size_t slot_count>
void spread(working_image &image, int x, int y, const float *error, const float *window,
            const slot_offset (&slots)[slot_count], int channels)
{
    for (const slot_offset &s : slots) {
        float weight = window[s.slot];
        float *neighbour = image.at(x + s.dx, y + s.dy);
        for (int c = 0; c < channels; ++c)
            add_share(neighbour[c], error[c], weight);
    }
}

// The pixel takes the entry's colour; its error per channel goes to error.
void take_color(float *v, int color, float *error, int channels)
{
    for (int c = 0; c < channels; ++c) {
        error[c] = v[c] - pal_ch[c][color];
        v[c] = pal_ch[c][color];
    }
}

// The limits act on the 3 x 3 block around the pixel, the upper one first, so
// with max_level below min_level the lower one has the last word.
void apply_limits(working_image &image, int x, int y, int channels)
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

void copy_window(const float *from)
{
    for (int slot = 1; slot <= 9; ++slot)
        wind[slot] = from[slot];
}

void pixel_step(working_image &image, png_writer_t *writer, int x, int y, int channels)
{
    float *v = image.at(x, y);
    int color = find_nearest_color(v);
    take_color(v, color, error_ch, channels);
    png_writer_set_pixel(writer, static_cast<uint32_t>(x - 1), static_cast<uint32_t>(y - 1),
                         static_cast<uint32_t>(color));
    spread(image, x, y, error_ch, wind, scan_slots, channels);
    apply_limits(image, x, y, channels);
}

}  // namespace

void clear_scan_state()
{
    for (float &e : error_ch)
        e = 0.0f;
}

void pre_process(working_image &image)
{
    if (pre_processing_algorithm != 1)
        return;
    select_pre_processing_window();
    const int channels = channels_used;
    float error[12];
    for (int pass = 0; pass < pre_processing_pass; ++pass) {
        // Always left to right, whatever serpentine says.
        for (int y = 1; y <= image.height; ++y)
            for (int x = 1; x <= image.width; ++x) {
                float *v = image.at(x, y);
                take_color(v, find_nearest_color_squared(v), error, channels);
                spread(image, x, y, error, mix_wind, all_slots, channels);
            }
    }
}

void diffusion_scan(working_image &image, png_writer_t *writer)
{
    const int channels = channels_used;
    direction = 1;
    for (int y = 1; y <= image.height; ++y) {
        copy_window(direction == 1 ? scaled_wind_r : scaled_wind_l);
        for (int x_cnt = 1; x_cnt <= image.width; ++x_cnt) {
            int x = direction == 1 ? x_cnt : image.width + 1 - x_cnt;
            pixel_step(image, writer, x, y, channels);
        }
        if (serpentine == 1)
            direction = direction == 1 ? 0 : 1;
    }
}
