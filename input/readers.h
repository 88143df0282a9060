// The readers, one a format, and what they share. Internal to input/.
//
// Every size a header claims is checked against the file before anything of
// that size is allocated: a header is only a claim, and a file of a few bytes
// must not make the program take gigabytes.
#pragma once

#include "input/image_source.h"
#include "settings/limits.h"
#include "settings/owned_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>

// A format: how its files begin and how to open one. open reads the header
// and returns null for a file it cannot read; a new format is a row in the
// table of input/image_source.cpp, its recognise in input/signatures.cpp and
// a file with its open.
struct reader_row {
    const char *name;
    bool (*recognise)(const unsigned char *head, size_t length);
    std::unique_ptr<image_source> (*open)(const char *path);
};

// How many of the first bytes the recognisers are shown, fewer when the
// file is shorter.
constexpr size_t head_bytes = 16;

bool recognise_png(const unsigned char *head, size_t length);
bool recognise_jpeg(const unsigned char *head, size_t length);
bool recognise_pnm(const unsigned char *head, size_t length);
bool recognise_bmp(const unsigned char *head, size_t length);
bool recognise_gif(const unsigned char *head, size_t length);
bool recognise_tiff(const unsigned char *head, size_t length);
bool recognise_webp(const unsigned char *head, size_t length);

std::unique_ptr<image_source> open_png(const char *path);
std::unique_ptr<image_source> open_jpeg(const char *path);
std::unique_ptr<image_source> open_pnm(const char *path);
std::unique_ptr<image_source> open_bmp(const char *path);
std::unique_ptr<image_source> open_gif(const char *path);
std::unique_ptr<image_source> open_tiff(const char *path);
std::unique_ptr<image_source> open_webp(const char *path);
// Windows only: any format the system's imaging component has a codec for
// (input/wic_reader.cpp).
std::unique_ptr<image_source> open_wic_image(const char *path);

// ------------------------------------------------------ files and buffers ----

// Opens a regular file for reading and gives its size; anything else (a
// folder, a pipe, a missing file) gives null.
owned_file open_regular_file(const char *path, uint64_t &size);

// Bytes still to come after the current position.
uint64_t bytes_left(std::FILE *file, uint64_t file_size);

// A buffer taken without clearing: the pages of a large one cost nothing
// until the decoder writes them, so a header that lies about its size costs
// only what the data really fills. Null when memory runs out.
using byte_buffer = std::unique_ptr<uint8_t[]>;
byte_buffer new_bytes(size_t count);

// Formats that can squeeze an image into almost nothing (a GIF's screen
// around a small frame, a flat TIFF or WebP) may claim this many pixels
// whatever their size; beyond it the file must hold a byte for every
// plausible_pixels_per_byte pixels. Real pictures of that size need far more.
constexpr uint64_t plausible_pixel_floor = uint64_t(1) << 24;
constexpr uint64_t plausible_pixels_per_byte = 1024;

// True when `pixels` is within the engine's limit and within what a file of
// file_size bytes may plausibly hold (above).
inline bool plausible_claim(uint64_t pixels, uint64_t file_size)
{
    return pixels <= max_pixels &&
           (pixels <= plausible_pixel_floor || pixels / plausible_pixels_per_byte <= file_size);
}

// Makes the reader, opens it and hands it out; null when its open refuses
// the file. A reader given the file opens with its size; one whose library
// opens the file itself, with the path.
template <typename reader_t, typename opening, typename... Arguments>
std::unique_ptr<image_source> open_with(opening what, Arguments &&...arguments)
{
    auto reader = std::make_unique<reader_t>(std::forward<Arguments>(arguments)...);
    if (!reader->open(what))
        return nullptr;
    return reader;
}

// ------------------------------------------------------ sample conversion ----

// Samples as a decoder hands them out: 1 (grey), 2 (grey, alpha), 3 (RGB) or 4
// (RGBA) channels, 1 byte or 2 big-endian bytes each.
struct sample_layout {
    int channels = 3;
    int sample_bytes = 1;
    unsigned max_value = 255;
};

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
void cmyk_to_rgb(const uint8_t *in, int width, bool inverted, uint8_t *rgb);

// One row of samples to 8-bit red, green and blue. Grey goes to all three;
// alpha and the fourth channel are dropped. Samples of 0 ... max_value are
// rounded to the nearest 8-bit level; values beyond the maximum of a malformed
// file are held at it.
void samples_to_rgb(const uint8_t *in, int width, const sample_layout &layout, uint8_t *rgb);

// Whether the layout's last channel is alpha: grey with alpha and RGBA.
inline bool has_alpha_channel(const sample_layout &layout)
{
    return layout.channels == 2 || layout.channels == 4;
}

// The alpha channel of one row of such samples to 8 bits, rounded as the
// colours are.
void samples_to_alpha(const uint8_t *in, int width, const sample_layout &layout, uint8_t *alpha);
