// An image read row by row, whatever it comes from: a file through one of the
// readers of input/, or memory that a caller holds. The engine's core dithers
// any of them; nothing here prints a word.
#pragma once

#include <cstdint>

// An image opened for reading row by row, from the top, as 8-bit red, green
// and blue, and alpha where the image has it. Grey images have their level
// copied to all three; deeper samples are scaled to 8 bits; further channels
// are dropped.
class image_source {
public:
    virtual ~image_source() = default;
    int width = 0;
    int height = 0;
    // Reads the next row as width * 3 bytes. Returns false when the rest of the
    // image cannot be read (a cut or damaged file); nothing is printed.
    virtual bool read_row(uint8_t *rgb) = 0;
    // The alpha of the row read last, width bytes (0 clear ... 255 opaque),
    // valid until the next read_row; null for an image without alpha, whose
    // every pixel is opaque. A reader gives null for every row or for none.
    // Readers may work it out only when asked, so that runs that ignore alpha
    // pay nothing for it.
    virtual const uint8_t *row_alpha() { return nullptr; }
};
