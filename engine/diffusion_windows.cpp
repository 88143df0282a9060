#include "engine/diffusion_windows.h"

#include <algorithm>
#include <cstdlib>

namespace {

// The two weights of the round window, to nine significant digits, which fix
// the floats exactly; a + b = 0.5.
constexpr float round_a = 0.316519558f;
constexpr float round_b = 0.183480456f;

// Bayer's index matrices (B. E. Bayer, "An optimum method for two-level
// rendition of continuous-tone pictures", IEEE International Conference on
// Communications, 1973), by their recursion: the matrix of side 2n is four
// copies of the matrix of side n times 4, plus 0 in the top left quarter, 2
// in the top right, 3 in the bottom left and 1 in the bottom right. Unrolled,
// the coarsest quarter gives the lowest digit in base 4.
template <int side>
struct bayer_ranks {
    uint16_t rank[side * side] = {};
    constexpr bayer_ranks()
    {
        constexpr int quarter[2][2] = { { 0, 2 }, { 3, 1 } };
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                int r = 0;
                for (int half = side / 2, digit = 1; half >= 1; half /= 2, digit *= 4)
                    r += digit * quarter[(y & half) != 0][(x & half) != 0];
                rank[y * side + x] = static_cast<uint16_t>(r);
            }
    }
};

constexpr bayer_ranks<2> bayer2_ranks;
constexpr bayer_ranks<4> bayer4_ranks;
constexpr bayer_ranks<8> bayer8_ranks;

// The project's own tile, made by tools/make_bluenoise (void and cluster).
const uint16_t blue_noise_ranks[64 * 64] = {
#include "engine/blue_noise.inc"
};

const threshold_pattern bayer2 = { 2, bayer2_ranks.rank };
const threshold_pattern bayer4 = { 4, bayer4_ranks.rank };
const threshold_pattern bayer8 = { 8, bayer8_ranks.rank };
const threshold_pattern bluenoise = { 64, blue_noise_ranks };

// What the tables write as the pixel itself, for the eye.
constexpr float X = 0.0f;

}  // namespace

// The weights read, for the pixel's row and the two below it, columns
// x - 2 ... x + 2, over the divisor. The classic kernels are as published:
// Jarvis, Judice and Ninke, "A survey of techniques for the display of
// continuous tone pictures on bilevel displays", Computer Graphics and Image
// Processing 5 (1976); Stucki, "MECCA - a multiple-error correction
// computation algorithm for bi-level image hardcopy reproduction", IBM
// Research Report RZ1060 (1981); Burkes' filter (1988) and Sierra's three-row
// (1989) and two-row (1990) filters as collected in L. D. Crocker, "Digital
// Halftoning" (1989-1991); Sierra's "Sierra-Lite", comp.graphics, 6 March
// 1990; and Bill Atkinson's window of the first Macintosh (1984), which
// passes on 6/8 of the error and drops the rest.
constexpr window_row scan_windows[window_count] = {
    { "floyd", window_floyd, { { 0, 0, X, 7, 0 },
                               { 0, 3, 5, 1, 0 },
                               { 0, 0, 0, 0, 0 } }, 16, nullptr, "floyd window selected" },
    { "round", window_round, { { 0, 0, X, round_a, 0 },
                               { 0, round_b, round_a, round_b, 0 },
                               { 0, 0, 0, 0, 0 } }, 1, nullptr, "round window selected" },
    { "x", window_x, { { 0, 0, X, 0, 0 },
                       { 0, 1, 0, 1, 0 },
                       { 0, 0, 0, 0, 0 } }, 2, nullptr, "x window selected" },
    { "linear_x", window_linear_x, { { 0, 0, X, 1, 0 },
                                     { 0, 0, 0, 0, 0 },
                                     { 0, 0, 0, 0, 0 } }, 1, nullptr, "linear x window selected" },
    { "linear_y", window_linear_y, { { 0, 0, X, 0, 0 },
                                     { 0, 0, 1, 0, 0 },
                                     { 0, 0, 0, 0, 0 } }, 1, nullptr, "linear y window selected" },
    { "linear_x_y", window_linear_x_y, { { 0, 0, X, 1, 0 },
                                         { 0, 0, 1, 0, 0 },
                                         { 0, 0, 0, 0, 0 } }, 2, nullptr, "linear x y window selected" },
    { "dot", window_dot, { { 0, 0, X, 0, 0 },
                           { 0, 0, 0, 0, 0 },
                           { 0, 0, 0, 0, 0 } }, 1, nullptr, "dot window selected" },
    { "jarvis", window_jarvis, { { 0, 0, X, 7, 5 },
                                 { 3, 5, 7, 5, 3 },
                                 { 1, 3, 5, 3, 1 } }, 48, nullptr, "jarvis window selected" },
    { "stucki", window_stucki, { { 0, 0, X, 8, 4 },
                                 { 2, 4, 8, 4, 2 },
                                 { 1, 2, 4, 2, 1 } }, 42, nullptr, "stucki window selected" },
    { "burkes", window_burkes, { { 0, 0, X, 8, 4 },
                                 { 2, 4, 8, 4, 2 },
                                 { 0, 0, 0, 0, 0 } }, 32, nullptr, "burkes window selected" },
    { "sierra", window_sierra, { { 0, 0, X, 5, 3 },
                                 { 2, 4, 5, 4, 2 },
                                 { 0, 2, 3, 2, 0 } }, 32, nullptr, "sierra window selected" },
    { "sierra2", window_sierra2, { { 0, 0, X, 4, 3 },
                                   { 1, 2, 3, 2, 1 },
                                   { 0, 0, 0, 0, 0 } }, 16, nullptr, "sierra2 window selected" },
    { "sierra_lite", window_sierra_lite, { { 0, 0, X, 2, 0 },
                                           { 0, 1, 1, 0, 0 },
                                           { 0, 0, 0, 0, 0 } }, 4, nullptr, "sierra lite window selected" },
    { "atkinson", window_atkinson, { { 0, 0, X, 1, 1 },
                                     { 0, 1, 1, 1, 0 },
                                     { 0, 0, 1, 0, 0 } }, 8, nullptr, "atkinson window selected" },
    { "bayer2", window_bayer2, {}, 1, &bayer2, "bayer2 window selected" },
    { "bayer4", window_bayer4, {}, 1, &bayer4, "bayer4 window selected" },
    { "bayer8", window_bayer8, {}, 1, &bayer8, "bayer8 window selected" },
    { "bluenoise", window_bluenoise, {}, 1, &bluenoise, "bluenoise window selected" },
};
static_assert(rows_follow_codes(scan_windows), "a row for every code, in code order");

