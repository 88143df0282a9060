// The fast scan: the plain scan's steps with the fast search, for a channel
// count known when compiling, and the row wavefront that spreads a scan over
// the cores. Every value it leaves behind that anything reads is the plain
// scan's, to the bit.
#include "engine/fast_scan.h"

#include "engine/fast_search.h"
#include "engine/nearest.h"
#include "engine/palette.h"
#include "engine/scan_steps.h"
#include "engine/windows.h"
#include "settings/settings.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define cpu_relax() _mm_pause()
#else
#define cpu_relax() ((void)0)
#endif

using namespace scan_steps;

namespace {

// The fast scan's pixel step, for a channel count known when compiling: the
// same arithmetic as pixel_step. The fast search reads only the used
// channels, so the values are searched where they stand.
//
// A share of weight 0 leaves a value as it is when the error is finite (at
// most a zero changes its sign, which no distance or comparison sees), so
// such slots are passed over; an infinite or undefined error still makes the
// plain scan's undefined value there, and then every slot is taken.
template <int channels>
inline void spread_fast(float *v, const float *error, const spread_list &slots)
{
    double e[channels];
    bool finite = true;
    for (int c = 0; c < channels; ++c) {
        e[c] = error[c];
        finite = finite && std::isfinite(error[c]);
    }
    const int count = finite ? slots.with_share : slots.all;
    for (int i = 0; i < count; ++i) {
        const double weight = slots.weight[i];
        float *neighbour = v + slots.offset[i];
        for (int c = 0; c < channels; ++c)
            neighbour[c] = static_cast<float>(neighbour[c] + e[c] * weight);
    }
}

// The rest of a pixel step once its entry is chosen; the index goes to the
// writer's row of indices.
template <int channels>
inline void apply_color(working_image &image, uint8_t *indices, int x, int y, float *v, int color,
                        const spread_list &window, float *error)
{
    for (int c = 0; c < channels; ++c) {
        error[c] = v[c] - pal_ch[c][color];
        v[c] = pal_ch[c][color];
    }
    indices[x - 1] = static_cast<uint8_t>(color);
    spread_fast<channels>(v, error, window);
    if (max_limit == 1 || min_limit == 1)
        apply_limits(image, x, y, channels, window.columns, window.rows);
}

template <int channels, typename chooser>
inline void fast_pixel_step(working_image &image, uint8_t *indices, int x, int y, const spread_list &window,
                            float *error, chooser &&choose)
{
    float *v = image.at(x, y);
    apply_color<channels>(image, indices, x, y, v, choose(v), window, error);
}

// The fast search keeps the choice of a pixel where no entry wins, exactly as
// the plain search keeps best_color.
struct carrying_chooser {
    const nearest_color_finder &finder;
    int &carried;
    bool &found;  // whether the last search found its entry

    int operator()(const float *v) const
    {
        const int entry = finder.find(v);
        found = entry >= 0;
        if (found)
            carried = entry;
        return carried;
    }
};

// The values of the last pixel searched, for leave_state. Without clear
// pixels that is the last pixel, and only it is kept; with them, any pixel
// searched may turn out to be the last.
struct last_searched {
    float values[max_working_channels] = {};
    bool any = false;

    void keep(const float *v, int channels)
    {
        std::memcpy(values, v, sizeof(float) * channels);
        any = true;
    }
};

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
    const spread_list around = spread_list_around(mix_wind, image);
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
                spread_fast<channels>(v, error, around);
            }
        }
    }
    if (last.any)
        leave_fast_search_state(finder, last.values, carried, found);
}

// The rows the window reaches below row y must be filled before row y is
// scanned: rows 1 ... y + rows of the framed image, input rows 0 ... y +
// rows - 1.
bool rows_ready(const row_gate *gate, const working_image &image, int y, int rows)
{
    return !gate || gate->wait_for(std::min(y + rows, image.height));
}

template <int channels>
bool sequential_fast_scan(working_image &image, png_writer_t *writer, const nearest_color_finder &finder,
                          const row_gate *gate)
{
    int carried = best_color;
    bool found = false;
    last_searched last;
    carrying_chooser choose{ finder, carried, found };
    const spread_list left_to_right = scan_spread_list(scaled_wind_r, image);
    const spread_list right_to_left = scan_spread_list(scaled_wind_l, image);
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
        if (serpentine == 1)
            direction = direction == 1 ? 0 : 1;
    }
    if (last.any)
        leave_fast_search_state(finder, last.values, carried, found);
    return true;
}

// Rows scanned together by one thread.
constexpr int rows_in_flight = 2;

