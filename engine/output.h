// Naming and saving the output beside the input.
#pragma once

#include <cstddef>

#include "png/png_writer.h"

// Where the suffix goes: the position of the last dot, unless a '/' or '\'
// comes after it (or there is no dot), in which case the end of the path.
size_t output_name_cut(const char *path);

// Forms path[0 ... cut) + "_dithered_" + four digits + ".png" in place in the
// path buffer, creating the first free name exclusively, and writes the
// writer's PNG stream there. Prints "file not saved" and returns false when no
// name is free or the write fails; an incomplete file is removed.
bool save_output(png_writer_t *writer, char *path_buffer);
