#include "driver/driver.h"

#include "driver/report.h"
#include "driver/settings.h"
#include "engine/windows.h"
#include "platform/platform.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The usage text is the program's own and scripts may match it: it keeps its
// spellings, its Windows examples, the "-lmm" that means -lmn and the
// "-c srgb" example that -c does not accept.
const char usage_text[] = R"(RTFM NOW! or how to make PROFIT

Tessaly.exe "C:\image.bmp"
Tessaly.exe -c srgb -w round -d 0.97 image.png
Tessaly.exe img1.png img2.jpg -w x "C:\img3.bmp" - batch processing
or drag n drop all files on Tessaly.exe

RGB gamma
-g linear (default)
-g srgb - non linear color space, produce photoshop like gamma error

color space
-c rgb (default)
-c cmyk
-c rgbcmyk
-c yuv
-c rgbyuv
-c cmy
-c cmyk2

dithering window type
-w floyd (default)
-w round
-w x
-w linear_x
-w linear_y
-w linear_x_y
-w dot - no dither -d 0 like

diffusion level
-d 0...0.5...1 (1 default)

serpentine scaning
-s off (default)
-s on

quantisation weighting coefficients
-q 111 - 1G : 1R : 1B (default)
RGB color space only
-q 421 - 4G : 2R : 1B for BW images, may "error flow"
-q 721 - 0.7152G : 0.2126R : 0.0722B from imageworsener, may "error flow"
-q 631 - 0.587G : 0.299R : 0.114B may "error flow"
CMYK color space only
-q 1113 - 1C : 1M : 1Y : 3K
-q 2417 - 2C : 4M : 1Y : 7K

quantisation error finding algorithm
-e pow2 (default)
-e sum
RGB color space only
-e pow421
-e pow532
-e pow2m421 (good for BW palette)
CMYK color space only
-e pow2m1113

limits
-lmx off - max unlimited (default)
-lmx on - max limit 1 (reduce "error flow")
-lmn off - min unlimited (default)
-lmm on - min limit 0
-mxl 0...100500 - max level (1=255)
-mnl -100500...0 - min level

level compress (post gamma correction)
-lc off - max level = 255 (default)
-lc 85 - max level = 85 (for white less RGB pal)
-lc 128 - max level 128 (for white less B+Y || R+C || M+G pal)
-lc 170 - max level 170 (for white less CMY pal)

custom palette
-p pal.act (palette.act default)
-p "C:\cga.act"

pre processing
-pp off (default)
-pp circle (good with -d 0)

pre processing window
-ppw round (default)
-ppw cross
-ppw square

pre processing pass count
-ppc 1...100500 (5 default)

)";

// A keyword of an option, the code it stores and the line it prints. The
// messages keep their historical spellings ("scaning", "quantisatiion").
struct keyword_row {
    const char *keyword;
    int32_t code;
    const char *message;
};

const keyword_row off_on_serpentine[] = {
    { "off", 0, "serpentine scaning off" },
    { "on", 1, "serpentine scaning on" },
    { nullptr, 0, nullptr },
};

const keyword_row off_on_limit_max[] = {
    { "off", 0, "limit max off" },
    { "on", 1, "limit max on" },
    { nullptr, 0, nullptr },
};

const keyword_row off_on_limit_min[] = {
    { "off", 0, "limit min off" },
    { "on", 1, "limit min on" },
    { nullptr, 0, nullptr },
};

const keyword_row weighting_keywords[] = {
    { "111", 0, "quantisatiion weighting coefficients 111" },
    { "421", 1, "quantisatiion weighting coefficients 421" },
    { "721", 2, "quantisatiion weighting coefficients 721" },
    { "631", 3, "quantisatiion weighting coefficients 631" },
    { "1113", 4, "quantisatiion weighting coefficients 1113" },
    { "2417", 5, "quantisatiion weighting coefficients 2417" },
    { nullptr, 0, nullptr },
};

// The codes follow the order in which the keywords are tested, not the order
// of the usage text.
const keyword_row metric_keywords[] = {
    { "pow2", 0, "quantisation error finding algorithm pow2" },
    { "sum", 1, "quantisation error finding algorithm sum" },
    { "pow2m421", 2, "quantisation error finding algorithm pow2m421" },
    { "pow421", 3, "quantisation error finding algorithm pow421" },
    { "pow532", 4, "quantisation error finding algorithm pow532" },
    { "pow2m1113", 5, "quantisation error finding algorithm pow2m1113" },
    { nullptr, 0, nullptr },
};

