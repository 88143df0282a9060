// The platform layer: the working folder cut from argument 0, and outputs
// that no name shows until they are whole.
#include "platform/platform.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

// The cut comes after the last backslash at position 2 or later; positions 0
// and 1 are never looked at, and without such a backslash there is no folder
// part (never the whole argument, which may name a folder by chance).
TEST(working_directory_of, cuts_after_the_last_backslash)
{
    const char *cases[][2] = {
        { "C:\\tools\\Tessaly.exe", "C:\\tools\\" }, { "C:\\Tessaly.exe", "C:\\" }, { "C:\\a\\b\\", "C:\\a\\b\\" },
        { "\\\\x", "" }, { "a\\", "" }, { "ab\\c", "ab\\" }, { "", "" }, { "tessaly", "" },
        { "/usr/local/bin/tessaly", "" }, { "./tessaly", "" },
    };
    for (const auto &c : cases)
        EXPECT_EQ(working_directory_of(c[0]), c[1]) << c[0];
}

// Nothing shows until the output is named, under a name that is free (the
// kinds of taken names are the saving's tests); the new file has the
// permissions any new file gets.
TEST(platform_files, an_output_shows_only_under_a_free_name)
{
    temp_folder folder;
    write_file(folder.file("file.png"), "keep");
    platform_output *output = platform_output_begin(folder.file("new.png").c_str());
    ASSERT_NE(output, nullptr);
    ASSERT_TRUE(platform_output_write(output, "abc", 3));
    ASSERT_TRUE(platform_output_finish(output));
    EXPECT_EQ(list_folder(folder.path()), (std::vector<std::string>{ "file.png" }));
    EXPECT_EQ(platform_output_publish(output, folder.file("file.png").c_str()), name_taken);
    EXPECT_EQ(platform_output_publish(output, folder.file("no/new.png").c_str()), publish_failed);
    EXPECT_EQ(platform_output_publish(output, folder.file("new.png").c_str()), published);
    platform_output_end(output);

    EXPECT_EQ(read_file(folder.file("new.png")), "abc");
    EXPECT_EQ(read_file(folder.file("file.png")), "keep");
    struct stat st;
    ASSERT_EQ(stat(folder.file("new.png").c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

    // Ended unnamed, it leaves nothing; nor does a folder that is not there
    // give an output.
    output = platform_output_begin(folder.file("gone.png").c_str());
    ASSERT_NE(output, nullptr);
    ASSERT_TRUE(platform_output_write(output, "abc", 3));
    platform_output_end(output);
    EXPECT_EQ(list_folder(folder.path()), (std::vector<std::string>{ "file.png", "new.png" }));
    EXPECT_EQ(platform_output_begin(folder.file("none/x.png").c_str()), nullptr);
}
