// Input images, read row by row. Each format has its reader in a file of its
// own (input/*_reader.cpp) and a row in the table of input/readers.h; nothing
// here prints a word or runs an outside program.
#pragma once

#include "settings/image_source.h"

#include <memory>

// Opens the file and reads its header; the reader is chosen from the file's
// first bytes, never from its name. Returns null, with nothing printed, when
// the file cannot be read, is no image this program reads, or holds no pixel.
std::unique_ptr<image_source> open_image_source(const char *path);
