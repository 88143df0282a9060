// The argument loop, run in-process against a stand-in for the engine that
// records what it was handed and the settings it would have read.
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
    std::string path;
    int32_t color_space, channels_used, RGB_gamma, quant_error_finding_algorithm,
        quant_weighting_coefficients, serpentine, max_limit, min_limit, level_compress,
        pre_processing_algorithm, pre_processing_window, pre_processing_pass;
    float coefficient, max_level, min_level;
    std::string palette;
    float right[10], left[10];
};

std::vector<engine_call> calls;

struct driver_run {
    int status;
    std::string output;  // after the banner block
};

const std::string banner = "\nTessaly d0044 by Vorlane\n\n";

driver_run run(std::vector<std::string> arguments)
{
    calls.clear();
    arguments.insert(arguments.begin(), "tessaly");
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(&argument[0]);
    stdout_capture capture;
    int status = run_driver(static_cast<int>(argv.size()), argv.data());
    std::string output = capture.finish();
    EXPECT_EQ(output.compare(0, banner.size(), banner), 0) << output;
    return { status, output.substr(banner.size()) };
}

}  // namespace

// The engine stand-in: a path containing "fail" counts as a failed file.
void ditherer()
{
    engine_call call{};
    call.path = arguments_buffer;
    call.color_space = color_space;
    call.channels_used = channels_used;
    call.RGB_gamma = RGB_gamma;
    call.quant_error_finding_algorithm = quant_error_finding_algorithm;
    call.quant_weighting_coefficients = quant_weighting_coefficients;
    call.serpentine = serpentine;
    call.max_limit = max_limit;
    call.min_limit = min_limit;
    call.level_compress = level_compress;
    call.pre_processing_algorithm = pre_processing_algorithm;
    call.pre_processing_window = pre_processing_window;
    call.pre_processing_pass = pre_processing_pass;
    call.coefficient = coefficient;
    call.max_level = max_level;
    call.min_level = min_level;
    call.palette = palette_path_buffer;
    std::memcpy(call.right, wind_r, sizeof wind_r);
    std::memcpy(call.left, wind_l, sizeof wind_l);
    calls.push_back(call);
    if (call.path.find("fail") != std::string::npos)
        ++failed_files;
}

TEST(driver, defaults_reach_the_first_file)
{
    driver_run r = run({ "a.png" });
    EXPECT_EQ(r.output, "a.png - ");
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(calls.size(), 1u);
    const engine_call &c = calls[0];
    EXPECT_EQ(c.path, "a.png");
    EXPECT_EQ(c.color_space, 0);
    EXPECT_EQ(c.channels_used, 3);
    EXPECT_EQ(c.RGB_gamma, 0);
    EXPECT_EQ(c.quant_error_finding_algorithm, 0);
    EXPECT_EQ(c.quant_weighting_coefficients, 0);
    EXPECT_EQ(c.serpentine, 0);
    EXPECT_EQ(c.max_limit, 0);
    EXPECT_EQ(c.min_limit, 0);
    EXPECT_EQ(c.level_compress, 0);
    EXPECT_EQ(c.pre_processing_algorithm, 0);
    EXPECT_EQ(c.pre_processing_window, 0);
    EXPECT_EQ(c.pre_processing_pass, 5);
    EXPECT_EQ(c.coefficient, 1.0f);
    EXPECT_EQ(c.max_level, 1.0f);
    EXPECT_EQ(c.min_level, 0.0f);
    EXPECT_EQ(c.palette, "palette.act");
    EXPECT_EQ(c.right[6], 0.4375f);  // floyd
    EXPECT_EQ(c.left[4], 0.4375f);
}

