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
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
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
//
// The rows above and below are found through the image, which may hold its
// rows in a ring.
template <int channels>
inline void spread_fast(working_image &image, int x, int y, const float *error, const spread_list &slots)
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
        float *neighbour = image.at(x + slots.dx[i], y + slots.dy[i]);
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
    spread_fast<channels>(image, x, y, error, window);
    if (max_limit != limit_off || min_limit != limit_off)
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

// The rows the window reaches below row y must be filled before row y is
// scanned: rows 1 ... y + rows of the framed image, input rows 0 ... y +
// rows - 1.
bool rows_ready(const row_gate *gate, const working_image &image, int y, int rows)
{
    return !gate || gate->wait_for(std::min(y + rows, image.height));
}

// The framed rows that are done with once row y is scanned, and every row
// above it: those below y, and with a window that reaches two rows down, below
// y - 1, since it writes two rows down and reads the rows it spreads into.
int rows_done_with(int y, int rows)
{
    return y + 1 - rows;
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
        if (serpentine == 1)
            direction = direction == 1 ? 0 : 1;
    }
    if (last.any)
        leave_fast_search_state(finder, last.values, carried, found);
    return true;
}

// Rows scanned together by one thread.
constexpr int rows_in_flight = 4;

// The row wavefront. A pixel touches the values of the block its window
// reaches, from the row above it down, c columns to either side (3 x 3 for c
// = 1), so the blocks of two pixels in different rows meet only when their
// columns lie within 2c. Row y may therefore handle column x once row y - 1
// has finished column x + 2c, and row y - 1 has waited in turn for the rows
// above it: every value a pixel touches has then received all it gets from
// the rows above, and nothing of them touches it later. So every value sees
// the same additions and limits in the same order as in one thread, and the
// result is the same to the bit.
//
// With a mask of clear pixels (masked), a clear pixel is passed over and
// every pixel searched may be a row's last; without one, the mask's tests are
// compiled out of the loop.
template <int channels, bool masked>
class wavefront {
public:
    wavefront(working_image &image, png_writer_t *writer, const nearest_color_finder &finder, int threads,
              row_gate *gate)
        : image_(image), writer_(writer), finder_(finder), threads_(threads), gate_(gate),
          transparent_(static_cast<uint8_t>(transparent_entry)), done_(image.height + 1), ends_(image.height + 1),
          window_(scan_spread_list(scaled_wind_r)), lag_(2 * scaled_wind_r.columns)
    {
        for (auto &d : done_)
            d.value.store(0, std::memory_order_relaxed);
        done_[0].value.store(image.width, std::memory_order_relaxed);
        ends_[0].color = best_color;
    }

    enum class outcome { scanned, gate_failed, no_threads };

    // Scans the image; with no_threads nothing has been touched, and the
    // caller scans in one thread instead.
    outcome run()
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
        if (!start_helpers(helpers, start)) {
            go(-1);
            return outcome::no_threads;
        }
        start.store(1, std::memory_order_release);
        rows_of(0);
        go(1);
        if (gate_ && gate_->failed())
            return outcome::gate_failed;
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
        return outcome::scanned;
    }

