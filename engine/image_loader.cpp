// The image readers. PNG, JPEG and PNM files are decoded here row by row as
// the engine asks for them (GIF, TIFF and WebP in their own files in input/), so a reader holds one row of the image (an
// interlaced PNG excepted) and decoding can run alongside the scan. BMP files
// go through the image library, read whole. The reader is chosen from the
// file's first bytes, never from its name, and nothing here runs an outside
// program or prints a word.
//
// Every size a header claims is checked against the file before anything of
// that size is allocated: a header is only a claim, and a file of a few bytes
// must not make the program take gigabytes.
#include "engine/image.h"
#include "input/gif_reader.h"
#include "input/reader_support.h"
#include "input/tiff_reader.h"
#include "input/webp_reader.h"

// A second guard: should any path of the library still reach for the shell,
// it finds the door shut.
#define cimg_no_system_calls
#include "CImg.h"

#include <jerror.h>
#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

using cimg_library::CImg;

namespace {

// Samples as a decoder hands them out: 1 (grey), 2 (grey, alpha), 3 (RGB) or 4
// (RGBA) channels, 1 byte or 2 big-endian bytes each.
struct sample_layout {
    int channels = 3;
    int sample_bytes = 1;
    unsigned max_value = 255;
};

// One row of samples to 8-bit red, green and blue. Grey goes to all three;
// alpha and the fourth channel are dropped.
void samples_to_rgb(const uint8_t *in, int width, const sample_layout &layout, uint8_t *rgb)
{
    const int colours = layout.channels < 3 ? 1 : 3;
    const size_t step = static_cast<size_t>(layout.channels) * layout.sample_bytes;
    const bool plain = layout.sample_bytes == 1 && layout.max_value == 255;
    for (int x = 0; x < width; ++x, in += step, rgb += 3) {
        for (int c = 0; c < 3; ++c) {
            const int channel = colours == 1 ? 0 : c;
            if (plain) {
                rgb[c] = in[channel];
            } else {
                const uint8_t *sample = in + channel * layout.sample_bytes;
                const unsigned value = layout.sample_bytes == 2 ? (sample[0] << 8 | sample[1]) : sample[0];
                rgb[c] = to_byte(value, layout.max_value);
            }
        }
    }
}

// ---------------------------------------------------------------- PNG ----

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
    // 16-bit so that they are rounded here, not cut.
    png_set_palette_to_rgb(png);
    png_set_expand_gray_1_2_4_to_8(png);
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

class png_reader : public image_source {
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
        if (interlaced_ && pixels > max_pixels)
            return false;
        width = static_cast<int>(header_.width);
        height = static_cast<int>(header_.height);
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
        ++next_row_;
        return true;
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
    // whole when its first row is asked for.
    const uint8_t *interlaced_row()
    {
        if (!buffer_) {
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
};

// --------------------------------------------------------------- JPEG ----

struct jpeg_error_trap {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void jpeg_error_quietly(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<jpeg_error_trap *>(info->err)->jump, 1);
}

// libjpeg reports damaged data as a warning and goes on with grey blocks;
// such an image is refused like any other damaged file. Warnings about
// harmless oddities (stray bytes between markers, an unknown JFIF version)
// are let pass.
void jpeg_message_quietly(j_common_ptr info, int level)
{
    if (level >= 0)
        return;
    switch (info->err->msg_code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_MUST_RESYNC:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
        jpeg_error_quietly(info);
        break;
    default:
        break;
    }
}

// A progressive file is decoded into whole-image coefficient arrays, which
// libjpeg clears when it takes them. They may take this many times the file's
// size, or this floor, which covers any photo of some twenty megapixels;
// beyond that the file is refused before the arrays are taken.
constexpr uint64_t jpeg_max_memory_per_file_byte = 1000;
constexpr uint64_t jpeg_memory_floor = 64u << 20;

bool jpeg_start(jpeg_decompress_struct *info, jpeg_error_trap *trap, std::FILE *file, uint64_t file_size)
{
    if (setjmp(trap->jump))
        return false;
    jpeg_stdio_src(info, file);
    jpeg_read_header(info, TRUE);
    // CMYK files are read as CMYK and turned into RGB here; grey stays grey.
    if (info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK)
        info->out_color_space = JCS_CMYK;
    else if (info->jpeg_color_space == JCS_GRAYSCALE)
        info->out_color_space = JCS_GRAYSCALE;
    else
        info->out_color_space = JCS_RGB;
    info->mem->max_memory_to_use =
        static_cast<long>(std::min<uint64_t>(std::max(jpeg_memory_floor, file_size * jpeg_max_memory_per_file_byte),
                                             0x7FFFFFFF));
    jpeg_start_decompress(info);
    return true;
}

bool jpeg_next_row(jpeg_decompress_struct *info, jpeg_error_trap *trap, uint8_t *row, bool last)
{
    if (setjmp(trap->jump))
        return false;
    JSAMPROW rows[1] = { row };
    if (jpeg_read_scanlines(info, rows, 1) != 1)
        return false;
    // Reading on to the end marker finds a file cut after its last row.
    if (last)
        jpeg_finish_decompress(info);
    return true;
}

class jpeg_reader : public image_source {
public:
    jpeg_reader(owned_file file) : file_(std::move(file)) {}
    ~jpeg_reader() override
    {
        if (created_)
            jpeg_destroy_decompress(&info_);
    }

    bool open(uint64_t file_size)
    {
        info_.err = jpeg_std_error(&trap_.manager);
        trap_.manager.error_exit = jpeg_error_quietly;
        trap_.manager.emit_message = jpeg_message_quietly;
        trap_.manager.output_message = [](j_common_ptr) {};
        jpeg_create_decompress(&info_);
        created_ = true;
        if (!jpeg_start(&info_, &trap_, file_.get(), file_size))
            return false;
        if (info_.output_width == 0 || info_.output_height == 0)
            return false;
        width = static_cast<int>(info_.output_width);
        height = static_cast<int>(info_.output_height);
        layout_.channels = info_.output_components;
        buffer_ = new_bytes(static_cast<size_t>(width) * info_.output_components);
        return buffer_ != nullptr;
    }

    bool read_row(uint8_t *rgb) override
    {
        if (failed_ || next_row_ >= height)
            return false;
        if (!jpeg_next_row(&info_, &trap_, buffer_.get(), next_row_ + 1 == height)) {
            failed_ = true;
            return false;
        }
        if (info_.out_color_space == JCS_CMYK)
            cmyk_to_rgb(buffer_.get(), width, info_.saw_Adobe_marker, rgb);
        else
            samples_to_rgb(buffer_.get(), width, layout_, rgb);
        ++next_row_;
        return true;
    }

private:
    owned_file file_;
    jpeg_decompress_struct info_ = {};
    jpeg_error_trap trap_ = {};
    bool created_ = false;
    bool failed_ = false;
    int next_row_ = 0;
    sample_layout layout_;
    byte_buffer buffer_;
};

// ---------------------------------------------------------------- PNM ----

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

// P1 and P4 are bitmaps (1 is black), P2 and P5 grey, P3 and P6 RGB; P1 to P3
// write their samples as decimal text, P4 to P6 as bytes.
class pnm_reader : public image_source {
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

// ---------------------------------------------------------------- BMP ----

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
class whole_image_reader : public image_source {
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

std::unique_ptr<image_source> open_bmp(std::FILE *file, uint64_t file_size)
{
    if (!bmp_header_is_sound(file, file_size))
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

// ------------------------------------------------------------ choosing ----

template <typename reader_t, typename... Arguments>
std::unique_ptr<image_source> open_with(uint64_t file_size, Arguments &&...arguments)
{
    auto reader = std::make_unique<reader_t>(std::forward<Arguments>(arguments)...);
    if (!reader->open(file_size))
        return nullptr;
    return reader;
}

const unsigned char png_signature[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, 0x0A };

}  // namespace

std::unique_ptr<image_source> open_image_source(const char *path)
{
    owned_file file(std::fopen(path, "rb"));
    uint64_t file_size = 0;
    if (!file || !regular_file_size(file.get(), file_size))
        return nullptr;
    unsigned char head[12] = {};
    const size_t got = std::fread(head, 1, sizeof head, file.get());
    std::rewind(file.get());
    try {
        if (got >= sizeof png_signature && std::memcmp(head, png_signature, sizeof png_signature) == 0)
            return open_with<png_reader>(file_size, std::move(file));
        if (got >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF)
            return open_with<jpeg_reader>(file_size, std::move(file));
        if (got >= 3 && head[0] == 'P' && head[1] >= '1' && head[1] <= '6' && std::isspace(head[2]))
            return open_with<pnm_reader>(file_size, std::move(file), static_cast<char>(head[1]));
        if (got >= 2 && head[0] == 'B' && head[1] == 'M')
            return open_bmp(file.get(), file_size);
        if (gif_recognise(head, got))
            return gif_open(path);
        if (tiff_recognise(head, got))
            return tiff_open(path);
        if (webp_recognise(head, got))
            return webp_open(path);
    } catch (const std::bad_alloc &) {
    }
    return nullptr;
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
