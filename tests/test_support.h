// Helpers shared by the tests: capturing standard output, temporary folders,
// running the built program, and an independent PNG reader and writer (libpng).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Redirects standard output (descriptor 1) into a temporary file until finish().
class stdout_capture {
public:
    stdout_capture();
    ~stdout_capture();
    std::string finish();

private:
    int saved_fd_ = -1;
    std::string path_;
};

// A fresh folder, removed with its contents when the object goes.
class temp_folder {
public:
    temp_folder();
    ~temp_folder();
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
bool file_exists(const std::string &path);           // lstat: a dangling link exists
std::vector<std::string> list_folder(const std::string &path);  // sorted

struct run_result {
    int status = -1;  // -1 when the program did not exit normally
    std::string output, errors;
};

// Runs the program (the built one for run_tessaly) in the folder cwd,
// standard input from /dev/null.
run_result run_program(const std::string &program, const std::vector<std::string> &arguments,
                       const std::string &cwd);
run_result run_tessaly(const std::vector<std::string> &arguments, const std::string &cwd);

// A PNG decoded by libpng, with every chunk CRC checked.
struct decoded_png {
    bool ok = false;
    std::string error;
    uint32_t width = 0, height = 0;
    int color_type = -1, bit_depth = 0;
    std::vector<uint8_t> pixels;        // rows of width * channels bytes
    std::vector<uint8_t> palette;       // PLTE
    std::vector<uint8_t> transparency;  // tRNS
};
decoded_png decode_png(const std::string &bytes);
decoded_png decode_png_file(const std::string &path);

// An 8-bit PNG by libpng of 1 (grey), 2 (grey+alpha), 3 (RGB) or 4 (RGBA)
// channels; bit_depth 16 takes big-endian sample pairs.
void write_test_png(const std::string &path, uint32_t width, uint32_t height, int channels,
                    const std::vector<uint8_t> &samples, int bit_depth = 8);
void write_palette_file(const std::string &path, const std::vector<uint8_t> &rgb);
