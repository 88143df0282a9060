// The library through its C API, held against the built program: the indices,
// palette and transparent entry it gives for pixels in memory are those of
// the program's output for the same pixels written as a PNG file.
#include "lib/tessaly.h"
#include "tests/image_writers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct settings_deleter {
    void operator()(tessaly_settings *settings) const { tessaly_settings_destroy(settings); }
};
struct palette_deleter {
    void operator()(tessaly_palette *palette) const { tessaly_palette_destroy(palette); }
};
using settings_ptr = std::unique_ptr<tessaly_settings, settings_deleter>;
using palette_ptr = std::unique_ptr<tessaly_palette, palette_deleter>;

// A row of tests/data/library_options.txt: the palette's path, the options.
struct option_row {
    std::string text, palette;
    std::vector<std::string> options;
    bool alpha() const
    {
        for (size_t i = 0; i + 1 < options.size(); i += 2)
            if (options[i] == "-a" && options[i + 1] != "off")
                return true;
        return false;
    }
};

std::string from_source(const std::string &word)
{
    const bool path = word.rfind("palettes/", 0) == 0 || word.rfind("sample/", 0) == 0;
    return path ? std::string(TESSALY_SOURCE_DIR) + "/" + word : word;
}

std::vector<option_row> option_rows()
{
    std::ifstream in(std::string(TESSALY_TEST_DATA) + "/library_options.txt");
    std::vector<option_row> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line.rfind("# ", 0) == 0)
            continue;
        std::istringstream words(line);
        option_row row{ line, {}, {} };
        words >> row.palette;
        row.palette = from_source(row.palette);
        for (std::string word; words >> word;)
            row.options.push_back(from_source(word));
        rows.push_back(row);
    }
    return rows;
}

// What one dither gave: the indices rows packed, the palette's colours, the
// transparent entry; or the program's output decoded into the same.
struct dithered {
    std::vector<uint8_t> indices, rgb;
    int transparent = -1;
};

bool operator==(const dithered &a, const dithered &b)
{
    return a.indices == b.indices && a.rgb == b.rgb && a.transparent == b.transparent;
}

dithered program_output(const std::vector<std::string> &arguments, int width, int height,
                        const std::vector<uint8_t> &rgba)
{
    temp_folder folder;
    write_png_form(folder.file("img.png"), width, height, { 6, 8 }, rgba);
    std::vector<std::string> all = arguments;
    all.push_back("img.png");
    EXPECT_EQ(run_tessaly(all, folder.path()).status, 0);
    const decoded_png png = decode_png_file(folder.file("img_dithered_0000.png"));
    EXPECT_TRUE(png.ok) << png.error;
    dithered out{ png.pixels, png.palette, -1 };
    for (size_t e = 0; e < png.transparency.size(); ++e)
        if (png.transparency[e] == 0)
            out.transparent = static_cast<int>(e);
    return out;
}

settings_ptr settings_of(const std::vector<std::string> &options)
{
    settings_ptr settings(tessaly_settings_new());
    for (size_t i = 0; i + 1 < options.size(); i += 2)
        EXPECT_EQ(tessaly_settings_set(settings.get(), options[i].c_str(), options[i + 1].c_str()), TESSALY_OK)
            << options[i] << " " << options[i + 1] << ": " << tessaly_settings_error(settings.get());
    return settings;
}

// Dithers through the API; the input rows and the indices rows may be padded,
// and the library allocates the indices when index_stride is 0.
dithered library_output(tessaly_settings *settings, const tessaly_palette *palette, const std::vector<uint8_t> &pixels,
                        int width, int height, int channels, size_t stride, size_t index_stride)
{
    const tessaly_image image = { pixels.data(), width, height, stride, channels };
    std::vector<uint8_t> buffer(index_stride * height);
    uint8_t *indices = index_stride ? buffer.data() : nullptr;
    tessaly_output_palette output;
    const tessaly_status status = tessaly_dither(settings, palette, &image, &indices, index_stride, &output);
    EXPECT_EQ(status, TESSALY_OK) << tessaly_settings_error(settings);
    dithered out;
    if (status != TESSALY_OK)
        return out;
    for (int y = 0; y < height; ++y)
        out.indices.insert(out.indices.end(), indices + y * (index_stride ? index_stride : width),
                           indices + y * (index_stride ? index_stride : width) + width);
    if (!index_stride)
        tessaly_free(indices);
    out.rgb.assign(output.rgb, output.rgb + 3 * output.entries);
    out.transparent = output.transparent_entry;
    return out;
}

