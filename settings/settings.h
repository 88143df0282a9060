// The settings of one run. Written by the option parser only, one option at a
// time from left to right; read by the engine for every input file. Nothing
// resets them between files, so an option acts on every file that follows it
// on the command line.
#pragma once

#include "settings/limits.h"

#include <cstddef>
#include <cstdint>

// The codes the keyword options store, in the order of their keyword tables;
// each list ends with its count. The rows that give them keywords, messages
// and meaning belong to the engine (colour spaces, windows, metrics,
// weightings, level compression, pre-processing windows) or to the driver.
enum color_space_code {
    color_space_rgb, color_space_cmyk, color_space_rgbcmyk, color_space_yuv, color_space_rgbyuv,
    color_space_cmy, color_space_cmyk2, color_space_count
};
// The error-diffusion windows, then the ordered patterns.
enum window_code {
    window_floyd, window_round, window_x, window_linear_x, window_linear_y, window_linear_x_y, window_dot,
    window_jarvis, window_stucki, window_burkes, window_sierra, window_sierra2, window_sierra_lite,
    window_atkinson, window_bayer2, window_bayer4, window_bayer8, window_bluenoise, window_count
};
// In the order in which the keywords are tested, not that of the usage text.
enum metric_code {
    metric_pow2, metric_sum, metric_pow2m421, metric_pow421, metric_pow532, metric_pow2m1113, metric_count
};
enum weighting_code {
    weighting_111, weighting_421, weighting_721, weighting_631, weighting_1113, weighting_2417, weighting_count
};
enum gamma_code { gamma_linear, gamma_srgb, gamma_count };
enum level_compress_code {
    level_compress_off, level_compress_85, level_compress_128, level_compress_170, level_compress_count
};
enum pre_processing_code { pre_processing_off, pre_processing_circle, pre_processing_count };
enum pre_processing_window_code {
    pre_processing_window_round, pre_processing_window_cross, pre_processing_window_square,
    pre_processing_window_count
};
enum switch_code { switch_off, switch_on };
// -m: the nearest entry in the working channels, or in OkLab.
enum matching_code { matching_off, matching_oklab, matching_count };
// -lmx and -lmn: off, at -mxl and -mnl for every channel, or at the range
// each working channel spans among the palette's entries.
enum limit_code { limit_off = switch_off, limit_on = switch_on, limit_palette };

extern int32_t color_space;                    // -c, rgb
extern int32_t RGB_gamma;                      // -g, linear (sRGB decoded)
extern int32_t diffusion_window;               // -w, floyd
extern int32_t quant_error_finding_algorithm;  // -e, pow2
extern int32_t quant_weighting_coefficients;   // -q, 111
extern int32_t serpentine;                     // -s, off
extern float coefficient;                      // -d, diffusion level 1.0
extern int32_t max_limit;                      // -lmx, off (limit_code)
extern int32_t min_limit;                      // -lmn, off (limit_code)
extern float max_level;                        // -mxl, 1.0
extern float min_level;                        // -mnl, 0.0
extern int32_t level_compress;                 // -lc, off
extern int32_t pre_processing_algorithm;       // -pp, off
extern int32_t pre_processing_window;          // -ppw, round
extern int32_t pre_processing_pass;            // -ppc, 5
extern int32_t png_compression;                // -z, off (stored), on (deflate)
extern int32_t color_matching;                 // -m, off
// -a: 0 ("off") ignores alpha; 1 ... 255 makes every pixel whose alpha is
// below it clear, written with the transparent entry.
extern int32_t alpha_threshold;

// The palette read when no -p is given; when it is not in the working
// directory, the engine looks beside the program and for the installed one.
constexpr char default_palette_name[] = "palette.act";

extern char palette_path_buffer[path_buffer_size];  // -p, default_palette_name
extern char output_folder_buffer[path_buffer_size]; // -o, "": outputs beside their inputs
// -po, "": the output's palette is -p's. Otherwise a palette of as many
// colours as -p's, written in its place entry for entry.
extern char output_palette_buffer[path_buffer_size];
// The argument being parsed; while the engine runs, the path of the input
// file, to which the engine appends the output's suffix in place.
extern char arguments_buffer[path_buffer_size];

// Stores every default above, the palette path included.
void set_default_settings();

// A code outside its table cannot come from the option parser; it falls back
// to the default rather than reading past the table.
inline int checked_code(int code, int count)
{
    return code >= 0 && code < count ? code : 0;
}

// Whether every row of a table indexed by code holds its own code: a row left
// out of a table sized by its count, which would be filled with zeros, fails
// it, as do two rows swapped.
template <typename row_t, size_t count>
constexpr bool rows_follow_codes(const row_t (&rows)[count])
{
    for (size_t i = 0; i < count; ++i)
        if (rows[i].code != static_cast<int32_t>(i))
            return false;
    return true;
}
