#include "input/readers.h"

#include <sys/stat.h>

#include <algorithm>
#include <new>

owned_file open_regular_file(const char *path, uint64_t &size)
{
    owned_file file(std::fopen(path, "rb"));
    struct stat status;
    if (!file || fstat(fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode))
        return nullptr;
    size = static_cast<uint64_t>(status.st_size);
    return file;
}

uint64_t bytes_left(std::FILE *file, uint64_t file_size)
{
    const long position = std::ftell(file);
    if (position < 0 || static_cast<uint64_t>(position) > file_size)
        return 0;
    return file_size - static_cast<uint64_t>(position);
}

byte_buffer new_bytes(size_t count)
{
    return byte_buffer(new (std::nothrow) uint8_t[count]);
}

void cmyk_to_rgb(const uint8_t *in, int width, bool inverted, uint8_t *rgb)
{
    for (int x = 0; x < width; ++x, in += 4, rgb += 3) {
        const unsigned k = inverted ? in[3] : 255u - in[3];
        for (int c = 0; c < 3; ++c) {
            const unsigned ink = inverted ? in[c] : 255u - in[c];
            rgb[c] = static_cast<uint8_t>((ink * k + 127) / 255);
        }
    }
}

namespace {

// One sample of the layout's depth.
inline unsigned sample_value(const uint8_t *sample, int sample_bytes)
{
    return sample_bytes == 2 ? (sample[0] << 8 | sample[1]) : sample[0];
}

}  // namespace

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
                const unsigned value = sample_value(in + channel * layout.sample_bytes, layout.sample_bytes);
                rgb[c] = to_byte(value, layout.max_value);
            }
        }
    }
}

void samples_to_alpha(const uint8_t *in, int width, const sample_layout &layout, uint8_t *alpha)
{
    const size_t step = static_cast<size_t>(layout.channels) * layout.sample_bytes;
    const uint8_t *sample = in + static_cast<size_t>(layout.channels - 1) * layout.sample_bytes;
    const bool plain = layout.sample_bytes == 1 && layout.max_value == 255;
    for (int x = 0; x < width; ++x, sample += step)
        alpha[x] = plain ? sample[0] : to_byte(sample_value(sample, layout.sample_bytes), layout.max_value);
}
