// The writer's compressed image data, private to png/: the filtered rows cut
// into pieces of whole rows, each deflated on its own on all cores and checked
// by inflating it back, so that the pieces one after another form one raw
// deflate stream.
#pragma once

#include "png/png_writer.h"

#include <cstdint>
#include <vector>

// Places samples first .. first + count - 1 of row y of the writer's image
// at out.
using png_writer_sample_copier = void (*)(const png_writer_t *writer, uint32_t y, uint32_t first, uint32_t count,
                                          uint8_t *out);

struct png_writer_piece {
    uint32_t first_row = 0;
    uint32_t rows = 0;
    uint32_t adler = 1;          // of its filtered rows
    std::vector<uint8_t> data;   // deflated, and closed unless it is the last
};

// Deflates the image's rows, each row_length bytes once filtered (filter byte
// 0, then the samples that copy_samples gives), into pieces. Returns false,
// with pieces untouched, when memory or a compressor runs out or a piece does
// not inflate back to its rows. Throws std::bad_alloc when the pieces cannot
// be listed.
bool png_writer_deflate_rows(const png_writer_t *writer, uint64_t row_length, png_writer_sample_copier copy_samples,
                             std::vector<png_writer_piece> &pieces);
