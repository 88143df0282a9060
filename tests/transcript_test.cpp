// The console transcript of the built program, byte for byte.
#include "driver/driver.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

const std::string data = TESSALY_TEST_DATA;

}  // namespace

// Without arguments the usage text waits for a key; asked for, it comes
// without the wait, and the version is one line without the banner, for
// scripts. Every keyword of every option and each kind of value, one argument
// a line in keywords.args, prints its line, with its historical spelling, in
// keywords.txt. None of them leaves a file.
TEST(transcript, usage_version_and_every_keyword_print_their_lines)
{
    std::vector<std::string> keywords;
    std::istringstream lines(read_file(data + "/keywords.args"));
    for (std::string line; std::getline(lines, line);)
        keywords.push_back(line);
    const std::string usage = read_file(data + "/usage.txt");
    const struct { std::vector<std::string> arguments; std::string output; } rows[] = {
        { {}, banner + usage + "Press any key to continue . . .\n" },
        { { "--help", "image.png" }, banner + usage },
        { { "--version", "image.png" }, "tessaly d0044\n" },
        { keywords, banner + read_file(data + "/keywords.txt") },
    };
    for (const auto &row : rows) {
        temp_folder folder;
        run_result r = run_tessaly(row.arguments, folder.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.errors, "");
        EXPECT_EQ(r.output, row.output);
        EXPECT_EQ(list_folder(folder.path()), std::vector<std::string>{});
    }
    // One version string: the banner's, which the manual page's footer repeats.
    EXPECT_EQ(banner, std::string("\nTessaly ") + program_version + " by Vorlane\n\n");
    const std::string page = read_file(data + "/../../tessaly.1");
    EXPECT_EQ(page.substr(0, page.find('\n')),
              std::string(".TH TESSALY 1 \"\" \"Tessaly ") + program_version + "\" \"User Commands\"");
}
