// The circle pre-processing and the error-diffusion scan.
#pragma once

#include "engine/working_image.h"
#include "png/png_writer.h"
#include "settings/carried_state.h"
#include "settings/scan_state.h"
#include "settings/tuning.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

// The rows of a working image that are filled so far, for a scan that runs
// while the image is still being read: the scan of a row waits until the row
// below it is there, since the spreading adds to it.
class row_gate {
public:
    // Input rows 0 ... rows - 1 are filled (with the frame rows they imply).
    void open_through(int rows);
    // The rest will never come.
    void fail();
    // Waits until the first `rows` input rows are filled. False when reading
    // failed: the scan gives up.
    bool wait_for(int rows) const;
    bool failed() const { return failed_.load(std::memory_order_acquire); }

    // The other way, for an image held in a ring: framed rows 0 ... rows - 1
    // are done with, their places free for the reader to fill again.
    void release_through(int rows);
    // The scan has ended: every place is free.
    void release_all();
    // Waits until the first `rows` framed rows are released; when they are
    // not yet, until `more` rows beyond them are (the scan can always get
    // there: the reader has filled them).
    void wait_released(int rows, int more) const;

private:
    std::atomic<int> filled_{ 0 };
    int released_ = 0;  // under the lock
    std::atomic<bool> failed_{ false };
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
};

// Clears error_ch; done when the engine starts on a file.
void clear_scan_state();

// Runs pre_processing_pass passes of the circle pre-processing when
// pre_processing_algorithm is 1.
void pre_process(working_image &image);

// One error-diffusion pass over every pixel, plain or serpentine, or the
// ordered scan when the installed window is an ordered one; stores each
// chosen index in the writer. The limits hold the values at the levels that
// max_limit and min_limit choose for the palette in pal_ch. With a gate, rows are scanned as they are
// filled; returns false when the gate fails (the image is then unfinished).
bool diffusion_scan(working_image &image, png_writer_t *writer, row_gate *gate = nullptr);
