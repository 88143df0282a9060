// Naming the output beside its input or in the output folder, and saving it
// without ever replacing an existing entry.
#include "engine/output.h"
#include "png/png_writer.h"
#include "settings/limits.h"
#include "settings/settings.h"
#include "tests/engine_fixture.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The suffix replaces the last dot of the file name; a slash of either kind
// after the last dot means the file name has none. An output folder takes the
// file name alone, cut the same way.
TEST(output_name, cuts_at_the_last_dot_of_the_file_name)
{
    const char *cases[][3] = {
        { "D:\\img\\photo.jpg", "", "D:\\img\\photo" }, { "D:\\img.old\\photo", "", "D:\\img.old\\photo" },
        { "photo.tar.gz", "", "photo.tar" }, { "photo", "", "photo" }, { ".hidden", "", "" },
        { "photo.", "", "photo" }, { "dir.d/file", "", "dir.d/file" }, { "../photo", "", "../photo" },
        { "./photo.png", "", "./photo" }, { "/tmp/a.b/c.d/e.png", "", "/tmp/a.b/c.d/e" },
        { "/tmp/a.b/c.d/e.png", "out", "out/e" }, { "photo.tar.gz", "out/", "out/photo.tar" },
        { "D:\\img\\photo.jpg", "E:\\out\\", "E:\\out\\photo" }, { "pics/.hidden", "/o", "/o/" },
        { "dir.d/file", "o", "o/file" }, { "a\\b.c/d", "o", "o/d" },
    };
    for (const auto &c : cases)
        EXPECT_EQ(output_name_stem(c[0], c[1]), c[2]) << c[0] << " in " << c[1];
}

// A 2 x 1 indexed image.
class saving : public engine_fixture {
protected:
    void SetUp() override
    {
        engine_fixture::SetUp();
        writer = png_writer_new(2, 1, PNG_WRITER_INDEXED);
        png_writer_set_pixel(writer, 1, 0, 1);
    }
    void TearDown() override
    {
        png_writer_destroy(writer);
        engine_fixture::TearDown();
    }

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
        const decoded_png png = decode_png_file(folder.file(name));
        EXPECT_TRUE(png.ok && png.pixels == std::vector<uint8_t>({ 0, 1 })) << name << ": " << png.error;
    }

    png_writer_t *writer = nullptr;
    char buffer[path_buffer_size];
    temp_folder folder;
};

// A taken name of any kind (file, dangling link, folder) moves the save on to
// the next number, and is never touched; with all ten thousand taken the file
// is not saved.
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
    EXPECT_EQ(list_folder(folder.path()).size(), 5u);

    for (int n = 0; n < 10000; ++n)
        write_file(folder.file(output_name("pic", n)), "");
    EXPECT_EQ(save(folder.file("pic.bmp"), false), "file not saved\n");
    EXPECT_EQ(list_folder(folder.path()).size(), 10005u);
    EXPECT_EQ(read_file(folder.file("pic_dithered_9999.png")), "");
}

// An output folder makes a name longer than its input: one that no longer
// fits the path buffer is refused before anything is written.
TEST_F(saving, a_name_past_the_path_buffer_is_refused)
{
    ASSERT_EQ(mkdir(folder.file("out").c_str(), 0755), 0);
    std::strcpy(output_folder_buffer, folder.file("out").c_str());
    const std::string too_long(path_buffer_size - 18 - folder.file("out/").size(), 'n');
    EXPECT_EQ(save(too_long + ".jpg", false), "file not saved\n");
    EXPECT_EQ(std::string(buffer), too_long + ".jpg");
    EXPECT_TRUE(list_folder(folder.file("out")).empty());
}

}  // namespace
