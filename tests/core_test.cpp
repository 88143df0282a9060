// The core on an image and a palette held in memory: it prints nothing, and
// its output is the very stream the program writes for the same image and
// palette read from files.
#include "driver/options.h"
#include "engine/core.h"
#include "settings/state.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// RGBA pixels held in memory, given as rows of RGB and of alpha.
struct memory_source : image_source {
    std::vector<uint8_t> rgb, alpha;
    int row = 0;
    memory_source(int w, int h, const std::vector<uint8_t> &rgba)
    {
        width = w;
        height = h;
        for (size_t i = 0; i < rgba.size(); i += 4) {
            rgb.insert(rgb.end(), &rgba[i], &rgba[i] + 3);
            alpha.push_back(rgba[i + 3]);
        }
    }
    bool read_row(uint8_t *out) override
    {
        std::memcpy(out, &rgb[size_t(row++) * width * 3], size_t(width) * 3);
        return true;
    }
    const uint8_t *row_alpha() override { return &alpha[size_t(row - 1) * width]; }
};

}  // namespace

TEST(core, dithers_memory_silently_into_the_programs_stream)
{
    temp_folder folder;
    const int width = 29, height = 19;
    const std::vector<uint8_t> rgba = sprite_rgba(width, height, 7);
    write_png_form(folder.file("in.png"), width, height, { 6, 8 }, rgba);
    // A full colour table, and a short list whose output palette is its own.
    std::vector<uint8_t> full, few = { 0, 0, 0, 255, 255, 255, 200, 40, 30, 20, 160, 60, 30, 50, 190 };
    for (int i = 0; i < 256; ++i)
        full.insert(full.end(), { uint8_t(i), uint8_t(i * 73 + 5), uint8_t(255 - i * 29) });
    write_palette_file(folder.file("full.act"), full);
    std::string hex;
    for (size_t i = 0; i < few.size(); i += 3) {
        char line[8];
        std::snprintf(line, sizeof line, "%02x%02x%02x\n", few[i], few[i + 1], few[i + 2]);
        hex += line;
    }
    write_file(folder.file("few.hex"), hex);

    const struct {
        bool full;
        std::vector<std::string> options;
    } cases[] = {
        { false, {} },
        { true, { "-s", "on", "-w", "jarvis", "-c", "yuv" } },
        { false, { "-w", "bayer4", "-g", "srgb" } },
        { false, { "-a", "128", "-w", "atkinson" } },
        { true, { "-a", "1", "-lmx", "on", "-e", "pow2m421" } },  // entry 255 given up, said by the front only
        { true, { "-pp", "circle", "-d", "0", "-z", "on" } },
    };
    for (const auto &c : cases) {
        const std::vector<uint8_t> &palette = c.full ? full : few;
        std::string label = c.full ? "full" : "few";
        for (const std::string &option : c.options)
            label += " " + option;
        SCOPED_TRACE(label);
        std::vector<std::string> arguments = { "-p", c.full ? "full.act" : "few.hex" };
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back("in.png");
        ASSERT_EQ(run_tessaly(arguments, folder.path()).status, 0);
        const std::string expected = read_file(folder.file("in_dithered_0000.png"));
        std::remove(folder.file("in_dithered_0000.png").c_str());

        reset_process_state();
        for (size_t i = 0; i < c.options.size(); i += 2)
            ASSERT_TRUE(apply_option(c.options[i].c_str(), c.options[i + 1].c_str()).accepted);
        const int count = static_cast<int>(palette.size() / 3);
        memory_source source(width, height, rgba);
        png_writer_ptr writer;
        stdout_capture out;
        ASSERT_TRUE(install_palette(palette.data(), count, count));
        ASSERT_EQ(dither_image(source, writer), dither_outcome::dithered);
        uint32_t length = 0;
        const uint8_t *stream = png_writer_get_data(writer.get(), &length);
        EXPECT_EQ(out.finish(), "");
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(stream), length), expected);
    }
    reset_process_state();
}
