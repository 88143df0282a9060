// Writers of test images in the forms the loader must read: PNGs of every
// colour type, depth and interlacing (libpng), JPEGs (libjpeg), BMP by hand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct png_form {
    png_form(int type, int depth, bool interlace = false, std::vector<uint8_t> entries = {},
             std::vector<uint8_t> alphas = {})
        : color_type(type), bit_depth(depth), interlaced(interlace), palette(entries), transparency(alphas) {}
    int color_type;  // 0, 2, 3, 4 or 6
    int bit_depth;
    bool interlaced;
    std::vector<uint8_t> palette;       // RGB triplets, colour type 3
    std::vector<uint8_t> transparency;  // alphas (type 3) or one key sample (types 0, 2)
};

// Rows packed as libpng takes them (16-bit samples big-endian), all equally long.
void write_png_form(const std::string &path, uint32_t width, uint32_t height, const png_form &form,
                    const std::vector<uint8_t> &rows);

// A JPEG of 1 (grey), 3 (RGB) or 4 (CMYK, stored as YCCK with Adobe's
// inverted levels) components at quality 100.
void write_test_jpeg(const std::string &path, int width, int height, int components,
                     const std::vector<uint8_t> &samples, bool progressive);

// A 24-bit bottom-up BMP from RGB rows given top-down.
std::string bmp_bytes(int width, int height, const std::vector<uint8_t> &rgb);

// A 32-bit BMP with the alpha in every pixel's fourth byte: plain (no
// declaration, the byte is reserved), or bit fields with an alpha mask in a
// 56-byte header, rows bottom-up or top-down.
enum class bmp32_form { plain, alpha, alpha_top_down };
std::string bmp32_bytes(int width, int height, const std::vector<uint8_t> &rgb, const std::vector<uint8_t> &alpha,
                        bmp32_form form);
