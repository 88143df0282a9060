// The one source that sees the image library. The reader is chosen here from
// the file's first bytes and called directly: the library's general loader
// hands files it does not know (and files its readers reject) to external
// converter programs through the shell, which this program never does.
#include "engine/image.h"

// A second guard: should any path of the library still reach for the shell,
// it finds the door shut.
#define cimg_no_system_calls
#include "CImg.h"

#include <png.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
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

struct file_closer {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using owned_file = std::unique_ptr<std::FILE, file_closer>;

const unsigned char png_signature[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, 0x0A };
// The bit depth is byte 24: the signature, then IHDR's length, type, width, height.
constexpr size_t png_bit_depth_offset = 24;

// Skips white space and '#' comments of a PNM header, then reads a decimal
// number. Returns false when there is none or it is absurdly large.
bool read_pnm_number(std::FILE *file, uint64_t &value)
{
    int c = std::fgetc(file);
    while (c == '#' || std::isspace(c)) {
        if (c == '#')
            while (c != '\n' && c != EOF)
                c = std::fgetc(file);
        c = std::fgetc(file);
    }
    if (!std::isdigit(c))
        return false;
    value = 0;
    while (std::isdigit(c) && value <= 0xFFFFFFFFu) {
        value = value * 10 + static_cast<unsigned>(c - '0');
        c = std::fgetc(file);
    }
    return value <= 0xFFFFFFFFu;  // the character after the number is the one separator
}

// Reads the PNM header after the two magic bytes and gives the maxval (255
// for the bitmap types, whose bits the library turns into 0 and 255), or 0
// when the header is broken or the binary pixels are cut short: the library
// would read such a file without complaint and fill the rest with whatever
// memory held.
unsigned pnm_max_value(std::FILE *file, char type, uint64_t file_size)
{
    const bool bitmap = type == '1' || type == '4';
    uint64_t width = 0, height = 0, max_value = 255;
    if (!read_pnm_number(file, width) || !read_pnm_number(file, height))
        return 0;
    if (!bitmap && (!read_pnm_number(file, max_value) || max_value == 0 || max_value > 65535))
        return 0;
    const uint64_t sample_bytes = max_value > 255 ? 2 : 1;
    uint64_t pixel_bytes = 0;  // the ASCII types have no fixed length
    if (type == '4')
        pixel_bytes = (width + 7) / 8 * height;
    else if (type == '5')
        pixel_bytes = width * height * sample_bytes;
    else if (type == '6')
        pixel_bytes = width * height * 3 * sample_bytes;
    const long position = std::ftell(file);
    if (position < 0 || file_size - static_cast<uint64_t>(position) < pixel_bytes)
        return 0;
    return static_cast<unsigned>(max_value);
}

int32_t little_endian_32(const unsigned char *bytes)
{
    return static_cast<int32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24);
}

// The library reads the rows of a BMP file without checking that they are all
// there (given an open file), so a cut file is refused here.
bool bmp_is_whole(std::FILE *file, uint64_t file_size)
{
    unsigned char header[54] = {};  // all the library reads before the rows
    if (std::fread(header, 1, sizeof header, file) != sizeof header)
        return false;
    const int64_t offset = little_endian_32(header + 0x0A);
    const int64_t width = little_endian_32(header + 0x12);
    const int64_t height = little_endian_32(header + 0x16);
    const int64_t bits = header[0x1C] | header[0x1D] << 8;
    if (offset < 0 || width < 0)
        return false;
    const int64_t row_bytes = (width * bits + 31) / 32 * 4;
    return static_cast<uint64_t>(offset + row_bytes * (height < 0 ? -height : height)) <= file_size;
}

uint64_t size_of(std::FILE *file)
{
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::rewind(file);
    return size > 0 ? static_cast<uint64_t>(size) : 0;
}

// Leaves the file at its start for the reader.
file_kind identify(std::FILE *file)
{
    file_kind kind;
    const uint64_t file_size = size_of(file);
    unsigned char head[png_bit_depth_offset + 1] = {};
    const size_t got = std::fread(head, 1, sizeof head, file);
    if (got == sizeof head && std::memcmp(head, png_signature, sizeof png_signature) == 0) {
        kind.format = image_format::png;
        kind.max_value = head[png_bit_depth_offset] == 16 ? 65535 : 255;
    } else if (got >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) {
        kind.format = image_format::jpeg;
    } else if (got >= 2 && head[0] == 'B' && head[1] == 'M') {
        std::rewind(file);
        if (bmp_is_whole(file, file_size))
            kind.format = image_format::bmp;
    } else if (got >= 3 && head[0] == 'P' && head[1] >= '1' && head[1] <= '6' && std::isspace(head[2])) {
        std::fseek(file, 2, SEEK_SET);
        kind.max_value = pnm_max_value(file, static_cast<char>(head[1]), file_size);
        if (kind.max_value != 0)
            kind.format = image_format::pnm;
    }
    std::rewind(file);
    return kind;
}

