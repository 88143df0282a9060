// Input images, read row by row. Each format has its reader in a file of its
// own (input/*_reader.cpp) and a row in the table of input/readers.h; nothing
// here prints a word or runs an outside program.
#pragma once

#include <cstdint>
#include <memory>

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
// first bytes, never from its name. Returns null, with nothing printed, when
// the file cannot be read, is no image this program reads, or holds no pixel.
std::unique_ptr<image_source> open_image_source(const char *path);
