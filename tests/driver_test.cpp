// The argument loop, run in-process against a stand-in for the engine that
// records each file with every setting it was handed. The lines every
// keyword prints are checked byte for byte by the transcript test.
#include "driver/driver.h"
#include "driver/options.h"
#include "settings/run_report.h"
#include "settings/settings.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Every setting a file is dithered with, by the option that writes it.
const struct setting_row { const char *option; int32_t *code; float *level = nullptr; char *text = nullptr; } settings_read[] = {
    { "-p", nullptr, nullptr, palette_path_buffer }, { "-o", nullptr, nullptr, output_folder_buffer },
    { "-po", nullptr, nullptr, output_palette_buffer },
    { "-w", &diffusion_window }, { "-s", &serpentine }, { "-d", nullptr, &coefficient },
    { "-q", &quant_weighting_coefficients }, { "-e", &quant_error_finding_algorithm }, { "-lmx", &max_limit },
    { "-lmn", &min_limit }, { "-mxl", nullptr, &max_level }, { "-mnl", nullptr, &min_level }, { "-g", &RGB_gamma },
    { "-pp", &pre_processing_algorithm }, { "-ppw", &pre_processing_window }, { "-ppc", &pre_processing_pass },
    { "-c", &color_space }, { "-lc", &level_compress }, { "-z", &png_compression }, { "-a", &alpha_threshold },
};

std::string value_of(const setting_row &s)
{
    char number[32];
    if (s.code)
        std::snprintf(number, sizeof number, "%d", *s.code);
    else if (s.level)
        std::snprintf(number, sizeof number, "%.9g", *s.level);
    return s.text ? s.text : number;
}

std::vector<std::string> defaults, calls;

// Each call as a command line: the path, then every setting that is not its
// default with the code or value stored. A path containing "fail" counts as
// a failed file.
void record_call()
{
    std::string call = arguments_buffer;
    for (size_t i = 0; i < std::size(settings_read); ++i)
        if (value_of(settings_read[i]) != defaults[i])
            call += std::string(" ") + settings_read[i].option + " " + value_of(settings_read[i]);
    calls.push_back(call);
    if (call.find("fail") != std::string::npos)
        ++failed_files;
}

}  // namespace

