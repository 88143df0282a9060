// The argument loop, run in-process against a stand-in for the engine that
// records the path and the settings each file was handed. The lines every
// keyword prints are checked byte for byte by the transcript test.
#include "driver/driver.h"
#include "settings/carried_state.h"
#include "settings/settings.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct engine_call {
    std::string path, palette, output_folder;
    int32_t color_space, window, pre_processing_pass;
    float coefficient;
};

std::vector<engine_call> calls;

// A path containing "fail" counts as a failed file.
void record_call()
{
    calls.push_back({ arguments_buffer, palette_path_buffer, output_folder_buffer, color_space, diffusion_window, pre_processing_pass,
                      coefficient });
    if (calls.back().path.find("fail") != std::string::npos)
        ++failed_files;
}

struct driver_run {
    int status;
    std::string output;  // after the banner
};

driver_run run(std::vector<std::string> arguments)
{
    const std::string banner = "\nTessaly d0044 by Vorlane\n\n";
    calls.clear();
    arguments.insert(arguments.begin(), "tessaly");
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(&argument[0]);
    stdout_capture capture;
    int status = run_driver(static_cast<int>(argv.size()), argv.data(), record_call);
    std::string output = capture.finish();
    EXPECT_EQ(output.compare(0, banner.size(), banner), 0) << output;
    return { status, output.substr(std::min(banner.size(), output.size())) };
}

}  // namespace

// Each option writes its own setting, and a keyword stores its position in
// its table, never the number it spells (-lc 128 stores 2, -q 421 stores 1).
// A first value of 7 that no keyword stores shows the code is really written.
TEST(driver, keywords_store_their_codes_in_their_settings)
{
    const struct { const char *option, *value; int32_t *setting, code; } cases[] = {
        { "-s", "on", &serpentine, 1 },           { "-q", "421", &quant_weighting_coefficients, 1 },
        { "-q", "2417", &quant_weighting_coefficients, 5 }, { "-e", "pow421", &quant_error_finding_algorithm, 3 },
        { "-e", "pow2m1113", &quant_error_finding_algorithm, 5 }, { "-lmx", "on", &max_limit, 1 },
        { "-lmn", "on", &min_limit, 1 },          { "-g", "srgb", &RGB_gamma, 1 },
        { "-pp", "circle", &pre_processing_algorithm, 1 }, { "-ppw", "square", &pre_processing_window, 2 },
        { "-c", "cmyk2", &color_space, 6 },       { "-lc", "128", &level_compress, 2 },
        { "-w", "linear_x_y", &diffusion_window, 5 }, { "-w", "floyd", &diffusion_window, 0 },
        { "-lmx", "off", &max_limit, 0 },  { "-z", "on", &png_compression, 1 },
        { "-z", "off", &png_compression, 0 },
        { "-a", "128", &alpha_threshold, 128 }, { "-a", "off", &alpha_threshold, 0 },
    };
    for (const auto &c : cases) {
        run({ c.option, c.value });
        *c.setting = 7;
        run({ c.option, c.value, "f.png" });
        EXPECT_EQ(*c.setting, c.code) << c.option << " " << c.value;
    }
}

// Keywords are matched exactly: other cases and unknown values change nothing.
TEST(driver, unknown_values_change_nothing_and_print_nothing)
{
    driver_run r = run({ "-c", "RGB", "-s", "ON", "-w", "linear", "-lc", "127", "-a", "256", "f.png" });
    EXPECT_EQ(r.output, "-c - -s - -w - -lc - -a - f.png - ");
    EXPECT_EQ(serpentine, 0);
    EXPECT_EQ(level_compress, 0);
    EXPECT_EQ(alpha_threshold, 0);
    EXPECT_EQ(calls.at(0).color_space, 0);
    EXPECT_EQ(calls[0].window, window_floyd);
}

TEST(driver, settings_carry_from_one_file_to_the_next)
{
    driver_run r = run({ "a.png", "-w", "x", "-c", "cmyk", "b.png", "-d", "0.5", "c.png", "-w", "floyd" });
    EXPECT_EQ(r.output, "a.png - -w - x window selected\n-c - CMYK color space selected\nb.png - "
                        "-d - diffusion level 0.500000\nc.png - -w - floyd window selected\n");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].color_space, 0);
    EXPECT_EQ(calls[0].window, window_floyd);
    EXPECT_EQ(calls[1].color_space, 1);
    EXPECT_EQ(calls[1].window, window_x);
    EXPECT_EQ(calls[1].coefficient, 1.0f);
    EXPECT_EQ(calls[2].color_space, 1);
    EXPECT_EQ(calls[2].window, window_x);
    EXPECT_EQ(calls[2].coefficient, 0.5f);
}

