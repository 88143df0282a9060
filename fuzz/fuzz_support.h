// What the fuzz targets share: a working folder of their own, standard output
// sent to /dev/null, and the clearing of the files a run leaves behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Makes a fresh folder under the system's temporary folder, makes it the
// working directory, and points standard output at /dev/null. Call once.
void fuzz_enter_own_folder();

// Writes the bytes to the file, replacing it.
void fuzz_write_file(const std::string &path, const uint8_t *data, size_t size);

// Removes every dithered output from the working folder, so that a long run
// never fills the ten thousand names or the disk.
void fuzz_remove_outputs();

// A small valid palette file ("palette.act", a 3-3-2 cube) and a small image
// ("small.ppm", 8 x 6, a colour gradient) in the working folder.
void fuzz_write_fixtures();

// The process state of a fresh run, and the settings it uses drawn from one
// byte each so that the fuzzer reaches every colour space, gamma mode, window,
// limit and compression.
void fuzz_choose_settings(const uint8_t *choice, size_t size);
