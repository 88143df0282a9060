// The vector kernels of the fast search, compiled for each vector unit, and
// the choice of the widest one the machine has.
#include "engine/search_parts.h"

#include <cstring>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

using namespace search_parts;

namespace {

// The vectors of a vector unit: sixteen floats for AVX-512, eight for AVX2,
// four for anything else.
template <int lanes>
struct vectors;

template <>
struct vectors<16> {
    typedef float floats __attribute__((vector_size(64)));
    typedef int32_t ints __attribute__((vector_size(64)));
};

template <>
struct vectors<8> {
    typedef float floats __attribute__((vector_size(32)));
    typedef int32_t ints __attribute__((vector_size(32)));
};

template <>
struct vectors<4> {
    typedef float floats __attribute__((vector_size(16)));
    typedef int32_t ints __attribute__((vector_size(16)));
};

template <>
struct vectors<2> {
    typedef float floats __attribute__((vector_size(8)));
    typedef int32_t ints __attribute__((vector_size(8)));
};

// As many doubles as a vector of floats has lanes, for the exact arithmetic:
// eight in the widest registers.
template <int lanes>
struct exact_vectors {
    typedef double doubles __attribute__((vector_size(lanes * sizeof(double))));
};

// The search first sizes the error of a whole vector of candidates roughly, in
// float, then settles the few whose rough error lies near the least with the
// exact arithmetic. Every entry of the per-channel error and every term of a
// metric is a product of at most five non-negative factors, and the terms are
// only ever added, so the float result lies within a relative 30 units of the
// last place (about 2e-6) of the exact one, plus an absolute amount far below
// 1e-38 where values leave the normal range. The margin allowed for it is some
// five times larger.
constexpr float rough_margin = 1e-5f;
constexpr float rough_floor = 1e-35f;

// The most the exact error can be, given the rough one, and the other way
// round: both are the same widening.
inline float widened(float rough)
{
    return rough * (1.0f + rough_margin) + rough_floor;
}

// Above this the exact search decides: the plain search refuses errors from
// 1e18 on, and rough errors may overflow where exact ones do not.
constexpr float rough_limit = 1e17f;

// The rough per-channel error of a vector of candidates. With plain, every
// entry read is |v - pal|, as under the default weighting.
template <int lanes, int entries, bool plain>
__attribute__((always_inline)) inline void weigh_batch(const plan_t &p, const cell_t &c, int i, const float *v,
                                                       typename vectors<lanes>::floats *d)
{
    using floats = typename vectors<lanes>::floats;
    using ints = typename vectors<lanes>::ints;
    for (int e = 0; e < entries; ++e) {
        if (!plain && p.kind[e] == plan_t::constant) {
            d[e] = floats{} + p.constant_value[e];
            continue;
        }
        floats colour;
        std::memcpy(&colour, c.colour(e) + i, sizeof colour);
        const floats magnitude = (floats)((ints)(v[e] - colour) & 0x7fffffff);
        d[e] = !plain && p.kind[e] == plan_t::weighted_difference ? p.float_weight[e] * magnitude : magnitude;
    }
}

// Each lane paired with the lane `step` away, and each lane's own bit: the
// halving steps of the reductions below.
template <int step, typename vector, size_t... lane>
__attribute__((always_inline)) inline vector with_partners(vector x, std::index_sequence<lane...>)
{
    return __builtin_shufflevector(x, x, static_cast<int>(lane ^ step)...);
}

template <int lanes, size_t... lane>
__attribute__((always_inline)) inline typename vectors<lanes>::ints lane_bits(std::index_sequence<lane...>)
{
    return typename vectors<lanes>::ints{ static_cast<int32_t>(1u << lane)... };
}

// Every lane the smallest of them all.
template <int lanes, int step = lanes / 2>
__attribute__((always_inline)) inline typename vectors<lanes>::floats smallest_everywhere(
    typename vectors<lanes>::floats x)
{
    if constexpr (step == 0) {
        return x;
    } else {
        const auto y = with_partners<step>(x, std::make_index_sequence<lanes>{});
        return smallest_everywhere<lanes, step / 2>(x < y ? x : y);
    }
}

// Every lane all the lanes' bits.
template <int lanes, int step = lanes / 2>
__attribute__((always_inline)) inline typename vectors<lanes>::ints joined_everywhere(
    typename vectors<lanes>::ints x)
{
    if constexpr (step == 0)
        return x;
    else
        return joined_everywhere<lanes, step / 2>(x | with_partners<step>(x, std::make_index_sequence<lanes>{}));
}

// GCC inlines these into the searches built for each unit; clang refuses to
// pass a wide vector to them from a function not built for that unit, and
// takes the generic mask instead, which gives the same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TESSALY_VECTOR_MASKS 1
__attribute__((target("avx512f"))) inline uint32_t mask_at_most_16(vectors<16>::floats x, float limit)
{
    return _mm512_cmp_ps_mask(x, _mm512_set1_ps(limit), _CMP_LE_OQ);
}

__attribute__((target("avx"))) inline uint32_t mask_at_most_8(vectors<8>::floats x, float limit)
{
    return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(x, _mm256_set1_ps(limit), _CMP_LE_OQ)));
}
#endif

