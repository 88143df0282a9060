// The row wavefront that spreads a scan without serpentine rows over the
// cores: which thread scans which rows, how far each row may go, and how the
// threads wait for each other. The pixels are stepped as in one thread
// (engine/fast_steps.h). Internal to the fast scan.
#pragma once

#include "engine/fast_scan.h"
#include "engine/fast_steps.h"
#include "engine/helper_threads.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define cpu_relax() _mm_pause()
#else
#define cpu_relax() ((void)0)
#endif

namespace fast_steps {

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
        // refuses leaves the image untouched for a scan in one thread: the
        // rows are dealt to a fixed number of threads.
        std::atomic<int> start{ 0 };
        helper_threads helpers;
        const int started = helpers.start(threads_ - 1, [this, &start](int t) {
            int word;
            while ((word = start.load(std::memory_order_acquire)) == 0)
                std::this_thread::yield();
            if (word > 0)
                rows_of(t);
        });
        if (started < threads_ - 1) {
            start.store(-1, std::memory_order_release);
            return outcome::no_threads;
        }
        start.store(1, std::memory_order_release);
        rows_of(0);
        helpers.join();
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
                    if (!step_row<channels, masked>(image_, finder_, transparent_, row, window)) {
                        wait_for(row.y - 1, width);
                        row.carried = ends_[row.y - 1].color;
                        step_row<channels, masked>(image_, finder_, transparent_, row, window);
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
                    row.waiting = !step_row<channels, masked>(image_, finder_, transparent_, row, window);
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

}  // namespace fast_steps
