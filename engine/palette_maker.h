// Palettes made for the picture: a few colours chosen from an image's own
// pixels, so that a photo can be dithered without a palette made elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

// The pixels a palette is made from: count pixels of red, green and blue
// bytes, and an alpha byte each or null; with a threshold above 0, pixels
// whose alpha is below it are clear and play no part.
struct palette_maker_pixels {
    const uint8_t *rgb = nullptr;
    const uint8_t *alpha = nullptr;
    size_t count = 0;
    int alpha_threshold = 0;
};

// Makes up to `colours` colours (2 ... 256) for the pixels and writes them
// to rgb (3 bytes each), darkest first: by OkLab lightness, then its a and
// b, then the bytes. Returns how many: `colours`, or fewer only when the
// visible pixels have fewer distinct colours, which are then given exactly;
// 0 when no pixel is visible. The same pixels give the same colours on every
// machine: the arithmetic is integer or IEEE double in a fixed order, with
// no call to a maths library.
int make_palette(const palette_maker_pixels &pixels, int colours, uint8_t *rgb);

// The colour count of a value "auto:N", N from 2 to 256 in decimal digits;
// 0 when the value does not start with "auto:", -1 when it does but N is
// no such count.
int made_palette_colours(const char *value);