// The smallest lane; a non-number is never the smallest.
template <int lanes>
__attribute__((always_inline)) inline float smallest_lane(typename vectors<lanes>::floats x)
{
    return smallest_everywhere<lanes>(x == x ? x : infinity)[0];
}

// Bit j set where lane j is at most the limit (a non-number never is): the
// mask of a vector compare where the unit has one.
template <int lanes>
__attribute__((always_inline)) inline uint32_t lanes_at_most(typename vectors<lanes>::floats x, float limit)
{
#ifdef TESSALY_VECTOR_MASKS
    if constexpr (lanes == 16)
        return mask_at_most_16(x, limit);
    if constexpr (lanes == 8)
        return mask_at_most_8(x, limit);
    if constexpr (lanes == 4)
        return static_cast<uint32_t>(_mm_movemask_ps(_mm_cmple_ps(x, _mm_set1_ps(limit))));
#endif
    const auto bits = (x <= limit) & lane_bits<lanes>(std::make_index_sequence<lanes>{});
    return static_cast<uint32_t>(joined_everywhere<lanes>(bits)[0]);
}

// Tries the cell's entries by rising bound, a vector at a time, until the
// next bound passes what the least rough error allows the exact least to be:
// no entry from there on can win or tie. Then settles exactly, lowest index
// on ties, every entry tried whose rough error could hide the exact least.
template <int lanes, int metric, int entries, bool plain>
__attribute__((always_inline)) inline int search_batches(const plan_t &p, const cell_t &c, const float *v)
{
    using floats = typename vectors<lanes>::floats;
    floats rough[palette_entries / lanes];
    float batch_least[palette_entries / lanes];
    float least = infinity;
    int tried = 0;
    for (int i = 0; i < c.count && !(c.bound()[i] > widened(least)); i += lanes, ++tried) {
        floats d[entries];
        weigh_batch<lanes, entries, plain>(p, c, i, v, d);
        // Metrics 0 and 1 run over the used channels, which are the entries
        // they read; the others ignore the count.
        rough[tried] = metric_of<metric>(d, entries);
        batch_least[tried] = smallest_lane<lanes>(rough[tried]);
        least = std::min(least, batch_least[tried]);
    }
    if (!(least <= rough_limit))
        return unsettled;

    // An entry whose rough error passes this is beaten by the entry of the
    // least rough error, whatever their exact errors.
    const float reach = widened(widened(least));
    int candidates = 0, only = -1;
    float best = no_error_yet;
    int best_entry = -1;
    for (int b = 0; b < tried; ++b) {
        if (!(batch_least[b] <= reach))
            continue;
        for (uint32_t mask = lanes_at_most<lanes>(rough[b], reach); mask != 0; mask &= mask - 1) {
            const int k = c.entry()[b * lanes + __builtin_ctz(mask)];
            if (++candidates == 1) {
                // Alone within reach, it wins without being settled.
                only = k;
                continue;
            }
            if (candidates == 2) {
                best = error_of<metric>(p, v, only);
                best_entry = only;
            }
            const float e = error_of<metric>(p, v, k);
            if (e < best || (e == best && k < best_entry)) {
                best = e;
                best_entry = k;
            }
        }
    }
    return candidates == 1 ? only : best_entry;
}

// The per-channel error of a vector of candidates exactly as the plain
// search forms it, widened to double: |v - pal| in float, the weighted ones
// multiplied in double and rounded to float once.
template <int lanes, int entries, bool plain>
__attribute__((always_inline)) inline void weigh_exactly_batch(const plan_t &p, const cell_t &c, int i, const float *v,
                                                               typename exact_vectors<lanes>::doubles *d)
{
    using floats = typename vectors<lanes>::floats;
    using ints = typename vectors<lanes>::ints;
    using doubles = typename exact_vectors<lanes>::doubles;
    for (int e = 0; e < entries; ++e) {
        if (!plain && p.kind[e] == plan_t::constant) {
            d[e] = doubles{} + static_cast<double>(p.constant_value[e]);
            continue;
        }
        floats colour;
        std::memcpy(&colour, c.colour(e) + i, sizeof colour);
        const floats magnitude = (floats)((ints)(v[e] - colour) & 0x7fffffff);
        d[e] = __builtin_convertvector(magnitude, doubles);
        if (!plain && p.kind[e] == plan_t::weighted_difference)
            d[e] = __builtin_convertvector(__builtin_convertvector(p.weight[e] * d[e], floats), doubles);
    }
}