const keyword_row gamma_keywords[] = {
    { "linear", 0, "rgb linear gamma selected" },
    { "srgb", 1, "srgb gamma selected" },
    { nullptr, 0, nullptr },
};

const keyword_row pre_processing_keywords[] = {
    { "off", 0, "pre processing off" },
    { "circle", 1, "pre processing circle" },
    { nullptr, 0, nullptr },
};

const keyword_row pre_processing_window_keywords[] = {
    { "round", 0, "pre processing window round" },
    { "cross", 1, "pre processing window cross" },
    { "square", 2, "pre processing window square" },
    { nullptr, 0, nullptr },
};

const keyword_row color_space_keywords[] = {
    { "rgb", color_space_rgb, "RGB color space selected" },
    { "cmyk", color_space_cmyk, "CMYK color space selected" },
    { "rgbcmyk", color_space_rgbcmyk, "rgbcmyk color space selected" },
    { "yuv", color_space_yuv, "YUV color space selected" },
    { "rgbyuv", color_space_rgbyuv, "rgbyuv color space selected" },
    { "cmy", color_space_cmy, "CMY color space selected" },
    { "cmyk2", color_space_cmyk2, "CMYK2 color space selected" },
    { nullptr, 0, nullptr },
};

// The working channels of each colour space, by code.
const int32_t channels_of_color_space[] = { 3, 4, 7, 3, 6, 3, 4 };

// -lc stores codes, never the levels its keywords spell.
const keyword_row level_compress_keywords[] = {
    { "off", 0, "level compress off" },
    { "85", 1, "level compress 85" },
    { "128", 2, "level compress 128" },
    { "170", 3, "level compress 170" },
    { nullptr, 0, nullptr },
};

// -w: the code indexes window_selectors.
const keyword_row window_keywords[] = {
    { "floyd", 0, "floyd window selected" },
    { "round", 1, "round window selected" },
    { "x", 2, "x window selected" },
    { "linear_x", 3, "linear x window selected" },
    { "linear_y", 4, "linear y window selected" },
    { "linear_x_y", 5, "linear x y window selected" },
    { "dot", 6, "dot window selected" },
    { nullptr, 0, nullptr },
};

void (*const window_selectors[])() = {
    select_floyd_window,    select_round_window,      select_x_window,
    select_linear_x_window, select_linear_y_window,   select_linear_x_y_window,
    select_dot_window,
};

// Finds the value among the keywords; a value that is none of them prints
// nothing and changes nothing.
const keyword_row *find_keyword(const keyword_row *keywords, const char *value)
{
    for (const keyword_row *row = keywords; row->keyword; ++row) {
        if (std::strcmp(row->keyword, value) == 0)
            return row;
    }
    return nullptr;
}

struct option_row;
using option_handler = void (*)(const option_row &option, const char *value);

// One option: its name, the keywords it knows (or the printf format of its
// number), the setting it writes, and the handler that ties them together.
struct option_row {
    const char *name;
    option_handler handle;
    const keyword_row *keywords;
    int32_t *code_setting;
    float *level_setting;
    const char *number_format;
};

void handle_keyword(const option_row &option, const char *value)
{
    if (const keyword_row *row = find_keyword(option.keywords, value)) {
        print_line(row->message);
        *option.code_setting = row->code;
    }
}

void handle_color_space(const option_row &option, const char *value)
{
    if (const keyword_row *row = find_keyword(option.keywords, value)) {
        print_line(row->message);
        color_space = row->code;
        channels_used = channels_of_color_space[row->code];
    }
}

void handle_window(const option_row &option, const char *value)
{
    if (const keyword_row *row = find_keyword(option.keywords, value)) {
        print_line(row->message);
        window_selectors[row->code]();
    }
}

// The message shows the number as parsed; the setting holds it as a float.
void handle_level(const option_row &option, const char *value)
{
    double parsed = std::atof(value);
    std::printf(option.number_format, parsed);
    *option.level_setting = static_cast<float>(parsed);
}

// Truncated toward zero; values beyond the 32-bit range are held at its ends
// and a value that is not a number gives 0.
int32_t truncate_to_int32(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 2147483647.0)
        return 2147483647;
    if (value <= -2147483648.0)
        return -2147483647 - 1;
    return static_cast<int32_t>(value);
}

