// Cuts a rectangle out of a PNG and enlarges it by a whole factor, every
// pixel becoming a square block, so that a dither pattern can be seen pixel by
// pixel in a browser. Used by scripts/make-gallery.
//
//   crop_enlarge IN.png OUT.png X Y WIDTH HEIGHT FACTOR
//
// An indexed input stays indexed: the output keeps only the palette entries up
// to the highest index used, and their transparency, at the smallest bit depth
// that holds them, and is compressed, so a 16-colour crop takes half a byte a
// pixel before deflate. Any other input is written as 8-bit RGB, or RGBA when
// it has alpha.
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct picture {
    int width = 0, height = 0;
    int channels = 0;  // 1: palette indices, 3: RGB, 4: RGBA
    std::vector<png_color> palette;
    std::vector<png_byte> alphas;  // of the palette entries, from tRNS
    std::vector<png_byte> samples;  // row after row, channels bytes a pixel
};

struct file_closer {
    std::FILE *file;
    ~file_closer()
    {
        if (file)
            std::fclose(file);
    }
};

bool read_png(const char *path, picture &image)
{
    file_closer in{ std::fopen(path, "rb") };
    if (!in.file)
        return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, in.file);
    png_read_info(png, info);
    const bool indexed = png_get_color_type(png, info) == PNG_COLOR_TYPE_PALETTE;
    const bool alpha = (png_get_color_type(png, info) & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
    if (indexed) {
        png_colorp entries = nullptr;
        int count = 0;
        png_get_PLTE(png, info, &entries, &count);
        image.palette.assign(entries, entries + count);
        png_bytep entry_alphas = nullptr;
        int alpha_count = 0;
        if (png_get_tRNS(png, info, &entry_alphas, &alpha_count, nullptr) && entry_alphas)
            image.alphas.assign(entry_alphas, entry_alphas + alpha_count);
        png_set_packing(png);  // one index a byte, whatever the bit depth
    } else {
        png_set_expand(png);
        png_set_strip_16(png);
        png_set_gray_to_rgb(png);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    image.width = static_cast<int>(png_get_image_width(png, info));
    image.height = static_cast<int>(png_get_image_height(png, info));
    image.channels = indexed ? 1 : alpha ? 4 : 3;
    const size_t row_bytes = static_cast<size_t>(image.width) * image.channels;
    image.samples.resize(row_bytes * image.height);
    std::vector<png_bytep> rows(image.height);
    for (int y = 0; y < image.height; ++y)
        rows[y] = &image.samples[row_bytes * y];
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

picture crop_and_enlarge(const picture &in, int left, int top, int width, int height, int factor)
{
    picture out;
    out.width = width * factor;
    out.height = height * factor;
    out.channels = in.channels;
    out.palette = in.palette;
    out.alphas = in.alphas;
    out.samples.resize(static_cast<size_t>(out.width) * out.height * out.channels);
    png_byte *to = out.samples.data();
    for (int y = 0; y < out.height; ++y) {
        for (int x = 0; x < out.width; ++x) {
            const png_byte *from =
                &in.samples[(static_cast<size_t>(top + y / factor) * in.width + left + x / factor) * in.channels];
            for (int c = 0; c < in.channels; ++c)
                *to++ = from[c];
        }
    }
    return out;
}

// The fewest bits that hold every index of the picture.
int index_bit_depth(int highest_index)
{
    for (int depth = 1; depth < 8; depth *= 2)
        if (highest_index < (1 << depth))
            return depth;
    return 8;
}

bool write_png(const char *path, const picture &image)
{
    file_closer out{ std::fopen(path, "wb") };
    if (!out.file)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, out.file);
    png_set_compression_level(png, 9);
    if (image.channels == 1) {
        int highest = 0;
        for (png_byte index : image.samples)
            highest = index > highest ? index : highest;
        if (static_cast<size_t>(highest) >= image.palette.size()) {
            png_destroy_write_struct(&png, &info);
            return false;
        }
        png_set_IHDR(png, info, image.width, image.height, index_bit_depth(highest), PNG_COLOR_TYPE_PALETTE,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_set_PLTE(png, info, image.palette.data(), highest + 1);
        // Entries past the tRNS chunk are opaque, so it can end where the
        // used entries do.
        const int alpha_count = std::min(static_cast<int>(image.alphas.size()), highest + 1);
        if (std::count(image.alphas.begin(), image.alphas.begin() + alpha_count, 255) < alpha_count)
            png_set_tRNS(png, info, image.alphas.data(), alpha_count, nullptr);
        png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);  // filters only hurt index data
    } else {
        png_set_IHDR(png, info, image.width, image.height, 8,
                     image.channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    }
    png_write_info(png, info);
    if (image.channels == 1)
        png_set_packing(png);
    const size_t row_bytes = static_cast<size_t>(image.width) * image.channels;
    for (int y = 0; y < image.height; ++y)
        png_write_row(png, &image.samples[row_bytes * y]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 8) {
        std::fprintf(stderr, "usage: crop_enlarge IN.png OUT.png X Y WIDTH HEIGHT FACTOR\n");
        return 2;
    }
    const int left = std::atoi(argv[3]), top = std::atoi(argv[4]);
    const int width = std::atoi(argv[5]), height = std::atoi(argv[6]);
    const int factor = std::atoi(argv[7]);
    picture in;
    if (!read_png(argv[1], in)) {
        std::fprintf(stderr, "crop_enlarge: cannot read %s as PNG\n", argv[1]);
        return 1;
    }
    if (left < 0 || top < 0 || width < 1 || height < 1 || factor < 1 || factor > 16 || left + width > in.width ||
        top + height > in.height) {
        std::fprintf(stderr, "crop_enlarge: the rectangle %d,%d %dx%d (x%d) does not fit %s (%dx%d)\n", left, top,
                     width, height, factor, argv[1], in.width, in.height);
        return 2;
    }
    if (in.channels == 1 && in.palette.empty()) {
        std::fprintf(stderr, "crop_enlarge: %s has no palette\n", argv[1]);
        return 1;
    }
    if (!write_png(argv[2], crop_and_enlarge(in, left, top, width, height, factor))) {
        std::fprintf(stderr, "crop_enlarge: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