namespace {

struct keyword_case {
    const char *option;
    const char *value;
    const char *message;
    int32_t engine_call::*setting;
    int32_t code;
};

const keyword_case keyword_cases[] = {
    { "-s", "on", "serpentine scaning on", &engine_call::serpentine, 1 },
    { "-s", "off", "serpentine scaning off", &engine_call::serpentine, 0 },
    { "-q", "111", "quantisatiion weighting coefficients 111", &engine_call::quant_weighting_coefficients, 0 },
    { "-q", "421", "quantisatiion weighting coefficients 421", &engine_call::quant_weighting_coefficients, 1 },
    { "-q", "721", "quantisatiion weighting coefficients 721", &engine_call::quant_weighting_coefficients, 2 },
    { "-q", "631", "quantisatiion weighting coefficients 631", &engine_call::quant_weighting_coefficients, 3 },
    { "-q", "1113", "quantisatiion weighting coefficients 1113", &engine_call::quant_weighting_coefficients, 4 },
    { "-q", "2417", "quantisatiion weighting coefficients 2417", &engine_call::quant_weighting_coefficients, 5 },
    { "-e", "pow2", "quantisation error finding algorithm pow2", &engine_call::quant_error_finding_algorithm, 0 },
    { "-e", "sum", "quantisation error finding algorithm sum", &engine_call::quant_error_finding_algorithm, 1 },
    { "-e", "pow2m421", "quantisation error finding algorithm pow2m421", &engine_call::quant_error_finding_algorithm, 2 },
    { "-e", "pow421", "quantisation error finding algorithm pow421", &engine_call::quant_error_finding_algorithm, 3 },
    { "-e", "pow532", "quantisation error finding algorithm pow532", &engine_call::quant_error_finding_algorithm, 4 },
    { "-e", "pow2m1113", "quantisation error finding algorithm pow2m1113", &engine_call::quant_error_finding_algorithm, 5 },
    { "-lmx", "on", "limit max on", &engine_call::max_limit, 1 },
    { "-lmx", "off", "limit max off", &engine_call::max_limit, 0 },
    { "-lmn", "on", "limit min on", &engine_call::min_limit, 1 },
    { "-lmn", "off", "limit min off", &engine_call::min_limit, 0 },
    { "-g", "srgb", "srgb gamma selected", &engine_call::RGB_gamma, 1 },
    { "-g", "linear", "rgb linear gamma selected", &engine_call::RGB_gamma, 0 },
    { "-pp", "circle", "pre processing circle", &engine_call::pre_processing_algorithm, 1 },
    { "-pp", "off", "pre processing off", &engine_call::pre_processing_algorithm, 0 },
    { "-ppw", "round", "pre processing window round", &engine_call::pre_processing_window, 0 },
    { "-ppw", "cross", "pre processing window cross", &engine_call::pre_processing_window, 1 },
    { "-ppw", "square", "pre processing window square", &engine_call::pre_processing_window, 2 },
    { "-c", "rgb", "RGB color space selected", &engine_call::color_space, 0 },
    { "-c", "cmyk", "CMYK color space selected", &engine_call::color_space, 1 },
    { "-c", "rgbcmyk", "rgbcmyk color space selected", &engine_call::color_space, 2 },
    { "-c", "yuv", "YUV color space selected", &engine_call::color_space, 3 },
    { "-c", "rgbyuv", "rgbyuv color space selected", &engine_call::color_space, 4 },
    { "-c", "cmy", "CMY color space selected", &engine_call::color_space, 5 },
    { "-c", "cmyk2", "CMYK2 color space selected", &engine_call::color_space, 6 },
    { "-lc", "off", "level compress off", &engine_call::level_compress, 0 },
    { "-lc", "85", "level compress 85", &engine_call::level_compress, 1 },
    { "-lc", "128", "level compress 128", &engine_call::level_compress, 2 },
    { "-lc", "170", "level compress 170", &engine_call::level_compress, 3 },
};

}  // namespace

TEST(driver, every_keyword_stores_its_code_and_prints_its_line)
{
    for (const keyword_case &k : keyword_cases) {
        // A first value that differs from the default, so a code equal to the
        // default is really written by the second.
        std::vector<std::string> arguments = { k.option, k.value, "f.png" };
        driver_run r = run(arguments);
        EXPECT_EQ(r.output, std::string(k.option) + " - " + k.message + "\nf.png - ") << k.option << " " << k.value;
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].*k.setting, k.code) << k.option << " " << k.value;
    }
}

