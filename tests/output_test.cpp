// Naming the output beside its input and saving it without ever replacing an
// existing entry.
#include "driver/settings.h"
#include "engine/output.h"
#include "png/png_writer.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string first_name(const std::string &path)
{
    return path.substr(0, output_name_cut(path.c_str())) + "_dithered_0000.png";
}

TEST(output_name, cuts_at_the_last_dot_of_the_file_name)
{
    EXPECT_EQ(first_name("D:\\img\\photo.jpg"), "D:\\img\\photo_dithered_0000.png");
    EXPECT_EQ(first_name("D:\\img.old\\photo"), "D:\\img.old\\photo_dithered_0000.png");
    EXPECT_EQ(first_name("D:\\a.b\\pic"), "D:\\a.b\\pic_dithered_0000.png");
    EXPECT_EQ(first_name("photo.tar.gz"), "photo.tar_dithered_0000.png");
    EXPECT_EQ(first_name("x.y.z"), "x.y_dithered_0000.png");
    EXPECT_EQ(first_name("photo"), "photo_dithered_0000.png");
    EXPECT_EQ(first_name("name"), "name_dithered_0000.png");
    EXPECT_EQ(first_name("D:\\img\\.hidden"), "D:\\img\\_dithered_0000.png");
    EXPECT_EQ(first_name(".hidden"), "_dithered_0000.png");
    EXPECT_EQ(first_name("photo."), "photo_dithered_0000.png");
}

// A forward slash ends the search for the dot too, so the output lands
// beside its input and not in a file named after the folder.
TEST(output_name, forward_slash_ends_the_search)
{
    EXPECT_EQ(first_name("dir.d/file"), "dir.d/file_dithered_0000.png");
    EXPECT_EQ(first_name("pics.old/photo"), "pics.old/photo_dithered_0000.png");
    EXPECT_EQ(first_name("../photo"), "../photo_dithered_0000.png");
    EXPECT_EQ(first_name("./photo.png"), "./photo_dithered_0000.png");
    EXPECT_EQ(first_name("/tmp/a.b/c.d/e.png"), "/tmp/a.b/c.d/e_dithered_0000.png");
}

// A 2 x 1 indexed image with a palette of two entries.
class saving : public ::testing::Test {
protected:
    void SetUp() override
    {
        writer = png_writer_new(2, 1, PNG_WRITER_INDEXED);
        ASSERT_NE(writer, nullptr);
        const uint32_t entries[2] = { 0xff000000u, 0xff0080ffu };
        png_writer_set_palette(writer, entries, 2);
        png_writer_set_pixel(writer, 1, 0, 1);
    }
    void TearDown() override { png_writer_destroy(writer); }

    // Saves for the input path; returns the result and what was printed.
    bool save(const std::string &input, std::string &printed)
    {
        std::strcpy(buffer, input.c_str());
        stdout_capture capture;
        bool saved = save_output(writer, buffer);
        printed = capture.finish();
        return saved;
    }

    void expect_our_png(const std::string &path)
    {
        decoded_png png = decode_png_file(path);
        ASSERT_TRUE(png.ok) << png.error;
        EXPECT_EQ(png.width, 2u);
        EXPECT_EQ(png.pixels, (std::vector<uint8_t>{ 0, 1 }));
    }

    png_writer_t *writer = nullptr;
    char buffer[path_buffer_size];
    temp_folder folder;
};

TEST_F(saving, writes_the_first_free_name_and_leaves_it_in_the_buffer)
{
    std::string printed;
    EXPECT_TRUE(save(folder.file("photo.png"), printed));
    EXPECT_EQ(printed, "");
    EXPECT_EQ(std::string(buffer), folder.file("photo_dithered_0000.png"));
    expect_our_png(folder.file("photo_dithered_0000.png"));

    // The same input again takes the next number.
    EXPECT_TRUE(save(folder.file("photo.png"), printed));
    expect_our_png(folder.file("photo_dithered_0001.png"));
}

TEST_F(saving, existing_entries_are_taken_and_never_touched)
{
    write_file(folder.file("photo_dithered_0000.png"), "keep me");
    ASSERT_EQ(symlink(folder.file("target").c_str(), folder.file("photo_dithered_0001.png").c_str()), 0);
    ASSERT_EQ(mkdir(folder.file("photo_dithered_0002.png").c_str(), 0755), 0);

    std::string printed;
    EXPECT_TRUE(save(folder.file("photo.jpg"), printed));
    EXPECT_EQ(std::string(buffer), folder.file("photo_dithered_0003.png"));
    expect_our_png(folder.file("photo_dithered_0003.png"));
    EXPECT_EQ(read_file(folder.file("photo_dithered_0000.png")), "keep me");
    // The dangling link still dangles: nothing was created through it.
    EXPECT_FALSE(file_exists(folder.file("target")));
    EXPECT_EQ(list_folder(folder.path()).size(), 4u);
}

TEST_F(saving, all_ten_thousand_names_taken)
{
    char name[64];
    for (int n = 0; n < 10000; ++n) {
        std::snprintf(name, sizeof name, "pic_dithered_%04d.png", n);
        write_file(folder.file(name), "");
    }
    std::string printed;
    EXPECT_FALSE(save(folder.file("pic.bmp"), printed));
    EXPECT_EQ(printed, "file not saved\n");
    EXPECT_EQ(list_folder(folder.path()).size(), 10000u);
    EXPECT_EQ(read_file(folder.file("pic_dithered_9999.png")), "");
}

TEST_F(saving, missing_folder_is_not_saved)
{
    std::string printed;
    EXPECT_FALSE(save(folder.file("no such folder/pic.png"), printed));
    EXPECT_EQ(printed, "file not saved\n");
    EXPECT_TRUE(list_folder(folder.path()).empty());
}

TEST_F(saving, folder_without_write_permission_is_not_saved)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    ASSERT_EQ(chmod(folder.path().c_str(), 0555), 0);
    std::string printed;
    EXPECT_FALSE(save(folder.file("pic.png"), printed));
    EXPECT_EQ(printed, "file not saved\n");
    chmod(folder.path().c_str(), 0755);
    EXPECT_TRUE(list_folder(folder.path()).empty());
}

// A file-size limit below the stream's length makes the write come up short,
// as on a full disk: the incomplete file is removed.
TEST_F(saving, short_write_removes_the_incomplete_file)
{
    std::strcpy(buffer, folder.file("pic.png").c_str());
    void (*saved_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
    rlimit small = saved_limit;
    small.rlim_cur = 100;

    stdout_capture capture;
    setrlimit(RLIMIT_FSIZE, &small);
    bool saved = save_output(writer, buffer);
    setrlimit(RLIMIT_FSIZE, &saved_limit);
    std::string printed = capture.finish();
    std::signal(SIGXFSZ, saved_handler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(printed, "file not saved\n");
    EXPECT_TRUE(list_folder(folder.path()).empty());
}

// The longest input path takes its suffix in place; the name is too long for
// the file system, which is a creation error like any other.
TEST_F(saving, longest_path_takes_its_suffix_in_place)
{
    std::string input = folder.path() + "/";
    input += std::string(max_argument_length - input.size(), 'n');
    std::string printed;
    EXPECT_FALSE(save(input, printed));
    EXPECT_EQ(printed, "file not saved\n");
    EXPECT_EQ(std::string(buffer), input + "_dithered_0000.png");
    EXPECT_TRUE(list_folder(folder.path()).empty());
}

}  // namespace
