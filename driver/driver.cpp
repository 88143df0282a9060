#include "driver/driver.h"

#include "driver/options.h"
#include "engine/color_space.h"
#include "engine/diffusion_windows.h"
#include "engine/metrics.h"
#include "platform/platform.h"
#include "settings/report.h"
#include "settings/run_report.h"
#include "settings/settings.h"
#include "settings/state.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>

namespace {

// The usage text is the program's own and scripts may match it: it keeps its
// spellings, its Windows examples, the "-lmm" that means -lmn and the
// "-c srgb" example that -c does not accept. The keyword lists of -c, -w,
// -q, -e and -ppw are printed from the engine's tables between its parts.
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

const char usage_before_weightings[] = R"(
diffusion level
-d 0...0.5...1 (1 default)

serpentine scaning
-s off (default)
-s on

quantisation weighting coefficients
)";

const char usage_before_metrics[] = R"(
quantisation error finding algorithm
)";

const char usage_before_pre_processing_windows[] = R"(
color matching
-m off - nearest in the working channels (default)
-m oklab - nearest in OkLab, error still in RGB (RGB color space only)

limits
-lmx off - max unlimited (default)
-lmx on - max limit 1 (reduce "error flow")
-lmx palette - max limit per channel, the palette's brightest
-lmn off - min unlimited (default)
-lmm on - min limit 0
-lmn palette - min limit per channel, the palette's darkest
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
-p "#000 #fff #ff0000" - the colours themselves, #rgb or #rrggbb
-p spectra6-measured - e-paper: spectra6, acep7, acep7-shown, bw, bwr, bwry
-p auto:16 - 2...256 colours made for each file from its own pixels
-p auto:256 -d 0.95 - the diffusion level that suits a made palette

output palette (written in place of -p's, entry for entry)
-po off (default)
-po spectra6 - same count as -p, any form -p takes

output folder
-o off - beside the input file (default)
-o out - into the folder out, same names

png compression
-z off (default)
-z on - palettes of 2, 4 or 16 entries at 1, 2 or 4 bits

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

// The usage lines of the keywords whose notes and groups the engine's tables
// do not hold: in the usage text's order, each after the heading of the
// colour spaces it serves.
struct usage_line {
    int32_t code;
    const char *note;
    const char *heading = nullptr;
};

const char rgb_only[] = "RGB color space only", cmyk_only[] = "CMYK color space only";

const usage_line weighting_usage[] = {
    { weighting_111, " - 1G : 1R : 1B" },
    { weighting_421, " - 4G : 2R : 1B for BW images, may \"error flow\"", rgb_only },
    { weighting_721, " - 0.7152G : 0.2126R : 0.0722B from imageworsener, may \"error flow\"" },
    { weighting_631, " - 0.587G : 0.299R : 0.114B may \"error flow\"" },
    { weighting_1113, " - 1C : 1M : 1Y : 3K", cmyk_only },
    { weighting_2417, " - 2C : 4M : 1Y : 7K" },
};
static_assert(std::size(weighting_usage) == weighting_count, "a usage line for every weighting");

const usage_line metric_usage[] = {
    { metric_pow2, "" },
    { metric_sum, "" },
    { metric_pow421, "", rgb_only },
    { metric_pow532, "" },
    { metric_pow2m421, " (good for BW palette)" },
    { metric_pow2m1113, "", cmyk_only },
};
static_assert(std::size(metric_usage) == metric_count, "a usage line for every metric");

// The keyword of each line from rows indexed by code; the default's marked
// after its note.
template <typename row_t, size_t count, size_t line_count>
void print_usage_lines(const char *option, const row_t (&rows)[count], const usage_line (&lines)[line_count],
                       int32_t default_code)
{
    for (const usage_line &line : lines) {
        if (line.heading)
            std::printf("%s\n", line.heading);
        std::printf("%s %s%s%s\n", option, rows[line.code].keyword, line.note,
                    line.code == default_code ? " (default)" : "");
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
    std::fputs(usage_before_weightings, stdout);
    print_usage_lines("-q", weightings, weighting_usage, quant_weighting_coefficients);
    std::fputs(usage_before_metrics, stdout);
    print_usage_lines("-e", metrics, metric_usage, quant_error_finding_algorithm);
    std::fputs(usage_before_pre_processing_windows, stdout);
    print_keyword_lines("-ppw", pre_processing_windows, pre_processing_window);
    std::fputs(usage_after_pre_processing_windows, stdout);
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

    // A change of the working directory that fails is ignored, one that
    // finds no memory for its path included.
    try {
        platform_set_working_directory(arguments[0]);
    } catch (const std::bad_alloc &) {
    }
    reset_process_state();

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

        if (!is_option(argument)) {
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
        // Memory that runs out for an option's lines leaves them out, its
        // line ended; the run goes on.
        try {
            std::fputs(apply_option(argument, arguments_buffer).lines.c_str(), stdout);
        } catch (const std::bad_alloc &) {
            std::putchar('\n');
        }
    }
    std::fflush(stdout);
    return (refused || failed_files > 0) ? 1 : 0;
}
