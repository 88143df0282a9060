#include "tests/test_support.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

stdout_capture::~stdout_capture() { finish(); }

temp_folder::temp_folder()
{
    char name[] = "/tmp/tessaly-test-XXXXXX";
    if (!mkdtemp(name))
        throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

temp_folder::~temp_folder()
{
    int ignored = std::system(("chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'").c_str());
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
        while (dirent *entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

run_result run_tessaly(const std::vector<std::string> &arguments, const std::string &cwd)
{
    return run_program(TESSALY_BINARY, arguments, cwd);
}

run_result run_program(const std::string &program, const std::vector<std::string> &arguments,
                       const std::string &cwd)
{
    char out_path[] = "/tmp/tessaly-out-XXXXXX", err_path[] = "/tmp/tessaly-err-XXXXXX";
    int out_fd = mkstemp(out_path), err_fd = mkstemp(err_path);
    unlink(out_path);
    unlink(err_path);
    pid_t child = fork();
    if (child == 0) {
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        std::vector<std::string> copies = arguments;
        copies.insert(copies.begin(), program);
        std::vector<char *> argv;
        for (std::string &argument : copies)
            argv.push_back(&argument[0]);
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    run_result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    for (auto [fd, text] : { std::make_pair(out_fd, &result.output), std::make_pair(err_fd, &result.errors) }) {
        lseek(fd, 0, SEEK_SET);
        char buffer[65536];
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
            text->append(buffer, static_cast<size_t>(got));
        close(fd);
    }
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
    *static_cast<std::string *>(png_get_error_ptr(png)) = message;
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
        return result;
    }
    // A CRC error is fatal in ancillary chunks too.
    png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
    png_set_read_fn(png, &reader, read_from_memory);
    png_read_info(png, info);
    result.width = png_get_image_width(png, info);
    result.height = png_get_image_height(png, info);
    result.color_type = png_get_color_type(png, info);
    result.bit_depth = png_get_bit_depth(png, info);
    png_colorp palette = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &palette, &count))
        for (int i = 0; i < count; ++i)
            result.palette.insert(result.palette.end(), { palette[i].red, palette[i].green, palette[i].blue });
    png_bytep alphas = nullptr;
    if (png_get_tRNS(png, info, &alphas, &count, nullptr) && alphas)
        result.transparency.assign(alphas, alphas + count);
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

decoded_png decode_png_file(const std::string &path) { return decode_png(read_file(path)); }

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
