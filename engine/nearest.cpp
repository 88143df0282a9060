#include "engine/nearest.h"

#include "engine/matching.h"
#include "engine/metrics.h"
#include "engine/palette.h"
#include "settings/settings.h"

#include <cmath>

namespace {

using palette_planes = const float (*)[palette_entries];

// Writes the weighted differences of entry k into dither_quant_error_ch.
inline void weigh_candidate(const float *v, int k, palette_planes pal, const weighting_row &weighting, int channels)
{
    if (weighting.count == 0) {
        for (int c = 0; c < channels; ++c)
            dither_quant_error_ch[c] = std::fabs(v[c] - pal[c][k]);
        return;
    }
    for (int i = 0; i < weighting.count; ++i) {
        int c = weighting.channels[i].channel;
        dither_quant_error_ch[c] = weighted(v[c] - pal[c][k], weighting.channels[i].weight);
    }
}

// The search over the palette's planes pal, of which the first `channels`
// differ between entries.
int search(const float *v, palette_planes pal, int channels, int weighting_code, int metric_code)
{
    const weighting_row &weighting = weightings[checked_code(weighting_code, weighting_count)];
    const metric_function metric = metrics[checked_code(metric_code, metric_count)].on_floats;

    best_dither_quant_error = no_error_yet;
    // A strict "less than" keeps the lower index on ties, and an error that
    // is not a number never wins.
    for (int k = 0; k < palette_entries; ++k) {
        weigh_candidate(v, k, pal, weighting, channels);
        float error = static_cast<float>(metric(dither_quant_error_ch, channels));
        if (error < best_dither_quant_error) {
            best_dither_quant_error = error;
            best_color = k;
        }
    }
    return best_color;
}

// In OkLab the distance is the plain Euclidean one, whatever -q and -e say.
int search_in_oklab(const float *v)
{
    float lab[max_working_channels] = {};
    working_to_oklab(v, lab);
    return search(lab, pal_oklab, 3, weighting_111, metric_pow2);
}

}  // namespace

void clear_search_state()
{
    for (float &d : dither_quant_error_ch)
        d = 0.0f;
}

int find_nearest_color(const float *v)
{
    if (matching_in_oklab())
        return search_in_oklab(v);
    return search(v, pal_ch, channels_used, quant_weighting_coefficients, quant_error_finding_algorithm);
}

int find_nearest_color_squared(const float *v)
{
    if (matching_in_oklab())
        return search_in_oklab(v);
    return search(v, pal_ch, channels_used, weighting_111, metric_pow2);
}