// The library's PNG reader leaks its row buffers when libpng gives up half
// way, so a PNG is first decoded here, row by row into one buffer, with errors
// that unwind to this frame and print nothing. Only a stream that decodes to
// its end goes to the library. Nothing with a destructor may live in this
// function: libpng leaves it through longjmp.
void png_error_silently(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void png_warning_silently(png_structp, png_const_charp) {}

bool png_decodes_to_the_end(std::FILE *file)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_error_silently,
                                             png_warning_silently);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    png_bytep volatile row = nullptr;
    volatile bool decoded = false;
    if (png && info && !setjmp(png_jmpbuf(png))) {
        png_init_io(png, file);
        png_read_info(png, info);
        const int passes = png_set_interlace_handling(png);
        png_read_update_info(png, info);
        row = static_cast<png_bytep>(png_malloc(png, png_get_rowbytes(png, info)));
        const png_uint_32 height = png_get_image_height(png, info);
        for (int pass = 0; pass < passes; ++pass)
            for (png_uint_32 y = 0; y < height; ++y)
                png_read_row(png, row, nullptr);
        png_read_end(png, nullptr);
        decoded = true;
    }
    if (row)
        png_free(png, row);
    png_destroy_read_struct(png ? &png : nullptr, info ? &info : nullptr, nullptr);
    std::rewind(file);
    return decoded;
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

// Throws the library's exception when the file cannot be read. The readers
// are handed the open file rather than its name: given a name, the library
// falls back on outside programs for JPEG files it cannot decode, and it leaves
// the file open on some of its errors.
template <typename sample_t>
CImg<sample_t> read_image(std::FILE *file, image_format format)
{
    standard_error_muted muted;
    CImg<sample_t> image;
    switch (format) {
    case image_format::png:
        if (png_decodes_to_the_end(file))
            image.load_png(file);
        break;
    case image_format::jpeg:
        image.load_jpeg(file);
        break;
    case image_format::bmp:
        image.load_bmp(file);
        break;
    case image_format::pnm:
        image.load_pnm(file);
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

namespace {

bool load_whole_image(const char *path, source_image &image)
{
    cimg_library::cimg::exception_mode(0);
    image = source_image();
    owned_file file(std::fopen(path, "rb"));
    if (!file)
        return false;
    const file_kind kind = identify(file.get());
    if (kind.format == image_format::unknown)
        return false;
    source_image loaded;
    try {
        // 8-bit files are read as bytes, so the library's copy of a large
        // photo takes no more room than it must.
        if (kind.max_value > 255)
            copy_to_source(read_image<uint16_t>(file.get(), kind.format), kind.max_value, loaded);
        else
            copy_to_source(read_image<uint8_t>(file.get(), kind.format), kind.max_value, loaded);
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

// An image read whole by the library, handed out row by row.
class loaded_image_source : public image_source {
public:
    explicit loaded_image_source(source_image image) : image_(std::move(image))
    {
        width = image_.width;
        height = image_.height;
    }

    bool read_row(uint8_t *rgb) override
    {
        if (next_row_ >= height)
            return false;
        std::memcpy(rgb, image_.pixel(0, next_row_++), static_cast<size_t>(width) * 3);
        return true;
    }

private:
    source_image image_;
    int next_row_ = 0;
};

}  // namespace

std::unique_ptr<image_source> open_image_source(const char *path)
{
    source_image image;
    if (!load_whole_image(path, image))
        return nullptr;
    return std::make_unique<loaded_image_source>(std::move(image));
}

bool load_source_image(const char *path, source_image &image)
{
    image = source_image();
    std::unique_ptr<image_source> source = open_image_source(path);
    if (!source)
        return false;
    source_image loaded;
    loaded.width = source->width;
    loaded.height = source->height;
    loaded.rgb.resize(static_cast<size_t>(loaded.width) * loaded.height * 3);
    for (int y = 0; y < loaded.height; ++y) {
        if (!source->read_row(&loaded.rgb[static_cast<size_t>(y) * loaded.width * 3]))
            return false;
    }
    image = std::move(loaded);
    return true;
}
