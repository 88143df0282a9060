#include "tests/image_writers.h"

#include <cstdio>
#include <jpeglib.h>
#include <png.h>

void write_png_form(const std::string &path, uint32_t width, uint32_t height, const png_form &form,
                    const std::vector<uint8_t> &rows)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
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
    std::vector<png_bytep> pointers;
    for (uint32_t y = 0; y < height; ++y)
        pointers.push_back(const_cast<png_bytep>(rows.data() + y * (rows.size() / height)));
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

void write_test_jpeg(const std::string &path, int width, int height, int components,
                     const std::vector<uint8_t> &samples, bool progressive)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
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
    jpeg_set_quality(&info, 100, TRUE);
    if (components == 4)
        jpeg_set_colorspace(&info, JCS_YCCK);  // also writes Adobe's marker
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
    const int row_bytes = (width * 3 + 3) / 4 * 4, data_bytes = row_bytes * height;
    std::string out = "BM";
    // File size, reserved, pixel offset, header size, width, height (positive:
    // bottom-up), planes and 24 bits, no compression, data size, resolution, colours.
    const uint32_t fields[][2] = { { uint32_t(54 + data_bytes), 4 }, { 0, 4 }, { 54, 4 }, { 40, 4 },
                                   { uint32_t(width), 4 }, { uint32_t(height), 4 }, { 1, 2 }, { 24, 2 }, { 0, 4 },
                                   { uint32_t(data_bytes), 4 }, { 2835, 4 }, { 2835, 4 }, { 0, 4 }, { 0, 4 } };
    for (const auto &field : fields)
        for (uint32_t i = 0; i < field[1]; ++i)
            out += static_cast<char>(field[0] >> (8 * i));
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t *p = rgb.data() + (static_cast<size_t>(y) * width + x) * 3;
            out += { static_cast<char>(p[2]), static_cast<char>(p[1]), static_cast<char>(p[0]) };
        }
        out.append(row_bytes - width * 3, '\0');
    }
    return out;
}

std::string bmp32_bytes(int width, int height, const std::vector<uint8_t> &rgb, const std::vector<uint8_t> &alpha,
                        bmp32_form form)
{
    const bool declared = form != bmp32_form::plain, top_down = form == bmp32_form::alpha_top_down;
    const uint32_t info_size = declared ? 56 : 40, offset = 14 + info_size, data_bytes = uint32_t(width * height * 4);
    std::string out = "BM";
    // As bmp_bytes, with 32 bits and, declared, bit fields and the four masks
    // of red, green, blue and alpha.
    const uint32_t fields[][2] = { { offset + data_bytes, 4 }, { 0, 4 }, { offset, 4 }, { info_size, 4 },
                                   { uint32_t(width), 4 }, { uint32_t(top_down ? -height : height), 4 }, { 1, 2 },
                                   { 32, 2 }, { declared ? 3u : 0u, 4 }, { data_bytes, 4 }, { 2835, 4 },
                                   { 2835, 4 }, { 0, 4 }, { 0, 4 } };
    for (const auto &field : fields)
        for (uint32_t i = 0; i < field[1]; ++i)
            out += static_cast<char>(field[0] >> (8 * i));
    if (declared)
        for (uint32_t mask : { 0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u })
            for (int i = 0; i < 4; ++i)
                out += static_cast<char>(mask >> (8 * i));
    for (int row = 0; row < height; ++row) {
        const int y = top_down ? row : height - 1 - row;
        for (int x = 0; x < width; ++x) {
            const size_t pixel = static_cast<size_t>(y) * width + x;
            const uint8_t *p = rgb.data() + pixel * 3;
            out += { static_cast<char>(p[2]), static_cast<char>(p[1]), static_cast<char>(p[0]),
                     static_cast<char>(alpha[pixel]) };
        }
    }
    return out;
}