// The search of a palette of a few colours: every entry of the list (the
// palette's colours in index order) with the plain search's arithmetic, a
// vector at a time, so that nothing is left to settle. The least error wins
// if it is below the search's starting value, the first lane of it (the
// lowest index) on ties; an error that is not a number never wins.
template <int lanes, int metric, int entries, bool plain>
__attribute__((always_inline)) inline int search_few(const plan_t &p, const cell_t &c, const float *v)
{
    using floats = typename vectors<lanes>::floats;
    float best = no_error_yet;
    int best_entry = -1;
    for (int i = 0; i < c.kept; i += lanes) {
        typename exact_vectors<lanes>::doubles d[entries];
        weigh_exactly_batch<lanes, entries, plain>(p, c, i, v, d);
        const floats error = __builtin_convertvector(metric_of<metric>(d, entries), floats);
        const float least = smallest_lane<lanes>(error);
        if (least < best) {
            best = least;
            best_entry = c.entry()[i + __builtin_ctz(lanes_at_most<lanes>(error, least))];
        }
    }
    return best_entry;
}

// The metric, the number of entries it reads and whether they are all plain
// differences fix the shape of the search, and whether it walks a cell's
// list by its bounds or tries a few colours exactly; the widest vector unit
// of the machine runs it.
template <int metric, int entries, bool plain, bool few>
int search_generic(const plan_t &p, const cell_t &c, const float *v)
{
    if constexpr (few)
        return search_few<2, metric, entries, plain>(p, c, v);
    else
        return search_batches<4, metric, entries, plain>(p, c, v);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <int metric, int entries, bool plain, bool few>
__attribute__((target("avx2"))) int search_avx2(const plan_t &p, const cell_t &c, const float *v)
{
    if constexpr (few)
        return search_few<4, metric, entries, plain>(p, c, v);
    else
        return search_batches<8, metric, entries, plain>(p, c, v);
}

template <int metric, int entries, bool plain, bool few>
__attribute__((target("avx512f,avx512dq"))) int search_avx512(const plan_t &p, const cell_t &c, const float *v)
{
    if constexpr (few)
        return search_few<8, metric, entries, plain>(p, c, v);
    else
        return search_batches<16, metric, entries, plain>(p, c, v);
}
#endif

template <int metric, int entries, bool plain, bool few>
batch_search widest_search()
{
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
        return search_avx512<metric, entries, plain, few>;
    if (__builtin_cpu_supports("avx2"))
        return search_avx2<metric, entries, plain, few>;
#endif
    return search_generic<metric, entries, plain, few>;
}

// Every metric with the number of entries it reads in some colour space:
// metrics 0 and 1 read the used channels (3, 4, 6 or 7), the others a fixed
// number. A pair missing here leaves the file to the exhaustive search, which
// a test makes sure no colour space reaches.
struct search_row {
    int metric, entries;
    // By the kinds of the entries (every kind, or every one a plain
    // difference) and by few: the search of a few colours.
    batch_search (*search[2][2])();
};

template <int metric, int entries>
constexpr search_row row_of()
{
    return { metric, entries,
             { { widest_search<metric, entries, false, false>, widest_search<metric, entries, false, true> },
               { widest_search<metric, entries, true, false>, widest_search<metric, entries, true, true> } } };
}

const search_row searches[] = {
    row_of<0, 3>(), row_of<0, 4>(), row_of<0, 6>(), row_of<0, 7>(), row_of<1, 3>(), row_of<1, 4>(),
    row_of<1, 6>(), row_of<1, 7>(), row_of<2, 3>(), row_of<3, 3>(), row_of<4, 3>(), row_of<5, 4>(),
};

}  // namespace

namespace search_parts {

batch_search search_for(int metric, int entries, bool plain, bool few)
{
    for (const search_row &row : searches)
        if (row.metric == metric && row.entries == entries)
            return row.search[plain][few]();
    return nullptr;
}

}  // namespace search_parts
