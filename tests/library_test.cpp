// The library through its C API, held against the built program: the indices,
// palette and transparent entry it gives for pixels in memory are those of
// the program's output for the same pixels written as a PNG file.
#include "lib/tessaly.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace {

using settings_ptr = std::unique_ptr<tessaly_settings, decltype(&tessaly_settings_destroy)>;
using palette_ptr = std::unique_ptr<tessaly_palette, decltype(&tessaly_palette_destroy)>;

// The indices rows packed, the palette's colours, the transparent entry.
struct dithered {
    std::vector<uint8_t> indices, rgb;
    int transparent = -1;
    bool operator==(const dithered &o) const { return indices == o.indices && rgb == o.rgb && transparent == o.transparent; }
};

dithered program_output(std::vector<std::string> arguments, int width, int height, const std::vector<uint8_t> &rgba)
{
    temp_folder folder;
    write_png_form(folder.file("img.png"), width, height, { 6, 8 }, rgba);
    arguments.push_back("img.png");
    EXPECT_EQ(run_tessaly(arguments, folder.path()).status, 0);
    const decoded_png png = decode_png_file(folder.file("img_dithered_0000.png"));
    dithered out{ png.pixels, png.palette, -1 };
    for (size_t e = 0; e < png.transparency.size(); ++e)
        out.transparent = png.transparency[e] == 0 ? static_cast<int>(e) : out.transparent;
    return out;
}

settings_ptr settings_of(const std::vector<std::string> &options)
{
    settings_ptr settings(tessaly_settings_new(), tessaly_settings_destroy);
    for (size_t i = 0; i + 1 < options.size(); i += 2)
        EXPECT_EQ(tessaly_settings_set(settings.get(), options[i].c_str(), options[i + 1].c_str()), TESSALY_OK)
            << tessaly_settings_error(settings.get());
    return settings;
}

// The RGBA pixels given as `channels` bytes each with `pad` bytes after every
// row; the indices allocated by the library without padding, into the
// caller's rows of width + pad bytes with it.
dithered library_output(tessaly_settings *settings, const tessaly_palette *palette, const std::vector<uint8_t> &rgba,
                        int width, int height, int channels = 4, size_t pad = 0)
{
    std::vector<uint8_t> pixels, buffer((width + pad) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            pixels.insert(pixels.end(), &rgba[4 * (y * width + x)], &rgba[4 * (y * width + x)] + channels);
        pixels.insert(pixels.end(), pad, 0xA5);
    }
    const tessaly_image image = { pixels.data(), width, height, width * channels + pad, channels };
    uint8_t *indices = pad ? buffer.data() : nullptr;
    tessaly_output_palette output;
    dithered out;
    if (tessaly_dither(settings, palette, &image, &indices, pad ? width + pad : 0, &output) != TESSALY_OK)
        return out;
    for (int y = 0; y < height; ++y)
        out.indices.insert(out.indices.end(), indices + y * (width + pad), indices + y * (width + pad) + width);
    if (!pad)
        tessaly_free(indices);
    out.rgb.assign(output.rgb, output.rgb + 3 * output.entries);
    out.transparent = output.transparent_entry;
    return out;
}

// Values that begin with palettes/ or sample/ are paths from the source folder.
std::string from_source(const std::string &word)
{
    return word.rfind("palettes/", 0) == 0 || word.rfind("sample/", 0) == 0 ? TESSALY_SOURCE_DIR "/" + word : word;
}

// Every row of tests/data/library_options.txt three ways: the palette named
// by -p; a palette object read as -p reads it (but for auto:N), with padded
// rows in and out; and RGB pixels, where alpha plays no part.
TEST(library, gives_the_programs_indices_and_palette_for_every_option)
{
    const int width = 67, height = 41;
    const std::vector<uint8_t> rgba = sprite_rgba(width, height, 5);
    std::ifstream rows(TESSALY_TEST_DATA "/library_options.txt");
    for (std::string line; std::getline(rows, line);) {
        if (line.empty() || line.rfind("# ", 0) == 0)
            continue;
        SCOPED_TRACE(line);
        std::istringstream words(line);
        std::vector<std::string> options = { "-p" };
        for (std::string word; words >> word;)
            options.push_back(from_source(word));
        const dithered expected = program_output(options, width, height, rgba);
        EXPECT_TRUE(library_output(settings_of(options).get(), nullptr, rgba, width, height) == expected);
        if (options[1].rfind("auto:", 0) == 0)
            continue;  // made from each image, by -p alone

        const settings_ptr settings = settings_of({ options.begin() + 2, options.end() });
        const palette_ptr palette(tessaly_palette_read(settings.get(), options[1].c_str()), tessaly_palette_destroy);
        EXPECT_TRUE(library_output(settings.get(), palette.get(), rgba, width, height, 4, 3) == expected);
        if (line.find("-a ") == std::string::npos || line.find("-a off") != std::string::npos) {
            EXPECT_TRUE(library_output(settings.get(), palette.get(), rgba, width, height, 3, 0) == expected);
        }
    }
}

