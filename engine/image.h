// The input image as loaded, and the bordered float image the scan works on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// An input image reduced to 8-bit red, green and blue, interleaved, row by row.
// Grey images have their level copied to all three; deeper samples are scaled
// to 8 bits; alpha and further channels are dropped.
struct source_image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // width * height * 3 bytes

    const uint8_t *pixel(int x, int y) const { return rgb.data() + (static_cast<size_t>(y) * width + x) * 3; }
};

// Loads the file through the image library. Returns false, with nothing
// printed, when the file cannot be read or holds no pixel.
bool load_source_image(const char *path, source_image &image);

// The working image: (width + 2) x (height + 2) pixels of `channels` floats
// each, the channels of one pixel side by side. Input pixel (x, y) lies at
// (x + 1, y + 1); the frame of one pixel lets the spreading and the limits run
// without bounds tests.
struct working_image {
    int width = 0;     // of the input, without the frame
    int height = 0;
    int channels = 0;  // channels_used when it was filled
    std::vector<float> values;

    size_t row_floats() const { return static_cast<size_t>(width + 2) * channels; }
    // (x, y) in framed coordinates: 0 ... width + 1, 0 ... height + 1.
    float *at(int x, int y) { return values.data() + static_cast<size_t>(y) * row_floats() + static_cast<size_t>(x) * channels; }
    const float *at(int x, int y) const { return values.data() + static_cast<size_t>(y) * row_floats() + static_cast<size_t>(x) * channels; }
};

// Fills the working image from the source: every pixel of the frame a copy of
// its nearest edge pixel, then the gamma treatment (RGB_gamma), the level
// compression (level_compress) and the conversion into the channels_used
// channels of color_space. Allocates (width + 2) * (height + 2) * channels_used
// floats; throws std::bad_alloc when memory runs out.
void fill_working_image(const source_image &source, working_image &image);

// The image's red, green and blue in the working scale for one byte value,
// after the gamma treatment and the level compression of the settings.
float prepared_level(int byte);
