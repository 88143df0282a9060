// Helpers shared by the tests: capturing standard output, temporary folders,
// running the built program, and an independent PNG decoder (libpng).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Redirects standard output (file descriptor 1) into a temporary file from
// construction until finish(), which returns everything written.
class stdout_capture {
public:
    stdout_capture();
    ~stdout_capture();
    std::string finish();

private:
    int saved_fd_ = -1;
    std::string path_;
};

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
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
bool file_exists(const std::string &path);
// The names in a folder, sorted.
std::vector<std::string> list_folder(const std::string &path);

struct run_result {
    int status = -1;      // exit status, or -1 when the program did not exit normally
    std::string output;   // standard output
    std::string errors;   // standard error
};

// Runs the built tessaly binary with the arguments, in the folder cwd, with
// standard input from /dev/null. Argument 0 is the binary's own path unless
// argument_0 is given.
run_result run_tessaly(const std::vector<std::string> &arguments, const std::string &cwd,
                       const std::string &argument_0 = "");

// A PNG decoded by libpng, with every chunk CRC checked.
struct decoded_png {
    bool ok = false;
    std::string error;
    uint32_t width = 0, height = 0;
    int color_type = -1, bit_depth = 0;
    std::vector<uint8_t> pixels;          // rows of width * channels bytes, no filter bytes
    std::vector<uint8_t> palette;         // PLTE: red, green, blue per entry
    std::vector<uint8_t> transparency;    // tRNS bytes
};

decoded_png decode_png(const std::string &bytes);
decoded_png decode_png_file(const std::string &path);

// Writes an 8-bit PNG with libpng: channels 1 (grey), 2 (grey+alpha), 3 (RGB)
// or 4 (RGBA); rows of width * channels samples. bit_depth 16 takes samples as
// big-endian pairs.
void write_test_png(const std::string &path, uint32_t width, uint32_t height, int channels,
                    const std::vector<uint8_t> &samples, int bit_depth = 8);

// A 768-byte palette file from 256 RGB triplets.
void write_palette_file(const std::string &path, const std::vector<uint8_t> &rgb);
