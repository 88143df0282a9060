// The fast scan: the plain scan's steps with the fast search, for a channel
// count known when compiling, in one thread or on the row wavefront
// (engine/wavefront.h). Every value it leaves behind that anything reads is
// the plain scan's, to the bit.
#include "engine/fast_scan.h"

#include "engine/diffusion_windows.h"
#include "engine/fast_search.h"
#include "engine/fast_steps.h"
#include "engine/nearest.h"
#include "engine/palette.h"
#include "engine/wavefront.h"
#include "settings/settings.h"

#include <algorithm>
#include <functional>
#include <thread>

using namespace fast_steps;

namespace {

// The circle passes with the fast search: the same steps as circle_passes.
template <int channels>
void fast_circle_passes(working_image &image, const nearest_color_finder &finder)
{
    select_pre_processing_window();
    int carried = best_color;
    bool found = false;
    carrying_chooser choose{ finder, carried, found };
    float error[max_working_channels];
    last_searched last;
    const spread_list around = spread_list_around(mix_wind);
    for (int pass = 0; pass < pre_processing_pass; ++pass) {
        const bool last_pass = pass == pre_processing_pass - 1;
        for (int y = 1; y <= image.height; ++y) {
            const uint8_t *clear = image.clear_row(y);
            for (int x = 1; x <= image.width; ++x) {
                if (clear && clear[x])
                    continue;
                float *v = image.at(x, y);
                if (last_pass && (clear || (y == image.height && x == image.width)))
                    last.keep(v, channels);
                take_color(v, choose(v), error, channels);
                spread_fast<channels>(image, x, y, error, around);
            }
        }
    }
    if (last.any)
        leave_fast_search_state(finder, last.values, carried, found);
}

template <int channels>
bool sequential_fast_scan(working_image &image, png_writer_t *writer, const nearest_color_finder &finder,
                          row_gate *gate)
{
    int carried = best_color;
    bool found = false;
    last_searched last;
    carrying_chooser choose{ finder, carried, found };
    const spread_list left_to_right = scan_spread_list(scaled_wind_r);
    const spread_list right_to_left = scan_spread_list(scaled_wind_l);
    direction = 1;
    for (int y = 1; y <= image.height; ++y) {
        if (!rows_ready(gate, image, y, scaled_wind_r.rows))
            return false;
        wind = direction == 1 ? scaled_wind_r : scaled_wind_l;
        const spread_list &window = direction == 1 ? left_to_right : right_to_left;
        uint8_t *indices = png_writer_row_bytes(writer, static_cast<uint32_t>(y - 1));
        const uint8_t *clear = image.clear_row(y);
        for (int x_cnt = 1; x_cnt <= image.width; ++x_cnt) {
            int x = direction == 1 ? x_cnt : image.width + 1 - x_cnt;
            if (clear && clear[x]) {
                indices[x - 1] = static_cast<uint8_t>(transparent_entry);
                continue;
            }
            if (clear || (y == image.height && x_cnt == image.width))
                last.keep(image.at(x, y), channels);
            fast_pixel_step<channels>(image, indices, x, y, window, error_ch, choose);
        }
        if (gate)
            gate->release_through(rows_done_with(y, scaled_wind_r.rows));
        if (serpentine == switch_on)
            direction = direction == 1 ? 0 : 1;
    }
    if (last.any)
        leave_fast_search_state(finder, last.values, carried, found);
    return true;
}

template <int channels>
bool fast_scan(working_image &image, png_writer_t *writer, const nearest_color_finder &finder, row_gate *gate)
{
    // A serpentine row depends on the whole row before it: one row at a time.
    if (serpentine == switch_on)
        return sequential_fast_scan<channels>(image, writer, finder, gate);
    direction = 1;
    wind = scaled_wind_r;
    if (image.clear.empty())
        return wavefront_scan<channels, false>(image, writer, finder, gate);
    return wavefront_scan<channels, true>(image, writer, finder, gate);
}

// The fast scan and circle passes for each channel count of a colour space.
// A count missing here leaves the file to the plain paths (fast_paths_cover),
// which a test makes sure no colour space reaches.
struct fast_scan_row {
    int channels;
    bool (*scan)(working_image &, png_writer_t *, const nearest_color_finder &, row_gate *);
    void (*circle)(working_image &, const nearest_color_finder &);
};

const fast_scan_row fast_scans[] = {
    { 3, fast_scan<3>, fast_circle_passes<3> },
    { 4, fast_scan<4>, fast_circle_passes<4> },
    { 6, fast_scan<6>, fast_circle_passes<6> },
    { 7, fast_scan<7>, fast_circle_passes<7> },
};

const fast_scan_row *fast_scan_for(int channels)
{
    for (const fast_scan_row &row : fast_scans)
        if (row.channels == channels)
            return &row;
    return nullptr;
}

}  // namespace

bool fast_paths_cover(int channels)
{
    return fast_scan_for(channels) != nullptr;
}

void leave_fast_search_state(const nearest_color_finder &finder, const float *last_values, int carried, bool found)
{
    finder.leave_search_state(last_values, dither_quant_error_ch);
    best_color = carried;
    best_dither_quant_error = found ? finder.error_of(last_values, carried) : no_error_yet;
}

// Threads pay off only on images of some size; below that one thread does it.
int scan_threads(const working_image &image)
{
    if (scan_thread_count > 0)
        return scan_thread_count;
    if (static_cast<long long>(image.width) * image.height < 65536 || image.width < 64)
        return 1;
    return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
}

void fast_pre_process(working_image &image)
{
    const nearest_color_finder finder(weighting_111, metric_pow2);
    fast_scan_for(channels_used)->circle(image, finder);
}

bool fast_diffusion_scan(working_image &image, png_writer_t *writer, row_gate *gate)
{
    const nearest_color_finder finder(quant_weighting_coefficients, quant_error_finding_algorithm);
    return fast_scan_for(channels_used)->scan(image, writer, finder, gate);
}
