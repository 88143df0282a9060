// Windows only: image files decoded by the system's Windows Imaging
// Component, which reads PNG, JPEG, GIF, TIFF and BMP everywhere, and WebP
// where the system has that codec.
#pragma once

#include "engine/image.h"

#include <memory>

// Opens the first frame of the file named by path (in the ANSI code page,
// UTF-8 under the program's manifest). Returns null, with nothing printed,
// when no codec of the system reads it, or it holds no pixel. Rows are read
// from any one thread at a time.
std::unique_ptr<image_source> open_wic_image(const char *path);
