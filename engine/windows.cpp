#include "engine/windows.h"

namespace {

// The two weights of the round window, to nine significant digits, which fix
// the floats exactly; a + b = 0.5.
constexpr float round_a = 0.316519558f;
constexpr float round_b = 0.183480456f;

void install(float *slots, const window_shares &w)
{
    slots[1] = slots[2] = slots[3] = 0.0f;
    slots[4] = w.slot_4;
    slots[6] = w.slot_6;
    slots[7] = w.slot_7;
    slots[8] = w.slot_8;
    slots[9] = w.slot_9;
}

}  // namespace

// The shares read:                   slot 4   slot 6   slot 7   slot 8   slot 9
const window_row scan_windows[window_count] = {
    { "floyd", window_floyd,         { 0.0f,    0.4375f, 0.1875f, 0.3125f, 0.0625f },
                                     { 0.4375f, 0.0f,    0.0625f, 0.3125f, 0.1875f }, "floyd window selected" },
    { "round", window_round,         { 0.0f,    round_a, round_b, round_a, round_b },
                                     { round_a, 0.0f,    round_b, round_a, round_b }, "round window selected" },
    { "x", window_x,                 { 0.0f,    0.0f,    0.5f,    0.0f,    0.5f },
                                     { 0.0f,    0.0f,    0.5f,    0.0f,    0.5f }, "x window selected" },
    { "linear_x", window_linear_x,   { 0.0f,    1.0f,    0.0f,    0.0f,    0.0f },
                                     { 1.0f,    0.0f,    0.0f,    0.0f,    0.0f }, "linear x window selected" },
    { "linear_y", window_linear_y,   { 0.0f,    0.0f,    0.0f,    1.0f,    0.0f },
                                     { 0.0f,    0.0f,    0.0f,    1.0f,    0.0f }, "linear y window selected" },
    { "linear_x_y", window_linear_x_y, { 0.0f,  0.5f,    0.0f,    0.5f,    0.0f },
                                     { 0.5f,    0.0f,    0.0f,    0.5f,    0.0f }, "linear x y window selected" },
    { "dot", window_dot,             { 0.0f,    0.0f,    0.0f,    0.0f,    0.0f },
                                     { 0.0f,    0.0f,    0.0f,    0.0f,    0.0f }, "dot window selected" },
};

// The round corners and edges are half the round scan window's b and a, so
// the eight weights add up to 1.
const pre_processing_window_row pre_processing_windows[pre_processing_window_count] = {
    { "round", pre_processing_window_round, 0.0917402282f, 0.158259779f, "pre processing window round" },
    { "cross", pre_processing_window_cross, 0.0f, 0.25f, "pre processing window cross" },
    { "square", pre_processing_window_square, 0.125f, 0.125f, "pre processing window square" },
};

void install_window(int32_t code)
{
    const window_row &row = scan_windows[checked_code(code, window_count)];
    install(wind_r, row.left_to_right);
    install(wind_l, row.right_to_left);
}

void scale_scan_windows()
{
    for (int slot = 1; slot <= 9; ++slot) {
        if (slot == 5)
            continue;
        scaled_wind_r[slot] = static_cast<float>(static_cast<double>(wind_r[slot]) * coefficient);
        scaled_wind_l[slot] = static_cast<float>(static_cast<double>(wind_l[slot]) * coefficient);
    }
}

void select_pre_processing_window()
{
    const pre_processing_window_row &row =
        pre_processing_windows[checked_code(pre_processing_window, pre_processing_window_count)];
    mix_wind[1] = mix_wind[3] = mix_wind[7] = mix_wind[9] = row.corner;
    mix_wind[2] = mix_wind[4] = mix_wind[6] = mix_wind[8] = row.edge;
    mix_wind[5] = 0.0f;
}
