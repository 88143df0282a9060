#include "tests/image_writers.h"

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>
#include <png.h>

#include <stdexcept>

void write_png_form(const std::string &path, uint32_t width, uint32_t height, const png_form &form,
                    const std::vector<uint8_t> &rows)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        throw std::runtime_error("cannot create " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, form.bit_depth, form.color_type,
                 form.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> entries;
    for (size_t i = 0; i + 2 < form.palette.size(); i += 3)
        entries.push_back({ form.palette[i], form.palette[i + 1], form.palette[i + 2] });
    if (!entries.empty())
        png_set_PLTE(png, info, entries.data(), static_cast<int>(entries.size()));
    if (!form.transparency.empty()) {
        png_color_16 key = {};
        key.gray = key.red = key.green = key.blue = form.transparency[0];
        png_set_tRNS(png, info, form.transparency.data(), static_cast<int>(form.transparency.size()), &key);
    }
    png_write_info(png, info);
    const size_t row_bytes = rows.size() / height;
    std::vector<png_bytep> pointers;
    for (uint32_t y = 0; y < height; ++y)
        pointers.push_back(const_cast<png_bytep>(rows.data() + y * row_bytes));
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

void write_test_jpeg(const std::string &path, int width, int height, int components,
                     const std::vector<uint8_t> &samples, bool progressive, int quality)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        throw std::runtime_error("cannot create " + path);
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = components;
    info.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    if (components == 4) {
        jpeg_set_colorspace(&info, JCS_YCCK);  // also writes Adobe's marker
    }
    if (progressive)
        jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    for (int y = 0; y < height; ++y) {
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + static_cast<size_t>(y) * width * components);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(file);
}

std::string bmp_bytes(int width, int height, const std::vector<uint8_t> &rgb)
{
    const int row_bytes = (width * 3 + 3) / 4 * 4;
    const int data_bytes = row_bytes * height;
    std::string out;
    auto put = [&out](uint32_t v, int count) {
        for (int i = 0; i < count; ++i)
            out += static_cast<char>((v >> (8 * i)) & 255);
    };
    out += "BM";
    put(54 + data_bytes, 4);
    put(0, 4);
    put(54, 4);    // offset of the pixels
    put(40, 4);    // info header size
    put(width, 4);
    put(height, 4);  // positive: bottom-up
    put(1, 2);     // planes
    put(24, 2);    // bits per pixel
    put(0, 4);     // no compression
    put(data_bytes, 4);
    put(2835, 4);
    put(2835, 4);
    put(0, 4);
    put(0, 4);
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t *p = rgb.data() + (static_cast<size_t>(y) * width + x) * 3;
            out += { static_cast<char>(p[2]), static_cast<char>(p[1]), static_cast<char>(p[0]) };
        }
        out.append(row_bytes - width * 3, '\0');
    }
    return out;
}
