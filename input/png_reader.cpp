// PNG files, decoded row by row through libpng as the engine asks for them,
// so that the reader holds one row (an interlaced image excepted) and decoding
// runs alongside the scan.
#include "input/readers.h"
#include "settings/limits.h"

#include <png.h>

#include <cstring>

namespace {

// libpng leaves a failing call through longjmp; the few functions that call
// it hold nothing with a destructor, so the jump skips no clean-up, and every
// error or warning is kept quiet.
void png_error_quietly(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void png_warning_quietly(png_structp, png_const_charp) {}

// deflate turns one byte into at most 1032; a PNG whose pixels would need
// more than this many times its own size cannot hold them.
constexpr uint64_t png_max_inflation = 1100;
// Wide enough for any sensible image; libpng's own limit is a million.
constexpr png_uint_32 png_max_width = 1u << 24;
// Room for the text, profile and other chunks a real file carries.
constexpr png_alloc_size_t png_max_chunk_bytes = 16u << 20;

struct png_header {
    png_uint_32 width = 0, height = 0;
    int passes = 1;
    size_t row_bytes = 0;  // after the transformations below
    sample_layout layout;
};

bool png_start(png_structp png, png_infop info, std::FILE *file, png_header *header)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_init_io(png, file);
    png_set_sig_bytes(png, 0);
    png_set_user_limits(png, png_max_width, 0x7FFFFFFF);
    png_set_chunk_malloc_max(png, png_max_chunk_bytes);
    png_read_info(png, info);
    // Palettes become RGB and small grey depths bytes; 16-bit samples stay
    // 16-bit so that they are rounded here, not cut. Transparency given in
    // tRNS (alphas of palette entries, or one colour that is clear) becomes
    // an alpha channel like any other, the colours staying as they are. The
    // palette expansion already does that for every colour type; it is asked
    // for by name since the alpha is read.
    png_set_palette_to_rgb(png);
    png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS))
        png_set_tRNS_to_alpha(png);
    header->passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    header->width = png_get_image_width(png, info);
    header->height = png_get_image_height(png, info);
    header->layout.channels = png_get_channels(png, info);
    header->layout.sample_bytes = png_get_bit_depth(png, info) == 16 ? 2 : 1;
    header->layout.max_value = header->layout.sample_bytes == 2 ? 65535 : 255;
    header->row_bytes = png_get_rowbytes(png, info);
    return true;
}

bool png_next_row(png_structp png, png_bytep row, bool last)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_read_row(png, row, nullptr);
    // The end of the stream is read too: a file cut after its pixels, or
    // with a damaged chunk after them, is damaged all the same.
    if (last)
        png_read_end(png, nullptr);
    return true;
}

// All passes of an interlaced image into one buffer of height rows.
bool png_all_passes(png_structp png, png_bytep image, size_t row_bytes, png_uint_32 height, int passes)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < height; ++y)
            png_read_row(png, image + y * row_bytes, nullptr);
    png_read_end(png, nullptr);
    return true;
}

class png_reader final : public image_source {
public:
    png_reader(owned_file file) : file_(std::move(file)) {}
    ~png_reader() override
    {
        if (png_)
            png_destroy_read_struct(&png_, info_ ? &info_ : nullptr, nullptr);
    }

    bool open(uint64_t file_size)
    {
        png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_error_quietly, png_warning_quietly);
        info_ = png_ ? png_create_info_struct(png_) : nullptr;
        if (!info_ || !png_start(png_, info_, file_.get(), &header_))
            return false;
        const uint64_t pixels = static_cast<uint64_t>(header_.width) * header_.height;
        const uint64_t pixel_bytes = pixels * header_.layout.channels * header_.layout.sample_bytes;
        if (pixels == 0 || header_.width > 0x7FFFFFFF || header_.height > 0x7FFFFFFF ||
            pixel_bytes / png_max_inflation > file_size)
            return false;
        interlaced_ = header_.passes > 1;
        width = static_cast<int>(header_.width);
        height = static_cast<int>(header_.height);
        if (has_alpha_channel(header_.layout) && !(alpha_ = new_bytes(header_.width)))
            return false;
        return true;
    }

    bool read_row(uint8_t *rgb) override
    {
        if (failed_ || next_row_ >= header_.height)
            return false;
        const uint8_t *row = interlaced_ ? interlaced_row() : plain_row();
        if (!row) {
            failed_ = true;
            return false;
        }
        samples_to_rgb(row, width, header_.layout, rgb);
        last_row_ = row;
        ++next_row_;
        return true;
    }

    const uint8_t *row_alpha() override
    {
        if (!alpha_ || !last_row_)
            return nullptr;
        samples_to_alpha(last_row_, width, header_.layout, alpha_.get());
        return alpha_.get();
    }

private:
    const uint8_t *plain_row()
    {
        if (!buffer_ && !(buffer_ = new_bytes(header_.row_bytes)))
            return nullptr;
        if (!png_next_row(png_, buffer_.get(), next_row_ + 1 == header_.height))
            return nullptr;
        return buffer_.get();
    }

    // Adam7 spreads every pass over the whole image, so the image is decoded
    // whole when its first row is asked for. The size is checked here, not on
    // opening: an image too large to dither is told apart from a damaged one
    // by its size lines, interlaced or not.
    const uint8_t *interlaced_row()
    {
        if (!buffer_) {
            if (static_cast<uint64_t>(header_.width) * header_.height > max_pixels)
                return nullptr;
            buffer_ = new_bytes(header_.row_bytes * header_.height);
            if (!buffer_ || !png_all_passes(png_, buffer_.get(), header_.row_bytes, header_.height, header_.passes))
                return nullptr;
        }
        return buffer_.get() + next_row_ * header_.row_bytes;
    }

    owned_file file_;
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    png_header header_;
    bool interlaced_ = false;
    bool failed_ = false;
    png_uint_32 next_row_ = 0;
    byte_buffer buffer_;
    const uint8_t *last_row_ = nullptr;  // the samples of the row read last
    byte_buffer alpha_;  // room for a row's alpha, when the image has any
};

}  // namespace

std::unique_ptr<image_source> open_png(const char *path)
{
    uint64_t file_size = 0;
    owned_file file = open_regular_file(path, file_size);
    if (!file)
        return nullptr;
    return open_with<png_reader>(file_size, std::move(file));
}
