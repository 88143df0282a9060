// The weightings and error metrics of the nearest-colour search: one
// definition of the arithmetic, shared by the plain search and the fast one,
// so that both round every value at the same step.
#pragma once

#include <cmath>

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
    int count;  // 0: every used channel with weight 1
    weighted_channel channels[4];
};

// By quant_weighting_coefficients. 721 and 631 are the luma coefficients of
// BT.709 and BT.601.
inline const weighting_row weightings[] = {
    { 0, {} },                                                  // 111
    { 3, { { 0, 2.0 }, { 1, 4.0 }, { 2, 1.0 } } },              // 421
    { 3, { { 0, 0.2126 }, { 1, 0.7152 }, { 2, 0.0722 } } },     // 721
    { 3, { { 0, 0.299 }, { 1, 0.587 }, { 2, 0.114 } } },        // 631
    { 4, { { 0, 1.0 }, { 1, 1.0 }, { 2, 1.0 }, { 3, 3.0 } } },  // 1113
    { 4, { { 0, 2.0 }, { 1, 4.0 }, { 2, 1.0 }, { 3, 7.0 } } },  // 2417
};

constexpr int weighting_codes = 6;
constexpr int metric_codes = 6;

// A code outside the tables cannot come from the option parser; it falls back
// to the default rather than reading past a table.
inline int checked_code(int code, int count)
{
    return code >= 0 && code < count ? code : 0;
}

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

// The metric of code `metric` on the entries d.
template <int metric, typename real>
always_inline_fn real metric_of(const real *d, int channels)
{
    switch (metric) {
    case 1: return metric_sum_of(d, channels);
    case 2: return metric_pow2m421_of(d, channels);
    case 3: return metric_pow421_of(d, channels);
    case 4: return metric_pow532_of(d, channels);
    case 5: return metric_pow2m1113_of(d, channels);
    default: return metric_pow2_of(d, channels);
    }
}

// How many entries of the per-channel error a metric reads: the first two
// run over the used channels, the others read fixed entries.
inline int metric_entries(int metric_code, int channels)
{
    static const int fixed_entries[] = { 0, 0, 3, 3, 3, 4 };
    return metric_code <= 1 ? channels : fixed_entries[metric_code];
}

// The plain search's form: float entries in, double out.
template <int metric>
inline double metric_on_floats(const float *d, int channels)
{
    double wide[12];
    for (int e = 0, entries = metric_entries(metric, channels); e < entries; ++e)
        wide[e] = d[e];
    return metric_of<metric>(wide, channels);
}

using metric_function = double (*)(const float *d, int channels);

// By quant_error_finding_algorithm.
inline const metric_function metrics[] = {
    metric_on_floats<0>, metric_on_floats<1>, metric_on_floats<2>,
    metric_on_floats<3>, metric_on_floats<4>, metric_on_floats<5>,
};

// The same metrics on entries already widened to double, by code.
using wide_metric_function = double (*)(const double *d, int channels);

inline const wide_metric_function wide_metrics[] = {
    metric_of<0, double>, metric_of<1, double>, metric_of<2, double>,
    metric_of<3, double>, metric_of<4, double>, metric_of<5, double>,
};
