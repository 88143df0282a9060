// The Linux side of the Windows test (tests/windows/run):
//   windows_check inputs SAMPLE.png FOLDER
//     writes the bundled sample in every format and form that both builds
//     read, each file from the same pixels. The 16-bit forms carry a low byte
//     that varies from pixel to pixel, so that a reader that cut the samples
//     to 8 bits instead of rounding them would choose other palette entries.
//   windows_check alpha-inputs SAMPLE.png FOLDER
//     writes the sample with alpha in the forms the PNG colour types leave
//     out: a palette PNG with transparent entries, a GIF with a transparent
//     colour, a 32-bit BMP whose bit fields declare alpha.
//   windows_check share A.png B.png
//     prints the percentage of pixels whose palette indices are equal in two
//     outputs of the same size; exit status 1 when they cannot be compared.
//   windows_check kill FOLDER PID
//     kills the process as soon as a hidden file (".tessaly-") of the folder
//     is written to, that is while the process writes its output.
#include "tests/image_writers.h"

#include <png.h>
#include <tiffio.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

struct picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // 8-bit, interleaved, top-down

    size_t pixels() const { return static_cast<size_t>(width) * height; }
};

picture read_sample(const char *path)
{
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    picture sample;
    if (!png_image_begin_read_from_file(&image, path))
        return sample;
    image.format = PNG_FORMAT_RGB;
    sample.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, sample.rgb.data(), 0, nullptr))
        return picture();
    sample.width = static_cast<int>(image.width);
    sample.height = static_cast<int>(image.height);
    return sample;
}

// The level of an 8-bit sample widened to 16 bits with a low byte that no
// 8-bit file could give.
uint16_t wide_sample(uint8_t level, size_t i)
{
    const unsigned low = static_cast<unsigned>((i * 2654435761u) >> 24) & 0xFF;
    return static_cast<uint16_t>(level << 8 | low);
}

uint8_t grey_of(const uint8_t *rgb)
{
    return static_cast<uint8_t>((rgb[0] * 77 + rgb[1] * 150 + rgb[2] * 29) >> 8);
}

// The sample values of every pixel: channels 1 (grey), 2 (grey, alpha), 3
// or 4 (with alpha), of 8 or 16 bits.
std::vector<uint16_t> sample_values(const picture &p, int channels, int depth)
{
    std::vector<uint16_t> values;
    for (size_t i = 0; i < p.pixels(); ++i) {
        const uint8_t *rgb = &p.rgb[i * 3];
        std::vector<uint8_t> levels;
        if (channels <= 2)
            levels.push_back(grey_of(rgb));
        else
            levels.assign(rgb, rgb + 3);
        if (channels == 2 || channels == 4)
            levels.push_back(static_cast<uint8_t>(i * 7));  // alpha, which must change nothing
        for (size_t c = 0; c < levels.size(); ++c)
            values.push_back(depth == 8 ? levels[c] : wide_sample(levels[c], i * 4 + c));
    }
    return values;
}

// The values as PNG and PNM store them: bytes, or 16-bit big-endian.
std::vector<uint8_t> big_endian(const std::vector<uint16_t> &values, int depth)
{
    std::vector<uint8_t> bytes;
    for (uint16_t v : values) {
        if (depth == 16)
            bytes.push_back(static_cast<uint8_t>(v >> 8));
        bytes.push_back(static_cast<uint8_t>(v));
    }
    return bytes;
}

// A palette of 6 x 7 x 6 levels and the pixels mapped to it; the nearest
// level of each channel is enough for an input.
std::vector<uint8_t> cube_palette()
{
    std::vector<uint8_t> entries;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 7; ++g)
            for (int b = 0; b < 6; ++b)
                entries.insert(entries.end(), { uint8_t(r * 51), uint8_t(g * 255 / 6), uint8_t(b * 51) });
    entries.resize(256 * 3, 0);
    return entries;
}

std::vector<uint8_t> cube_indices(const picture &p)
{
    std::vector<uint8_t> indices;
    for (size_t i = 0; i < p.pixels(); ++i) {
        const uint8_t *rgb = &p.rgb[i * 3];
        indices.push_back(static_cast<uint8_t>(((rgb[0] + 25) / 51 * 7 + (rgb[1] * 6 + 127) / 255) * 6 + (rgb[2] + 25) / 51));
    }
    return indices;
}

