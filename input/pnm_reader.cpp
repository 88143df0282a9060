// PNM files: P1 and P4 are bitmaps (1 is black), P2 and P5 grey, P3 and P6
// RGB; P1 to P3 write their samples as decimal text, P4 to P6 as bytes.
// Decoded row by row.
#include "input/readers.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

// The first character after white space and '#' comments.
int next_pnm_character(std::FILE *file)
{
    int c = std::fgetc(file);
    while (c == '#' || std::isspace(c)) {
        if (c == '#')
            while (c != '\n' && c != EOF)
                c = std::fgetc(file);
        c = std::fgetc(file);
    }
    return c;
}

// Reads a decimal number after white space and comments. Returns false when
// there is none or it does not fit 32 bits. The character after the number
// is consumed: in a header it is the one separator before the binary pixels.
bool read_pnm_number(std::FILE *file, uint64_t &value)
{
    int c = next_pnm_character(file);
    if (!std::isdigit(c))
        return false;
    value = 0;
    while (std::isdigit(c) && value <= 0xFFFFFFFFu) {
        value = value * 10 + static_cast<unsigned>(c - '0');
        c = std::fgetc(file);
    }
    return value <= 0xFFFFFFFFu;
}

// In a bitmap's ASCII form each pixel is one digit, with or without space.
bool read_pnm_bit(std::FILE *file, unsigned &bit)
{
    const int c = next_pnm_character(file);
    if (c != '0' && c != '1')
        return false;
    bit = static_cast<unsigned>(c - '0');
    return true;
}

class pnm_reader final : public image_source {
public:
    pnm_reader(owned_file file, char type) : file_(std::move(file)), type_(type) {}

    bool open(uint64_t file_size)
    {
        std::FILE *file = file_.get();
        std::fseek(file, 2, SEEK_SET);
        uint64_t columns = 0, rows = 0, max_value = 1;
        if (!read_pnm_number(file, columns) || !read_pnm_number(file, rows))
            return false;
        if (!bitmap() && (!read_pnm_number(file, max_value) || max_value == 0 || max_value > 65535))
            return false;
        if (columns == 0 || rows == 0 || columns > 0x7FFFFFFF || rows > 0x7FFFFFFF)
            return false;
        layout_.channels = (type_ == '3' || type_ == '6') ? 3 : 1;
        layout_.sample_bytes = max_value > 255 ? 2 : 1;
        layout_.max_value = static_cast<unsigned>(max_value);
        // The binary pixels must all be there; a text sample takes at least
        // one character.
        row_bytes_ = type_ == '4' ? (columns + 7) / 8 : columns * layout_.channels * layout_.sample_bytes;
        const uint64_t row_needs = binary() ? row_bytes_ : columns * layout_.channels;
        if (row_needs > bytes_left(file, file_size) / rows)
            return false;
        width = static_cast<int>(columns);
        height = static_cast<int>(rows);
        buffer_ = new_bytes(binary() ? row_bytes_ : columns * layout_.channels * 2);
        return buffer_ != nullptr;
    }

    bool read_row(uint8_t *rgb) override
    {
        if (failed_ || next_row_ >= height)
            return false;
        const bool read = type_ == '4' ? read_bitmap_row(rgb) : type_ == '1' ? read_text_bitmap_row(rgb)
                          : binary()   ? read_binary_row(rgb)
                                       : read_text_row(rgb);
        if (!read) {
            failed_ = true;
            return false;
        }
        ++next_row_;
        return true;
    }

private:
    bool bitmap() const { return type_ == '1' || type_ == '4'; }
    bool binary() const { return type_ >= '4'; }

    bool read_binary_row(uint8_t *rgb)
    {
        if (std::fread(buffer_.get(), 1, row_bytes_, file_.get()) != row_bytes_)
            return false;
        samples_to_rgb(buffer_.get(), width, layout_, rgb);
        return true;
    }

    bool read_bitmap_row(uint8_t *rgb)
    {
        if (std::fread(buffer_.get(), 1, row_bytes_, file_.get()) != row_bytes_)
            return false;
        for (int x = 0; x < width; ++x) {
            const bool black = (buffer_[x / 8] >> (7 - x % 8)) & 1;
            std::memset(rgb + 3 * static_cast<size_t>(x), black ? 0 : 255, 3);
        }
        return true;
    }

    bool read_text_bitmap_row(uint8_t *rgb)
    {
        for (int x = 0; x < width; ++x) {
            unsigned bit = 0;
            if (!read_pnm_bit(file_.get(), bit))
                return false;
            std::memset(rgb + 3 * static_cast<size_t>(x), bit ? 0 : 255, 3);
        }
        return true;
    }

    // Text samples are gathered as 16-bit big-endian values so that the
    // binary conversion serves both.
    bool read_text_row(uint8_t *rgb)
    {
        const size_t samples = static_cast<size_t>(width) * layout_.channels;
        for (size_t i = 0; i < samples; ++i) {
            uint64_t value = 0;
            if (!read_pnm_number(file_.get(), value))
                return false;
            value = std::min<uint64_t>(value, layout_.max_value);
            buffer_[2 * i] = static_cast<uint8_t>(value >> 8);
            buffer_[2 * i + 1] = static_cast<uint8_t>(value);
        }
        sample_layout wide = layout_;
        wide.sample_bytes = 2;
        samples_to_rgb(buffer_.get(), width, wide, rgb);
        return true;
    }

    owned_file file_;
    char type_;
    sample_layout layout_;
    uint64_t row_bytes_ = 0;
    int next_row_ = 0;
    bool failed_ = false;
    byte_buffer buffer_;
};

}  // namespace

std::unique_ptr<image_source> open_pnm(const char *path)
{
    uint64_t file_size = 0;
    owned_file file = open_regular_file(path, file_size);
    unsigned char head[2] = {};
    if (!file || std::fread(head, 1, sizeof head, file.get()) != sizeof head)
        return nullptr;
    return open_with<pnm_reader>(file_size, std::move(file), static_cast<char>(head[1]));
}
