// BMP files, read whole by the image library: the one source that includes
// CImg.h, with the library's shell door shut.
#include "input/readers.h"
#include "settings/limits.h"

// A second guard: should any path of the library still reach for the shell,
// it finds the door shut.
#define cimg_no_system_calls
#include "CImg.h"

#include <algorithm>
#include <new>

using cimg_library::CImg;

namespace {

uint32_t little_endian(const unsigned char *bytes, int count)
{
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

// What the reader takes from a BMP header.
struct bmp_header {
    int64_t offset = 0;  // of the first stored row
    int64_t columns = 0, rows = 0;
    bool top_down = false;
    // 32 bits a pixel whose fourth byte the header declares as alpha: bit
    // fields with the usual masks and an alpha mask of the top byte.
    bool alpha = false;
};

constexpr uint32_t bmp_bit_fields = 3;

// Red, green and blue masks in the byte order that the library reads any
// 32-bit pixel in, and alpha in the fourth byte.
bool bmp_masks_are_usual(const unsigned char *masks)
{
    return little_endian(masks, 4) == 0x00FF0000 && little_endian(masks + 4, 4) == 0x0000FF00 &&
           little_endian(masks + 8, 4) == 0x000000FF;
}

// The library reads a BMP without checking what its header says: rows beyond
// the end of the file, a colour table of any length, colour indices beyond a
// short table. Only the plain, uncompressed forms it reads correctly pass,
// and only when the file holds every row. Bit fields pass for 32 bits with
// the usual masks, which it reads as it reads any 32-bit pixel.
bool read_bmp_header(std::FILE *file, uint64_t file_size, bmp_header &bmp)
{
    // All the library reads before the rows, and the masks of bit fields,
    // which follow a header of 40 bytes or lie within a longer one.
    unsigned char header[0x46] = {};
    if (std::fread(header, 1, sizeof header, file) < 54)
        return false;
    const int64_t offset = little_endian(header + 0x0A, 4);
    const int64_t info_size = little_endian(header + 0x0E, 4);
    const int64_t columns = static_cast<int32_t>(little_endian(header + 0x12, 4));
    const int64_t signed_rows = static_cast<int32_t>(little_endian(header + 0x16, 4));
    const int64_t rows = signed_rows < 0 ? -signed_rows : signed_rows;
    const int bits = static_cast<int>(little_endian(header + 0x1C, 2));
    const uint32_t compression = little_endian(header + 0x1E, 4);
    const uint32_t colours = little_endian(header + 0x2E, 4);
    const bool indexed = bits == 1 || bits == 4 || bits == 8;
    const bool bit_fields = compression == bmp_bit_fields && bits == 32 && bmp_masks_are_usual(header + 0x36);
    if (!indexed && bits != 16 && bits != 24 && bits != 32)
        return false;
    if ((compression != 0 && !bit_fields) || info_size < 40 || info_size > 1024 || columns <= 0 || rows <= 0)
        return false;
    if (indexed ? (colours != 0 && colours != (1u << bits)) : colours != 0)
        return false;
    if (static_cast<uint64_t>(columns * rows) > max_pixels)
        return false;
    const int64_t row_bytes = (columns * bits + 31) / 32 * 4;
    // The rows lie after the header and the masks, where the library begins
    // to read them.
    const int64_t first_row = 14 + info_size + (bit_fields && info_size == 40 ? 12 : 0);
    if (offset < std::max<int64_t>(54, first_row) || static_cast<uint64_t>(offset + row_bytes * rows) > file_size)
        return false;
    bmp.offset = offset;
    bmp.columns = columns;
    bmp.rows = rows;
    bmp.top_down = signed_rows < 0;
    // Headers of 56 bytes and more hold an alpha mask after the other three.
    bmp.alpha = bit_fields && info_size >= 56 && little_endian(header + 0x42, 4) == 0xFF000000u;
    return true;
}

// The fourth byte of every 32-bit pixel, top row first; null when a row
// cannot be read or memory runs out.
byte_buffer read_bmp_alpha(std::FILE *file, const bmp_header &bmp)
{
    const size_t width = static_cast<size_t>(bmp.columns);
    byte_buffer alpha = new_bytes(width * static_cast<size_t>(bmp.rows));
    byte_buffer stored = new_bytes(width * 4);
    if (!alpha || !stored)
        return nullptr;
    for (int64_t r = 0; r < bmp.rows; ++r) {
        if (std::fseek(file, static_cast<long>(bmp.offset + r * static_cast<int64_t>(width) * 4), SEEK_SET) != 0 ||
            std::fread(stored.get(), 4, width, file) != width)
            return nullptr;
        uint8_t *row = alpha.get() + width * static_cast<size_t>(bmp.top_down ? r : bmp.rows - 1 - r);
        for (size_t x = 0; x < width; ++x)
            row[x] = stored[4 * x + 3];
    }
    return alpha;
}

// An image the library has read whole, handed out row by row, with the
// alpha read beside it when the file declares one.
class whole_image_reader final : public image_source {
public:
    whole_image_reader(CImg<uint8_t> image, byte_buffer alpha) : image_(std::move(image)), alpha_(std::move(alpha))
    {
        width = image_.width();
        height = image_.height();
    }

    bool read_row(uint8_t *rgb) override
    {
        if (next_row_ >= height)
            return false;
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                *rgb++ = image_(x, next_row_, 0, image_.spectrum() < 3 ? 0 : c);
        ++next_row_;
        return true;
    }

    const uint8_t *row_alpha() override
    {
        if (!alpha_ || next_row_ == 0)
            return nullptr;
        return alpha_.get() + static_cast<size_t>(next_row_ - 1) * static_cast<size_t>(width);
    }

private:
    CImg<uint8_t> image_;
    byte_buffer alpha_;
    int next_row_ = 0;
};

}  // namespace

std::unique_ptr<image_source> open_bmp(const char *path)
{
    uint64_t file_size = 0;
    owned_file owned = open_regular_file(path, file_size);
    std::FILE *file = owned.get();
    bmp_header bmp;
    if (!file || !read_bmp_header(file, file_size, bmp))
        return nullptr;
    std::rewind(file);
    cimg_library::cimg::exception_mode(0);  // the library's own messages stay unprinted
    try {
        CImg<uint8_t> image;
        // Given the open file, the library never passes it on to a converter.
        image.load_bmp(file);
        if (image.is_empty())
            return nullptr;
        byte_buffer alpha;
        if (bmp.alpha && !(alpha = read_bmp_alpha(file, bmp)))
            return nullptr;
        return std::make_unique<whole_image_reader>(std::move(image), std::move(alpha));
    } catch (const cimg_library::CImgException &) {
        return nullptr;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