private:
    // False when the system refuses a thread or memory runs out for one; the
    // helpers started so far are in the list, waiting for the word.
    bool start_helpers(std::vector<std::thread> &helpers, std::atomic<int> &start)
    {
        try {
            helpers.reserve(threads_ - 1);
            for (int t = 1; t < threads_; ++t)
                helpers.push_back(scan_helper_starter([this, t, &start] {
                    int word;
                    while ((word = start.load(std::memory_order_acquire)) == 0)
                        std::this_thread::yield();
                    if (word > 0)
                        rows_of(t);
                }));
        } catch (const std::system_error &) {
            return false;
        } catch (const std::bad_alloc &) {
            return false;
        }
        return true;
    }

    // Publishing progress every few pixels keeps the shared counters quiet.
    static constexpr int publish_every = 32;
    // Some microseconds: many publications of a row whose thread runs.
    static constexpr int spins_before_sleeping = 512;

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
    // only when the row is not known to be far enough. A short wait spins; a
    // long one (the thread of the row above is not running) sleeps until
    // that thread publishes, costing no processor time meanwhile.
    int wait_for(int row, int column)
    {
        int done;
        for (int spins = 0; (done = done_[row].value.load(std::memory_order_acquire)) < column; ++spins) {
            if (spins < spins_before_sleeping) {
                cpu_relax();
                continue;
            }
            std::unique_lock<std::mutex> lock(sleep_mutex_);
            // Announced before the counter is read again: a publisher that
            // stores after that read sees the announcement and wakes us.
            sleepers_.fetch_add(1, std::memory_order_seq_cst);
            while ((done = done_[row].value.load(std::memory_order_seq_cst)) < column)
                woken_.wait(lock);
            sleepers_.fetch_sub(1, std::memory_order_relaxed);
            return done;
        }
        return done;
    }

    // Stores a row's progress and wakes the threads sleeping for some.
    void publish(int row, int column)
    {
        done_[row].value.store(column, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) != 0) {
            std::lock_guard<std::mutex> lock(sleep_mutex_);
            woken_.notify_all();
        }
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
        if (masked && row.clear[row.x]) {
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
        if (masked || row.x == image_.width)
            row.last.keep(v, channels);
        apply_color<channels>(image_, row.indices, row.x, row.y, v, color, window, row.error);
        ++row.x;
        return true;
    }

    // The row above has finished by now: the last pixel of a row waits for
    // it. A row that searched no pixel passes on the entry it was given. Once
    // a row is done, the rows above the ones its window reaches are free:
    // nothing touches them again, and a ring may take them back.
    void finish(row_cursor &row)
    {
        row_end &end = ends_[row.y];
        end.color = row.carried >= 0 ? row.carried : ends_[row.y - 1].color;
        end.found = row.found;
        end.last = row.last;
        std::memcpy(end.error, row.error, sizeof end.error);
        publish(row.y, image_.width);
        if (gate_)
            gate_->release_through(rows_done_with(row.y, window_.rows));
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
                    publish(y, image_.width);
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
                    publish(row.y, row.x - 1);
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
    row_gate *gate_;
    const uint8_t transparent_;
    std::vector<progress> done_;
    std::atomic<int> sleepers_{ 0 };
    std::mutex sleep_mutex_;
    std::condition_variable woken_;
    std::vector<row_end> ends_;
    const spread_list window_;
    // How far a row's pixel stays behind the row above: twice the columns
    // the window reaches.
    const int lag_;
};

template <int channels, bool masked>
bool wavefront_scan(working_image &image, png_writer_t *writer, const nearest_color_finder &finder, row_gate *gate)
{
    using front = wavefront<channels, masked>;
    typename front::outcome result = front(image, writer, finder, scan_threads(image), gate).run();
    // No threads to be had: this one does it all.
    if (result == front::outcome::no_threads)
        result = front(image, writer, finder, 1, gate).run();
    return result == front::outcome::scanned;
}

template <int channels>
bool fast_scan(working_image &image, png_writer_t *writer, const nearest_color_finder &finder, row_gate *gate)
{
    // A serpentine row depends on the whole row before it: one row at a time.
    if (serpentine == 1)
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

std::thread (*scan_helper_starter)(std::function<void()> body) = [](std::function<void()> body) {
    return std::thread(std::move(body));
};

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
    const nearest_color_finder finder(0, 0);
    fast_scan_for(channels_used)->circle(image, finder);
}

bool fast_diffusion_scan(working_image &image, png_writer_t *writer, row_gate *gate)
{
    const nearest_color_finder finder(quant_weighting_coefficients, quant_error_finding_algorithm);
    return fast_scan_for(channels_used)->scan(image, writer, finder, gate);
}
