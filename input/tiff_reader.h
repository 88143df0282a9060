// TIFF files through libtiff: the first directory.
#pragma once

#include "engine/image.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// True when the first bytes begin a TIFF or BigTIFF file, in either byte order.
bool tiff_recognise(const uint8_t *head, size_t length);

// Opens the file and reads its first directory. Returns null, with nothing
// printed, when the file cannot be read, holds a form this program does not
// read, or claims more than its bytes can hold.
std::unique_ptr<image_source> tiff_open(const char *path);
