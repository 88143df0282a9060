#include "engine/nearest.h"

#include "driver/settings.h"
#include "engine/palette.h"

#include <cmath>

int best_color = 0;
float dither_quant_error_ch[12];
float best_dither_quant_error;

namespace {

// The largest error a candidate may have and still be chosen: an entry only
// wins with an error strictly below it, so values that have run away to
// infinity or are not numbers leave best_color as it was.
constexpr float no_error_yet = 1e18f;

// A weighting: the per-channel weight that multiplies |v - pal| before the
// metric sees it. Only the channels listed are written; the others keep what
// they held, which is the same for every candidate of a search.
struct weighted_channel {
    int channel;
    double weight;
};

struct weighting_row {
    int count;  // 0: every used channel with weight 1
    weighted_channel channels[4];
};

// By quant_weighting_coefficients. 721 and 631 are the luma coefficients of
// BT.709 and BT.601 in green-red-blue order of strength.
const weighting_row weightings[] = {
    { 0, {} },                                                  // 111
    { 3, { { 0, 2.0 }, { 1, 4.0 }, { 2, 1.0 } } },              // 421
    { 3, { { 0, 0.2126 }, { 1, 0.7152 }, { 2, 0.0722 } } },     // 721
    { 3, { { 0, 0.299 }, { 1, 0.587 }, { 2, 0.114 } } },        // 631
    { 4, { { 0, 1.0 }, { 1, 1.0 }, { 2, 1.0 }, { 3, 3.0 } } },  // 1113
    { 4, { { 0, 2.0 }, { 1, 4.0 }, { 2, 1.0 }, { 3, 7.0 } } },  // 2417
};

// The product is computed in double and rounded once; weight 1 gives |delta|
// itself.
inline float weighted(float delta, double weight)
{
    return static_cast<float>(weight * std::fabs(delta));
}

// The metrics, computed in double from the float entries d, term by term in
// the order they are written; the caller rounds the result to float.
double metric_pow2(const float *d, int channels)
{
    double sum = 0.0;
    for (int c = 0; c < channels; ++c)
        sum += static_cast<double>(d[c]) * d[c];
    return sum;
}

double metric_sum(const float *d, int channels)
{
    double sum = 0.0;
    for (int c = 0; c < channels; ++c)
        sum += d[c];
    return sum;
}

double metric_pow2m421(const float *d, int)
{
    double d0 = d[0], d1 = d[1], d2 = d[2];
    return 2.0 * (d0 * d0) + 4.0 * (d1 * d1) + d2 * d2;
}

double metric_pow421(const float *d, int)
{
    double d0 = d[0], d1 = d[1], d2 = d[2];
    return d1 * d1 * d1 * d1 + d0 * d0 + d2;
}

double metric_pow532(const float *d, int)
{
    double d0 = d[0], d1 = d[1], d2 = d[2];
    return d1 * d1 * d1 * d1 * d1 + d0 * d0 * d0 + d2 * d2;
}

// The fourth term weighs 200, not the 3 that the keyword suggests.
double metric_pow2m1113(const float *d, int)
{
    double d0 = d[0], d1 = d[1], d2 = d[2], d3 = d[3];
    return d0 * d0 + d1 * d1 + d2 * d2 + 200.0 * (d3 * d3);
}

using metric_function = double (*)(const float *d, int channels);

// By quant_error_finding_algorithm.
const metric_function metrics[] = {
    metric_pow2, metric_sum, metric_pow2m421, metric_pow421, metric_pow532, metric_pow2m1113,
};

constexpr int code_count = 6;

// A code outside the tables cannot come from the option parser; it falls back
// to the default rather than reading past a table.
int checked_code(int code)
{
    return code >= 0 && code < code_count ? code : 0;
}

// Writes the weighted differences of entry k into dither_quant_error_ch.
inline void weigh_candidate(const float *v, int k, const weighting_row &weighting, int channels)
{
    if (weighting.count == 0) {
        for (int c = 0; c < channels; ++c)
            dither_quant_error_ch[c] = std::fabs(v[c] - pal_ch[c][k]);
        return;
    }
    for (int i = 0; i < weighting.count; ++i) {
        int c = weighting.channels[i].channel;
        dither_quant_error_ch[c] = weighted(v[c] - pal_ch[c][k], weighting.channels[i].weight);
    }
}

int search(const float *v, int weighting_code, int metric_code)
{
    const weighting_row &weighting = weightings[checked_code(weighting_code)];
    const metric_function metric = metrics[checked_code(metric_code)];
    const int channels = channels_used;

    best_dither_quant_error = no_error_yet;
    // A strict "less than" keeps the lower index on ties, and an error that
    // is not a number never wins.
    for (int k = 0; k < palette_entries; ++k) {
        weigh_candidate(v, k, weighting, channels);
        float error = static_cast<float>(metric(dither_quant_error_ch, channels));
        if (error < best_dither_quant_error) {
            best_dither_quant_error = error;
            best_color = k;
        }
    }
    return best_color;
}

}  // namespace

void clear_search_state()
{
    for (float &d : dither_quant_error_ch)
        d = 0.0f;
}

int find_nearest_color(const float *v)
{
    return search(v, quant_weighting_coefficients, quant_error_finding_algorithm);
}

int find_nearest_color_squared(const float *v)
{
    return search(v, 0, 0);
}