void write_bytes(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

void write_pnm(const std::string &path, const picture &p, int channels, int depth)
{
    const std::string head = std::string(channels == 1 ? "P5" : "P6") + "\n# sample\n" + std::to_string(p.width) +
                             " " + std::to_string(p.height) + "\n" + (depth == 8 ? "255" : "65535") + "\n";
    const std::vector<uint8_t> body = big_endian(sample_values(p, channels, depth), depth);
    write_bytes(path, head + std::string(body.begin(), body.end()));
}

// An uncompressed bottom-up BMP of 8 or 32 bits; 24 bits come from the
// shared writer.
void write_bmp(const std::string &path, const picture &p, int bits)
{
    const int row_bytes = (p.width * bits + 31) / 32 * 4, colours = bits == 8 ? 256 : 0;
    const uint32_t offset = 54 + 4 * colours, data = static_cast<uint32_t>(row_bytes) * p.height;
    std::string out = "BM";
    const uint32_t fields[][2] = { { offset + data, 4 }, { 0, 4 }, { offset, 4 }, { 40, 4 }, { uint32_t(p.width), 4 },
                                   { uint32_t(p.height), 4 }, { 1, 2 }, { uint32_t(bits), 2 }, { 0, 4 }, { data, 4 },
                                   { 2835, 4 }, { 2835, 4 }, { uint32_t(colours), 4 }, { 0, 4 } };
    for (const auto &field : fields)
        for (uint32_t i = 0; i < field[1]; ++i)
            out += static_cast<char>(field[0] >> (8 * i));
    const std::vector<uint8_t> palette = cube_palette(), indices = cube_indices(p);
    for (int e = 0; e < colours; ++e)
        out += { char(palette[e * 3 + 2]), char(palette[e * 3 + 1]), char(palette[e * 3]), 0 };
    for (int y = p.height - 1; y >= 0; --y) {
        std::string row;
        for (int x = 0; x < p.width; ++x) {
            const size_t i = static_cast<size_t>(y) * p.width + x;
            const uint8_t *rgb = &p.rgb[i * 3];
            if (bits == 8)
                row += static_cast<char>(indices[i]);
            else
                row += { char(rgb[2]), char(rgb[1]), char(rgb[0]), char(i * 7) };
        }
        row.resize(row_bytes, '\0');
        out += row;
    }
    write_bytes(path, out);
}

void write_png(const std::string &path, const picture &p, int channels, int depth, bool interlaced = false)
{
    const int types[] = { 0, 0, 4, 2, 6 };
    write_png_form(path, p.width, p.height, png_form(types[channels], depth, interlaced),
                   big_endian(sample_values(p, channels, depth), depth));
}

std::vector<uint8_t> grey_samples(const picture &p)
{
    return big_endian(sample_values(p, 1, 8), 8);
}

void write_tiff(const std::string &path, const picture &p, int channels, int depth)
{
    const uint16_t photometric = channels == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB;
    const uint16_t compression = depth == 8 ? COMPRESSION_LZW : COMPRESSION_NONE;
    write_test_tiff(path, p.width, p.height, tiff_form(photometric, static_cast<uint16_t>(depth),
                                                        static_cast<uint16_t>(channels), compression),
                    sample_values(p, channels, depth));
}

// The palette indices of an output, row after row; empty when the file is
// no 8-bit indexed PNG.
std::vector<uint8_t> read_indices(const char *path, uint32_t &width, uint32_t &height)
{
    std::vector<uint8_t> indices;
    std::FILE *file = std::fopen(path, "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (file && info && !setjmp(png_jmpbuf(png))) {
        png_init_io(png, file);
        png_read_info(png, info);
        width = png_get_image_width(png, info);
        height = png_get_image_height(png, info);
        if (png_get_color_type(png, info) == PNG_COLOR_TYPE_PALETTE && png_get_bit_depth(png, info) == 8) {
            indices.resize(static_cast<size_t>(width) * height);
            for (uint32_t y = 0; y < height; ++y)
                png_read_row(png, indices.data() + static_cast<size_t>(y) * width, nullptr);
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    if (file)
        std::fclose(file);
    return indices;
}

int write_inputs(const char *sample_path, const std::string &folder)
{
    const picture p = read_sample(sample_path);
    if (p.rgb.empty())
        return 1;
    // One row a file: its name, what makes it.
    const std::vector<std::pair<std::string, std::function<void(const std::string &)>>> inputs = {
        { "png_rgb8.png", [&](const std::string &f) { write_png(f, p, 3, 8); } },
        { "png_rgba8.png", [&](const std::string &f) { write_png(f, p, 4, 8); } },
        { "png_grey8.png", [&](const std::string &f) { write_png(f, p, 1, 8); } },
        { "png_grey_alpha8.png", [&](const std::string &f) { write_png(f, p, 2, 8); } },
        { "png_rgb16.png", [&](const std::string &f) { write_png(f, p, 3, 16); } },
        { "png_rgba16.png", [&](const std::string &f) { write_png(f, p, 4, 16); } },
        { "png_grey16.png", [&](const std::string &f) { write_png(f, p, 1, 16); } },
        { "png_grey_alpha16.png", [&](const std::string &f) { write_png(f, p, 2, 16); } },
        { "png_interlaced.png", [&](const std::string &f) { write_png(f, p, 3, 8, true); } },
        { "png_palette.png",
          [&](const std::string &f) { write_png_form(f, p.width, p.height, png_form(3, 8, false, cube_palette()), cube_indices(p)); } },
        { "bmp_24.bmp", [&](const std::string &f) { write_bytes(f, bmp_bytes(p.width, p.height, p.rgb)); } },
        { "bmp_32.bmp", [&](const std::string &f) { write_bmp(f, p, 32); } },
        { "bmp_8.bmp", [&](const std::string &f) { write_bmp(f, p, 8); } },
        { "pnm_rgb8.ppm", [&](const std::string &f) { write_pnm(f, p, 3, 8); } },
        { "pnm_rgb16.ppm", [&](const std::string &f) { write_pnm(f, p, 3, 16); } },
        { "pnm_grey16.pgm", [&](const std::string &f) { write_pnm(f, p, 1, 16); } },
        { "tiff_rgb8.tif", [&](const std::string &f) { write_tiff(f, p, 3, 8); } },
        { "tiff_rgb16.tif", [&](const std::string &f) { write_tiff(f, p, 3, 16); } },
        { "tiff_grey16.tif", [&](const std::string &f) { write_tiff(f, p, 1, 16); } },
        { "gif_palette.gif",
          [&](const std::string &f) {
              gif_form form;
              form.screen_width = p.width;
              form.screen_height = p.height;
              write_test_gif(f, p.width, p.height, form, cube_palette(), cube_indices(p));
          } },
        { "webp_lossless.webp", [&](const std::string &f) { write_bytes(f, webp_bytes(p.width, p.height, p.rgb, true)); } },
        { "jpeg_rgb.jpg", [&](const std::string &f) { write_test_jpeg(f, p.width, p.height, 3, p.rgb, false); } },
        { "jpeg_progressive.jpg", [&](const std::string &f) { write_test_jpeg(f, p.width, p.height, 3, p.rgb, true); } },
        { "jpeg_grey.jpg", [&](const std::string &f) { write_test_jpeg(f, p.width, p.height, 1, grey_samples(p), false); } },
    };
    for (const auto &input : inputs)
        input.second(folder + "/" + input.first);
    return 0;
}

// Inputs with alpha of their own kinds (those of the PNG colour types are
// among the others): a palette PNG with transparent entries, a GIF with a
// transparent colour and a 32-bit BMP whose bit fields declare alpha.
int write_alpha_inputs(const char *sample_path, const std::string &folder)
{
    const picture p = read_sample(sample_path);
    if (p.rgb.empty())
        return 1;
    const std::vector<uint8_t> indices = cube_indices(p);
    std::vector<uint8_t> entry_alphas(256), alpha(p.pixels());
    for (size_t e = 0; e < entry_alphas.size(); ++e)
        entry_alphas[e] = static_cast<uint8_t>(e * 37);
    for (size_t i = 0; i < alpha.size(); ++i)
        alpha[i] = static_cast<uint8_t>(i * 7);
    write_png_form(folder + "/png_palette_alpha.png", p.width, p.height, png_form(3, 8, false, cube_palette(), entry_alphas),
                   indices);
    gif_form form;
    form.screen_width = p.width;
    form.screen_height = p.height;
    form.transparent = indices[0];
    write_test_gif(folder + "/gif_transparent.gif", p.width, p.height, form, cube_palette(), indices);
    write_bytes(folder + "/bmp_32_alpha.bmp", bmp32_bytes(p.width, p.height, p.rgb, alpha, bmp32_form::alpha));
    return 0;
}

int print_share(const char *a, const char *b)
{
    uint32_t width_a = 0, height_a = 0, width_b = 0, height_b = 0;
    const std::vector<uint8_t> first = read_indices(a, width_a, height_a), second = read_indices(b, width_b, height_b);
    if (first.empty() || width_a != width_b || height_a != height_b || first.size() != second.size())
        return 1;
    size_t equal = 0;
    for (size_t i = 0; i < first.size(); ++i)
        equal += first[i] == second[i];
    std::printf("%.2f\n", 100.0 * static_cast<double>(equal) / static_cast<double>(first.size()));
    return 0;
}

int kill_when_hidden_file_grows(const char *folder, pid_t pid)
{
    const int watch = inotify_init();
    if (watch < 0 || inotify_add_watch(watch, folder, IN_MODIFY) < 0)
        return 1;
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t got = read(watch, events, sizeof events);
        if (got <= 0)
            return 1;
        for (ssize_t at = 0; at < got;) {
            const inotify_event *event = reinterpret_cast<const inotify_event *>(events + at);
            if (event->len > 0 && std::string(event->name).rfind(".tessaly-", 0) == 0)
                return kill(pid, SIGKILL) == 0 ? 0 : 1;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

}  // namespace

int main(int argument_count, char **arguments)
{
    const std::string command = argument_count == 4 ? arguments[1] : "";
    if (command == "inputs")
        return write_inputs(arguments[2], arguments[3]);
    if (command == "alpha-inputs")
        return write_alpha_inputs(arguments[2], arguments[3]);
    if (command == "share")
        return print_share(arguments[2], arguments[3]);
    if (command == "kill")
        return kill_when_hidden_file_grows(arguments[2], static_cast<pid_t>(std::atoi(arguments[3])));
    std::fprintf(stderr, "usage: windows_check inputs|alpha-inputs SAMPLE.png FOLDER | share A.png B.png | kill FOLDER PID\n");
    return 2;
}