// The RGBA rows with `pad` bytes after each, or their RGB alone.
std::vector<uint8_t> repacked(const std::vector<uint8_t> &rgba, int width, int height, int channels, size_t pad)
{
    std::vector<uint8_t> rows;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            rows.insert(rows.end(), &rgba[4 * (y * width + x)], &rgba[4 * (y * width + x)] + channels);
        rows.insert(rows.end(), pad, 0xA5);
    }
    return rows;
}

// Each row three ways: the palette named by -p and RGBA pixels packed; a
// palette object read as -p reads it, with padded rows in and out; and,
// where alpha plays no part, RGB pixels.
TEST(library, gives_the_programs_indices_and_palette_for_every_option)
{
    const int width = 67, height = 41;
    const std::vector<uint8_t> rgba = sprite_rgba(width, height, 5);
    for (const option_row &row : option_rows()) {
        SCOPED_TRACE(row.text);
        std::vector<std::string> arguments = { "-p", row.palette };
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        const dithered expected = program_output(arguments, width, height, rgba);

        settings_ptr with_path = settings_of(arguments);
        EXPECT_TRUE(library_output(with_path.get(), nullptr, rgba, width, height, 4, 4 * width, 0) == expected);

        settings_ptr settings = settings_of(row.options);
        palette_ptr palette(tessaly_palette_read(settings.get(), row.palette.c_str()));
        ASSERT_TRUE(palette) << tessaly_settings_error(settings.get());
        EXPECT_TRUE(library_output(settings.get(), palette.get(), repacked(rgba, width, height, 4, 5), width, height,
                                   4, 4 * width + 5, width + 3) == expected);
        if (!row.alpha()) {
            EXPECT_TRUE(library_output(settings.get(), palette.get(), repacked(rgba, width, height, 3, 0), width,
                                       height, 3, 3 * width, width) == expected);
        }
    }
}

// What the command line passes over in silence, the library refuses, and
// the settings stay as they were: after every refusal they still dither as
// -w x alone does.
TEST(library, refuses_unknown_options_and_values_with_words_that_name_them)
{
    const struct {
        const char *option, *value;
        tessaly_status status;
        const char *words;
    } cases[] = {
        { "-w", "sierra3", TESSALY_BAD_VALUE, "sierra3" },
        { "window", "Floyd", TESSALY_BAD_VALUE, "Floyd" },
        { "limits", "maybe", TESSALY_BAD_VALUE, "maybe" },
        { "level", "0.8x", TESSALY_BAD_VALUE, "not a number" },
        { "-d", "nan", TESSALY_BAD_VALUE, "not a number" },
        { "pre_processing_passes", "", TESSALY_BAD_VALUE, "not a number" },
        { "alpha", "256", TESSALY_BAD_VALUE, "256" },
        { "-x", "on", TESSALY_UNKNOWN_OPTION, "-x" },
        { "Window", "floyd", TESSALY_UNKNOWN_OPTION, "Window" },
        { "-o", "out", TESSALY_UNKNOWN_OPTION, "-o" },
        { "-z", "on", TESSALY_UNKNOWN_OPTION, "-z" },
    };
    const int width = 23, height = 9;
    const std::vector<uint8_t> rgb = repacked(sprite_rgba(width, height, 1), width, height, 3, 0);
    const uint8_t two[] = { 0, 0, 0, 255, 255, 255 };
    palette_ptr palette(tessaly_palette_new(two, 2));
    settings_ptr settings = settings_of({ "-w", "x" });
    const dithered expected = library_output(settings.get(), palette.get(), rgb, width, height, 3, 3 * width, width);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.option) + " " + c.value);
        EXPECT_EQ(tessaly_settings_set(settings.get(), c.option, c.value), c.status);
        EXPECT_NE(std::string(tessaly_settings_error(settings.get())).find(c.words), std::string::npos)
            << tessaly_settings_error(settings.get());
    }
    EXPECT_TRUE(library_output(settings.get(), palette.get(), rgb, width, height, 3, 3 * width, width) == expected);
    EXPECT_STREQ(tessaly_settings_error(settings.get()), "");
}