TEST(driver, a_keyword_back_to_its_default_overrides_an_earlier_one)
{
    run({ "-lc", "170", "-lc", "off", "-s", "on", "-s", "off", "-q", "2417", "-q", "111", "f.png" });
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].level_compress, 0);
    EXPECT_EQ(calls[0].serpentine, 0);
    EXPECT_EQ(calls[0].quant_weighting_coefficients, 0);
}

TEST(driver, colour_space_and_channel_count_change_together)
{
    const int32_t channels[] = { 3, 4, 7, 3, 6, 3, 4 };
    const char *names[] = { "rgb", "cmyk", "rgbcmyk", "yuv", "rgbyuv", "cmy", "cmyk2" };
    for (int code = 0; code < 7; ++code) {
        run({ "-c", "rgbcmyk", "-c", names[code], "f.png" });
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].color_space, code);
        EXPECT_EQ(calls[0].channels_used, channels[code]);
    }
}

TEST(driver, keywords_are_codes_not_the_numbers_they_spell)
{
    run({ "-lc", "128", "-q", "421", "f.png" });
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].level_compress, 2);
    EXPECT_EQ(calls[0].quant_weighting_coefficients, 1);
}

TEST(driver, unknown_values_and_other_cases_change_nothing_and_print_nothing)
{
    driver_run r = run({ "-c", "RGB", "-s", "ON", "-w", "linear", "-lc", "127", "-c", "srgb", "f.png" });
    EXPECT_EQ(r.output, "-c - -s - -w - -lc - -c - f.png - ");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].color_space, 0);
    EXPECT_EQ(calls[0].serpentine, 0);
    EXPECT_EQ(calls[0].level_compress, 0);
    EXPECT_EQ(calls[0].right[6], 0.4375f);
}

TEST(driver, window_selectors_install_their_window)
{
    struct {
        const char *keyword, *message;
        float right_6, right_7, right_8, left_4;
    } const windows[] = {
        { "floyd", "floyd window selected", 0.4375f, 0.1875f, 0.3125f, 0.4375f },
        { "round", "round window selected", 0.316519558f, 0.183480456f, 0.316519558f, 0.316519558f },
        { "x", "x window selected", 0, 0.5f, 0, 0 },
        { "linear_x", "linear x window selected", 1, 0, 0, 1 },
        { "linear_y", "linear y window selected", 0, 0, 1, 0 },
        { "linear_x_y", "linear x y window selected", 0.5f, 0, 0.5f, 0.5f },
        { "dot", "dot window selected", 0, 0, 0, 0 },
    };
    for (const auto &w : windows) {
        driver_run r = run({ "-w", "round", "-w", w.keyword, "f.png" });
        EXPECT_EQ(r.output, std::string("-w - round window selected\n-w - ") + w.message + "\nf.png - ");
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].right[6], w.right_6) << w.keyword;
        EXPECT_EQ(calls[0].right[7], w.right_7) << w.keyword;
        EXPECT_EQ(calls[0].right[8], w.right_8) << w.keyword;
        EXPECT_EQ(calls[0].left[4], w.left_4) << w.keyword;
    }
}

TEST(driver, settings_carry_from_one_file_to_the_next)
{
    driver_run r = run({ "a.png", "-w", "x", "-c", "cmyk", "b.png", "-d", "0.5", "c.png", "-w", "floyd" });
    EXPECT_EQ(r.output,
              "a.png - -w - x window selected\n-c - CMYK color space selected\nb.png - "
              "-d - diffusion level 0.500000\nc.png - -w - floyd window selected\n");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].color_space, 0);
    EXPECT_EQ(calls[0].right[6], 0.4375f);
    EXPECT_EQ(calls[1].color_space, 1);
    EXPECT_EQ(calls[1].channels_used, 4);
    EXPECT_EQ(calls[1].right[9], 0.5f);
    EXPECT_EQ(calls[1].coefficient, 1.0f);
    EXPECT_EQ(calls[2].color_space, 1);
    EXPECT_EQ(calls[2].right[9], 0.5f);
    EXPECT_EQ(calls[2].coefficient, 0.5f);
}

