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
#include "tests/png_check.h"

#include <tiffio.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// The sample as 8-bit RGB rows, with an alpha that must change nothing; no
// pixels when it is not such a PNG.
struct picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb, alpha;

    size_t pixels() const { return alpha.size(); }
};

decoded_png read_png(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    return decode_png(std::string(std::istreambuf_iterator<char>(in), {}));
}

picture read_sample(const char *path)
{
    const decoded_png png = read_png(path);
    if (!png.ok || png.color_type != 2 || png.bit_depth != 8)
        return picture();
    picture sample{ static_cast<int>(png.width), static_cast<int>(png.height), png.pixels, {} };
    for (size_t i = 0; i < png.pixels.size() / 3; ++i)
        sample.alpha.push_back(static_cast<uint8_t>(i * 7));
    return sample;
}

// The sample values of every pixel: channels 1 (grey), 2 (grey, alpha), 3
// or 4 (with alpha), of 8 bits or of 16 with a low byte that no 8-bit file
// could give.
std::vector<uint16_t> sample_values(const picture &p, int channels, int depth)
{
    std::vector<uint16_t> values;
    for (size_t i = 0; i < p.pixels(); ++i) {
        const uint8_t *rgb = &p.rgb[i * 3];
        std::vector<uint8_t> levels(rgb, rgb + 3);
        if (channels <= 2)
            levels = { static_cast<uint8_t>((rgb[0] * 77 + rgb[1] * 150 + rgb[2] * 29) >> 8) };
        if (channels == 2 || channels == 4)
            levels.push_back(p.alpha[i]);
        for (size_t c = 0; c < levels.size(); ++c) {
            const unsigned low = static_cast<unsigned>(((i * 4 + c) * 2654435761u) >> 24) & 0xFF;
            values.push_back(depth == 8 ? levels[c] : static_cast<uint16_t>(levels[c] << 8 | low));
        }
    }
    return values;
}

