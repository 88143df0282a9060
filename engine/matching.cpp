#include "engine/matching.h"

#include "settings/file_state.h"
#include "settings/settings.h"

#include <cmath>

float pal_oklab[max_working_channels][palette_entries];

namespace {

// 2^(r / n) for r = 0 ... n - 1: where Newton's method starts for the reduced
// value. Any start near the root does; these are fixed literals, so every
// build starts alike.
const double root_of_two_powers[2][5] = {
    { 1.0, 1.2599210498948732, 1.5874010519681994 },                                          // n = 3
    { 1.0, 1.1486983549970351, 1.3195079107728942, 1.5157165665103980, 1.7411011265922482 },  // n = 5
};

// The n-th root (n = 3 or 5) of x >= 0. x = m 2^(n q + r) with m in [1, 2)
// (frexp and ldexp are exact), so the root is (m 2^r)^(1/n) 2^q; from a
// start within 6 % of it, four steps of Newton's method, each of which about
// squares the error, leave it within a few units in the last place of a
// double.
double nth_root(double x, int n)
{
    if (!(x > 0.0) || !std::isfinite(x))
        return x;  // 0, not a number, infinity
    int exponent = 0;
    const double m = std::frexp(x, &exponent) * 2.0;
    --exponent;
    int r = exponent % n;
    if (r < 0)
        r += n;
    const int q = (exponent - r) / n;
    const double reduced = std::ldexp(m, r);
    double y = root_of_two_powers[n == 3 ? 0 : 1][r] * (1.0 + (m - 1.0) / n);
    for (int step = 0; step < 4; ++step) {
        double power = y;
        for (int i = 2; i < n; ++i)
            power *= y;
        y = ((n - 1) * y + reduced / power) / n;
    }
    return std::ldexp(y, q);
}

// Odd: below 0 the curve is mirrored.
double signed_root(double x, int n)
{
    return x < 0.0 ? -nth_root(-x, n) : nth_root(x, n);
}

// sRGB decoding of a level (1.0 is full level) to linear light, mirrored
// below 0: ((v + 0.055) / 1.055)^2.4 above the straight segment, the power
// taken as the square times the fifth root of the square.
double srgb_to_linear(double v)
{
    const double magnitude = std::fabs(v);
    double linear;
    if (magnitude <= 0.04045) {
        linear = magnitude / 12.92;
    } else {
        const double base = (magnitude + 0.055) / 1.055;
        const double square = base * base;
        linear = square * nth_root(square, 5);
    }
    return v < 0.0 ? -linear : linear;
}

}  // namespace

bool matching_in_oklab()
{
    return color_matching == matching_oklab && color_space == color_space_rgb;
}

void working_to_oklab(const float *v, float *lab)
{
    double rgb[3];
    for (int c = 0; c < 3; ++c)
        rgb[c] = RGB_gamma == gamma_srgb ? srgb_to_linear(v[c]) : v[c];
    // The cone responses and the opponent axes of Ottosson's matrices.
    const double l = signed_root(0.4122214708 * rgb[0] + 0.5363325363 * rgb[1] + 0.0514459929 * rgb[2], 3);
    const double m = signed_root(0.2119034982 * rgb[0] + 0.6806995451 * rgb[1] + 0.1073969566 * rgb[2], 3);
    const double s = signed_root(0.0883024619 * rgb[0] + 0.2817188376 * rgb[1] + 0.6299787005 * rgb[2], 3);
    lab[0] = static_cast<float>(0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s);
    lab[1] = static_cast<float>(1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s);
    lab[2] = static_cast<float>(0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s);
}

void convert_matching_palette()
{
    if (!matching_in_oklab())
        return;
    for (auto &plane : pal_oklab)
        for (float &value : plane)
            value = 0.0f;
    for (int k = 0; k < palette_entries; ++k) {
        const float rgb[3] = { pal_ch[0][k], pal_ch[1][k], pal_ch[2][k] };
        float lab[3];
        working_to_oklab(rgb, lab);
        for (int c = 0; c < 3; ++c)
            pal_oklab[c][k] = lab[c];
    }
}
