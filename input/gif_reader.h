// GIF files through giflib: the first frame on its logical screen.
#pragma once

#include "engine/image.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// True when the first bytes are a GIF signature, "GIF87a" or "GIF89a".
bool gif_recognise(const uint8_t *head, size_t length);

// Opens the file and reads up to the first frame's pixels. Returns null, with
// nothing printed, when the file cannot be read, has no frame or colour
// table, or claims more pixels than its bytes can hold.
std::unique_ptr<image_source> gif_open(const char *path);
