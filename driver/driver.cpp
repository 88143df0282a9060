#include "driver/driver.h"

#include "engine/color_space.h"
#include "engine/metrics.h"
#include "engine/windows.h"
#include "engine/working_image.h"
#include "platform/platform.h"
#include "settings/carried_state.h"
#include "settings/report.h"
#include "settings/settings.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The usage text is the program's own and scripts may match it: it keeps its
// spellings, its Windows examples, the "-lmm" that means -lmn and the
// "-c srgb" example that -c does not accept. The keyword lists of -c, -w and
// -ppw are printed from the engine's tables between its parts.
const char usage_before_color_spaces[] = R"(RTFM NOW! or how to make PROFIT

Tessaly.exe "C:\image.bmp"
Tessaly.exe -c srgb -w round -d 0.97 image.png
Tessaly.exe img1.png img2.jpg -w x "C:\img3.bmp" - batch processing
or drag n drop all files on Tessaly.exe

RGB gamma
-g linear (default)
-g srgb - non linear color space, produce photoshop like gamma error

color space
)";

const char usage_before_windows[] = R"(
dithering window type
)";

const char usage_before_pre_processing_windows[] = R"(
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
-p pico-8 - installed palette by name
-p pal.gpl - GIMP, JASC or RIFF .pal, .hex, paint.net .txt or image palette

output folder
-o off - beside the input file (default)
-o out - into the folder out, same names

png compression
-z off (default)
-z on

alpha threshold (transparency)
-a off - alpha ignored (default)
-a 1...255 - alpha below it is clear, written as the transparent entry

pre processing
-pp off (default)
-pp circle (good with -d 0)

pre processing window
)";

const char usage_after_pre_processing_windows[] = R"(
pre processing pass count
-ppc 1...100500 (5 default)

--help - this text
--version - version

)";

const char *no_note(int32_t) { return ""; }

const char *window_note(int32_t code)
{
    switch (code) {
    case window_dot: return " - no dither -d 0 like";
    case window_atkinson: return " - passes on 3/4 of the error";
    case window_bayer2: return " - ordered, 2x2 pattern";
    case window_bayer4: return " - ordered, 4x4 pattern";
    case window_bayer8: return " - ordered, 8x8 pattern";
    case window_bluenoise: return " - ordered, 64x64 blue noise";
    default: return "";
    }
}

// One line a keyword, the default's marked.
template <typename row_t, size_t count>
void print_keyword_lines(const char *option, const row_t (&rows)[count], int32_t default_code,
                         const char *(*note)(int32_t code) = no_note)
{
    for (const row_t &row : rows)
        std::printf("%s %s%s%s\n", option, row.keyword, row.code == default_code ? " (default)" : "", note(row.code));
}

void print_usage()
{
    set_default_settings();
    std::fputs(usage_before_color_spaces, stdout);
    print_keyword_lines("-c", color_spaces, color_space);
    std::fputs(usage_before_windows, stdout);
    print_keyword_lines("-w", scan_windows, diffusion_window, window_note);
    std::fputs(usage_before_pre_processing_windows, stdout);
    print_keyword_lines("-ppw", pre_processing_windows, pre_processing_window);
    std::fputs(usage_after_pre_processing_windows, stdout);
}

// The keywords of the options whose codes the engine reads without a table
// of its own. The messages keep their historical spellings ("scaning").
struct keyword_row {
    const char *keyword;
    int32_t code;
    const char *message;
};

const keyword_row serpentine_keywords[] = {
    { "off", switch_off, "serpentine scaning off" },
    { "on", switch_on, "serpentine scaning on" },
};

const keyword_row limit_max_keywords[] = {
    { "off", switch_off, "limit max off" },
    { "on", switch_on, "limit max on" },
};

const keyword_row limit_min_keywords[] = {
    { "off", switch_off, "limit min off" },
    { "on", switch_on, "limit min on" },
};

const keyword_row gamma_keywords[] = {
    { "linear", gamma_linear, "rgb linear gamma selected" },
    { "srgb", gamma_srgb, "srgb gamma selected" },
};

const keyword_row pre_processing_keywords[] = {
    { "off", pre_processing_off, "pre processing off" },
    { "circle", pre_processing_circle, "pre processing circle" },
};

const keyword_row compression_keywords[] = {
    { "off", switch_off, "png compression off" },
    { "on", switch_on, "png compression on" },
};

struct option_row;
using option_handler = void (*)(const option_row &option, const char *value);

// One option: its name, the handler that reads its value, the setting it
// writes, and for numbers the printf format of its line.
struct option_row {
    const char *name;
    option_handler handle;
    int32_t *code_setting;
    float *level_setting;
    const char *number_format;
};

