#include "settings/settings.h"

#include <cstring>

int32_t color_space;
int32_t RGB_gamma;
int32_t diffusion_window;
int32_t quant_error_finding_algorithm;
int32_t quant_weighting_coefficients;
int32_t serpentine;
float coefficient;
int32_t max_limit;
int32_t min_limit;
float max_level;
float min_level;
int32_t level_compress;
int32_t pre_processing_algorithm;
int32_t pre_processing_window;
int32_t pre_processing_pass;
int32_t png_compression;
int32_t color_matching;
int32_t alpha_threshold;

char palette_path_buffer[path_buffer_size] = "palette.act";  // default_palette_name
char arguments_buffer[path_buffer_size];
char output_folder_buffer[path_buffer_size];
char output_palette_buffer[path_buffer_size];

void set_default_settings()
{
    color_space = color_space_rgb;
    RGB_gamma = gamma_linear;
    diffusion_window = window_floyd;
    quant_error_finding_algorithm = metric_pow2;
    quant_weighting_coefficients = weighting_111;
    serpentine = switch_off;
    coefficient = 1.0f;
    max_limit = switch_off;
    min_limit = switch_off;
    max_level = 1.0f;
    min_level = 0.0f;
    level_compress = level_compress_off;
    pre_processing_algorithm = pre_processing_off;
    pre_processing_window = pre_processing_window_round;
    pre_processing_pass = 5;
    png_compression = switch_off;
    color_matching = matching_off;
    alpha_threshold = 0;
    std::strcpy(palette_path_buffer, default_palette_name);
    output_folder_buffer[0] = '\0';
    output_palette_buffer[0] = '\0';
}
