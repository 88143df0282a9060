// The console transcript of the built program, byte for byte.
#include "driver/driver.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

const std::string banner = "\nTessaly d0044 by Vorlane\n\n";
const std::string data = TESSALY_TEST_DATA;

}  // namespace

TEST(transcript, without_arguments_prints_the_usage_and_waits_for_a_key)
{
    temp_folder folder;
    run_result r = run_tessaly({}, folder.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.errors, "");
    std::string usage = read_file(data + "/usage.txt");
    ASSERT_EQ(usage.size(), 2497u);
    EXPECT_EQ(r.output, banner + usage + "Press any key to continue . . .\n");
}

// Asked for, the usage text comes without the wait for a key; the version is
// one line without the banner, for scripts.
TEST(transcript, help_and_version_answer_and_end_the_run)
{
    temp_folder folder;
    const struct {
        const char *argument;
        std::string output;
    } cases[] = { { "--help", banner + read_file(data + "/usage.txt") }, { "--version", "tessaly d0044\n" } };
    for (const auto &c : cases) {
        run_result r = run_tessaly({ c.argument, "image.png" }, folder.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(list_folder(folder.path()), std::vector<std::string>{});
    }
}

// One version string: the banner's, which "--version" and the manual page's
// footer repeat.
TEST(transcript, the_manual_page_carries_the_banner_version)
{
    EXPECT_EQ(banner, std::string("\nTessaly ") + program_version + " by Vorlane\n\n");
    const std::string page = read_file(data + "/../../tessaly.1");
    EXPECT_EQ(page.substr(0, page.find('\n')), std::string(".TH TESSALY 1 \"\" \"Tessaly ") + program_version +
                                                    "\" \"User Commands\"");
}

// Every keyword of every option and each kind of value, one argument a line
// in keywords.args; the lines they print, with their historical spellings,
// in keywords.txt.
TEST(transcript, every_keyword_prints_its_line)
{
    std::vector<std::string> arguments;
    std::istringstream lines(read_file(data + "/keywords.args"));
    for (std::string line; std::getline(lines, line);)
        arguments.push_back(line);
    ASSERT_EQ(arguments.size(), 140u);
    temp_folder folder;
    run_result r = run_tessaly(arguments, folder.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, banner + read_file(data + "/keywords.txt"));
}

// The usage text's example with a real image and palette: "-c srgb" is no
// keyword of -c, so that line stays open.
TEST(transcript, the_usage_example_dithers_its_image)
{
    temp_folder folder;
    std::vector<uint8_t> palette, samples;
    for (int i = 0; i < 768; ++i)
        palette.push_back(static_cast<uint8_t>(i * 7));
    for (int i = 0; i < 5 * 3 * 3; ++i)
        samples.push_back(static_cast<uint8_t>(i * 11));
    write_palette_file(folder.file("palette.act"), palette);
    write_png_form(folder.file("image.png"), 5, 3, { 2, 8 }, samples);

    run_result r = run_tessaly({ "-c", "srgb", "-w", "round", "-d", "0.97", "image.png" }, folder.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.errors, "");
    EXPECT_EQ(r.output, banner + "-c - -w - round window selected\n-d - diffusion level 0.970000\n"
                                 "image.png - \nimage width 5\nimage heigh 3\n\n");
    EXPECT_EQ(list_folder(folder.path()),
              (std::vector<std::string>{ "image.png", "image_dithered_0000.png", "palette.act" }));
}
