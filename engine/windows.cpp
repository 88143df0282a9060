#include "engine/windows.h"

#include "driver/settings.h"

float wind_r[10];
float wind_l[10];
float scaled_wind_r[10];
float scaled_wind_l[10];
float wind[10];
float mix_wind[10];

namespace {

// The two weights of the round window, to nine significant digits, which fix
// the floats exactly; a + b = 0.5.
constexpr float round_a = 0.316519558f;
constexpr float round_b = 0.183480456f;

// A scan window as the weights of the slots that can carry error: the row
// above and the pixel itself never receive any.
struct spread_weights {
    float slot_4, slot_6, slot_7, slot_8, slot_9;
};

void install(float *slots, const spread_weights &w)
{
    slots[1] = slots[2] = slots[3] = 0.0f;
    slots[4] = w.slot_4;
    slots[6] = w.slot_6;
    slots[7] = w.slot_7;
    slots[8] = w.slot_8;
    slots[9] = w.slot_9;
}

void install_window(const spread_weights &left_to_right, const spread_weights &right_to_left)
{
    install(wind_r, left_to_right);
    install(wind_l, right_to_left);
}

}  // namespace

// Each table reads:           slot 4   slot 6   slot 7   slot 8   slot 9
void select_floyd_window()
{
    install_window({ 0.0f,    0.4375f, 0.1875f, 0.3125f, 0.0625f },
                   { 0.4375f, 0.0f,    0.0625f, 0.3125f, 0.1875f });
}

void select_round_window()
{
    install_window({ 0.0f,    round_a, round_b, round_a, round_b },
                   { round_a, 0.0f,    round_b, round_a, round_b });
}

void select_x_window()
{
    install_window({ 0.0f,    0.0f,    0.5f,    0.0f,    0.5f },
                   { 0.0f,    0.0f,    0.5f,    0.0f,    0.5f });
}

void select_linear_x_window()
{
    install_window({ 0.0f,    1.0f,    0.0f,    0.0f,    0.0f },
                   { 1.0f,    0.0f,    0.0f,    0.0f,    0.0f });
}

void select_linear_y_window()
{
    install_window({ 0.0f,    0.0f,    0.0f,    1.0f,    0.0f },
                   { 0.0f,    0.0f,    0.0f,    1.0f,    0.0f });
}

void select_linear_x_y_window()
{
    install_window({ 0.0f,    0.5f,    0.0f,    0.5f,    0.0f },
                   { 0.5f,    0.0f,    0.0f,    0.5f,    0.0f });
}

void select_dot_window()
{
    install_window({ 0.0f,    0.0f,    0.0f,    0.0f,    0.0f },
                   { 0.0f,    0.0f,    0.0f,    0.0f,    0.0f });
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
    // The round corners and edges are half the round scan window's b and a,
    // so the eight weights add up to 1.
    static const float corners[] = { 0.0917402282f, 0.0f, 0.125f };
    static const float edges[] = { 0.158259779f, 0.25f, 0.125f };
    int code = pre_processing_window;
    if (code < 0 || code > 2)
        code = 0;
    mix_wind[1] = mix_wind[3] = mix_wind[7] = mix_wind[9] = corners[code];
    mix_wind[2] = mix_wind[4] = mix_wind[6] = mix_wind[8] = edges[code];
    mix_wind[5] = 0.0f;
}
