// The argument loop, run in-process against a stand-in for the engine that
// records the path and the settings each file was handed.
#include "driver/driver.h"
#include "driver/settings.h"
#include "engine/windows.h"
#include "tests/test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct engine_call {
    std::string path, palette;
    int32_t color_space, channels_used, pre_processing_pass;
    float coefficient, right[10], left[10];
};

std::vector<engine_call> calls;

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
    int status = run_driver(static_cast<int>(argv.size()), argv.data());
    std::string output = capture.finish();
    EXPECT_EQ(output.compare(0, banner.size(), banner), 0) << output;
    return { status, output.substr(std::min(banner.size(), output.size())) };
}

}  // namespace

// The engine stand-in: a path containing "fail" counts as a failed file.
void ditherer()
{
    engine_call call{ arguments_buffer, palette_path_buffer, color_space, channels_used, pre_processing_pass,
                      coefficient, {}, {} };
    std::memcpy(call.right, wind_r, sizeof wind_r);
    std::memcpy(call.left, wind_l, sizeof wind_l);
    calls.push_back(call);
    if (call.path.find("fail") != std::string::npos)
        ++failed_files;
}

namespace {

struct keyword_case {
    const char *option, *value, *message;
    int32_t *setting;
    int32_t code;
};

// Every keyword with its code: the code is the keyword's position, never the
// number it spells (-lc 128 stores 2, -q 421 stores 1).
const keyword_case keyword_cases[] = {
    { "-s", "on", "serpentine scaning on", &serpentine, 1 },
    { "-s", "off", "serpentine scaning off", &serpentine, 0 },
    { "-q", "111", "quantisatiion weighting coefficients 111", &quant_weighting_coefficients, 0 },
    { "-q", "421", "quantisatiion weighting coefficients 421", &quant_weighting_coefficients, 1 },
    { "-q", "721", "quantisatiion weighting coefficients 721", &quant_weighting_coefficients, 2 },
    { "-q", "631", "quantisatiion weighting coefficients 631", &quant_weighting_coefficients, 3 },
    { "-q", "1113", "quantisatiion weighting coefficients 1113", &quant_weighting_coefficients, 4 },
    { "-q", "2417", "quantisatiion weighting coefficients 2417", &quant_weighting_coefficients, 5 },
    { "-e", "pow2", "quantisation error finding algorithm pow2", &quant_error_finding_algorithm, 0 },
    { "-e", "sum", "quantisation error finding algorithm sum", &quant_error_finding_algorithm, 1 },
    { "-e", "pow2m421", "quantisation error finding algorithm pow2m421", &quant_error_finding_algorithm, 2 },
    { "-e", "pow421", "quantisation error finding algorithm pow421", &quant_error_finding_algorithm, 3 },
    { "-e", "pow532", "quantisation error finding algorithm pow532", &quant_error_finding_algorithm, 4 },
    { "-e", "pow2m1113", "quantisation error finding algorithm pow2m1113", &quant_error_finding_algorithm, 5 },
    { "-lmx", "on", "limit max on", &max_limit, 1 },
    { "-lmx", "off", "limit max off", &max_limit, 0 },
    { "-lmn", "on", "limit min on", &min_limit, 1 },
    { "-lmn", "off", "limit min off", &min_limit, 0 },
    { "-g", "srgb", "srgb gamma selected", &RGB_gamma, 1 },
    { "-g", "linear", "rgb linear gamma selected", &RGB_gamma, 0 },
    { "-pp", "circle", "pre processing circle", &pre_processing_algorithm, 1 },
    { "-pp", "off", "pre processing off", &pre_processing_algorithm, 0 },
    { "-ppw", "round", "pre processing window round", &pre_processing_window, 0 },
    { "-ppw", "cross", "pre processing window cross", &pre_processing_window, 1 },
    { "-ppw", "square", "pre processing window square", &pre_processing_window, 2 },
    { "-c", "rgb", "RGB color space selected", &color_space, 0 },
    { "-c", "cmyk", "CMYK color space selected", &color_space, 1 },
    { "-c", "rgbcmyk", "rgbcmyk color space selected", &color_space, 2 },
    { "-c", "yuv", "YUV color space selected", &color_space, 3 },
    { "-c", "rgbyuv", "rgbyuv color space selected", &color_space, 4 },
    { "-c", "cmy", "CMY color space selected", &color_space, 5 },
    { "-c", "cmyk2", "CMYK2 color space selected", &color_space, 6 },
    { "-lc", "off", "level compress off", &level_compress, 0 },
    { "-lc", "85", "level compress 85", &level_compress, 1 },
    { "-lc", "128", "level compress 128", &level_compress, 2 },
    { "-lc", "170", "level compress 170", &level_compress, 3 },
    { "-z", "on", "png compression on", &png_compression, 1 },
    { "-z", "off", "png compression off", &png_compression, 0 },
};

}  // namespace

