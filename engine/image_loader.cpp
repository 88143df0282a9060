// The one source that sees the image library. The reader is chosen here from
// the file's first bytes and called directly: the library's general loader
// hands files it does not know (and files its readers reject) to external
// converter programs through the shell, which this program never does.
#include "engine/image.h"

// A second guard: should any path of the library still reach for the shell,
// it finds the door shut.
#define cimg_no_system_calls
#include "CImg.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

using cimg_library::CImg;

namespace {

enum class image_format { unknown, png, jpeg, bmp, pnm };

// What the first bytes tell: the reader, and the largest sample value the
// file can hold (above 255 the samples are read at full depth and scaled).
struct file_kind {
    image_format format = image_format::unknown;
    unsigned max_value = 255;
};

const unsigned char png_signature[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, 0x0A };
// The bit depth is byte 24: the signature, then IHDR's length, type, width, height.
constexpr size_t png_bit_depth_offset = 24;

// Skips white space and '#' comments of a PNM header, then reads a decimal
// number; 0 when there is none.
unsigned read_pnm_number(std::FILE *file)
{
    int c = std::fgetc(file);
    while (c == '#' || std::isspace(c)) {
        if (c == '#')
            while (c != '\n' && c != EOF)
                c = std::fgetc(file);
        c = std::fgetc(file);
    }
    unsigned long value = 0;
    while (std::isdigit(c) && value <= 65535) {
        value = value * 10 + static_cast<unsigned>(c - '0');
        c = std::fgetc(file);
    }
    return value <= 65535 ? static_cast<unsigned>(value) : 0;
}

// The maxval of a grey or colour PNM file (the position is just after the
// two magic bytes). The bitmap types have none: the library turns their bits
// into 0 and 255.
unsigned pnm_max_value(std::FILE *file, char type)
{
    if (type == '1' || type == '4')
        return 255;
    read_pnm_number(file);  // width
    read_pnm_number(file);  // height
    return read_pnm_number(file);
}

file_kind identify(const char *path)
{
    file_kind kind;
    std::FILE *file = std::fopen(path, "rb");
    if (!file)
        return kind;
    unsigned char head[png_bit_depth_offset + 1] = {};
    const size_t got = std::fread(head, 1, sizeof head, file);
    if (got == sizeof head && std::memcmp(head, png_signature, sizeof png_signature) == 0) {
        kind.format = image_format::png;
        kind.max_value = head[png_bit_depth_offset] == 16 ? 65535 : 255;
    } else if (got >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) {
        kind.format = image_format::jpeg;
    } else if (got >= 2 && head[0] == 'B' && head[1] == 'M') {
        kind.format = image_format::bmp;
    } else if (got >= 3 && head[0] == 'P' && head[1] >= '1' && head[1] <= '6' && std::isspace(head[2])) {
        std::fseek(file, 2, SEEK_SET);
        kind.max_value = pnm_max_value(file, static_cast<char>(head[1]));
        if (kind.max_value != 0)
            kind.format = image_format::pnm;
    }
    std::fclose(file);
    return kind;
}

// libpng and libjpeg print their warnings and errors on standard error by
// themselves, whatever the library's quiet mode says; the program keeps
// standard error silent, so it points at /dev/null while a reader runs.
class standard_error_muted {
public:
    standard_error_muted()
    {
        std::fflush(stderr);
        saved_ = dup(2);
        const int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0) {
            dup2(null_fd, 2);
            close(null_fd);
        }
    }
    ~standard_error_muted()
    {
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, 2);
            close(saved_);
        }
    }
    standard_error_muted(const standard_error_muted &) = delete;
    standard_error_muted &operator=(const standard_error_muted &) = delete;

private:
    int saved_ = -1;
};

// Throws the library's exception when the file cannot be read.
template <typename sample_t>
CImg<sample_t> read_image(const char *path, image_format format)
{
    standard_error_muted muted;
    CImg<sample_t> image;
    switch (format) {
    case image_format::png:
        image.load_png(path);
        break;
    case image_format::jpeg:
        image.load_jpeg(path);
        break;
    case image_format::bmp:
        image.load_bmp(path);
        break;
    case image_format::pnm:
        image.load_pnm(path);
        break;
    case image_format::unknown:
        break;
    }
    return image;
}

// Samples deeper than 8 bits are rounded to the nearest 8-bit level; for a
// 16-bit file this is (v * 255 + 32767) / 65535. Values beyond the declared
// maximum of a malformed file are held at it.
uint8_t to_byte(unsigned value, unsigned max_value)
{
    value = std::min(value, max_value);
    if (max_value <= 255)
        return static_cast<uint8_t>(value);
    return static_cast<uint8_t>((value * 255u + max_value / 2) / max_value);
}

// Depth slice 0 only. One channel is grey, two are grey and alpha: the grey
// level goes to red, green and blue. Alpha and further channels are dropped.
template <typename sample_t>
void copy_to_source(const CImg<sample_t> &image, unsigned max_value, source_image &source)
{
    source.width = image.width();
    source.height = image.height();
    source.rgb.resize(static_cast<size_t>(source.width) * source.height * 3);
    const bool grey = image.spectrum() < 3;
    uint8_t *out = source.rgb.data();
    for (int y = 0; y < source.height; ++y) {
        for (int x = 0; x < source.width; ++x) {
            for (int c = 0; c < 3; ++c)
                *out++ = to_byte(image(x, y, 0, grey ? 0 : c), max_value);
        }
    }
}

}  // namespace

bool load_source_image(const char *path, source_image &image)
{
    cimg_library::cimg::exception_mode(0);
    image = source_image();
    const file_kind kind = identify(path);
    if (kind.format == image_format::unknown)
        return false;
    source_image loaded;
    try {
        // 8-bit files are read as bytes, so the library's copy of a large
        // photo takes no more room than it must.
        if (kind.max_value > 255)
            copy_to_source(read_image<uint16_t>(path, kind.format), kind.max_value, loaded);
        else
            copy_to_source(read_image<uint8_t>(path, kind.format), kind.max_value, loaded);
    } catch (const cimg_library::CImgException &) {
        return false;
    } catch (const std::bad_alloc &) {
        return false;
    }
    if (loaded.width <= 0 || loaded.height <= 0)
        return false;
    image = std::move(loaded);
    return true;
}
