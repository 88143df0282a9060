// Writers of test images in the forms the loader must read: PNGs of every
// colour type, depth and interlacing (libpng), JPEGs (libjpeg), GIFs
// (giflib), TIFFs (libtiff), WebPs (libwebp), BMP by hand.
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
// inverted levels, not subsampled) components at quality 100.
void write_test_jpeg(const std::string &path, int width, int height, int components,
                     const std::vector<uint8_t> &samples, bool progressive);

// A 24-bit bottom-up BMP from RGB rows given top-down.
std::string bmp_bytes(int width, int height, const std::vector<uint8_t> &rgb);

// A 32-bit BMP with the alpha in every pixel's fourth byte: plain (no
// declaration, the byte is reserved), or bit fields with an alpha mask in a
// 124-byte header, rows bottom-up or top-down.
enum class bmp32_form { plain, alpha, alpha_top_down };
std::string bmp32_bytes(int width, int height, const std::vector<uint8_t> &rgb, const std::vector<uint8_t> &alpha,
                        bmp32_form form);

// A GIF of one frame of frame_width x frame_height indices (given top-down;
// an interlaced frame is written in its pass order) at (left, top) of the
// screen, with the colour table (RGB triplets, padded to a power of two) as
// the global table or as the frame's own.
struct gif_form {
    int screen_width, screen_height, left = 0, top = 0;
    bool interlaced = false, local_table = false;
    int transparent = -1, background = 0;
};
void write_test_gif(const std::string &path, int frame_width, int frame_height, const gif_form &form,
                    const std::vector<uint8_t> &colours, const std::vector<uint8_t> &indices);

// A TIFF by libtiff from the samples of each pixel, interleaved, as values of
// `bits` bits. Strips of three rows, or tiles of 16 x 16; JPEG compression
// takes RGB samples and stores YCbCr.
struct tiff_form {
    tiff_form(uint16_t photometric_, uint16_t bits_, uint16_t samples_ = 1, uint16_t compression_ = 1,
              bool planar_ = false, bool tiled_ = false, std::vector<uint16_t> colour_map_ = {})
        : photometric(photometric_), bits(bits_), samples(samples_), compression(compression_), planar(planar_),
          tiled(tiled_), colour_map(colour_map_) {}
    uint16_t photometric, bits, samples, compression;  // compression 1: none
    bool planar, tiled;
    std::vector<uint16_t> colour_map;  // red levels, then green, then blue
};
void write_test_tiff(const std::string &path, int width, int height, const tiff_form &form,
                     const std::vector<uint16_t> &values);

// A WebP of RGB samples by libwebp, lossless or lossy at quality 100; with
// alpha (one byte a pixel), of RGBA.
std::string webp_bytes(int width, int height, const std::vector<uint8_t> &rgb, bool lossless,
                       const std::vector<uint8_t> &alpha = {});