// atof and a %f of the parsed double; -ppc truncates toward zero and
// saturates; the setting holds the double rounded to float.
TEST(driver, numbers_are_parsed_like_atof_and_shown_as_parsed)
{
    driver_run r = run({ "-d", "0.1234567891", "-mxl", "2.5", "-mnl", "-0.25", "-ppc", "2.9", "f.png",
                         "-d", "abc", "-ppc", "-3.7", "g.png", "-ppc", "1e12", "h.png" });
    EXPECT_EQ(r.output, "-d - diffusion level 0.123457\n-mxl - max level 2.500000\n-mnl - min level -0.250000\n"
                        "-ppc - pre processing 2 pass\nf.png - -d - diffusion level 0.000000\n"
                        "-ppc - pre processing -3 pass\ng.png - -ppc - pre processing 2147483647 pass\nh.png - ");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].coefficient, 0.1234567891f);
    EXPECT_EQ(max_level, 2.5f);
    EXPECT_EQ(min_level, -0.25f);
    EXPECT_EQ(calls[0].pre_processing_pass, 2);
    EXPECT_EQ(calls[1].coefficient, 0.0f);
    EXPECT_EQ(calls[1].pre_processing_pass, -3);
    EXPECT_EQ(calls[2].pre_processing_pass, 2147483647);
}

// The palette path, the output folder and the -fpa value are printed with %s
// on lines of their own; "" and "off" put outputs beside their inputs again.
TEST(driver, path_options_and_fixed_palette_array)
{
    driver_run r = run({ "-p", "-odd name.act", "-o", "out", "a.png", "-fpa", "off", "-fpa", "100%", "-p", "b.act",
                         "-o", "off", "b.png", "-o", "%s/", "c.png", "-o", "", "d.png" });
    EXPECT_EQ(r.output, "-p - custom palette\n-odd name.act\n-o - output folder\nout\na.png - "
                        "-fpa - fixed palette array off\n-fpa - fixed palette array\n100%\n-p - custom palette\nb.act\n"
                        "-o - output folder off\nb.png - -o - output folder\n%s/\nc.png - -o - output folder off\nd.png - ");
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].palette, "-odd name.act");
    EXPECT_EQ(calls[0].output_folder, "out");
    EXPECT_EQ(calls[1].palette, "b.act");
    EXPECT_EQ(calls[1].output_folder, "");
    EXPECT_EQ(calls[2].output_folder, "%s/");
    EXPECT_EQ(calls[3].output_folder, "");
}

// Arguments the loop does not know are files, whatever they look like; a '%'
// in them must not reach printf as a format.
TEST(driver, misspelt_options_and_percent_signs_are_files)
{
    driver_run r = run({ "-lmm", "on", "100%.png", "%s%d%n" });
    EXPECT_EQ(r.output, "-lmm - on - 100%.png - %s%d%n - ");
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].path, "-lmm");
    EXPECT_EQ(calls[1].path, "on");
    EXPECT_EQ(calls[3].path, "%s%d%n");
}

TEST(driver, option_without_value_ends_the_run_with_its_echo_open)
{
    driver_run r = run({ "a.png", "-w", "x", "b.png", "-d" });
    EXPECT_EQ(r.output, "a.png - -w - x window selected\nb.png - -d - ");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(calls.size(), 2u);
}

// 8191 characters pass, 8192 are refused, as a file and as an option value
// (which is then dropped with its option); a refusal makes the status 1.
TEST(driver, arguments_longer_than_8191_characters_are_refused)
{
    const std::string longest(8191, 'a'), too_long(8192, 'b');
    driver_run r = run({ longest });
    EXPECT_EQ(r.output, longest + " - ");
    EXPECT_EQ(calls.at(0).path, longest);
    EXPECT_EQ(r.status, 0);

    r = run({ too_long, "-p", too_long, "-p", longest, "a.png" });
    EXPECT_EQ(r.output, too_long + " - argument to long\n-p - argument to long\n-p - custom palette\n" + longest +
                            "\na.png - ");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].path, "a.png");
    EXPECT_EQ(calls[0].palette, longest);
    EXPECT_EQ(r.status, 1);
}

TEST(driver, exit_status_reports_failed_files)
{
    EXPECT_EQ(run({ "a.png", "fail.png", "b.png" }).status, 1);
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(run({ "fail.png", "-w" }).status, 1);  // a missing value does not hide the failure
    EXPECT_EQ(run({ "a.png", "b.png" }).status, 0);
}