// Finds the value among the keywords of a table, the driver's or the
// engine's, and stores the row's code. A value that is none of them prints
// nothing and changes nothing.
template <const auto &rows>
void handle_keyword(const option_row &option, const char *value)
{
    for (const auto &row : rows) {
        if (std::strcmp(row.keyword, value) == 0) {
            print_line(row.message);
            *option.code_setting = row.code;
            return;
        }
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

// -o: "" or "off" puts the outputs beside their inputs again; a folder named
// off is reached as ./off.
void handle_output_folder(const option_row &, const char *value)
{
    if (value[0] == '\0' || std::strcmp(value, "off") == 0) {
        output_folder_buffer[0] = '\0';
        print_line("output folder off");
    } else {
        std::strcpy(output_folder_buffer, value);
        print_line("output folder");
        print_line(value);
    }
}

// "off", or a whole number from 1 to 255 in decimal digits alone; any other
// value, 0 and 256 among them, prints nothing and changes nothing.
void handle_alpha(const option_row &option, const char *value)
{
    if (std::strcmp(value, "off") == 0) {
        print_line("alpha off");
        *option.code_setting = 0;
        return;
    }
    int threshold = 0;
    for (const char *digit = value; *digit; ++digit) {
        if (*digit < '0' || *digit > '9' || threshold > 255)
            return;
        threshold = threshold * 10 + (*digit - '0');
    }
    if (threshold < 1 || threshold > 255)
        return;
    std::printf(option.number_format, threshold);
    *option.code_setting = threshold;
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
    { "-p", handle_palette, nullptr, nullptr, nullptr },
    { "-w", handle_keyword<scan_windows>, &diffusion_window, nullptr, nullptr },
    { "-s", handle_keyword<serpentine_keywords>, &serpentine, nullptr, nullptr },
    { "-d", handle_level, nullptr, &coefficient, "diffusion level %f\n" },
    { "-q", handle_keyword<weightings>, &quant_weighting_coefficients, nullptr, nullptr },
    { "-e", handle_keyword<metrics>, &quant_error_finding_algorithm, nullptr, nullptr },
    { "-lmx", handle_keyword<limit_max_keywords>, &max_limit, nullptr, nullptr },
    { "-lmn", handle_keyword<limit_min_keywords>, &min_limit, nullptr, nullptr },
    { "-mxl", handle_level, nullptr, &max_level, "max level %f\n" },
    { "-mnl", handle_level, nullptr, &min_level, "min level %f\n" },
    { "-g", handle_keyword<gamma_keywords>, &RGB_gamma, nullptr, nullptr },
    { "-pp", handle_keyword<pre_processing_keywords>, &pre_processing_algorithm, nullptr, nullptr },
    { "-ppw", handle_keyword<pre_processing_windows>, &pre_processing_window, nullptr, nullptr },
    { "-ppc", handle_pass_count, &pre_processing_pass, nullptr, "pre processing %d pass\n" },
    { "-c", handle_keyword<color_spaces>, &color_space, nullptr, nullptr },
    { "-lc", handle_keyword<level_compressions>, &level_compress, nullptr, nullptr },
    { "-fpa", handle_fixed_palette_array, nullptr, nullptr, nullptr },
    { "-o", handle_output_folder, nullptr, nullptr, nullptr },
    { "-z", handle_keyword<compression_keywords>, &png_compression, nullptr, nullptr },
    { "-a", handle_alpha, &alpha_threshold, nullptr, "alpha threshold %d\n" },
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
    std::printf("\nTessaly %s by Vorlane\n\n", program_version);
}

// The usage text as a run without arguments shows it, without the wait for a
// key: asked for, it is no pause on the way to something else.
void print_help()
{
    print_banner();
    print_usage();
}

void print_version()
{
    std::printf("tessaly %s\n", program_version);
}

// Asked as the first argument, each answers and ends the run with status 0.
const struct {
    const char *name;
    void (*answer)();
} question_table[] = {
    { "--help", print_help },
    { "--version", print_version },
};

}  // namespace

int run_driver(int argument_count, char **arguments, void (*dither_file)())
{
    platform_prepare_console();
    for (const auto &question : question_table) {
        if (argument_count >= 2 && std::strcmp(arguments[1], question.name) == 0) {
            question.answer();
            std::fflush(stdout);
            return 0;
        }
    }
    print_banner();
    if (argument_count < 2) {
        print_usage();
        platform_pause();
        return 0;
    }

    platform_set_working_directory(arguments[0]);
    set_default_settings();
    failed_files = 0;
    transparent_entry_reported = false;

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
            dither_file();
            // Each file's lines are out when the next file begins: a log
            // sent to a file tells which files a killed run got through.
            std::fflush(stdout);
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