// Rows of a command line, the lines it prints after the banner ("": the
// transcript test's), its status and the calls it makes.
TEST(driver, arguments_give_their_lines_settings_and_status)
{
    const std::string longest(8191, 'a'), too_long(8192, 'b');
    const struct {
        std::vector<std::string> arguments;
        std::string output;
        int status;
        std::vector<std::string> calls;
    } rows[] = {
        // A keyword stores its position in its table, never the number it
        // spells (-q 2417 stores 5, -lc 128 stores 2), in its own setting.
        { { "-s", "on", "-q", "2417", "-e", "pow2m1113", "-lmx", "on", "-lmn", "on", "-g", "srgb", "-pp", "circle",
            "-ppw", "square", "-c", "cmyk2", "-lc", "128", "-w", "linear_x_y", "-z", "on", "-a", "128", "f.png" },
          "", 0,
          { "f.png -w 5 -s 1 -q 5 -e 5 -lmx 1 -lmn 1 -g 1 -pp 1 -ppw 2 -c 6 -lc 2 -z 1 -a 128" } },
        { { "-q", "421", "-e", "pow421", "-lmx", "on", "-lmx", "off", "-z", "on", "-z", "off", "-a", "9", "-a", "off",
            "-w", "x", "-w", "floyd", "f.png" },
          "", 0, { "f.png -q 1 -e 3" } },
        // Keywords are matched exactly: other cases and unknown values
        // (alpha 0 and 256 among them) change nothing and print nothing.
        { { "-c", "cmyk", "-c", "RGB", "-s", "ON", "-w", "linear", "-lc", "127", "-a", "0", "-a", "256", "f.png" },
          "-c - CMYK color space selected\n-c - -s - -w - -lc - -a - -a - f.png - ", 0, { "f.png -c 1" } },
        // Settings carry from one file to the next.
        { { "a.png", "-w", "x", "-c", "cmyk", "b.png", "-d", "0.5", "c.png", "-w", "floyd" },
          "a.png - -w - x window selected\n-c - CMYK color space selected\nb.png - -d - diffusion level 0.500000\n"
          "c.png - -w - floyd window selected\n",
          0, { "a.png", "b.png -w 2 -c 1", "c.png -w 2 -d 0.5 -c 1" } },
        // atof and a %f of the parsed double; -ppc truncates toward zero and
        // saturates; the setting holds the double rounded to float.
        { { "-d", "0.1234567891", "-mxl", "2.5", "-mnl", "-0.25", "-ppc", "2.9", "f.png", "-d", "abc", "-ppc", "-3.7",
            "g.png", "-ppc", "1e12", "h.png" },
          "-d - diffusion level 0.123457\n-mxl - max level 2.500000\n-mnl - min level -0.250000\n"
          "-ppc - pre processing 2 pass\nf.png - -d - diffusion level 0.000000\n"
          "-ppc - pre processing -3 pass\ng.png - -ppc - pre processing 2147483647 pass\nh.png - ",
          0,
          { "f.png -d 0.123456791 -mxl 2.5 -mnl -0.25 -ppc 2", "g.png -d 0 -mxl 2.5 -mnl -0.25 -ppc -3",
            "h.png -d 0 -mxl 2.5 -mnl -0.25 -ppc 2147483647" } },
        // Paths and the -fpa value are printed with %s on lines of their own;
        // "" and "off" put outputs beside their inputs again, and the output
        // palette back to -p's.
        { { "-p", "-odd name.act", "-o", "out", "-po", "#000 #fff", "a.png", "-fpa", "off", "-fpa", "100%", "-p",
            "b.act", "-o", "off", "-po", "off", "b.png", "-o", "%s/", "-po", "%s.hex", "c.png", "-o", "", "-po", "",
            "d.png" },
          "-p - custom palette\n-odd name.act\n-o - output folder\nout\n-po - output palette\n#000 #fff\n"
          "a.png - -fpa - fixed palette array off\n-fpa - fixed palette array\n100%\n-p - custom palette\nb.act\n"
          "-o - output folder off\n-po - output palette off\nb.png - -o - output folder\n%s/\n"
          "-po - output palette\n%s.hex\nc.png - -o - output folder off\n-po - output palette off\nd.png - ",
          0,
          { "a.png -p -odd name.act -o out -po #000 #fff", "b.png -p b.act", "c.png -p b.act -o %s/ -po %s.hex",
            "d.png -p b.act" } },
        // Arguments the loop does not know are files, whatever they look
        // like; a '%' in them must not reach printf as a format.
        { { "-lmm", "on", "100%.png", "%s%d%n" }, "-lmm - on - 100%.png - %s%d%n - ", 0,
          { "-lmm", "on", "100%.png", "%s%d%n" } },
        // 8191 characters pass, 8192 are refused, as a file and as an option
        // value (dropped with its option); a refusal makes the status 1.
        { { longest }, longest + " - ", 0, { longest } },
        { { too_long, "-p", too_long, "-p", longest, "a.png" },
          too_long + " - argument to long\n-p - argument to long\n-p - custom palette\n" + longest + "\na.png - ", 1,
          { "a.png -p " + longest } },
        // A failed file makes the status 1, a missing value does not hide it.
        { { "a.png", "fail.png", "b.png" }, "a.png - fail.png - b.png - ", 1, { "a.png", "fail.png", "b.png" } },
        { { "fail.png", "-w" }, "fail.png - -w - ", 1, { "fail.png" } },
        // An option without a value ends the run with its echo open; the
        // failures of the run before count for nothing.
        { { "a.png", "-w", "x", "b.png", "-d" }, "a.png - -w - x window selected\nb.png - -d - ", 0,
          { "a.png", "b.png -w 2" } },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE("row " + std::to_string(&row - rows));
        std::vector<std::string> arguments = row.arguments;
        arguments.insert(arguments.begin(), "tessaly");
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(&argument[0]);
        set_default_settings();
        defaults.clear();
        for (const setting_row &s : settings_read)
            defaults.push_back(value_of(s));
        calls.clear();
        stdout_capture capture;
        const int status = run_driver(static_cast<int>(argv.size()), argv.data(), record_call);
        const std::string output = capture.finish();
        EXPECT_EQ(output.substr(0, banner.size()), banner);
        if (!row.output.empty()) {
            EXPECT_EQ(output.substr(banner.size()), row.output);
        }
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(calls, row.calls);
    }
}

// What a caller of the option table sees without a transcript: whether the
// value was taken; a refused one shows nothing and changes no setting.
TEST(driver, options_say_whether_their_value_was_taken)
{
    const std::string too_long(8192, '1');
    const struct { const char *name; std::string value; bool known, accepted; } rows[] = {
        { "-w", "bayer8", true, true }, { "-w", "Floyd", true, false }, { "-c", "srgb", true, false },
        { "-q", "2417", true, true }, { "-e", "pow3", true, false }, { "-lc", "127", true, false },
        { "-a", "255", true, true }, { "-a", "0", true, false }, { "-a", "256", true, false },
        { "-a", "1x", true, false }, { "-d", "abc", true, true }, { "-ppc", "", true, true },
        { "-fpa", "x", true, true }, { "-o", "", true, true }, { "-p", too_long, true, false },
        { "--help", "", false, false }, { "f.png", "-w", false, false },
    };
    for (const auto &row : rows) {
        set_default_settings();
        std::strcpy(output_folder_buffer, "out");
        std::vector<std::string> before;
        for (const setting_row &s : settings_read)
            before.push_back(value_of(s));
        const option_outcome outcome = apply_option(row.name, row.value.c_str());
        EXPECT_EQ(outcome.known, row.known) << row.name << " " << row.value.substr(0, 9);
        EXPECT_EQ(outcome.accepted, row.accepted) << row.name << " " << row.value.substr(0, 9);
        EXPECT_EQ(outcome.lines.empty(), !row.accepted) << row.name;
        std::vector<std::string> after;
        for (const setting_row &s : settings_read)
            after.push_back(value_of(s));
        EXPECT_EQ(after != before, row.accepted && row.name != std::string("-fpa")) << row.name;
    }
}
