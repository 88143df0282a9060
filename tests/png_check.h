// An independent PNG reader (libpng) for what the writer and the program
// produce; shared by the tests and the writer's fuzz target.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A PNG decoded by libpng, with every chunk CRC checked; ok only when the
// image ends where the stream does.
struct decoded_png {
    bool ok = false;
    std::string error;
    uint32_t width = 0, height = 0;
    int color_type = -1, bit_depth = 0;
    std::vector<uint8_t> pixels;        // rows of width * channels bytes
    std::vector<uint8_t> palette;       // PLTE
    std::vector<uint8_t> transparency;  // tRNS
};
decoded_png decode_png(const std::string &bytes);
