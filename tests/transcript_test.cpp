// The console transcript of the built program, byte for byte.
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace {

const std::string banner = "\nTessaly d0044 by Vorlane\n\n";

}  // namespace

TEST(transcript, without_arguments_prints_the_usage_and_waits_for_a_key)
{
    temp_folder folder;
    run_result r = run_tessaly({}, folder.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.errors, "");
    std::string usage = read_file(std::string(TESSALY_TEST_DATA) + "/usage.txt");
    ASSERT_EQ(usage.size(), 1823u);
    EXPECT_EQ(r.output, banner + usage + "Press any key to continue . . .\n");
}

TEST(transcript, option_without_value_leaves_the_line_open)
{
    temp_folder folder;
    run_result r = run_tessaly({ "-c" }, folder.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, banner + "-c - ");
    EXPECT_TRUE(list_folder(folder.path()).empty());
}

TEST(transcript, options_alone)
{
    temp_folder folder;
    run_result r = run_tessaly({ "-c", "srgb", "-w", "round", "-d", "0.97" }, folder.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, banner + "-c - -w - round window selected\n-d - diffusion level 0.970000\n");
}