// The row wavefront. A pixel touches the values of the block its window
// reaches, from the row above it down, c columns to either side (3 x 3 for c
// = 1), so the blocks of two pixels in different rows meet only when their
// columns lie within 2c. Row y may therefore handle column x once row y - 1
// has finished column x + 2c, and row y - 1 has waited in turn for the rows
// above it: every value a pixel touches has then received all it gets from
// the rows above, and nothing of them touches it later. So every value sees
// the same additions and limits in the same order as in one thread, and the
// result is the same to the bit.
template <int channels>
class wavefront {
public:
    wavefront(working_image &image, png_writer_t *writer, const nearest_color_finder &finder, int threads,
              const row_gate *gate)
        : image_(image), writer_(writer), finder_(finder), threads_(threads), gate_(gate),
          transparent_(static_cast<uint8_t>(transparent_entry)), done_(image.height + 1), ends_(image.height + 1),
          window_(scan_spread_list(scaled_wind_r, image)), lag_(2 * scaled_wind_r.columns)
    {
        for (auto &d : done_)
            d.value.store(0, std::memory_order_relaxed);
        done_[0].value.store(image.width, std::memory_order_relaxed);
        ends_[0].color = best_color;
    }

    // Returns false when the gate failed. Throws std::system_error, having
    // touched no pixel, when the threads cannot all be had.
    bool run()
    {
        // The helpers wait for the word to start, so that a thread the system
        // refuses leaves the image untouched for a scan in one thread.
        std::atomic<int> start{ 0 };
        std::vector<std::thread> helpers;
        auto go = [&](int word) {
            start.store(word, std::memory_order_release);
            for (std::thread &helper : helpers)
                helper.join();
        };
        try {
            for (int t = 1; t < threads_; ++t)
                helpers.emplace_back([this, t, &start] {
                    int word;
                    while ((word = start.load(std::memory_order_acquire)) == 0)
                        std::this_thread::yield();
                    if (word > 0)
                        rows_of(t);
                });
        } catch (...) {
            // A helper refused by the system or for want of memory: the
            // started ones leave before touching a row, and the caller runs
            // the scan in this thread alone.
            go(-1);
            throw;
        }
        start.store(1, std::memory_order_release);
        rows_of(0);
        go(1);
        if (gate_ && gate_->failed())
            return false;
        // The last search of the scan was in the last row that searched any
        // pixel; the rows after it, all clear, passed its entry on.
        for (int y = image_.height; y >= 1; --y) {
            const row_end &end = ends_[y];
            if (!end.last.any)
                continue;
            std::memcpy(error_ch, end.error, sizeof(float) * channels);
            leave_fast_search_state(finder_, end.last.values, ends_[image_.height].color, end.found);
            break;
        }
        return true;
    }

private:
    // Publishing progress every few pixels keeps the shared counters quiet.
    static constexpr int publish_every = 32;

    // What a finished row leaves for the rows below and for the end of the
    // scan. A row that never finishes (the reading failed) leaves entry 0.
    struct row_end {
        int color = 0;       // the entry carried on to the next pixel
        bool found = false;  // whether the row's last search found its entry
        last_searched last;
        float error[max_working_channels] = {};  // of the row's last pixel searched
    };

    // A row's progress, alone on its cache line: the thread of the row below
    // reads it while the thread of the row above writes its own.
    struct alignas(64) progress {
        std::atomic<int> value{ 0 };
    };

    // Waits until the row has finished the column; returns how far it has
    // come, which the caller keeps, so that the shared counter is read again
    // only when the row is not known to be far enough.
    int wait_for(int row, int column) const
    {
        int done;
        for (int spins = 0; (done = done_[row].value.load(std::memory_order_acquire)) < column; ++spins) {
            if (spins < 256)
                cpu_relax();
            else
                std::this_thread::yield();
        }
        return done;
    }

    // A row being scanned: where it stands and what it carries.
    struct row_cursor {
        int y = 0;
        int x = 1;            // the next pixel
        int carried = -1;     // the entry of the pixel before, once known
        bool found = false;   // whether the last search found its entry
        bool waiting = false; // stopped at a pixel where no entry wins, for the row above to end
        uint8_t *indices = nullptr;  // the row in the writer
        const uint8_t *clear = nullptr;  // the row of the mask of clear pixels, if any
        float error[max_working_channels] = {};
        last_searched last;

        bool finished(int width) const { return x > width; }
    };

    // Steps the cursor over one pixel. Returns false, having changed nothing,
    // when no entry wins there and the entry it keeps is not known yet: that
    // is the last of the row above, which has not ended.
    bool step(row_cursor &row, const spread_list &window)
    {
        if (row.clear && row.clear[row.x]) {
            row.indices[row.x - 1] = transparent_;
            ++row.x;
            return true;
        }
        float *v = image_.at(row.x, row.y);
        int color = finder_.find(v);
        row.found = color >= 0;
        if (row.found) {
            row.carried = color;
        } else if (row.carried < 0) {
            return false;
        } else {
            color = row.carried;
        }
        if (row.clear || row.x == image_.width)
            row.last.keep(v, channels);
        apply_color<channels>(image_, row.indices, row.x, row.y, v, color, window, row.error);
        ++row.x;
        return true;
    }