// The round corners and edges are half the round scan window's b and a, so
// the eight weights add up to 1.
constexpr pre_processing_window_row pre_processing_windows[pre_processing_window_count] = {
    { "round", pre_processing_window_round, 0.0917402282f, 0.158259779f, "pre processing window round" },
    { "cross", pre_processing_window_cross, 0.0f, 0.25f, "pre processing window cross" },
    { "square", pre_processing_window_square, 0.125f, 0.125f, "pre processing window square" },
};
static_assert(rows_follow_codes(pre_processing_windows), "a row for every code, in code order");

void install_window(int32_t code)
{
    const window_row &row = scan_windows[checked_code(code, window_count)];
    wind_r = window_block();
    wind_l = window_block();
    for (int dy = 0; dy <= window_reach; ++dy)
        for (int dx = -window_reach; dx <= window_reach; ++dx) {
            const float share = row.weight[dy][dx + window_reach] / row.divisor;
            wind_r.share[dy + window_reach][dx + window_reach] = share;
            wind_l.share[dy + window_reach][window_reach - dx] = share;
            if (share != 0.0f) {
                wind_r.columns = std::max(wind_r.columns, std::abs(dx));
                wind_r.rows = std::max(wind_r.rows, dy);
            }
        }
    wind_l.columns = wind_r.columns;
    wind_l.rows = wind_r.rows;
    ordered_pattern = row.pattern;
}

void scale_scan_windows()
{
    scaled_wind_r = wind_r;
    scaled_wind_l = wind_l;
    for (int j = 0; j < window_side; ++j)
        for (int i = 0; i < window_side; ++i) {
            scaled_wind_r.share[j][i] = static_cast<float>(static_cast<double>(wind_r.share[j][i]) * coefficient);
            scaled_wind_l.share[j][i] = static_cast<float>(static_cast<double>(wind_l.share[j][i]) * coefficient);
        }
}

void select_pre_processing_window()
{
    const pre_processing_window_row &row =
        pre_processing_windows[checked_code(pre_processing_window, pre_processing_window_count)];
    mix_wind = window_block();
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            mix_wind.share[dy + window_reach][dx + window_reach] =
                dx == 0 && dy == 0 ? 0.0f : dx != 0 && dy != 0 ? row.corner : row.edge;
}
