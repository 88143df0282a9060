// Helpers shared by the tests: capturing standard output, temporary folders,
// running the built program; the image writers and the independent PNG
// reader come with it.
#pragma once

#include "tests/image_writers.h"
#include "tests/png_check.h"

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

// How the program is started, beyond its arguments and folder.
struct run_setup {
    const char *program = nullptr;       // the built program when null
    const char *argument_0 = nullptr;    // the program's path when null
    bool unprivileged = false;           // bound by permission bits, even when run by root
    bool without_unnamed_files = false;  // as on a file system without O_TMPFILE
    bool traced = false;                 // for ptrace: stopped at its start and as it creates a file
    unsigned long address_space_kb = 0;  // a limit on its address space (ulimit -v); 0 for none
    const char *output_file = nullptr;   // start_tessaly: standard output into this file, not nowhere
};

// Whether the program runs under the emulator of a cross build. The system
// calls are then the emulator's, made for the program, and the tests, which
// run emulated too, can neither filter nor trace them: without_unnamed_files
// and traced above need a program that runs natively, as does
// address_space_kb, which the emulator does not pass on to the program.
bool program_emulated();

// Runs the built program in the folder cwd, standard input from /dev/null.
run_result run_tessaly(const std::vector<std::string> &arguments, const std::string &cwd,
                       const run_setup &setup = {});

// Starts it the same way with its output going nowhere (or to the setup's
// output file), and returns at once.
int start_tessaly(const std::vector<std::string> &arguments, const std::string &cwd, const run_setup &setup = {});

decoded_png decode_png_file(const std::string &path);

// The program's first lines, typed out here alone; the transcript test holds
// them to the version string.
extern const std::string banner;
// The lines a file's size gives, and the name of its output number `number`.
std::string size_lines(int width, int height);
std::string output_name(const std::string &stem, int number);

void write_palette_file(const std::string &path, const std::vector<uint8_t> &rgb);

// A sprite as RGBA rows: a shaded disc on a clear background, with a soft
// edge (alpha falling from 255 to 0 over three pixels) and a sharp clear hole.
// Under every pixel of alpha 0 lies a colour left behind: black for seed 0,
// noise drawn from any other seed. The rows above and below the disc and the
// columns beside it are wholly clear.
std::vector<uint8_t> sprite_rgba(int width, int height, unsigned seed);
