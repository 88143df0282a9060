// Random sizes, colour types, palettes, bit depths of indices and pixels
// through the PNG writer, stored or compressed; every stream must decode with libpng
// (tests/png_check.h), every chunk CRC and the Adler-32 checked, to exactly
// the samples and palette that were stored.
#include "png/png_writer.h"
#include "tests/png_check.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct byte_reader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    // Past the end the bytes repeat, so short inputs still fill an image.
    uint8_t next() { return size == 0 ? 0 : data[at++ % size]; }
    uint32_t next32()
    {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | next();
        return value;
    }
};

const png_writer_colortype_t types[] = { PNG_WRITER_GREYSCALE, PNG_WRITER_TRUECOLOR, PNG_WRITER_INDEXED,
                                         PNG_WRITER_GREYSCALE_ALPHA, PNG_WRITER_TRUECOLOR_ALPHA };
const int samples_per_pixel[] = { 1, 3, 1, 2, 4 };

void check(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    byte_reader in{ data, size };
    const uint8_t shape = in.next();
    const int type = shape % 5;
    // Mostly small images; now and then rows too long for one stored block,
    // and compressed ones tall enough to be cut into several pieces.
    const bool wide = shape & 0x80;
    const bool compressed = shape & 0x40;
    const uint32_t width = 1 + (wide ? in.next32() % 20000 : in.next() % 40);
    const uint32_t height = 1 + in.next() % (wide ? (compressed ? 40 : 3) : 40);
    png_writer_t *writer = png_writer_new(width, height, types[type]);
    check(writer != nullptr);
    check(png_writer_set_compression(writer, compressed ? PNG_WRITER_DEFLATE : PNG_WRITER_STORED) == 0);

    std::vector<uint32_t> palette;
    uint32_t depth = 8;
    if (types[type] == PNG_WRITER_INDEXED) {
        const uint32_t depths[] = { 8, 1, 2, 4 };
        depth = depths[in.next() % 4];
        palette.resize(in.next() % (1u << depth) + 1);  // 1 ... 2^depth entries
        for (uint32_t &entry : palette)
            entry = in.next32();
        check(png_writer_set_palette(writer, palette.data(), static_cast<uint32_t>(palette.size())) == 0);
        check(png_writer_set_bit_depth(writer, depth) == 0);
    }
    const int samples = samples_per_pixel[type];
    std::vector<uint8_t> expected(static_cast<size_t>(width) * height * samples);
    // Pixels set at random places, some more than once, and some through the
    // stream cursor; the last value stored at a place is the one expected.
    const size_t stores = std::min<size_t>(size, 4096) + width * height / 4;
    for (size_t i = 0; i < stores; ++i) {
        const uint32_t x = in.next32() % (width + 1);  // width itself lies outside: ignored
        const uint32_t y = in.next() % height;
        const uint32_t value = in.next32();
        png_writer_set_pixel(writer, x, y, value);
        if (x < width)
            for (int s = 0; s < samples; ++s)
                expected[(static_cast<size_t>(y) * width + x) * samples + s] =
                    static_cast<uint8_t>(value >> (8 * s) & ((1u << depth) - 1));
    }
    uint32_t length = 0;
    const uint8_t *stream = png_writer_get_data(writer, &length);
    check(stream != nullptr);

    const decoded_png image = decode_png(std::string(reinterpret_cast<const char *>(stream), length));
    check(image.ok);
    check(image.width == width && image.height == height);
    check(image.color_type == static_cast<int>(types[type]) && image.bit_depth == static_cast<int>(depth));
    check(image.pixels == expected);
    if (!palette.empty()) {
        check(image.palette.size() == 3 * palette.size() && image.transparency.size() == palette.size());
        for (size_t e = 0; e < palette.size(); ++e) {
            for (int s = 0; s < 3; ++s)
                check(image.palette[3 * e + s] == static_cast<uint8_t>(palette[e] >> (8 * s)));
            check(image.transparency[e] == static_cast<uint8_t>(palette[e] >> 24));
        }
    }
    png_writer_destroy(writer);
    return 0;
}
