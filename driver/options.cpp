#include "driver/options.h"

#include "engine/color_space.h"
#include "engine/diffusion_windows.h"
#include "engine/metrics.h"
#include "engine/working_image.h"
#include "settings/settings.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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
    { "off", limit_off, "limit max off" },
    { "on", limit_on, "limit max on" },
    { "palette", limit_palette, "limit max palette" },
};

const keyword_row limit_min_keywords[] = {
    { "off", limit_off, "limit min off" },
    { "on", limit_on, "limit min on" },
    { "palette", limit_palette, "limit min palette" },
};

const keyword_row gamma_keywords[] = {
    { "linear", gamma_linear, "rgb linear gamma selected" },
    { "srgb", gamma_srgb, "srgb gamma selected" },
};

const keyword_row pre_processing_keywords[] = {
    { "off", pre_processing_off, "pre processing off" },
    { "circle", pre_processing_circle, "pre processing circle" },
};

const keyword_row matching_keywords[] = {
    { "off", matching_off, "color matching off" },
    { "oklab", matching_oklab, "color matching oklab" },
};

const keyword_row compression_keywords[] = {
    { "off", switch_off, "png compression off" },
    { "on", switch_on, "png compression on" },
};

struct option_row;
// Stores the value's setting and fills in the lines; false, with nothing
// stored, for a value the option does not take.
using option_handler = bool (*)(const option_row &option, const char *value, std::string &lines);

// One option: its name, the handler that reads its value, the setting it
// writes, and for numbers the printf format of its line.
struct option_row {
    const char *name;
    option_handler handle;
    int32_t *code_setting;
    float *level_setting;
    const char *number_format;
};

std::string formatted(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    return text;
}

std::string line_of(const char *text)
{
    return std::string(text) + '\n';
}

// Finds the value among the keywords of a table, the driver's or the
// engine's, and stores the row's code.
template <const auto &rows>
bool handle_keyword(const option_row &option, const char *value, std::string &lines)
{
    for (const auto &row : rows) {
        if (std::strcmp(row.keyword, value) == 0) {
            lines = line_of(row.message);
            *option.code_setting = row.code;
            return true;
        }
    }
    return false;
}

// The message shows the number as parsed; the setting holds it as a float.
// Any value is taken: one that is not a number reads as 0.
bool handle_level(const option_row &option, const char *value, std::string &lines)
{
    double parsed = std::atof(value);
    lines = formatted(option.number_format, parsed);
    *option.level_setting = static_cast<float>(parsed);
    return true;
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

bool handle_pass_count(const option_row &option, const char *value, std::string &lines)
{
    *option.code_setting = truncate_to_int32(std::atof(value));
    lines = formatted(option.number_format, *option.code_setting);
    return true;
}

bool handle_palette(const option_row &, const char *value, std::string &lines)
{
    std::strcpy(palette_path_buffer, value);
    lines = line_of("custom palette") + line_of(value);
    return true;
}

// -o and -po: "" or "off" clears the path, and the outputs go beside their
// inputs again or take -p's colours; a folder or palette named off is
// reached as ./off.
std::string set_path_or_off(char *buffer, const char *what, const char *value)
{
    if (value[0] == '\0' || std::strcmp(value, "off") == 0) {
        buffer[0] = '\0';
        return formatted("%s off\n", what);
    }
    std::strcpy(buffer, value);
    return line_of(what) + line_of(value);
}

bool handle_output_folder(const option_row &, const char *value, std::string &lines)
{
    lines = set_path_or_off(output_folder_buffer, "output folder", value);
    return true;
}

bool handle_output_palette(const option_row &, const char *value, std::string &lines)
{
    lines = set_path_or_off(output_palette_buffer, "output palette", value);
    return true;
}

// "off", or a whole number from 1 to 255 in decimal digits alone; 0 and 256
// among the values refused.
bool handle_alpha(const option_row &option, const char *value, std::string &lines)
{
    if (std::strcmp(value, "off") == 0) {
        lines = line_of("alpha off");
        *option.code_setting = 0;
        return true;
    }
    int threshold = 0;
    for (const char *digit = value; *digit; ++digit) {
        if (*digit < '0' || *digit > '9' || threshold > 255)
            return false;
        threshold = threshold * 10 + (*digit - '0');
    }
    if (threshold < 1 || threshold > 255)
        return false;
    lines = formatted(option.number_format, threshold);
    *option.code_setting = threshold;
    return true;
}

// Taken for old command lines; it changes nothing.
bool handle_fixed_palette_array(const option_row &, const char *value, std::string &lines)
{
    if (std::strcmp(value, "off") == 0)
        lines = line_of("fixed palette array off");
    else
        lines = line_of("fixed palette array") + line_of(value);
    return true;
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
    { "-po", handle_output_palette, nullptr, nullptr, nullptr },
    { "-m", handle_keyword<matching_keywords>, &color_matching, nullptr, nullptr },
};

const option_row *find_option(const char *name)
{
    for (const option_row &option : option_table) {
        if (std::strcmp(option.name, name) == 0)
            return &option;
    }
    return nullptr;
}

}  // namespace

bool is_option(const char *name)
{
    return find_option(name) != nullptr;
}

option_outcome apply_option(const char *name, const char *value)
{
    option_outcome outcome;
    const option_row *option = find_option(name);
    outcome.known = option != nullptr;
    if (!option || std::strlen(value) > static_cast<size_t>(max_argument_length))
        return outcome;
    std::string lines;
    outcome.accepted = option->handle(*option, value, lines);
    if (outcome.accepted)
        outcome.lines = std::move(lines);
    return outcome;
}
