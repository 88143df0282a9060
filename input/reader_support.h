// What the image readers share: the file and its size, buffers taken without
// clearing, the rule that a header's claim must fit the file, and the sample
// conversions every format agrees on.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

// What the engine accepts (its writer keeps four bytes a pixel in 32 bits);
// the readers that hold a whole image refuse more before they allocate.
constexpr uint64_t max_pixels = 1073741823;

// Formats that can squeeze an image into almost nothing (a GIF's screen
// around a small frame, a flat TIFF or WebP) may claim this many pixels
// whatever their size; beyond it the file must hold a byte for every
// plausible_pixels_per_byte pixels. Real pictures of that size need far more.
constexpr uint64_t plausible_pixel_floor = uint64_t(1) << 24;
constexpr uint64_t plausible_pixels_per_byte = 1024;

struct file_closer {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using owned_file = std::unique_ptr<std::FILE, file_closer>;

// A buffer taken without clearing: the pages of a large one cost nothing
// until the decoder writes them, so a header that lies about its size costs
// only what the data really fills.
using byte_buffer = std::unique_ptr<uint8_t[]>;

inline byte_buffer new_bytes(size_t count)
{
    return byte_buffer(new (std::nothrow) uint8_t[count]);
}

// The size of a regular file; anything else (a folder, a pipe) gives false.
inline bool regular_file_size(std::FILE *file, uint64_t &size)
{
    struct stat status;
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    size = static_cast<uint64_t>(status.st_size);
    return true;
}

// The file opened for reading, or null when it cannot be or is no regular file.
inline owned_file open_regular_file(const char *path, uint64_t &size)
{
    owned_file file(std::fopen(path, "rb"));
    if (file && !regular_file_size(file.get(), size))
        file.reset();
    return file;
}

// Bytes still to come after the current position.
inline uint64_t bytes_left(std::FILE *file, uint64_t file_size)
{
    const long position = std::ftell(file);
    if (position < 0 || static_cast<uint64_t>(position) > file_size)
        return 0;
    return file_size - static_cast<uint64_t>(position);
}

// True when `pixels` is within the engine's limit and within what a file of
// file_size bytes may plausibly hold (above).
inline bool plausible_claim(uint64_t pixels, uint64_t file_size)
{
    return pixels <= max_pixels &&
           (pixels <= plausible_pixel_floor || pixels / plausible_pixels_per_byte <= file_size);
}

// A sample of 0 ... max_value as an 8-bit level, rounded to the nearest:
// (v * 255 + max_value / 2) / max_value, which for 16-bit samples is
// (v * 255 + 32767) / 65535. Values beyond the maximum of a malformed file are
// held at it.
inline uint8_t to_byte(unsigned value, unsigned max_value)
{
    value = std::min(value, max_value);
    return static_cast<uint8_t>((value * 255u + max_value / 2) / max_value);
}

// Adobe's programs store CMYK inverted (255 is no ink), and mark the file; a
// file without the mark holds plain ink levels. Either way the colour is the
// paper's white darkened by the inks, without a colour profile. Every reader
// of CMYK goes through here, so that one picture gives one result whatever
// file it came in.
inline void cmyk_to_rgb(const uint8_t *in, int width, bool inverted, uint8_t *rgb)
{
    for (int x = 0; x < width; ++x, in += 4, rgb += 3) {
        const unsigned k = inverted ? in[3] : 255u - in[3];
        for (int c = 0; c < 3; ++c) {
            const unsigned ink = inverted ? in[c] : 255u - in[c];
            rgb[c] = static_cast<uint8_t>((ink * k + 127) / 255);
        }
    }
}
