// BMP files, read whole by the image library: the one source that includes
// CImg.h, with the library's shell door shut.
#include "input/readers.h"
#include "settings/limits.h"

// A second guard: should any path of the library still reach for the shell,
// it finds the door shut.
#define cimg_no_system_calls
#include "CImg.h"

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

// The library reads a BMP without checking what its header says: rows beyond
// the end of the file, a colour table of any length, colour indices beyond a
// short table. Only the plain, uncompressed forms it reads correctly pass,
// and only when the file holds every row.
bool bmp_header_is_sound(std::FILE *file, uint64_t file_size)
{
    unsigned char header[54] = {};  // all the library reads before the rows
    if (std::fread(header, 1, sizeof header, file) != sizeof header)
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
    if (!indexed && bits != 16 && bits != 24 && bits != 32)
        return false;
    if (compression != 0 || info_size < 40 || info_size > 1024 || columns <= 0 || rows <= 0)
        return false;
    if (indexed ? (colours != 0 && colours != (1u << bits)) : colours != 0)
        return false;
    if (static_cast<uint64_t>(columns * rows) > max_pixels)
        return false;
    const int64_t row_bytes = (columns * bits + 31) / 32 * 4;
    return offset >= 54 && static_cast<uint64_t>(offset + row_bytes * rows) <= file_size;
}

// An image the library has read whole, handed out row by row.
class whole_image_reader final : public image_source {
public:
    explicit whole_image_reader(CImg<uint8_t> image) : image_(std::move(image))
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

private:
    CImg<uint8_t> image_;
    int next_row_ = 0;
};

}  // namespace

std::unique_ptr<image_source> open_bmp(const char *path)
{
    uint64_t file_size = 0;
    owned_file owned = open_regular_file(path, file_size);
    std::FILE *file = owned.get();
    if (!file || !bmp_header_is_sound(file, file_size))
        return nullptr;
    std::rewind(file);
    cimg_library::cimg::exception_mode(0);  // the library's own messages stay unprinted
    try {
        CImg<uint8_t> image;
        // Given the open file, the library never passes it on to a converter.
        image.load_bmp(file);
        if (image.is_empty())
            return nullptr;
        return std::make_unique<whole_image_reader>(std::move(image));
    } catch (const cimg_library::CImgException &) {
        return nullptr;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