// A first value of 7 that no keyword stores shows that every code, the
// default's too, is really written.
TEST(driver, every_keyword_stores_its_code_and_prints_its_line)
{
    for (const keyword_case &k : keyword_cases) {
        driver_run r = run({ k.option, k.value });
        *k.setting = 7;
        r = run({ k.option, k.value, "f.png" });
        EXPECT_EQ(r.output, std::string(k.option) + " - " + k.message + "\nf.png - ") << k.value;
        EXPECT_EQ(*k.setting, k.code) << k.option << " " << k.value;
    }
}

TEST(driver, colour_space_and_channel_count_change_together)
{
    const int32_t channels[] = { 3, 4, 7, 3, 6, 3, 4 };
    const char *names[] = { "rgb", "cmyk", "rgbcmyk", "yuv", "rgbyuv", "cmy", "cmyk2" };
    for (int code = 0; code < 7; ++code) {
        run({ "-c", "rgbcmyk", "-c", names[code], "f.png" });
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].color_space, code);
        EXPECT_EQ(calls[0].channels_used, channels[code]) << names[code];
    }
}

// Keywords are matched exactly: other cases and unknown values change nothing.
TEST(driver, unknown_values_change_nothing_and_print_nothing)
{
    driver_run r = run({ "-c", "RGB", "-s", "ON", "-w", "linear", "-lc", "127", "f.png" });
    EXPECT_EQ(r.output, "-c - -s - -w - -lc - f.png - ");
    EXPECT_EQ(serpentine, 0);
    EXPECT_EQ(level_compress, 0);
    EXPECT_EQ(calls.at(0).color_space, 0);
    EXPECT_EQ(calls[0].right[6], 0.4375f);  // floyd, the default
}

// Each -w keyword installs the tables of its selector (checked by hand in
// windows_test), over whatever window came before.
TEST(driver, window_selectors_install_their_window)
{
    const struct { const char *keyword, *message; void (*select)(); } windows[] = {
        { "floyd", "floyd window selected", select_floyd_window },
        { "round", "round window selected", select_round_window },
        { "x", "x window selected", select_x_window },
        { "linear_x", "linear x window selected", select_linear_x_window },
        { "linear_y", "linear y window selected", select_linear_y_window },
        { "linear_x_y", "linear x y window selected", select_linear_x_y_window },
        { "dot", "dot window selected", select_dot_window },
    };
    for (const auto &w : windows) {
        driver_run r = run({ "-w", "x", "-w", w.keyword, "f.png" });
        EXPECT_EQ(r.output, std::string("-w - x window selected\n-w - ") + w.message + "\nf.png - ");
        w.select();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(std::memcmp(calls[0].right, wind_r, sizeof wind_r), 0) << w.keyword;
        EXPECT_EQ(std::memcmp(calls[0].left, wind_l, sizeof wind_l), 0) << w.keyword;
    }
}

TEST(driver, settings_carry_from_one_file_to_the_next)
{
    driver_run r = run({ "a.png", "-w", "x", "-c", "cmyk", "b.png", "-d", "0.5", "c.png", "-w", "floyd" });
    EXPECT_EQ(r.output, "a.png - -w - x window selected\n-c - CMYK color space selected\nb.png - "
                        "-d - diffusion level 0.500000\nc.png - -w - floyd window selected\n");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].color_space, 0);
    EXPECT_EQ(calls[0].right[9], 0.0625f);
    EXPECT_EQ(calls[1].color_space, 1);
    EXPECT_EQ(calls[1].right[9], 0.5f);
    EXPECT_EQ(calls[1].coefficient, 1.0f);
    EXPECT_EQ(calls[2].color_space, 1);
    EXPECT_EQ(calls[2].right[9], 0.5f);
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

// The palette path and the -fpa value are printed with %s on lines of their own.
TEST(driver, palette_path_and_fixed_palette_array)
{
    driver_run r = run({ "-p", "-odd name.act", "a.png", "-fpa", "off", "-fpa", "100%", "-p", "b.act", "b.png" });
    EXPECT_EQ(r.output, "-p - custom palette\n-odd name.act\na.png - -fpa - fixed palette array off\n"
                        "-fpa - fixed palette array\n100%\n-p - custom palette\nb.act\nb.png - ");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].palette, "-odd name.act");
    EXPECT_EQ(calls[1].palette, "b.act");
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
