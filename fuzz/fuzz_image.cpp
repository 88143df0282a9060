// Any bytes as an image file (the reader is chosen from the contents), read
// to its end, and small images dithered by the whole engine. The settings come
// from a hash of the bytes, so the corpus reaches every colour space.
#include "engine/front.h"
#include "fuzz/fuzz_support.h"
#include "input/image_source.h"
#include "settings/settings.h"

#include <cstring>
#include <vector>

namespace {

// Reading alone stays quick up to this size; the scan only up to the second.
constexpr long long max_read_pixels = 1 << 18;
constexpr long long max_dithered_pixels = 4096;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_enter_own_folder();
    fuzz_write_fixtures();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_write_file("input.img", data, size);
    long long pixels = 0;
    {
        std::unique_ptr<image_source> source = open_image_source("input.img");
        if (!source)
            return 0;
        if (source->width <= 0 || source->height <= 0)
            __builtin_trap();
        pixels = static_cast<long long>(source->width) * source->height;
        if (pixels > max_read_pixels)
            return 0;
        std::vector<uint8_t> row(static_cast<size_t>(source->width) * 3);
        for (int y = 0; y < source->height && source->read_row(row.data()); ++y) {
        }
    }
    if (pixels > max_dithered_pixels)
        return 0;
    uint8_t choice[14];
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    for (uint8_t &c : choice) {
        c = static_cast<uint8_t>(hash >> 24);
        hash = hash * 1103515245u + 12345u;
    }
    fuzz_choose_settings(choice, sizeof choice);
    std::strcpy(arguments_buffer, "input.img");
    ditherer();
    fuzz_remove_outputs();
    return 0;
}
