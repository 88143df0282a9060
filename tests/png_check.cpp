#include "tests/png_check.h"

#include <png.h>

#include <cstring>

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
    // Samples below 8 bits come one a byte, as the writer stores them.
    png_set_packing(png);
    png_read_update_info(png, info);
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
    result.ok = reader.position == bytes.size();
    if (!result.ok)
        result.error = "bytes after the end of the image";
    return result;
}

