// Random sizes, colour types, palettes and pixels through the PNG writer;
// every stream must decode with libpng, every chunk CRC and the Adler-32
// checked, to exactly the samples and palette that were stored.
#include "png/png_writer.h"

#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>
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

struct memory_stream {
    const uint8_t *data;
    size_t size;
    size_t at;
};

void read_from_memory(png_structp png, png_bytep out, png_size_t count)
{
    auto *stream = static_cast<memory_stream *>(png_get_io_ptr(png));
    if (count > stream->size - stream->at)
        png_error(png, "read past the end");
    std::memcpy(out, stream->data + stream->at, count);
    stream->at += count;
}

void fail(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void warn(png_structp, png_const_charp) {}

struct decoded {
    uint32_t width = 0, height = 0;
    int color_type = -1, bit_depth = 0;
    std::vector<uint8_t> samples;
    std::vector<uint8_t> palette;  // red, green, blue, alpha per entry
};

// Nothing with a destructor is created between setjmp and the jumps.
bool decode_rows(png_structp png, png_infop info, memory_stream *stream, decoded *out)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_read_fn(png, stream, read_from_memory);
    png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_read_info(png, info);
    out->width = png_get_image_width(png, info);
    out->height = png_get_image_height(png, info);
    out->color_type = png_get_color_type(png, info);
    out->bit_depth = png_get_bit_depth(png, info);
    png_colorp entries = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &entries, &count)) {
        png_bytep alpha = nullptr;
        int alpha_count = 0;
        png_get_tRNS(png, info, &alpha, &alpha_count, nullptr);
        out->palette.resize(4 * static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            out->palette[4 * i] = entries[i].red;
            out->palette[4 * i + 1] = entries[i].green;
            out->palette[4 * i + 2] = entries[i].blue;
            out->palette[4 * i + 3] = i < alpha_count ? alpha[i] : 255;
        }
    }
    const size_t row_bytes = png_get_rowbytes(png, info);
    out->samples.resize(row_bytes * out->height);
    for (uint32_t y = 0; y < out->height; ++y)
        png_read_row(png, out->samples.data() + y * row_bytes, nullptr);
    png_read_end(png, nullptr);
    return stream->at == stream->size;
}

bool decode(const uint8_t *data, size_t size, decoded &out)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, fail, warn);
    png_infop info = png_create_info_struct(png);
    memory_stream stream = { data, size, 0 };
    const bool ok = decode_rows(png, info, &stream, &out);
    png_destroy_read_struct(&png, &info, nullptr);
    return ok;
}

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
    // Mostly small images; now and then rows too long for one stored block.
    const bool wide = shape & 0x80;
    const uint32_t width = 1 + (wide ? in.next32() % 20000 : in.next() % 40);
    const uint32_t height = 1 + in.next() % (wide ? 3 : 40);
    png_writer_t *writer = png_writer_new(width, height, types[type]);
    check(writer != nullptr);

    std::vector<uint32_t> palette;
    if (types[type] == PNG_WRITER_INDEXED) {
        palette.resize(in.next() + 1);  // 1 ... 256 entries
        for (uint32_t &entry : palette)
            entry = in.next32();
        check(png_writer_set_palette(writer, palette.data(), static_cast<uint32_t>(palette.size())) == 0);
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
                expected[(static_cast<size_t>(y) * width + x) * samples + s] = static_cast<uint8_t>(value >> (8 * s));
    }
    uint32_t length = 0;
    const uint8_t *stream = png_writer_get_data(writer, &length);
    check(stream != nullptr);

    decoded image;
    check(decode(stream, length, image));
    check(image.width == width && image.height == height);
    check(image.color_type == static_cast<int>(types[type]) && image.bit_depth == 8);
    check(image.samples == expected);
    if (!palette.empty()) {
        check(image.palette.size() == 4 * palette.size());
        for (size_t e = 0; e < palette.size(); ++e) {
            for (int s = 0; s < 4; ++s)
                check(image.palette[4 * e + s] == static_cast<uint8_t>(palette[e] >> (8 * s)));
        }
    }
    png_writer_destroy(writer);
    return 0;
}
