// Naming and saving the output, beside the input or in the output folder.
#pragma once

#include <cstddef>
#include <string>

#include "png/png_writer.h"

// Where the suffix goes: the position of the last dot, unless a '/' or '\'
// comes after it (or there is no dot), in which case the end of the path.
size_t output_name_cut(const char *path);

// The output's name up to "_dithered_": the input path cut at its extension;
// with an output folder, the folder and the input's file name, cut alike.
std::string output_name_stem(const char *input_path, const char *output_folder);

// True without an output folder (-o) or with one that can take files;
// otherwise prints "output folder not found" or "output folder not writable".
bool output_folder_ready();

// Writes the writer's PNG stream where no name shows it, then names it
// output_name_stem + "_dithered_" + the first free four-digit number +
// ".png", never replacing an existing entry; the name is formed in the path
// buffer, which holds the last one tried afterwards. Prints "file not saved"
// and returns false when no name is free or the write fails; nothing is left.
bool save_output(png_writer_t *writer, char *path_buffer);
