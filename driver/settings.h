// The process-wide settings of one run. The option parser writes them, one
// option at a time from left to right; the engine reads them for every input
// file. Nothing resets them between files, so an option acts on every file
// that follows it on the command line.
#pragma once

#include <cstdint>

// Colour spaces (-c), in keyword order; channels_used goes with each.
enum { color_space_rgb, color_space_cmyk, color_space_rgbcmyk, color_space_yuv,
       color_space_rgbyuv, color_space_cmy, color_space_cmyk2 };

extern int32_t color_space;                    // -c, code 0 (rgb)
extern int32_t channels_used;                  // -c, 3: working channels of color_space
extern int32_t RGB_gamma;                      // -g, 0 linear (sRGB decoded), 1 srgb
extern int32_t quant_error_finding_algorithm;  // -e, 0 pow2
extern int32_t quant_weighting_coefficients;   // -q, 0 111
extern int32_t serpentine;                     // -s, 0 off
extern float coefficient;                      // -d, diffusion level 1.0
extern int32_t max_limit;                      // -lmx, 0 off
extern int32_t min_limit;                      // -lmn, 0 off
extern float max_level;                        // -mxl, 1.0
extern float min_level;                        // -mnl, 0.0
extern int32_t level_compress;                 // -lc, 0 off
extern int32_t pre_processing_algorithm;       // -pp, 0 off, 1 circle
extern int32_t pre_processing_window;          // -ppw, 0 round, 1 cross, 2 square
extern int32_t pre_processing_pass;            // -ppc, 5

// A path buffer holds at most max_argument_length characters and its zero; the
// room beyond is where the engine appends "_dithered_NNNN.png" in place.
constexpr int path_buffer_size = 8448;
constexpr int max_argument_length = 8191;

// The palette read when no -p is given; when it is not in the working
// directory, the engine looks beside the program and for the installed one.
constexpr char default_palette_name[] = "palette.act";

extern char palette_path_buffer[path_buffer_size];  // -p, default_palette_name
extern char arguments_buffer[path_buffer_size];     // the argument; the input path for the engine

// Input files that were not dithered and saved, raised by the engine; the
// driver turns a non-zero count into exit status 1.
extern int failed_files;

// Stores every default above (the palette path included) and clears the
// failure count. The diffusion window is installed separately.
void set_default_settings();
