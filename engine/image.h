// The input image as loaded, and the bordered float image the scan works on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

// An input image opened for reading row by row, from the top, as 8-bit red,
// green and blue. Grey images have their level copied to all three; deeper
// samples are scaled to 8 bits; alpha and further channels are dropped.
class image_source {
public:
    virtual ~image_source() = default;
    int width = 0;
    int height = 0;
    // Reads the next row as width * 3 bytes. Returns false when the rest of the
    // image cannot be read (a cut or damaged file); nothing is printed.
    virtual bool read_row(uint8_t *rgb) = 0;
};

// Opens the file and reads its header; the reader is chosen from the file's
// first bytes. Returns null, with nothing printed, when the file cannot be
// read, is no image this program reads, or holds no pixel.
std::unique_ptr<image_source> open_image_source(const char *path);

// An input image reduced to 8-bit red, green and blue, interleaved, row by row.
// Grey images have their level copied to all three; deeper samples are scaled
// to 8 bits; alpha and further channels are dropped.
struct source_image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // width * height * 3 bytes

    const uint8_t *pixel(int x, int y) const { return rgb.data() + (static_cast<size_t>(y) * width + x) * 3; }
};

// Reads a whole image through open_image_source. Returns false, with nothing
// printed, when the file cannot be read or holds no pixel.
bool load_source_image(const char *path, source_image &image);

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

// The working image: (width + 2) x (height + 2) pixels of `channels` floats
// each, the channels of one pixel side by side. Input pixel (x, y) lies at
// (x + 1, y + 1); the frame of one pixel lets the spreading and the limits run
// without bounds tests. A scan that follows the reading can hold only a ring
// of rows: row y then lives in place y & row_mask, and the reader refills a
// place once the scan is done with the row that held it.
struct working_image {
    int width = 0;     // of the input, without the frame
    int height = 0;
    int channels = 0;  // channels_used when it was filled
    size_t row_mask = ~size_t(0);  // every row in its own place
    float_buffer values;

    size_t row_floats() const { return static_cast<size_t>(width + 2) * channels; }
    // (x, y) in framed coordinates: 0 ... width + 1, 0 ... height + 1.
    float *at(int x, int y) { return values.data() + (static_cast<size_t>(y) & row_mask) * row_floats() + static_cast<size_t>(x) * channels; }
    const float *at(int x, int y) const { return values.data() + (static_cast<size_t>(y) & row_mask) * row_floats() + static_cast<size_t>(x) * channels; }
    // Whether the image holds a ring of rows rather than all of them.
    bool ring() const { return row_mask != ~size_t(0); }
};

// The rows of a ring: far more than the scan ever has in hand (the rows of
// its threads in flight and one each side), few enough to stay in the cache.
constexpr int ring_rows = 64;

// The prepared red, green and blue level of every byte value for the current
// settings: gamma and compression depend on the byte alone, so one table per
// file gives exactly what treating every sample would.
struct level_table {
    float level[256];
};
level_table make_level_table();

// Sizes the image for a width x height input in channels_used channels, all
// its rows or (ring true, for a scan that follows the reading) a ring of
// ring_rows rows where the image has more. Throws std::bad_alloc when memory
// runs out.
void allocate_working_image(working_image &image, int width, int height, bool ring = false);

// Converts input row y (0 ... height - 1) into framed row y + 1, its two frame
// pixels repeating the row's end pixels; the first and the last input rows are
// also copied into the frame rows above and below them.
void fill_working_row(working_image &image, int y, const uint8_t *rgb, const level_table &levels);

// Fills the working image from the source: every pixel of the frame a copy of
// its nearest edge pixel, then the gamma treatment (RGB_gamma), the level
// compression (level_compress) and the conversion into the channels_used
// channels of color_space. Allocates (width + 2) * (height + 2) * channels_used
// floats; throws std::bad_alloc when memory runs out.
void fill_working_image(const source_image &source, working_image &image);

// The image's red, green and blue in the working scale for one byte value,
// after the gamma treatment and the level compression of the settings.
float prepared_level(int byte);