// What the command line passes over in silence, the library refuses with
// words that name it, and the settings stay as they were (-w x); images,
// palettes and outputs that cannot be used likewise.
TEST(library, refuses_what_it_cannot_use_in_words_that_name_it)
{
    const settings_ptr settings = settings_of({ "-w", "x" });
    const uint8_t colours[3 * 257] = { 0, 0, 0, 255, 255, 255 };
    const palette_ptr two(tessaly_palette_new(colours, 2), tessaly_palette_destroy);
    const std::vector<uint8_t> rgba = sprite_rgba(23, 9, 1);
    const dithered before = library_output(settings.get(), two.get(), rgba, 23, 9);
    const struct {
        const char *option, *value;
        tessaly_status status;
        const char *words;
    } options[] = {
        { "-w", "sierra3", TESSALY_BAD_VALUE, "-w: \"sierra3\" is no value of -w" },
        { "limits", "maybe", TESSALY_BAD_VALUE, "limits: \"maybe\" is no value of -lmx" },
        { "level", "0.8x", TESSALY_BAD_VALUE, "level: \"0.8x\" is not a number" },
        { "-d", "nan", TESSALY_BAD_VALUE, "-d: \"nan\" is not a number" },
        { "pre_processing_passes", "", TESSALY_BAD_VALUE, "pre_processing_passes: \"\" is not a number" },
        { "alpha", "256", TESSALY_BAD_VALUE, "alpha: \"256\" is no value of -a" },
        { "Window", "floyd", TESSALY_UNKNOWN_OPTION, "no option \"Window\"" },
        { "-z", "on", TESSALY_UNKNOWN_OPTION, "-z: the library writes no file; this option has no use here" },
    };
    for (const auto &c : options) {
        EXPECT_EQ(tessaly_settings_set(settings.get(), c.option, c.value), c.status);
        EXPECT_STREQ(tessaly_settings_error(settings.get()), c.words);
    }
    EXPECT_TRUE(library_output(settings.get(), two.get(), rgba, 23, 9) == before);
    EXPECT_FALSE(tessaly_palette_new(colours, 0) || tessaly_palette_new(colours, 257));
    EXPECT_FALSE(tessaly_palette_read(settings.get(), "/no/such.act"));
    EXPECT_STREQ(tessaly_settings_error(settings.get()), "palette open error: /no/such.act");

    const uint8_t pixels[24] = {};
    uint8_t buffer[8], *indices = buffer, *unset = nullptr;
    const struct {
        tessaly_image image;
        size_t index_stride;
        tessaly_settings *settings;
        uint8_t **indices;
        tessaly_status status;
    } dithers[] = {
        { { nullptr, 4, 2, 12, 3 }, 4, settings.get(), &indices, TESSALY_BAD_IMAGE },
        { { pixels, 0, 2, 12, 3 }, 4, settings.get(), &indices, TESSALY_BAD_IMAGE },
        { { pixels, 4, 2, 12, 2 }, 4, settings.get(), &indices, TESSALY_BAD_IMAGE },
        { { pixels, 4, 2, 11, 3 }, 4, settings.get(), &indices, TESSALY_BAD_IMAGE },
        { { pixels, 4, 2, 12, 3 }, 3, settings.get(), &indices, TESSALY_BAD_IMAGE },
        { { pixels, 4, 2, 12, 3 }, 4, settings.get(), nullptr, TESSALY_BAD_ARGUMENT },
        { { pixels, 4, 2, 12, 3 }, 4, nullptr, &indices, TESSALY_BAD_ARGUMENT },
        { { pixels, 4, 1, 12, 3 }, 4, settings_of({ "-m", "oklab", "-c", "cmyk" }).release(), &indices, TESSALY_BAD_VALUE },
        { { pixels, 4, 1, 12, 3 }, 0, settings_of({ "-p", "/no/such.act" }).release(), &unset, TESSALY_PALETTE_ERROR },
        { { pixels, 4, 1, 12, 3 }, 4, settings.get(), &indices, TESSALY_OK },
    };
    for (const auto &d : dithers) {
        SCOPED_TRACE(&d - dithers);
        EXPECT_EQ(tessaly_dither(d.settings, d.settings == settings.get() ? two.get() : nullptr, &d.image, d.indices,
                                 d.index_stride, nullptr), d.status);
        EXPECT_EQ(*tessaly_settings_error(d.settings) == '\0', d.status == TESSALY_OK);
        if (d.settings && d.settings != settings.get())
            tessaly_settings_destroy(d.settings);
    }
    EXPECT_EQ(unset, nullptr);
}

// Two threads at once, each its own image (large enough for the scan's own
// threads), palette and settings, each time the program's result.
TEST(library, two_threads_dithering_at_once_both_get_the_programs_result)
{
    const std::vector<std::string> options[2] = {
        { "-p", TESSALY_SOURCE_DIR "/palettes/pico-8.hex", "-w", "sierra", "-s", "on" },
        { "-p", TESSALY_SOURCE_DIR "/sample/palette.act", "-c", "cmyk", "-g", "srgb", "-a", "100" },
    };
    const int width[2] = { 320, 300 }, height[2] = { 240, 260 };
    bool same[2] = { true, true };
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        const std::vector<uint8_t> rgba = sprite_rgba(width[t], height[t], 9);
        const dithered expected = program_output(options[t], width[t], height[t], rgba);
        threads.emplace_back([&, t, rgba, expected] {
            const settings_ptr settings = settings_of(options[t]);
            for (int round = 0; round < 3; ++round)
                same[t] = same[t] && library_output(settings.get(), nullptr, rgba, width[t], height[t]) == expected;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_TRUE(same[0] && same[1]);
}

}  // namespace
