// Writes the seed corpus of the fuzz targets: small images in every form the
// readers know, palettes, argument lists and writer inputs. Run once when the
// readers change: make_seeds FOLDER (the corpus folders are made below it).
#include "tests/image_writers.h"

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
std::string root;

void save(const std::string &name, const bytes &data)
{
    std::FILE *file = std::fopen((root + "/" + name).c_str(), "wb");
    if (!file || std::fwrite(data.data(), 1, data.size(), file) != data.size() || std::fclose(file) != 0) {
        std::perror(name.c_str());
        std::exit(1);
    }
}

void save(const std::string &name, const std::string &text) { save(name, bytes(text.begin(), text.end())); }

// A gradient with a little of every channel: sample s of pixel (x, y).
uint8_t level(int x, int y, int s) { return static_cast<uint8_t>((x * 37 + y * 71 + s * 90) & 255); }

void append(png_structp png, png_bytep data, png_size_t length)
{
    auto *out = static_cast<bytes *>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

bytes png_file(int width, int height, int color_type, int depth, bool interlaced, bool transparent)
{
    bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, append, nullptr);
    png_set_IHDR(png, info, width, height, depth, color_type,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, 0, 0);
    if (color_type == PNG_COLOR_TYPE_PALETTE) {
        png_color entries[256];
        for (int i = 0; i < 256; ++i)
            entries[i] = { level(i, 0, 0), level(i, 1, 1), level(i, 2, 2) };
        png_set_PLTE(png, info, entries, 1 << depth);
    }
    if (transparent) {
        png_byte alpha[2] = { 0, 128 };
        png_color_16 key = {};
        png_set_tRNS(png, info, alpha, 2, &key);
    }
    png_write_info(png, info);
    const int channels = png_get_channels(png, info);
    const size_t row_bytes = png_get_rowbytes(png, info);
    std::vector<bytes> rows(height, bytes(row_bytes));
    std::vector<png_bytep> pointers;
    for (int y = 0; y < height; ++y) {
        for (size_t i = 0; i < row_bytes; ++i)
            rows[y][i] = depth < 8 ? level(int(i), y, 0) : level(int(i) / channels, y, int(i) % channels);
        pointers.push_back(rows[y].data());
    }
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

bytes jpeg_file(int width, int height, J_COLOR_SPACE space, int components, bool progressive)
{
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = components;
    info.in_color_space = space;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 80, TRUE);
    if (progressive)
        jpeg_simple_progression(&info);
    if (space == JCS_CMYK)
        jpeg_set_colorspace(&info, JCS_YCCK);
    jpeg_start_compress(&info, TRUE);
    bytes row(static_cast<size_t>(width) * components);
    for (int y = 0; y < height; ++y) {
        for (size_t i = 0; i < row.size(); ++i)
            row[i] = level(int(i) / components, y, int(i) % components);
        JSAMPROW rows[1] = { row.data() };
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    bytes out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

void put_le(bytes &out, uint32_t value, int count)
{
    for (int i = 0; i < count; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// With alpha: 32 bits in bit fields whose 56-byte header declares an alpha
// mask.
bytes bmp_file(int width, int height, int bits, bool alpha = false)
{
    const int colours = bits <= 8 ? 1 << bits : 0;
    const int row_bytes = (width * bits + 31) / 32 * 4;
    const int info_size = alpha ? 56 : 40;
    const int offset = 14 + info_size + 4 * colours;
    bytes out = { 'B', 'M' };
    put_le(out, offset + row_bytes * height, 4);
    put_le(out, 0, 4);
    put_le(out, offset, 4);
    put_le(out, info_size, 4);
    put_le(out, width, 4);
    put_le(out, height, 4);
    put_le(out, 1, 2);
    put_le(out, bits, 2);
    put_le(out, alpha ? 3 : 0, 4);
    put_le(out, row_bytes * height, 4);
    put_le(out, 2835, 4);
    put_le(out, 2835, 4);
    put_le(out, colours, 4);
    put_le(out, 0, 4);
    if (alpha)
        for (uint32_t mask : { 0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u })
            put_le(out, mask, 4);
    for (int i = 0; i < colours; ++i)
        put_le(out, level(i, 0, 0) | level(i, 0, 1) << 8 | level(i, 0, 2) << 16, 4);
    for (int y = 0; y < height; ++y)
        for (int i = 0; i < row_bytes; ++i)
            out.push_back(level(i, y, 0));
    return out;
}

std::string pnm_file(char type, int width, int height, int max_value)
{
    const int channels = (type == '3' || type == '6') ? 3 : 1;
    std::string out = std::string("P") + type + "\n# seed\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
    if (type != '1' && type != '4')
        out += std::to_string(max_value) + "\n";
    for (int y = 0; y < height; ++y) {
        if (type == '4') {
            for (int i = 0; i < (width + 7) / 8; ++i)
                out += static_cast<char>(level(i, y, 0));
            continue;
        }
        for (int x = 0; x < width * channels; ++x) {
            const int value = level(x / channels, y, x % channels) * max_value / 255;
            if (type == '1')
                out += (value & 1) ? "1" : "0";
            else if (type <= '3')
                out += std::to_string(value) + " ";
            else if (max_value > 255)
                out += { static_cast<char>(value >> 8), static_cast<char>(value & 255) };
            else
                out += static_cast<char>(value);
        }
        if (type <= '3')
            out += "\n";
    }
    return out;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds FOLDER\n");
        return 2;
    }
    const std::string base = argv[1];
    for (const char *folder : { "image", "palette", "driver", "png_writer" })
        mkdir((base + "/" + folder).c_str(), 0755);

    root = base + "/image";
    save("rgb8.png", png_file(8, 6, PNG_COLOR_TYPE_RGB, 8, false, false));
    save("rgb16.png", png_file(5, 4, PNG_COLOR_TYPE_RGB, 16, false, false));
    save("rgba8.png", png_file(6, 5, PNG_COLOR_TYPE_RGBA, 8, false, false));
    save("grey1.png", png_file(9, 3, PNG_COLOR_TYPE_GRAY, 1, false, false));
    save("grey16.png", png_file(4, 4, PNG_COLOR_TYPE_GRAY, 16, false, true));
    save("grey_alpha.png", png_file(5, 3, PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, false));
    save("indexed4.png", png_file(7, 5, PNG_COLOR_TYPE_PALETTE, 4, false, true));
    save("indexed8_interlaced.png", png_file(11, 9, PNG_COLOR_TYPE_PALETTE, 8, true, false));
    save("rgb_interlaced.png", png_file(10, 10, PNG_COLOR_TYPE_RGB, 8, true, false));
    save("baseline.jpg", jpeg_file(16, 16, JCS_RGB, 3, false));
    save("progressive.jpg", jpeg_file(16, 8, JCS_RGB, 3, true));
    save("grey.jpg", jpeg_file(8, 8, JCS_GRAYSCALE, 1, false));
    save("cmyk.jpg", jpeg_file(8, 8, JCS_CMYK, 4, false));
    for (int bits : { 1, 4, 8, 16, 24, 32 })
        save("bits" + std::to_string(bits) + ".bmp", bmp_file(5, 3, bits));
    save("bits32_alpha.bmp", bmp_file(5, 3, 32, true));
    save("bitmap_text.pbm", pnm_file('1', 10, 3, 1));
    save("grey_text.pgm", pnm_file('2', 4, 3, 1000));
    save("rgb_text.ppm", pnm_file('3', 3, 3, 255));
    save("bitmap.pbm", pnm_file('4', 12, 4, 1));
    save("grey.pgm", pnm_file('5', 6, 4, 200));
    save("rgb.ppm", pnm_file('6', 6, 4, 255));
    save("rgb16.ppm", pnm_file('6', 3, 2, 65535));
    bytes colours, indices, rgb;
    for (int i = 0; i < 16 * 3; ++i)
        colours.push_back(level(i / 3, 0, i % 3));
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 7; ++x) {
            indices.push_back(level(x, y, 0) % 16);
            for (int s = 0; s < 3; ++s)
                rgb.push_back(level(x, y, s));
        }
    write_test_gif(root + "/plain.gif", 7, 9, { 7, 9 }, colours, indices);
    write_test_gif(root + "/interlaced.gif", 7, 9, { 9, 12, 1, 2, true, true, 3, 5 }, colours, indices);
    const std::vector<uint16_t> values(rgb.begin(), rgb.end());
    std::vector<uint16_t> wide, cmyk, map;
    for (size_t i = 0; i < values.size(); ++i)
        wide.push_back(static_cast<uint16_t>(values[i] * 257 + i));
    for (size_t i = 0; i < 7 * 9 * 4; ++i)
        cmyk.push_back(level(static_cast<int>(i / 4), 0, static_cast<int>(i % 4)));
    for (int i = 0; i < 3 * 16; ++i)
        map.push_back(static_cast<uint16_t>(level(i, 1, 0) * 257));
    const std::vector<uint16_t> grey(values.begin(), values.begin() + 7 * 9), nibbles(indices.begin(), indices.end());
    write_test_tiff(root + "/rgb_lzw.tif", 7, 9, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_LZW }, values);
    write_test_tiff(root + "/rgb16_planes.tif", 7, 9, { PHOTOMETRIC_RGB, 16, 3, COMPRESSION_ADOBE_DEFLATE, true }, wide);
    write_test_tiff(root + "/rgb_tiles.tif", 7, 9, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_PACKBITS, false, true }, values);
    write_test_tiff(root + "/grey.tif", 7, 9, { PHOTOMETRIC_MINISWHITE, 8 }, grey);
    write_test_tiff(root + "/palette4.tif", 7, 9, { PHOTOMETRIC_PALETTE, 4, 1, COMPRESSION_NONE, false, false, map }, nibbles);
    write_test_tiff(root + "/cmyk.tif", 7, 9, { PHOTOMETRIC_SEPARATED, 8, 4, COMPRESSION_LZW }, cmyk);
    write_test_tiff(root + "/jpeg.tif", 7, 9, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_JPEG }, values);
    save("lossless.webp", webp_bytes(7, 9, rgb, true));
    save("lossy.webp", webp_bytes(7, 9, rgb, false));

    root = base + "/palette";
    bytes palette;
    for (int i = 0; i < 768; ++i)
        palette.push_back(level(i / 3, i / 48, i % 3));
    save("whole.act", palette);
    for (uint8_t choice : { 1, 2, 3, 4, 5, 6 }) {
        bytes with_settings = palette;
        for (int i = 0; i < 12; ++i)
            with_settings.push_back(static_cast<uint8_t>(choice * (i + 1)));
        save("settings" + std::to_string(choice) + ".act", with_settings);
    }
    save("short.act", bytes(palette.begin(), palette.begin() + 100));
    // Three colours in every other format, and a damage of each.
    const std::string riff("RIFF\x1C\0\0\0PAL data\x10\0\0\0\0\x03\x03\0\0\0\0\0\xFF\xFF\xFF\0\xC8\x1E\x28\0", 36);
    save("gimp.gpl", "GIMP Palette\nName: seed\n#\n  0   0   0\tblack\n255 255 255\n200 30 40\tred\n");
    save("jasc.pal", "JASC-PAL\r\n0100\r\n3\r\n0 0 0\r\n255 255 255\r\n200 30 40\r\n");
    save("riff.pal", riff);
    save("list.hex", "#000000\n#ffffff\nC81E28\n");
    save("paint.txt", ";paint.net Palette File\nFF000000\nFFFFFFFF\nFFC81E28\n");
    save("listed", "#000 #ffffff,#C81E28");
    save("listed_bad", "#000, #fffff #c81e28");
    save("indexed.png", png_file(4, 4, PNG_COLOR_TYPE_PALETTE, 4, false, false));
    save("pixels.ppm", pnm_file('6', 6, 4, 255));
    save("gimp_bad.gpl", "GIMP Palette\n1 2 300\n");
    save("jasc_short.pal", "JASC-PAL\r\n0100\r\n3\r\n0 0 0\r\n");
    save("riff_cut.pal", riff.substr(0, 30));
    save("riff_countless.pal", riff.substr(0, 22));  // ends before the count

    root = base + "/driver";
    auto arguments = [](std::vector<std::string> list) {
        std::string joined;
        for (size_t i = 0; i < list.size(); ++i)
            joined += (i ? std::string(1, '\0') : std::string()) + list[i];
        return joined;
    };
    save("plain", arguments({ "small.ppm" }));
    save("options", arguments({ "-c", "rgbyuv", "-w", "round", "-d", "0.75", "-s", "on", "small.ppm" }));
    save("limits", arguments({ "-lmx", "on", "-lmn", "on", "-mxl", "0.9", "-mnl", "-0.1", "-e", "pow532", "-q", "421", "small.ppm" }));
    save("circle", arguments({ "-pp", "circle", "-ppw", "square", "-ppc", "2", "-g", "srgb", "-lc", "85", "small.ppm" }));
    save("palette", arguments({ "-p", "missing.act", "small.ppm", "-p", "palette.act", "-fpa", "x", "small.ppm", "-c" }));
    save("listed", arguments({ "-p", "#000 #fff,#c81e28", "-po", "#111,#eee #e00", "-z", "on", "small.ppm", "-po", "off", "-p", "#fff", "small.ppm" }));
    save("missing", arguments({ "nothing.png", "-lmm", "on", "-c", "cmyk2", "-q", "2417", "-e", "pow2m1113", "small.ppm" }));

    root = base + "/png_writer";
    for (int i = 0; i < 10; ++i) {
        bytes seed;
        for (int j = 0; j < 64; ++j)
            seed.push_back(static_cast<uint8_t>(i * 51 + j * 7 + (j == 0 ? i : 0)));
        seed[0] = static_cast<uint8_t>(i | (i == 9 ? 0x80 : 0));
        save("writer" + std::to_string(i), seed);
    }
    return 0;
}
