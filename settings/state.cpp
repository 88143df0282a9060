#include "settings/state.h"

#include "settings/carried_state.h"
#include "settings/file_state.h"
#include "settings/run_report.h"
#include "settings/scan_state.h"
#include "settings/settings.h"
#include "settings/tuning.h"

int32_t channels_used;

int32_t srgb_pal_R[palette_entries];
int32_t srgb_pal_G[palette_entries];
int32_t srgb_pal_B[palette_entries];
int output_palette_entries = palette_entries;
int transparent_entry = -1;
float pal_R[palette_entries];
float pal_G[palette_entries];
float pal_B[palette_entries];
float pal_ch[max_working_channels][palette_entries];
float max_levels[max_working_channels];
float min_levels[max_working_channels];

window_block wind_r;
window_block wind_l;
window_block scaled_wind_r;
window_block scaled_wind_l;
window_block wind;
window_block mix_wind;
const threshold_pattern *ordered_pattern;

int best_color = 0;
float dither_quant_error_ch[max_working_channels];
float best_dither_quant_error;
float error_ch[max_working_channels];
int direction = 1;
bool transparent_entry_reported;
int failed_files;

bool use_plain_paths = false;
int scan_thread_count = 0;
void (*prefer_large_pages)(void *start, size_t size) = nullptr;

void reset_process_state()
{
    set_default_settings();
    output_palette_entries = palette_entries;
    transparent_entry = -1;
    best_color = 0;
    for (float &value : dither_quant_error_ch)
        value = 0.0f;
    best_dither_quant_error = 0.0f;
    for (float &value : error_ch)
        value = 0.0f;
    direction = 1;
    wind = window_block();
    transparent_entry_reported = false;
    failed_files = 0;
}