void handle_pass_count(const option_row &option, const char *value)
{
    *option.code_setting = truncate_to_int32(std::atof(value));
    std::printf(option.number_format, *option.code_setting);
}

void handle_palette(const option_row &, const char *value)
{
    std::strcpy(palette_path_buffer, value);
    print_line("custom palette");
    print_line(value);
}

// Accepted for old command lines; it changes nothing.
void handle_fixed_palette_array(const option_row &, const char *value)
{
    if (std::strcmp(value, "off") == 0) {
        print_line("fixed palette array off");
    } else {
        print_line("fixed palette array");
        print_line(value);
    }
}

// In the order in which an argument is compared with the names.
const option_row option_table[] = {
    { "-p", handle_palette, nullptr, nullptr, nullptr, nullptr },
    { "-w", handle_window, window_keywords, nullptr, nullptr, nullptr },
    { "-s", handle_keyword, off_on_serpentine, &serpentine, nullptr, nullptr },
    { "-d", handle_level, nullptr, nullptr, &coefficient, "diffusion level %f\n" },
    { "-q", handle_keyword, weighting_keywords, &quant_weighting_coefficients, nullptr, nullptr },
    { "-e", handle_keyword, metric_keywords, &quant_error_finding_algorithm, nullptr, nullptr },
    { "-lmx", handle_keyword, off_on_limit_max, &max_limit, nullptr, nullptr },
    { "-lmn", handle_keyword, off_on_limit_min, &min_limit, nullptr, nullptr },
    { "-mxl", handle_level, nullptr, nullptr, &max_level, "max level %f\n" },
    { "-mnl", handle_level, nullptr, nullptr, &min_level, "min level %f\n" },
    { "-g", handle_keyword, gamma_keywords, &RGB_gamma, nullptr, nullptr },
    { "-pp", handle_keyword, pre_processing_keywords, &pre_processing_algorithm, nullptr, nullptr },
    { "-ppw", handle_keyword, pre_processing_window_keywords, &pre_processing_window, nullptr, nullptr },
    { "-ppc", handle_pass_count, nullptr, &pre_processing_pass, nullptr, "pre processing %d pass\n" },
    { "-c", handle_color_space, color_space_keywords, nullptr, nullptr, nullptr },
    { "-lc", handle_keyword, level_compress_keywords, &level_compress, nullptr, nullptr },
    { "-fpa", handle_fixed_palette_array, nullptr, nullptr, nullptr, nullptr },
};

const option_row *find_option(const char *argument)
{
    for (const option_row &option : option_table) {
        if (std::strcmp(option.name, argument) == 0)
            return &option;
    }
    return nullptr;
}

// Arguments longer than the path buffers can hold are refused before any copy.
bool too_long(const char *argument)
{
    if (std::strlen(argument) <= static_cast<size_t>(max_argument_length))
        return false;
    print_line("argument to long");
    return true;
}

void print_banner()
{
    std::fputs("\nTessaly d0044 by Vorlane\n\n", stdout);
}

}  // namespace

int run_driver(int argument_count, char **arguments)
{
    platform_prepare_console();
    print_banner();
    if (argument_count < 2) {
        std::fputs(usage_text, stdout);
        platform_pause();
        return 0;
    }

    platform_set_working_directory(arguments[0]);
    set_default_settings();
    select_floyd_window();

    bool refused = false;
    for (int argument_cnt = 1; argument_cnt < argument_count; ++argument_cnt) {
        const char *argument = arguments[argument_cnt];
        std::fputs(argument, stdout);
        std::fputs(" - ", stdout);
        if (too_long(argument)) {
            refused = true;
            continue;
        }
        std::strcpy(arguments_buffer, argument);

        const option_row *option = find_option(arguments_buffer);
        if (!option) {
            ditherer();
            continue;
        }
        // An option in the last place has no value: the run ends here, its
        // echo left without a newline.
        if (++argument_cnt == argument_count)
            break;
        const char *value = arguments[argument_cnt];
        if (too_long(value)) {
            refused = true;
            continue;
        }
        std::strcpy(arguments_buffer, value);
        option->handle(*option, arguments_buffer);
    }
    std::fflush(stdout);
    return (refused || failed_files > 0) ? 1 : 0;
}
