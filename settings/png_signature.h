// The eight bytes every PNG stream begins with: what the writer puts first,
// and what tells a PNG image or palette apart from other files.
#pragma once

#include <cstdint>

constexpr uint8_t png_signature[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, 0x0A };