TEST(driver, numbers_are_parsed_like_atof_and_shown_as_parsed)
{
    driver_run r = run({ "-d", "0.97", "-mxl", "2.5", "-mnl", "-0.25", "-ppc", "2.9", "f.png" });
    EXPECT_EQ(r.output,
              "-d - diffusion level 0.970000\n-mxl - max level 2.500000\n-mnl - min level -0.250000\n"
              "-ppc - pre processing 2 pass\nf.png - ");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].coefficient, 0.97f);
    EXPECT_EQ(calls[0].max_level, 2.5f);
    EXPECT_EQ(calls[0].min_level, -0.25f);
    EXPECT_EQ(calls[0].pre_processing_pass, 2);

    r = run({ "-d", "abc", "-ppc", "-3", "f.png", "-ppc", "0", "g.png", "-ppc", "1e12", "h.png" });
    EXPECT_EQ(r.output,
              "-d - diffusion level 0.000000\n-ppc - pre processing -3 pass\nf.png - "
              "-ppc - pre processing 0 pass\ng.png - -ppc - pre processing 2147483647 pass\nh.png - ");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].coefficient, 0.0f);
    EXPECT_EQ(calls[0].pre_processing_pass, -3);
    EXPECT_EQ(calls[1].pre_processing_pass, 0);
    EXPECT_EQ(calls[2].pre_processing_pass, 2147483647);

    // The message shows the double; the setting holds its float.
    r = run({ "-d", "0.1234567891", "f.png" });
    EXPECT_EQ(r.output, "-d - diffusion level 0.123457\nf.png - ");
    EXPECT_EQ(calls[0].coefficient, 0.1234567891f);
}

TEST(driver, palette_path_and_fixed_palette_array)
{
    driver_run r = run({ "-p", "-odd name.act", "a.png", "-fpa", "off", "-fpa", "100%", "-p", "b.act", "b.png" });
    EXPECT_EQ(r.output,
              "-p - custom palette\n-odd name.act\na.png - -fpa - fixed palette array off\n"
              "-fpa - fixed palette array\n100%\n-p - custom palette\nb.act\nb.png - ");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].palette, "-odd name.act");
    EXPECT_EQ(calls[1].palette, "b.act");
}

TEST(driver, option_without_value_ends_the_run_with_its_echo_open)
{
    driver_run r = run({ "-c" });
    EXPECT_EQ(r.output, "-c - ");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(calls.empty());

    r = run({ "a.png", "-w", "x", "b.png", "-d" });
    EXPECT_EQ(r.output, "a.png - -w - x window selected\nb.png - -d - ");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(calls.size(), 2u);
}

TEST(driver, misspelt_option_and_its_value_are_taken_for_files)
{
    driver_run r = run({ "-lmm", "on" });
    EXPECT_EQ(r.output, "-lmm - on - ");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].path, "-lmm");
    EXPECT_EQ(calls[1].path, "on");
}

TEST(driver, percent_signs_are_echoed_exactly)
{
    driver_run r = run({ "100%.png", "%s%d%n" });
    EXPECT_EQ(r.output, "100%.png - %s%d%n - ");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].path, "100%.png");
}

TEST(driver, arguments_longer_than_8191_characters_are_refused)
{
    std::string longest(8191, 'a'), too_long(8192, 'b');
    driver_run r = run({ longest });
    EXPECT_EQ(r.output, longest + " - ");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].path, longest);
    EXPECT_EQ(r.status, 0);

    r = run({ too_long, "a.png" });
    EXPECT_EQ(r.output, too_long + " - argument to long\na.png - ");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].path, "a.png");
    EXPECT_EQ(r.status, 1);

    // An option with a value too long is dropped together with its value.
    r = run({ "-p", too_long, "-p", longest, "a.png" });
    EXPECT_EQ(r.output, "-p - argument to long\n-p - custom palette\n" + longest + "\na.png - ");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].palette, longest);
    EXPECT_EQ(r.status, 1);
}

TEST(driver, exit_status_reports_failed_files)
{
    driver_run r = run({ "a.png", "fail.png", "b.png" });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(calls.size(), 3u);

    // A missing value after a failure does not hide the failure.
    r = run({ "fail.png", "-w" });
    EXPECT_EQ(r.status, 1);

    r = run({ "a.png", "b.png" });
    EXPECT_EQ(r.status, 0);
}
