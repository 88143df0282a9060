#include "tests/test_support.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef TESSALY_BINARY
#define TESSALY_BINARY "tessaly"
#endif

stdout_capture::stdout_capture()
{
    char name[] = "/tmp/tessaly-stdout-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    path_ = name;
    std::fflush(stdout);
    saved_fd_ = dup(1);
    dup2(fd, 1);
    close(fd);
}

std::string stdout_capture::finish()
{
    if (saved_fd_ >= 0) {
        std::fflush(stdout);
        dup2(saved_fd_, 1);
        close(saved_fd_);
        saved_fd_ = -1;
    }
    std::string text = read_file(path_);
    unlink(path_.c_str());
    return text;
}

stdout_capture::~stdout_capture()
{
    if (saved_fd_ >= 0)
        finish();
}

temp_folder::temp_folder()
{
    char name[] = "/tmp/tessaly-test-XXXXXX";
    if (!mkdtemp(name))
        throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

temp_folder::~temp_folder()
{
    std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    int ignored = std::system(command.c_str());
    (void)ignored;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_folder(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

std::string read_fd(int fd)
{
    std::string text;
    char buffer[65536];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    return text;
}

}  // namespace

run_result run_tessaly(const std::vector<std::string> &arguments, const std::string &cwd,
                       const std::string &argument_0)
{
    std::string out_path = "/tmp/tessaly-run-out-XXXXXX", err_path = "/tmp/tessaly-run-err-XXXXXX";
    int out_fd = mkstemp(&out_path[0]);
    int err_fd = mkstemp(&err_path[0]);
    run_result result;
    pid_t child = fork();
    if (child == 0) {
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        std::vector<char *> argv;
        std::string zero = argument_0.empty() ? std::string(TESSALY_BINARY) : argument_0;
        argv.push_back(&zero[0]);
        std::vector<std::string> copies = arguments;
        for (std::string &argument : copies)
            argv.push_back(&argument[0]);
        argv.push_back(nullptr);
        execv(TESSALY_BINARY, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    lseek(out_fd, 0, SEEK_SET);
    lseek(err_fd, 0, SEEK_SET);
    result.output = read_fd(out_fd);
    result.errors = read_fd(err_fd);
    close(out_fd);
    close(err_fd);
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return result;
}

namespace {

struct memory_reader {
    const std::string *bytes;
    size_t position;
};

void read_from_memory(png_structp png, png_bytep data, png_size_t length)
{
    auto *reader = static_cast<memory_reader *>(png_get_io_ptr(png));
    if (reader->position + length > reader->bytes->size())
        png_error(png, "read past the end of the stream");
    std::memcpy(data, reader->bytes->data() + reader->position, length);
    reader->position += length;
}

void record_error(png_structp png, png_const_charp message)
{
    auto *error = static_cast<std::string *>(png_get_error_ptr(png));
    *error = message;
    png_longjmp(png, 1);
}

void ignore_warning(png_structp, png_const_charp) {}

}  // namespace

decoded_png decode_png(const std::string &bytes)
{
    decoded_png result;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &result.error, record_error, ignore_warning);
    png_infop info = png_create_info_struct(png);
    memory_reader reader{ &bytes, 0 };
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        result.ok = false;
        return result;
    }
    // Every CRC error is an error, in critical and ancillary chunks alike.
    png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
    png_set_read_fn(png, &reader, read_from_memory);
    png_read_info(png, info);
    result.width = png_get_image_width(png, info);
    result.height = png_get_image_height(png, info);
    result.color_type = png_get_color_type(png, info);
    result.bit_depth = png_get_bit_depth(png, info);
    png_colorp palette = nullptr;
    int palette_size = 0;
    if (png_get_PLTE(png, info, &palette, &palette_size)) {
        for (int i = 0; i < palette_size; ++i) {
            result.palette.push_back(palette[i].red);
            result.palette.push_back(palette[i].green);
            result.palette.push_back(palette[i].blue);
        }
    }
    png_bytep alphas = nullptr;
    int alpha_count = 0;
    if (png_get_tRNS(png, info, &alphas, &alpha_count, nullptr) && alphas)
        result.transparency.assign(alphas, alphas + alpha_count);
    size_t row_bytes = png_get_rowbytes(png, info);
    result.pixels.resize(row_bytes * result.height);
    for (uint32_t y = 0; y < result.height; ++y)
        rows.push_back(result.pixels.data() + y * row_bytes);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    result.ok = true;
    return result;
}

decoded_png decode_png_file(const std::string &path)
{
    return decode_png(read_file(path));
}

void write_test_png(const std::string &path, uint32_t width, uint32_t height, int channels,
                    const std::vector<uint8_t> &samples, int bit_depth)
{
    static const int color_types[] = { 0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                       PNG_COLOR_TYPE_RGB_ALPHA };
    FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        throw std::runtime_error("cannot create " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        throw std::runtime_error("libpng failed on " + path);
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, bit_depth, color_types[channels], PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    size_t row_bytes = static_cast<size_t>(width) * channels * (bit_depth / 8);
    for (uint32_t y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(samples.data() + y * row_bytes));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

void write_palette_file(const std::string &path, const std::vector<uint8_t> &rgb)
{
    write_file(path, std::string(rgb.begin(), rgb.end()));
}