// The values as PNG and PNM store them: bytes, or 16-bit big-endian.
std::vector<uint8_t> stored_samples(const picture &p, int channels, int depth)
{
    std::vector<uint8_t> bytes;
    for (uint16_t v : sample_values(p, channels, depth)) {
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
    for (int e = 0; e < 252; ++e)
        entries.insert(entries.end(), { uint8_t(e / 42 * 51), uint8_t(e / 6 % 7 * 255 / 6), uint8_t(e % 6 * 51) });
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

// An uncompressed bottom-up BMP of 8 bits with the cube's colours; the other
// depths come from the shared writers.
std::string bmp8_bytes(const picture &p)
{
    const uint32_t row_bytes = (p.width + 3) / 4 * 4, offset = 54 + 4 * 256, data = row_bytes * p.height;
    const uint32_t fields[][2] = { { offset + data, 4 }, { 0, 4 }, { offset, 4 }, { 40, 4 }, { uint32_t(p.width), 4 },
                                   { uint32_t(p.height), 4 }, { 1, 2 }, { 8, 2 }, { 0, 4 }, { data, 4 },
                                   { 2835, 4 }, { 2835, 4 }, { 256, 4 }, { 0, 4 } };
    std::string out = "BM";
    for (const auto &field : fields)
        for (uint32_t i = 0; i < field[1]; ++i)
            out += static_cast<char>(field[0] >> (8 * i));
    const std::vector<uint8_t> palette = cube_palette(), indices = cube_indices(p);
    for (int e = 0; e < 256; ++e)
        out += { char(palette[e * 3 + 2]), char(palette[e * 3 + 1]), char(palette[e * 3]), 0 };
    for (int y = p.height - 1; y >= 0; --y) {
        out.append(indices.begin() + static_cast<size_t>(y) * p.width, indices.begin() + static_cast<size_t>(y + 1) * p.width);
        out.append(row_bytes - p.width, '\0');
    }
    return out;
}

// The inputs, one row a file: its name, whose extension gives the format,
// its channels (0: the cube's indices) and depth (a BMP's bits a pixel), and
// a variant: an interlaced PNG, a progressive JPEG, or the alpha of a
// palette PNG's entries, a GIF's transparent colour or a BMP's bit fields.
struct input {
    const char *name;
    int channels, depth;
    bool variant;
};
const input inputs[] = {
    { "png_rgb8.png", 3, 8, false },    { "png_rgba8.png", 4, 8, false },    { "png_grey8.png", 1, 8, false },
    { "png_grey_alpha8.png", 2, 8, false }, { "png_rgb16.png", 3, 16, false }, { "png_rgba16.png", 4, 16, false },
    { "png_grey16.png", 1, 16, false }, { "png_grey_alpha16.png", 2, 16, false }, { "png_interlaced.png", 3, 8, true },
    { "png_palette.png", 0, 8, false }, { "bmp_24.bmp", 3, 24, false },      { "bmp_32.bmp", 3, 32, false },
    { "bmp_8.bmp", 0, 8, false },       { "pnm_rgb8.ppm", 3, 8, false },     { "pnm_rgb16.ppm", 3, 16, false },
    { "pnm_grey16.pgm", 1, 16, false }, { "tiff_rgb8.tif", 3, 8, false },    { "tiff_rgb16.tif", 3, 16, false },
    { "tiff_grey16.tif", 1, 16, false }, { "gif_palette.gif", 0, 8, false }, { "webp_lossless.webp", 3, 8, false },
    { "jpeg_rgb.jpg", 3, 8, false },    { "jpeg_progressive.jpg", 3, 8, true }, { "jpeg_grey.jpg", 1, 8, false },
};
// Those with alpha of their own kinds; the PNG colour types with alpha are
// among the others.
const input alpha_inputs[] = {
    { "png_palette_alpha.png", 0, 8, true }, { "gif_transparent.gif", 0, 8, true }, { "bmp_32_alpha.bmp", 3, 32, true } };

void write_input(const picture &p, const std::string &path, const input &in)
{
    const std::string format = path.substr(path.rfind('.') + 1);
    const std::vector<uint8_t> palette = cube_palette(), indices = cube_indices(p);
    const auto stored = [&] { return stored_samples(p, in.channels, in.depth); };
    if (format == "png" && in.channels == 0) {
        std::vector<uint8_t> entry_alphas;
        for (int e = 0; in.variant && e < 256; ++e)
            entry_alphas.push_back(static_cast<uint8_t>(e * 37));
        write_png_form(path, p.width, p.height, png_form(3, 8, false, palette, entry_alphas), indices);
    } else if (format == "png") {
        const int types[] = { 0, 0, 4, 2, 6 };
        write_png_form(path, p.width, p.height, png_form(types[in.channels], in.depth, in.variant), stored());
    } else if (format == "bmp" && in.depth == 32) {
        write_bytes(path, bmp32_bytes(p.width, p.height, p.rgb, p.alpha, in.variant ? bmp32_form::alpha : bmp32_form::plain));
    } else if (format == "bmp") {
        write_bytes(path, in.depth == 8 ? bmp8_bytes(p) : bmp_bytes(p.width, p.height, p.rgb));
    } else if (format == "ppm" || format == "pgm") {
        const std::vector<uint8_t> body = stored();
        write_bytes(path, std::string(in.channels == 1 ? "P5" : "P6") + "\n# sample\n" + std::to_string(p.width) + " " +
                              std::to_string(p.height) + "\n" + (in.depth == 8 ? "255" : "65535") + "\n" +
                              std::string(body.begin(), body.end()));
    } else if (format == "tif") {
        write_test_tiff(path, p.width, p.height,
                        tiff_form(in.channels == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB, uint16_t(in.depth),
                                  uint16_t(in.channels), in.depth == 8 ? COMPRESSION_LZW : COMPRESSION_NONE),
                        sample_values(p, in.channels, in.depth));
    } else if (format == "gif") {
        gif_form form{ p.width, p.height };
        form.transparent = in.variant ? indices[0] : -1;
        write_test_gif(path, p.width, p.height, form, palette, indices);
    } else if (format == "webp") {
        write_bytes(path, webp_bytes(p.width, p.height, p.rgb, true));
    } else {
        write_test_jpeg(path, p.width, p.height, in.channels, in.channels == 1 ? stored() : p.rgb, in.variant);
    }
}

template <size_t count>
int write_inputs(const char *sample_path, const std::string &folder, const input (&rows)[count])
{
    const picture p = read_sample(sample_path);
    if (p.rgb.empty())
        return 1;
    for (const input &row : rows)
        write_input(p, folder + "/" + row.name, row);
    return 0;
}

// Only 8-bit indexed outputs of the same size compare.
int print_share(const char *a, const char *b)
{
    const decoded_png first = read_png(a), second = read_png(b);
    for (const decoded_png *output : { &first, &second })
        if (!output->ok || output->color_type != 3 || output->bit_depth != 8 || output->pixels.empty())
            return 1;
    if (first.width != second.width || first.height != second.height)
        return 1;
    size_t equal = 0;
    for (size_t i = 0; i < first.pixels.size(); ++i)
        equal += first.pixels[i] == second.pixels[i];
    std::printf("%.2f\n", 100.0 * static_cast<double>(equal) / static_cast<double>(first.pixels.size()));
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
        return write_inputs(arguments[2], arguments[3], inputs);
    if (command == "alpha-inputs")
        return write_inputs(arguments[2], arguments[3], alpha_inputs);
    if (command == "share")
        return print_share(arguments[2], arguments[3]);
    if (command == "kill")
        return kill_when_hidden_file_grows(arguments[2], static_cast<pid_t>(std::atoi(arguments[3])));
    std::fprintf(stderr, "usage: windows_check inputs|alpha-inputs SAMPLE.png FOLDER | share A.png B.png | kill FOLDER PID\n");
    return 2;
}
