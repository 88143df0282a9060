// Any bytes as the palette file, then a small image dithered with it. The
// bytes after the 768th, which the palette reader ignores, choose the
// settings.
#include "engine/ditherer.h"
#include "fuzz/fuzz_support.h"
#include "settings/settings.h"

#include <cstring>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_enter_own_folder();
    fuzz_write_fixtures();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_write_file("fuzzed.act", data, size);
    fuzz_choose_settings(size > 768 ? data + 768 : nullptr, size > 768 ? size - 768 : 0);
    std::strcpy(palette_path_buffer, "fuzzed.act");
    std::strcpy(arguments_buffer, "small.ppm");
    ditherer();
    fuzz_remove_outputs();
    return 0;
}