// Palettes that cannot be made, images that do not fit, outputs missing.
TEST(library, refuses_palettes_images_and_outputs_that_cannot_be_used)
{
    const uint8_t colours[3 * 257] = {};
    EXPECT_FALSE(tessaly_palette_new(colours, 0));
    EXPECT_FALSE(tessaly_palette_new(colours, 257));
    EXPECT_FALSE(tessaly_palette_new(nullptr, 1));
    palette_ptr palette(tessaly_palette_new(colours, 256));
    ASSERT_TRUE(palette);
    EXPECT_EQ(tessaly_palette_count(palette.get()), 256);

    settings_ptr settings(tessaly_settings_new());
    EXPECT_FALSE(tessaly_palette_read(settings.get(), "/no/such/palette.act"));
    EXPECT_STREQ(tessaly_settings_error(settings.get()), "palette open error: /no/such/palette.act");

    const uint8_t pixels[4 * 4 * 2] = {};
    uint8_t indices_buffer[4 * 2];
    uint8_t *indices = indices_buffer;
    const struct {
        tessaly_image image;
        size_t index_stride;
        tessaly_status status;
    } cases[] = {
        { { nullptr, 4, 2, 12, 3 }, 4, TESSALY_BAD_IMAGE },
        { { pixels, 0, 2, 12, 3 }, 4, TESSALY_BAD_IMAGE },
        { { pixels, 4, 0, 12, 3 }, 4, TESSALY_BAD_IMAGE },
        { { pixels, 4, 2, 12, 2 }, 4, TESSALY_BAD_IMAGE },
        { { pixels, 4, 2, 11, 3 }, 4, TESSALY_BAD_IMAGE },
        { { pixels, 4, 2, 12, 4 }, 4, TESSALY_BAD_IMAGE },
        { { pixels, 4, 2, 12, 3 }, 3, TESSALY_BAD_IMAGE },
        { { pixels, 4, 2, 12, 3 }, 4, TESSALY_OK },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.image.width << "x" << c.image.height << " stride " << c.image.stride
                                        << " channels " << c.image.channels << " index stride " << c.index_stride);
        EXPECT_EQ(tessaly_dither(settings.get(), palette.get(), &c.image, &indices, c.index_stride, nullptr), c.status);
        EXPECT_EQ(std::string(tessaly_settings_error(settings.get())).empty(), c.status == TESSALY_OK);
    }
    EXPECT_EQ(tessaly_dither(settings.get(), palette.get(), &cases[7].image, nullptr, 4, nullptr), TESSALY_BAD_ARGUMENT);
    EXPECT_EQ(tessaly_dither(nullptr, palette.get(), &cases[7].image, &indices, 4, nullptr), TESSALY_BAD_ARGUMENT);

    uint8_t *allocated = nullptr;
    ASSERT_EQ(tessaly_settings_set(settings.get(), "-p", "/no/such/palette.act"), TESSALY_OK);
    EXPECT_EQ(tessaly_dither(settings.get(), nullptr, &cases[7].image, &allocated, 0, nullptr), TESSALY_PALETTE_ERROR);
    EXPECT_EQ(allocated, nullptr);
    EXPECT_STREQ(tessaly_settings_error(settings.get()), "palette open error: /no/such/palette.act");

    settings_ptr unmatched = settings_of({ "-m", "oklab", "-c", "cmyk" });
    EXPECT_EQ(tessaly_dither(unmatched.get(), palette.get(), &cases[7].image, &indices, 4, nullptr), TESSALY_BAD_VALUE);
    EXPECT_STREQ(tessaly_settings_error(unmatched.get()), "oklab matching needs -c rgb");
}

// Two threads at once, each its own image (large enough for the scan's own
// threads), palette and settings, each time the program's result.
TEST(library, two_threads_dithering_at_once_both_get_the_programs_result)
{
    struct job {
        int width, height;
        std::vector<std::string> options;
        std::vector<uint8_t> rgba;
        dithered expected;
    } jobs[] = {
        { 320, 240, { "-p", std::string(TESSALY_SOURCE_DIR) + "/palettes/pico-8.hex", "-w", "sierra", "-s", "on" },
          {}, {} },
        { 300, 260, { "-p", std::string(TESSALY_SOURCE_DIR) + "/sample/palette.act", "-c", "cmyk", "-g", "srgb",
                      "-a", "100" }, {}, {} },
    };
    for (job &j : jobs) {
        j.rgba = sprite_rgba(j.width, j.height, 9);
        j.expected = program_output(j.options, j.width, j.height, j.rgba);
    }
    bool same[2] = { true, true };
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            const job &j = jobs[t];
            settings_ptr settings = settings_of(j.options);
            for (int round = 0; round < 3; ++round)
                same[t] = same[t] && library_output(settings.get(), nullptr, j.rgba, j.width, j.height, 4,
                                                    4 * j.width, 0) == j.expected;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_TRUE(same[0]);
    EXPECT_TRUE(same[1]);
}

}  // namespace
