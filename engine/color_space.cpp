#include "engine/color_space.h"

#include "engine/palette.h"

#include <algorithm>

namespace {

// The luma weights are held as 32-bit floats (0.29899999499320984 and
// 0.11400000005960464); the derived constants are worked out from those in
// double, so that every build arrives at the same bits.
const double kr = 0.299f;
const double kb = 0.114f;
const double kg = 1.0 - kr - kb;          // 0.5870000049471855
const double u_scale = 0.5 / (1.0 - kb);  // 0.5643340858167459
const double v_scale = 0.5 / (1.0 - kr);  // 0.7132667566744979

void rgb_part(double r, double g, double b, float *out)
{
    out[0] = static_cast<float>(r);
    out[1] = static_cast<float>(g);
    out[2] = static_cast<float>(b);
}

// Negative and undefined results become 0. Black needs no case of its own:
// 1 / (1 - K) is infinite there and 0 times infinity is not a number, so
// black comes out as (0, 0, 0, 1).
float non_negative(double v)
{
    return v >= 0.0 ? static_cast<float>(v) : 0.0f;
}

void cmyk_part(double r, double g, double b, float *out)
{
    const double k = 1.0 - std::max({ r, g, b });
    const double scale = 1.0 / (1.0 - k);
    out[0] = non_negative(((1.0 - r) - k) * scale);
    out[1] = non_negative(((1.0 - g) - k) * scale);
    out[2] = non_negative(((1.0 - b) - k) * scale);
    out[3] = non_negative(k);
}

// U and V take Y at double precision, before it is rounded for storing.
void yuv_part(double r, double g, double b, float *out)
{
    const double y = kr * r + kg * g + kb * b;
    out[0] = static_cast<float>(y);
    out[1] = static_cast<float>((b - y) * u_scale + 0.5);
    out[2] = static_cast<float>((r - y) * v_scale + 0.5);
}

void cmy_part(double r, double g, double b, float *out)
{
    out[0] = static_cast<float>(1.0 - r);
    out[1] = static_cast<float>(1.0 - g);
    out[2] = static_cast<float>(1.0 - b);
}

// C, M and Y are not reduced by K here, unlike in cmyk_part.
void cmyk2_part(double r, double g, double b, float *out)
{
    cmy_part(r, g, b, out);
    out[3] = static_cast<float>(1.0 - std::max({ r, g, b }));
}

// The combined spaces are RGB followed by CMYK or YUV, exactly.
void rgbcmyk_part(double r, double g, double b, float *out)
{
    rgb_part(r, g, b, out);
    cmyk_part(r, g, b, out + 3);
}

void rgbyuv_part(double r, double g, double b, float *out)
{
    rgb_part(r, g, b, out);
    yuv_part(r, g, b, out + 3);
}

}  // namespace

constexpr color_space_row color_spaces[color_space_count] = {
    { "rgb", color_space_rgb, 3, rgb_part, "RGB color space selected" },
    { "cmyk", color_space_cmyk, 4, cmyk_part, "CMYK color space selected" },
    { "rgbcmyk", color_space_rgbcmyk, 7, rgbcmyk_part, "rgbcmyk color space selected" },
    { "yuv", color_space_yuv, 3, yuv_part, "YUV color space selected" },
    { "rgbyuv", color_space_rgbyuv, 6, rgbyuv_part, "rgbyuv color space selected" },
    { "cmy", color_space_cmy, 3, cmy_part, "CMY color space selected" },
    { "cmyk2", color_space_cmyk2, 4, cmyk2_part, "CMYK2 color space selected" },
};
static_assert(rows_follow_codes(color_spaces), "a row for every code, in code order");

const color_space_row &color_space_of(int32_t code)
{
    return color_spaces[checked_code(code, color_space_count)];
}

void select_color_space(int32_t code)
{
    color_space = code;
    channels_used = color_space_of(code).channels;
}

void convert_palette()
{
    const color_converter convert = color_space_of(color_space).convert;
    std::fill(&pal_ch[0][0], &pal_ch[0][0] + max_working_channels * palette_entries, 0.0f);
    for (int i = 0; i < palette_entries; ++i) {
        float channels[max_working_channels];
        convert(pal_R[i], pal_G[i], pal_B[i], channels);
        for (int c = 0; c < channels_used; ++c)
            pal_ch[c][i] = channels[c];
    }
}
