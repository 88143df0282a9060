// Writers of test images in the forms the loader must read: PNGs of every
// colour type, depth and interlacing (libpng), JPEGs (libjpeg), BMP and PNM
// files written byte by byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct png_form {
    png_form(int type, int depth, bool interlace = false, std::vector<uint8_t> entries = {},
             std::vector<uint8_t> alphas = {})
        : color_type(type), bit_depth(depth), interlaced(interlace), palette(entries), transparency(alphas)
    {
    }
    int color_type;  // PNG colour type: 0, 2, 3, 4 or 6
    int bit_depth;
    bool interlaced;
    std::vector<uint8_t> palette;       // RGB triplets, colour type 3
    std::vector<uint8_t> transparency;  // tRNS: alphas (type 3) or one key sample (types 0, 2)
};

// Rows of packed samples as libpng takes them (bit depths below 8 packed from
// the high bits, 16-bit samples big-endian): height rows of equal length.
void write_png_form(const std::string &path, uint32_t width, uint32_t height, const png_form &form,
                    const std::vector<uint8_t> &rows);

// A JPEG of 1 (grey), 3 (RGB, stored as YCbCr) or 4 (CMYK, stored as YCCK
// with Adobe's inverted levels) components, at the given quality.
void write_test_jpeg(const std::string &path, int width, int height, int components,
                     const std::vector<uint8_t> &samples, bool progressive, int quality = 100);

// A 24-bit BMP, bottom-up, from RGB rows given top-down.
std::string bmp_bytes(int width, int height, const std::vector<uint8_t> &rgb);
