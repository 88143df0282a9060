// Naming the output beside its input and saving it without ever replacing an
// existing entry.
#include "engine/output.h"
#include "png/png_writer.h"
#include "settings/limits.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The suffix replaces the last dot of the file name; a slash of either kind
// after the last dot means the file name has none.
TEST(output_name, cuts_at_the_last_dot_of_the_file_name)
{
    const char *cases[][2] = {
        { "D:\\img\\photo.jpg", "D:\\img\\photo" }, { "D:\\img.old\\photo", "D:\\img.old\\photo" },
        { "photo.tar.gz", "photo.tar" }, { "photo", "photo" }, { ".hidden", "" }, { "photo.", "photo" },
        { "dir.d/file", "dir.d/file" }, { "../photo", "../photo" }, { "./photo.png", "./photo" },
        { "/tmp/a.b/c.d/e.png", "/tmp/a.b/c.d/e" },
    };
    for (const auto &c : cases)
        EXPECT_EQ(std::string(c[0]).substr(0, output_name_cut(c[0])), c[1]) << c[0];
}

// A 2 x 1 indexed image.
class saving : public ::testing::Test {
protected:
    void SetUp() override
    {
        writer = png_writer_new(2, 1, PNG_WRITER_INDEXED);
        png_writer_set_pixel(writer, 1, 0, 1);
    }
    void TearDown() override { png_writer_destroy(writer); }

    // Saves for the input path; returns what was printed.
    std::string save(const std::string &input, bool expect_saved)
    {
        std::strcpy(buffer, input.c_str());
        stdout_capture capture;
        EXPECT_EQ(save_output(writer, buffer), expect_saved) << input;
        return capture.finish();
    }

    void expect_our_png(const std::string &name)
    {
        decoded_png png = decode_png_file(folder.file(name));
        ASSERT_TRUE(png.ok) << png.error;
        EXPECT_EQ(png.pixels, (std::vector<uint8_t>{ 0, 1 }));
    }

    png_writer_t *writer = nullptr;
    char buffer[path_buffer_size];
    temp_folder folder;
};

// A file, a dangling link (created through, it would make its target) and a
// folder are taken names, left as they were; the name used stays in the buffer.
TEST_F(saving, existing_entries_are_taken_and_never_touched)
{
    write_file(folder.file("photo_dithered_0000.png"), "keep me");
    ASSERT_EQ(symlink(folder.file("target").c_str(), folder.file("photo_dithered_0001.png").c_str()), 0);
    ASSERT_EQ(mkdir(folder.file("photo_dithered_0002.png").c_str(), 0755), 0);
    EXPECT_EQ(save(folder.file("photo.jpg"), true), "");
    EXPECT_EQ(std::string(buffer), folder.file("photo_dithered_0003.png"));
    expect_our_png("photo_dithered_0003.png");
    EXPECT_EQ(read_file(folder.file("photo_dithered_0000.png")), "keep me");
    EXPECT_FALSE(file_exists(folder.file("target")));
    EXPECT_EQ(save(folder.file("photo.jpg"), true), "");
    expect_our_png("photo_dithered_0004.png");
}

TEST_F(saving, all_ten_thousand_names_taken)
{
    char name[64];
    for (int n = 0; n < 10000; ++n) {
        std::snprintf(name, sizeof name, "pic_dithered_%04d.png", n);
        write_file(folder.file(name), "");
    }
    EXPECT_EQ(save(folder.file("pic.bmp"), false), "file not saved\n");
    EXPECT_EQ(list_folder(folder.path()).size(), 10000u);
    EXPECT_EQ(read_file(folder.file("pic_dithered_9999.png")), "");
}

}  // namespace
