#include "engine/scan.h"

#include "engine/diffusion_windows.h"
#include "engine/fast_scan.h"
#include "engine/nearest.h"
#include "engine/ordered.h"
#include "engine/palette.h"
#include "engine/scan_steps.h"
#include "settings/settings.h"

#include <algorithm>
#include <cstring>
#include <limits>

using namespace scan_steps;

namespace {

// v + e * w in double, rounded once when stored.
inline void add_share(float &value, float error, float weight)
{
    value = static_cast<float>(value + static_cast<double>(error) * weight);
}

// Adds the pixel's error times the slot's share to the neighbour at (dx, dy);
// the frame takes what falls off the image.
inline void spread_to(working_image &image, int x, int y, const float *error, const window_block &window, int dx,
                      int dy, int channels)
{
    const float weight = window.at(dx, dy);
    float *neighbour = image.at(x + dx, y + dy);
    for (int c = 0; c < channels; ++c)
        add_share(neighbour[c], error[c], weight);
}

// The searches read twelve working values; the image holds only the used
// channels, so the rest are the zeros of the unused planes.
struct padded_values {
    float v[max_working_channels] = {};
    padded_values(const float *pixel, int channels) { std::memcpy(v, pixel, sizeof(float) * channels); }
};

// One pixel of the scan: search, take the colour, store the index, spread,
// limit. choose gives the entry for the padded values.
template <typename chooser>
inline void pixel_step(working_image &image, png_writer_t *writer, int x, int y, int channels,
                       const window_block &window, float *error, chooser &&choose)
{
    float *v = image.at(x, y);
    const int color = choose(padded_values(v, channels).v);
    take_color(v, color, error, channels);
    png_writer_set_pixel(writer, static_cast<uint32_t>(x - 1), static_cast<uint32_t>(y - 1),
                         static_cast<uint32_t>(color));
    for_scan_slots(window, [&](int dx, int dy) { spread_to(image, x, y, error, window, dx, dy, channels); });
    apply_limits(image, x, y, channels, window.columns, window.rows);
}

// Clear pixels take no part: they are not searched and give no error, and
// what is spread into them is never read again, which drops it.
template <typename chooser>
void circle_passes(working_image &image, int channels, chooser &&choose)
{
    select_pre_processing_window();
    float error[max_working_channels];
    for (int pass = 0; pass < pre_processing_pass; ++pass) {
        // Always left to right, whatever serpentine says.
        for (int y = 1; y <= image.height; ++y) {
            const uint8_t *clear = image.clear_row(y);
            for (int x = 1; x <= image.width; ++x) {
                if (clear && clear[x])
                    continue;
                float *v = image.at(x, y);
                take_color(v, choose(padded_values(v, channels).v), error, channels);
                for_slots_around([&](int dx, int dy) { spread_to(image, x, y, error, mix_wind, dx, dy, channels); });
            }
        }
    }
}

// A clear pixel is written with the transparent entry and nothing else: no
// search, no error taken or given, no limits. The shares that its neighbours
// send it stay in a value that nothing reads again, so they are dropped.
void plain_scan(working_image &image, png_writer_t *writer, int channels)
{
    direction = 1;
    for (int y = 1; y <= image.height; ++y) {
        wind = direction == 1 ? scaled_wind_r : scaled_wind_l;
        const uint8_t *clear = image.clear_row(y);
        for (int x_cnt = 1; x_cnt <= image.width; ++x_cnt) {
            int x = direction == 1 ? x_cnt : image.width + 1 - x_cnt;
            if (clear && clear[x]) {
                png_writer_set_pixel(writer, static_cast<uint32_t>(x - 1), static_cast<uint32_t>(y - 1),
                                     static_cast<uint32_t>(transparent_entry));
                continue;
            }
            pixel_step(image, writer, x, y, channels, wind, error_ch,
                       [](const float *v) { return find_nearest_color(v); });
        }
        if (serpentine == switch_on)
            direction = direction == 1 ? 0 : 1;
    }
}

// The levels of the file's limits. Every entry of pal_ch is a colour of the
// palette by now: the entries past its colours repeat its last one, and the
// transparent entry of -a has taken entry 0's colour.
void set_limit_levels(int channels)
{
    for (int c = 0; c < max_working_channels; ++c) {
        const float *plane = pal_ch[c];
        const bool spanned = c < channels;
        max_levels[c] = spanned && max_limit == limit_palette ? *std::max_element(plane, plane + palette_entries)
                                                              : max_level;
        min_levels[c] = spanned && min_limit == limit_palette ? *std::min_element(plane, plane + palette_entries)
                                                              : min_level;
    }
}

}  // namespace

void clear_scan_state()
{
    for (float &e : error_ch)
        e = 0.0f;
}

void pre_process(working_image &image)
{
    if (pre_processing_algorithm != pre_processing_circle)
        return;
    const int channels = channels_used;
    if (use_plain_paths || !fast_paths_cover(channels)) {
        circle_passes(image, channels, [](const float *v) { return find_nearest_color_squared(v); });
        return;
    }
    if (pre_processing_pass <= 0) {
        select_pre_processing_window();
        return;
    }
    fast_pre_process(image);
}

bool diffusion_scan(working_image &image, png_writer_t *writer, row_gate *gate)
{
    if (ordered_pattern)
        return ordered_scan(image, writer, *ordered_pattern, gate);
    const int channels = channels_used;
    set_limit_levels(channels);
    if (use_plain_paths || !fast_paths_cover(channels)) {
        if (gate && !gate->wait_for(image.height))
            return false;
        plain_scan(image, writer, channels);
        return true;
    }
    return fast_diffusion_scan(image, writer, gate);
}

void row_gate::open_through(int rows)
{
    filled_.store(rows, std::memory_order_release);
    // The lock orders the store before a waiter's check and its sleep.
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

void row_gate::fail()
{
    failed_.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

bool row_gate::wait_for(int rows) const
{
    if (filled_.load(std::memory_order_acquire) >= rows)
        return true;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return filled_.load(std::memory_order_acquire) >= rows || failed(); });
    return filled_.load(std::memory_order_acquire) >= rows;
}

void row_gate::release_through(int rows)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (rows > released_) {
        released_ = rows;
        changed_.notify_all();
    }
}

void row_gate::release_all()
{
    release_through(std::numeric_limits<int>::max());
}

void row_gate::wait_released(int rows, int more) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (released_ >= rows)
        return;
    changed_.wait(lock, [&] { return released_ >= rows + more; });
}
