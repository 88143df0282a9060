// The platform layer: the working folder cut from argument 0, and exclusive
// creation of output files.
#include "platform/platform.h"
#include "tests/test_support.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

// The cut comes after the last backslash at position 2 or later; positions 0
// and 1 are never looked at. Without such a backslash, paths with forward
// slashes included, there is no folder part.
TEST(working_directory_of, cuts_after_the_last_backslash)
{
    const char *cases[][2] = {
        { "C:\\tools\\Tessaly.exe", "C:\\tools\\" }, { "C:\\Tessaly.exe", "C:\\" }, { "C:\\a\\b\\", "C:\\a\\b\\" },
        { "\\\\x", "" }, { "a\\", "" }, { "ab\\c", "ab\\" }, { "", "" }, { "Tessaly.exe", "" },
        { "/usr/local/bin/tessaly", "" }, { "./tessaly", "" },
    };
    for (const auto &c : cases)
        EXPECT_EQ(working_directory_of(c[0]), c[1]) << c[0];
}

// An existing file, a dangling link (whose target must not be created) and a
// folder are all taken names.
TEST(platform_files, exclusive_creation_refuses_every_existing_entry)
{
    temp_folder folder;
    const std::string name = folder.file("out.png"), link = folder.file("link.png"), dir = folder.file("dir.png");
    EXPECT_FALSE(platform_path_exists(name.c_str()));
    int fd = platform_create_new_file(name.c_str());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(platform_write_all(fd, "abc", 3));
    close(fd);
    EXPECT_TRUE(platform_path_exists(name.c_str()));
    errno = 0;
    EXPECT_EQ(platform_create_new_file(name.c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_file(name), "abc");

    ASSERT_EQ(symlink(folder.file("nowhere").c_str(), link.c_str()), 0);
    EXPECT_TRUE(platform_path_exists(link.c_str()));
    EXPECT_EQ(platform_create_new_file(link.c_str()), -1);
    EXPECT_FALSE(file_exists(folder.file("nowhere")));

    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    EXPECT_EQ(platform_create_new_file(dir.c_str()), -1);
}