    // The row above has finished by now: the last pixel of a row waits for
    // it. A row that searched no pixel passes on the entry it was given.
    void finish(row_cursor &row)
    {
        row_end &end = ends_[row.y];
        end.color = row.carried >= 0 ? row.carried : ends_[row.y - 1].color;
        end.found = row.found;
        end.last = row.last;
        std::memcpy(end.error, row.error, sizeof end.error);
        done_[row.y].value.store(image_.width, std::memory_order_release);
    }

    // Each thread scans a group of rows together, each row the lag and one
    // pixel behind the one above it: their chains of pixels do not depend on
    // each other there, so the processor works on all of them at once. A
    // failed read stops every thread: rows that cannot start mark themselves
    // done, so that the rows below them never wait for them.
    static constexpr int group = rows_in_flight;

    void rows_of(int thread)
    {
        const int height = image_.height;
        for (int y = 1 + group * thread; y <= height; y += group * threads_) {
            const int last = std::min(y + group - 1, height);
            if (!rows_ready(gate_, image_, last, window_.rows)) {
                for (; y <= height; ++y)
                    done_[y].value.store(image_.width, std::memory_order_release);
                return;
            }
            rows(y, last - y + 1);
        }
    }

    void rows(int first_y, int count)
    {
        const int width = image_.width;
        const spread_list window = window_;
        row_cursor cursor[group];
        for (int i = 0; i < count; ++i) {
            cursor[i].y = first_y + i;
            cursor[i].indices = png_writer_row_bytes(writer_, static_cast<uint32_t>(first_y + i - 1));
            cursor[i].clear = image_.clear_row(first_y + i);
        }
        int above = 0;  // how far the row above the group is known to have come
        for (int unfinished = count; unfinished > 0;) {
            for (int i = 0; i < count; ++i) {
                row_cursor &row = cursor[i];
                if (row.finished(width))
                    continue;
                const int needed = std::min(row.x + lag_, width);
                if (i == 0) {
                    // The row above belongs to another thread.
                    if (above < needed)
                        above = wait_for(row.y - 1, needed);
                    if (!step(row, window)) {
                        wait_for(row.y - 1, width);
                        row.carried = ends_[row.y - 1].color;
                        step(row, window);
                    }
                } else {
                    const row_cursor &up = cursor[i - 1];
                    if (row.waiting) {
                        if (!up.finished(width))
                            continue;
                        row.carried = ends_[up.y].color;
                        row.waiting = false;
                    }
                    if (!up.finished(width) && up.x - 1 < needed)
                        continue;
                    row.waiting = !step(row, window);
                }
                // Only the group's last row has a reader in another thread.
                // The end of a row is published by finish, after what the
                // row leaves is written.
                if (i == count - 1 && row.x % publish_every == 0 && !row.finished(width))
                    done_[row.y].value.store(row.x - 1, std::memory_order_release);
                if (row.finished(width)) {
                    finish(row);
                    --unfinished;
                }
            }
        }
    }

    working_image &image_;
    png_writer_t *writer_;
    const nearest_color_finder &finder_;
    const int threads_;
    const row_gate *gate_;
    const uint8_t transparent_;
    std::vector<progress> done_;
    std::vector<row_end> ends_;
    const spread_list window_;
    // How far a row's pixel stays behind the row above: twice the columns
    // the window reaches.
    const int lag_;
};

template <int channels>
bool fast_scan(working_image &image, png_writer_t *writer, const nearest_color_finder &finder, const row_gate *gate)
{
    // A serpentine row depends on the whole row before it: one row at a time.
    if (serpentine == 1)
        return sequential_fast_scan<channels>(image, writer, finder, gate);
    direction = 1;
    wind = scaled_wind_r;
    try {
        return wavefront<channels>(image, writer, finder, scan_threads(image), gate).run();
    } catch (const std::system_error &) {
        // No threads to be had: this one does it all.
        return wavefront<channels>(image, writer, finder, 1, gate).run();
    } catch (const std::bad_alloc &) {
        // No memory for another thread: the same, losing nothing.
        return wavefront<channels>(image, writer, finder, 1, gate).run();
    }
}

}  // namespace

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
    const nearest_color_finder finder(0, 0);
    switch (channels_used) {
    case 4: fast_circle_passes<4>(image, finder); break;
    case 6: fast_circle_passes<6>(image, finder); break;
    case 7: fast_circle_passes<7>(image, finder); break;
    default: fast_circle_passes<3>(image, finder); break;
    }
}

bool fast_diffusion_scan(working_image &image, png_writer_t *writer, const row_gate *gate)
{
    const nearest_color_finder finder(quant_weighting_coefficients, quant_error_finding_algorithm);
    switch (channels_used) {
    case 4: return fast_scan<4>(image, writer, finder, gate);
    case 6: return fast_scan<6>(image, writer, finder, gate);
    case 7: return fast_scan<7>(image, writer, finder, gate);
    default: return fast_scan<3>(image, writer, finder, gate);
    }
}
