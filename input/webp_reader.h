// WebP files through libwebp: still images, lossy or lossless.
#pragma once

#include "engine/image.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// True when the first bytes are a RIFF header of form "WEBP".
bool webp_recognise(const uint8_t *head, size_t length);

// Opens the file and reads its header. Returns null, with nothing printed,
// when the file cannot be read, is animated, or claims more pixels than its
// bytes can plausibly hold.
std::unique_ptr<image_source> webp_open(const char *path);
