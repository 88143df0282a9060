#include "platform/platform.h"
#include "tests/test_support.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

TEST(working_directory_of, cuts_after_the_last_backslash)
{
    EXPECT_EQ(working_directory_of("C:\\tools\\Tessaly.exe"), "C:\\tools\\");
    EXPECT_EQ(working_directory_of("C:\\Tessaly.exe"), "C:\\");
    EXPECT_EQ(working_directory_of("C:\\a\\b\\"), "C:\\a\\b\\");
}

TEST(working_directory_of, never_looks_at_the_first_two_positions)
{
    EXPECT_EQ(working_directory_of("\\\\x"), "\\\\x");
    EXPECT_EQ(working_directory_of("a\\"), "a\\");
    EXPECT_EQ(working_directory_of("ab\\c"), "ab\\");
    EXPECT_EQ(working_directory_of(""), "");
}

TEST(working_directory_of, keeps_paths_with_forward_slashes_whole)
{
    EXPECT_EQ(working_directory_of("/usr/local/bin/tessaly"), "/usr/local/bin/tessaly");
    EXPECT_EQ(working_directory_of("./tessaly"), "./tessaly");
    EXPECT_EQ(working_directory_of("tessaly"), "tessaly");
}

TEST(platform_files, exclusive_creation_refuses_every_existing_entry)
{
    temp_folder folder;
    std::string name = folder.file("out.png");
    int fd = platform_create_new_file(name.c_str());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(platform_write_all(fd, "abc", 3));
    close(fd);
    EXPECT_TRUE(platform_path_exists(name.c_str()));

    errno = 0;
    EXPECT_EQ(platform_create_new_file(name.c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_file(name), "abc");

    // A dangling link is a taken name too, and its target is never created.
    std::string link = folder.file("link.png");
    ASSERT_EQ(symlink(folder.file("nowhere").c_str(), link.c_str()), 0);
    EXPECT_TRUE(platform_path_exists(link.c_str()));
    EXPECT_EQ(platform_create_new_file(link.c_str()), -1);
    EXPECT_FALSE(file_exists(folder.file("nowhere")));

    ASSERT_EQ(mkdir(folder.file("dir.png").c_str(), 0755), 0);
    EXPECT_EQ(platform_create_new_file(folder.file("dir.png").c_str()), -1);
    EXPECT_FALSE(platform_path_exists(folder.file("free.png").c_str()));
}
