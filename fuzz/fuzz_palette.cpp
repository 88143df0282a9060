// Any bytes as the palette file, in whichever format they happen to take,
// then a small image dithered with it. The bytes after the 768th, which a
// colour table ignores, choose the settings. The formats' parser must give
// 1 to 256 colours or none. The same bytes as a list of colours written in
// the value of -p: the same bounds, and a list that gives colours is
// dithered with too.
#include "engine/front.h"
#include "engine/palette_formats.h"
#include "fuzz/fuzz_support.h"
#include "settings/settings.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_enter_own_folder();
    fuzz_write_fixtures();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const parsed_palette palette = parse_palette_file(data, size);
    if (palette.outcome == palette_colours ? palette.count < 1 || palette.count > 256 : palette.count != 0)
        std::abort();
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const parsed_palette listed = parse_colour_list(text);
    if (listed.outcome == palette_colours ? listed.count < 1 || listed.count > 256 : listed.count != 0)
        std::abort();
    fuzz_write_file("fuzzed.act", data, size);
    fuzz_choose_settings(size > 768 ? data + 768 : nullptr, size > 768 ? size - 768 : 0);
    std::strcpy(palette_path_buffer, "fuzzed.act");
    std::strcpy(arguments_buffer, "small.ppm");
    ditherer();
    if (listed.outcome == palette_colours && size < sizeof palette_path_buffer && text.find('\0') == text.npos) {
        std::memcpy(palette_path_buffer, data, size);
        palette_path_buffer[size] = '\0';
        std::strcpy(arguments_buffer, "small.ppm");
        ditherer();
    }
    fuzz_remove_outputs();
    return 0;
}
