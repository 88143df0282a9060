// The weightings and error metrics of the nearest-colour search: one
// definition of the arithmetic, shared by the plain search and the fast one,
// so that both round every value at the same step.
#pragma once

#include "settings/settings.h"

#include <cmath>
#include <cstdint>
#include <iterator>

// The vector forms are inlined into the search compiled for each vector unit;
// a call would fall back to the unit the rest of the program is built for.
#if defined(__GNUC__)
#define always_inline_fn inline __attribute__((always_inline))
#else
#define always_inline_fn inline
#endif

// A weighting: the per-channel weight that multiplies |v - pal| before the
// metric sees it. Only the channels listed are written; the others keep what
// they held, which is the same for every candidate of a search.
struct weighted_channel {
    int channel;
    double weight;
};

struct weighting_row {
    const char *keyword;  // of -q
    int32_t code;
    int count;            // channels written; 0: every used channel with weight 1
    weighted_channel channels[4];
    const char *message;  // printed when -q selects it
};

// Indexed by code. 721 and 631 are the luma coefficients of BT.709 and
// BT.601. The messages keep their historical spelling.
inline constexpr weighting_row weightings[] = {
    { "111", weighting_111, 0, {}, "quantisatiion weighting coefficients 111" },
    { "421", weighting_421, 3, { { 0, 2.0 }, { 1, 4.0 }, { 2, 1.0 } }, "quantisatiion weighting coefficients 421" },
    { "721", weighting_721, 3, { { 0, 0.2126 }, { 1, 0.7152 }, { 2, 0.0722 } },
      "quantisatiion weighting coefficients 721" },
    { "631", weighting_631, 3, { { 0, 0.299 }, { 1, 0.587 }, { 2, 0.114 } },
      "quantisatiion weighting coefficients 631" },
    { "1113", weighting_1113, 4, { { 0, 1.0 }, { 1, 1.0 }, { 2, 1.0 }, { 3, 3.0 } },
      "quantisatiion weighting coefficients 1113" },
    { "2417", weighting_2417, 4, { { 0, 2.0 }, { 1, 4.0 }, { 2, 1.0 }, { 3, 7.0 } },
      "quantisatiion weighting coefficients 2417" },
};
static_assert(std::size(weightings) == weighting_count && rows_follow_codes(weightings),
              "a row for every weighting, in code order");

// The product is computed in double and rounded once; weight 1 gives |delta|
// itself.
inline float weighted(float delta, double weight)
{
    return static_cast<float>(weight * std::fabs(delta));
}

// The metrics, term by term in the order they are written, on the entries d
// widened to double (or to vectors of doubles: the fast search runs the very
// same expressions on several candidates at once). The caller rounds the
// result to float.
template <typename real>
always_inline_fn real metric_pow2_of(const real *d, int channels)
{
    real sum = real{};
    for (int c = 0; c < channels; ++c)
        sum += d[c] * d[c];
    return sum;
}

template <typename real>
always_inline_fn real metric_sum_of(const real *d, int channels)
{
    real sum = real{};
    for (int c = 0; c < channels; ++c)
        sum += d[c];
    return sum;
}

template <typename real>
always_inline_fn real metric_pow2m421_of(const real *d, int)
{
    return 2.0 * (d[0] * d[0]) + 4.0 * (d[1] * d[1]) + d[2] * d[2];
}

template <typename real>
always_inline_fn real metric_pow421_of(const real *d, int)
{
    return d[1] * d[1] * d[1] * d[1] + d[0] * d[0] + d[2];
}

template <typename real>
always_inline_fn real metric_pow532_of(const real *d, int)
{
    return d[1] * d[1] * d[1] * d[1] * d[1] + d[0] * d[0] * d[0] + d[2] * d[2];
}

// The fourth term weighs 200, not the 3 that the keyword suggests.
template <typename real>
always_inline_fn real metric_pow2m1113_of(const real *d, int)
{
    return d[0] * d[0] + d[1] * d[1] + d[2] * d[2] + 200.0 * (d[3] * d[3]);
}

// The metric of code `metric` on the entries d; a code without its terms
// here does not compile.
template <int metric, typename real>
always_inline_fn real metric_of(const real *d, int channels)
{
    if constexpr (metric == metric_pow2)
        return metric_pow2_of(d, channels);
    else if constexpr (metric == metric_sum)
        return metric_sum_of(d, channels);
    else if constexpr (metric == metric_pow2m421)
        return metric_pow2m421_of(d, channels);
    else if constexpr (metric == metric_pow421)
        return metric_pow421_of(d, channels);
    else if constexpr (metric == metric_pow532)
        return metric_pow532_of(d, channels);
    else if constexpr (metric == metric_pow2m1113)
        return metric_pow2m1113_of(d, channels);
    else
        static_assert(metric != metric, "a metric code without its terms");
}

// The plain search's form: float entries in, double out.
template <int metric>
inline double metric_on_floats(const float *d, int channels);

using metric_function = double (*)(const float *d, int channels);
// The same metrics on entries already widened to double.
using wide_metric_function = double (*)(const double *d, int channels);

struct metric_row {
    const char *keyword;  // of -e
    int32_t code;
    // The entries of the per-channel error it reads: 0 for every used
    // channel, otherwise that many from channel 0.
    int fixed_entries;
    metric_function on_floats;
    wide_metric_function on_doubles;
    const char *message;  // printed when -e selects it
};

// Indexed by code. A new metric is a row here and its function above.
inline constexpr metric_row metrics[] = {
    { "pow2", metric_pow2, 0, metric_on_floats<metric_pow2>, metric_of<metric_pow2, double>,
      "quantisation error finding algorithm pow2" },
    { "sum", metric_sum, 0, metric_on_floats<metric_sum>, metric_of<metric_sum, double>,
      "quantisation error finding algorithm sum" },
    { "pow2m421", metric_pow2m421, 3, metric_on_floats<metric_pow2m421>, metric_of<metric_pow2m421, double>,
      "quantisation error finding algorithm pow2m421" },
    { "pow421", metric_pow421, 3, metric_on_floats<metric_pow421>, metric_of<metric_pow421, double>,
      "quantisation error finding algorithm pow421" },
    { "pow532", metric_pow532, 3, metric_on_floats<metric_pow532>, metric_of<metric_pow532, double>,
      "quantisation error finding algorithm pow532" },
    { "pow2m1113", metric_pow2m1113, 4, metric_on_floats<metric_pow2m1113>, metric_of<metric_pow2m1113, double>,
      "quantisation error finding algorithm pow2m1113" },
};
static_assert(std::size(metrics) == metric_count && rows_follow_codes(metrics), "a row for every metric, in code order");

// How many entries of the per-channel error a metric reads.
inline int metric_entries(int metric_code, int channels)
{
    const int fixed = metrics[metric_code].fixed_entries;
    return fixed == 0 ? channels : fixed;
}

template <int metric>
inline double metric_on_floats(const float *d, int channels)
{
    double wide[max_working_channels];
    for (int e = 0, entries = metric_entries(metric, channels); e < entries; ++e)
        wide[e] = d[e];
    return metric_of<metric>(wide, channels);
}
