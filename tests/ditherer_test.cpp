// The engine on sources that fail part way, read on the scan's side thread
// and on the main thread alike: one line, no output, and the process goes on.
#include "engine/front.h"
#include "engine/palette.h"
#include "engine/palette_files.h"
#include "settings/settings.h"
#include "settings/state.h"
#include "settings/tuning.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>

namespace {

// A grey image of 7 x 9 whose row fail_at is damaged or cannot get its memory.
struct failing_source : image_source {
    int row = 0, fail_at;
    bool out_of_memory;
    failing_source(int fail_at, bool out_of_memory) : fail_at(fail_at), out_of_memory(out_of_memory)
    {
        width = 7;
        height = 9;
    }
    bool read_row(uint8_t *rgb) override
    {
        if (row == fail_at && out_of_memory)
            throw std::bad_alloc();
        std::memset(rgb, 40 * row, static_cast<size_t>(width) * 3);
        return row++ != fail_at;
    }
};

}  // namespace

TEST(ditherer, a_source_failing_part_way_loses_nothing)
{
    temp_folder folder;
    write_file(folder.file("palette.act"), std::string(768, '\x80'));
    const struct { int fail_at; bool out_of_memory; const char *line; } cases[] = {
        { 0, true, "image too large\n" }, { 5, true, "image too large\n" }, { 8, false, "image open error\n" },
        { 9, false, "" },  // every row read: saved
    };
    for (bool plain : { false, true })
        for (const auto &c : cases) {
            reset_process_state();
            std::strcpy(palette_path_buffer, folder.file("palette.act").c_str());
            std::strcpy(arguments_buffer, folder.file("in.png").c_str());
            use_plain_paths = plain;
            failing_source source(c.fail_at, c.out_of_memory);
            stdout_capture out;
            ASSERT_TRUE(read_palette());
            const bool saved = dither_source(source, arguments_buffer);
            EXPECT_EQ(out.finish(), size_lines(7, 9) + c.line) << c.fail_at << (plain ? " plain" : " fast");
            EXPECT_EQ(saved, *c.line == '\0');
            EXPECT_EQ(list_folder(folder.path()).size(), saved ? 2u : 1u);
            std::remove(arguments_buffer);
        }
    use_plain_paths = false;
}
