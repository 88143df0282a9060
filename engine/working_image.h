// The bordered float image the scan works on, and how input rows become its
// rows.
#pragma once

#include "engine/color_space.h"
#include "settings/file_state.h"
#include "settings/settings.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

// An allocator whose resize leaves new floats as they come from the system:
// every value of the working image is written before it is read, and memory
// not yet written costs no time and, for a large image, no real memory yet.
template <typename T>
struct uninitialised_allocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = uninitialised_allocator<U>;
    };
    uninitialised_allocator() = default;
    template <typename U>
    uninitialised_allocator(const uninitialised_allocator<U> &) {}
    template <typename U>
    void construct(U *place) { ::new (static_cast<void *>(place)) U; }
    template <typename U, typename... Arguments>
    void construct(U *place, Arguments &&...arguments) { ::new (static_cast<void *>(place)) U(std::forward<Arguments>(arguments)...); }
};

using float_buffer = std::vector<float, uninitialised_allocator<float>>;
using byte_mask = std::vector<uint8_t, uninitialised_allocator<uint8_t>>;

// The working image: (width + 4) x (height + 4) pixels of `channels` floats
// each, the channels of one pixel side by side. Input pixel (x, y) lies at
// (x + 1, y + 1) in framed coordinates, which run from -1 to width + 2 and
// from -1 to height + 2: the frame of two pixels, as wide as the widest
// window reaches, lets the spreading and the limits run without bounds tests.
// Nothing ever reads the frame to choose an entry. A scan that follows the
// reading can hold only a ring of rows: framed row y then lives in place
// (y + frame - 1) & row_mask, and the reader refills a place once the scan is
// done with the row that held it.
struct working_image {
    int width = 0;     // of the input, without the frame
    int height = 0;
    int channels = 0;  // channels_used when it was filled
    size_t row_mask = ~size_t(0);  // every row in its own place
    float_buffer values;
    // With -a, 1 for every clear pixel and 0 for every visible one, a row of
    // width + 2 bytes for each input row, so that framed x (1 ... width)
    // indexes it as it does the values; empty when alpha is ignored. The
    // frame is never scanned and has no bytes here.
    byte_mask clear;

    static constexpr int frame = window_reach;
    size_t row_floats() const { return static_cast<size_t>(width + 2 * frame) * channels; }
    // Row y (1 ... height) of the mask, indexed by framed x (1 ... width), or
    // null when alpha is ignored.
    const uint8_t *clear_row(int y) const
    {
        return clear.empty() ? nullptr : clear.data() + static_cast<size_t>(y - 1) * static_cast<size_t>(width + 2);
    }
    float *at(int x, int y) { return values.data() + offset(x, y); }
    const float *at(int x, int y) const { return values.data() + offset(x, y); }
    // Whether the image holds a ring of rows rather than all of them.
    bool ring() const { return row_mask != ~size_t(0); }

private:
    size_t offset(int x, int y) const
    {
        return (static_cast<size_t>(y + frame - 1) & row_mask) * row_floats() +
               static_cast<size_t>(x + frame - 1) * channels;
    }
};

// The rows of a ring: far more than the scan ever has in hand (the rows of
// its threads in flight and the rows the window reaches each side), few
// enough to stay in the cache.
constexpr int ring_rows = 64;

// Sizes the image's buffer for width x height input pixels of that many
// channels and its frame, all its rows or (ring true) a ring of ring_rows rows
// where the image has more; the values are left as they come. Throws
// std::bad_alloc when memory runs out.
void size_working_image(working_image &image, int width, int height, int channels, bool ring = false);

// Level compression (-lc): the factor of every prepared level. The factor
// of "128" is 0.5, not 128/255.
struct level_compress_row {
    const char *keyword;  // of -lc; a code, never the level it spells
    int32_t code;
    double factor;
    const char *message;  // printed when -lc selects it
};

extern const level_compress_row level_compressions[level_compress_count];

// The image's red, green and blue in the working scale for one byte value,
// after the gamma treatment and the level compression of the settings.
float prepared_level(int byte);

// All that turning input rows into working rows needs, made from the settings
// on the main thread before the rows are read: the thread that reads them then
// reads no setting while the main thread prepares the palette and windows.
struct row_conversion {
    // The prepared level of every byte value: gamma and compression depend
    // on the byte alone, so one table per file gives exactly what treating
    // every sample would.
    float level[256];
    int32_t space;  // color_space
    color_converter convert;
    int32_t channels;
    int32_t alpha_threshold;  // 0: alpha ignored
};
row_conversion make_row_conversion();

// Sizes the image for a width x height input in the conversion's channels,
// all its rows or (ring true, for a scan that follows the reading) a ring of
// ring_rows rows where the image has more, with a mask of clear pixels for
// every row when it has an alpha threshold. Throws std::bad_alloc when memory
// runs out.
void allocate_working_image(working_image &image, int width, int height, const row_conversion &conversion,
                            bool ring = false);

// Converts input row y (0 ... height - 1) into framed row y + 1, its frame
// pixels repeating the row's end pixels; the first and the last input rows are
// also copied into the frame rows above and below them. With a mask, the
// pixels whose alpha is below the threshold are marked clear; a null alpha
// leaves them all visible. The colour under a clear pixel is converted all
// the same: nothing ever reads it.
void fill_working_row(working_image &image, int y, const uint8_t *rgb, const uint8_t *alpha,
                      const row_conversion &conversion);
