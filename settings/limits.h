// The sizes every layer agrees on.
#pragma once

#include <cstdint>

// A path buffer holds at most max_argument_length characters and its zero; the
// room beyond is where the engine appends "_dithered_NNNN.png" in place.
constexpr int path_buffer_size = 8448;
constexpr int max_argument_length = 8191;

constexpr int palette_entries = 256;

// The planes of the palette in working channels and the values the searches
// read: more than the seven channels of the widest colour space, so that
// weightings may read a channel a narrow space leaves at 0.
constexpr int max_working_channels = 12;

// The largest image the program dithers: the writer keeps its pixel count in
// 32 bits with room for four bytes a pixel. Readers that hold a whole image
// refuse more before they allocate; the engine refuses more for every reader.
constexpr uint64_t max_pixels = 1073741823;
