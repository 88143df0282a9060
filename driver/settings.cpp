#include "driver/settings.h"

#include <cstring>

int32_t color_space;
int32_t channels_used;
int32_t RGB_gamma;
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

char palette_path_buffer[path_buffer_size] = "palette.act";  // default_palette_name
char arguments_buffer[path_buffer_size];

int failed_files;

void set_default_settings()
{
    color_space = color_space_rgb;
    channels_used = 3;
    RGB_gamma = 0;
    quant_error_finding_algorithm = 0;
    quant_weighting_coefficients = 0;
    serpentine = 0;
    coefficient = 1.0f;
    max_limit = 0;
    min_limit = 0;
    max_level = 1.0f;
    min_level = 0.0f;
    level_compress = 0;
    pre_processing_algorithm = 0;
    pre_processing_window = 0;
    pre_processing_pass = 5;
    std::strcpy(palette_path_buffer, default_palette_name);
    failed_files = 0;
}
