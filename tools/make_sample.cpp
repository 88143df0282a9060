// Draws the bundled sample: a small scene with the things that show how a
// ditherer does. Smooth gradients (sky, sun glow, grey ramp), skin-like tones
// under soft light, and saturated shaded spheres and a hue sweep.
//
//   make_sample FILE [WIDTH HEIGHT [GRAIN]]
//   make_sample --sprite FILE [SIZE]
//
// FILE ends in .png or .ppm (binary). GRAIN adds film-like noise of that many
// levels, as a photograph has; the bundled sample has none. --sprite draws a
// game sprite instead, a SIZE x SIZE PNG with alpha (96 by default): a shaded
// ball with a soft edge and a soft shadow, on a clear background under which
// lies the magenta of the colour key it was cut out with.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct colour {
    double r, g, b;  // linear light, 0 ... 1
};

colour mix(colour a, colour b, double t)
{
    return { a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t };
}

colour scale(colour c, double k)
{
    return { c.r * k, c.g * k, c.b * k };
}

double smooth(double edge_0, double edge_1, double x)
{
    double t = std::clamp((x - edge_0) / (edge_1 - edge_0), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

colour from_srgb(int r, int g, int b)
{
    auto decode = [](int v) {
        double c = v / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return { decode(r), decode(g), decode(b) };
}

int to_srgb_byte(double v)
{
    v = std::clamp(v, 0.0, 1.0);
    double c = v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
    return static_cast<int>(std::lround(c * 255));
}

colour hue(double h)
{
    double r = std::clamp(std::fabs(h * 6 - 3) - 1, 0.0, 1.0);
    double g = std::clamp(2 - std::fabs(h * 6 - 2), 0.0, 1.0);
    double b = std::clamp(2 - std::fabs(h * 6 - 4), 0.0, 1.0);
    return from_srgb(static_cast<int>(r * 255), static_cast<int>(g * 255), static_cast<int>(b * 255));
}

// A sphere lit from the upper left, with a highlight; false outside it.
bool sphere(double x, double y, double cx, double cy, double radius, colour base, colour &out)
{
    double dx = (x - cx) / radius, dy = (y - cy) / radius;
    double d2 = dx * dx + dy * dy;
    if (d2 > 1)
        return false;
    double dz = std::sqrt(1 - d2);
    double lx = -0.5, ly = -0.6, lz = 0.62;
    double lambert = std::max(0.0, dx * lx + dy * ly + dz * lz);
    double specular = std::pow(std::max(0.0, dz * 0.95 + (dx * lx + dy * ly) * 0.3), 40);
    out = mix(scale(base, 0.08 + 0.92 * lambert), colour{ 1, 1, 1 }, std::min(1.0, specular * 0.8));
    return true;
}

colour scene(double x, double y, int width, int height)
{
    double u = x / width, v = y / height;
    double horizon = 0.58;

    // Strips along the bottom: a hue sweep, then a grey ramp.
    if (v >= 0.94)
        return from_srgb(static_cast<int>(u * 255), static_cast<int>(u * 255), static_cast<int>(u * 255));
    if (v >= 0.88)
        return hue(u);

    colour sky = mix(from_srgb(22, 48, 120), from_srgb(250, 160, 90), smooth(0.0, horizon, v));
    double sun_x = 0.78 * width, sun_y = 0.36 * height, sun_r = 0.075 * height;
    double sun_d = std::hypot(x - sun_x, y - sun_y);
    colour c = mix(sky, from_srgb(255, 236, 180), 0.55 * std::exp(-sun_d / (2.5 * sun_r)));
    if (sun_d < sun_r)
        c = mix(from_srgb(255, 250, 225), c, smooth(sun_r - 1.5, sun_r, sun_d));

    double hill = horizon - 0.06 * std::sin(u * 7.0 + 0.8) - 0.03 * std::sin(u * 17.0);
    if (v > hill)
        c = mix(from_srgb(96, 150, 60), from_srgb(20, 50, 24), smooth(hill, 0.88, v));

    // A face-like oval in warm skin tones, lit softly from the upper left.
    double fx = (x - 0.26 * width) / (0.13 * width), fy = (y - 0.52 * height) / (0.3 * height);
    double f2 = fx * fx + fy * fy;
    if (f2 < 1) {
        double light = 0.55 + 0.45 * smooth(0.9, -0.7, fx * 0.6 + fy * 0.8);
        colour skin = mix(from_srgb(141, 85, 60), from_srgb(236, 188, 160), light);
        double cheek = std::exp(-((fx - 0.35) * (fx - 0.35) + (fy - 0.2) * (fy - 0.2)) * 12);
        c = mix(skin, from_srgb(214, 120, 110), 0.35 * cheek);
        c = mix(c, sky, smooth(0.92, 1.0, f2));
    }

    static const int balls[][3] = { { 230, 20, 30 }, { 210, 30, 200 }, { 20, 200, 220 }, { 250, 220, 20 } };
    for (int i = 0; i < 4; ++i) {
        colour shaded;
        double cx = (0.5 + 0.11 * i) * width, cy = (0.74 - 0.02 * (i % 2)) * height;
        if (sphere(x, y, cx, cy, 0.085 * height, from_srgb(balls[i][0], balls[i][1], balls[i][2]), shaded))
            c = shaded;
    }
    return c;
}

// The sprite at one point: the ball over its shadow, straight (not
// premultiplied) colour and the alpha of the two together.
struct sprite_sample {
    colour c;
    double alpha;
};

sprite_sample sprite(double x, double y, int size)
{
    const double shadow_d = std::hypot((x - 0.56 * size) / (0.36 * size), (y - 0.84 * size) / (0.09 * size));
    const double shadow = 0.55 * (1 - smooth(0.3, 1.0, shadow_d));
    colour ball;
    if (sphere(x, y, 0.46 * size, 0.44 * size, 0.36 * size, from_srgb(40, 120, 230), ball))
        return { ball, 1.0 };
    return { from_srgb(16, 12, 30), shadow };
}

// Sixteen samples a pixel give the ball its soft edge. Colour is averaged
// over the covered samples only, weighted by their alpha.
std::vector<unsigned char> draw_sprite(int size)
{
    std::vector<unsigned char> rgba(static_cast<size_t>(size) * size * 4);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            colour sum{ 0, 0, 0 };
            double alpha = 0;
            for (int s = 0; s < 16; ++s) {
                sprite_sample p = sprite(x + (s % 4 + 0.5) / 4, y + (s / 4 + 0.5) / 4, size);
                sum = { sum.r + p.c.r * p.alpha, sum.g + p.c.g * p.alpha, sum.b + p.c.b * p.alpha };
                alpha += p.alpha / 16;
            }
            unsigned char *out = &rgba[(static_cast<size_t>(y) * size + x) * 4];
            const int level = static_cast<int>(std::lround(alpha * 255));
            if (level == 0) {
                out[0] = 255, out[1] = 0, out[2] = 255, out[3] = 0;  // the colour key left behind
                continue;
            }
            const double weight = 1 / (alpha * 16);
            out[0] = static_cast<unsigned char>(to_srgb_byte(sum.r * weight));
            out[1] = static_cast<unsigned char>(to_srgb_byte(sum.g * weight));
            out[2] = static_cast<unsigned char>(to_srgb_byte(sum.b * weight));
            out[3] = static_cast<unsigned char>(level);
        }
    return rgba;
}

bool write_png(const char *path, int width, int height, const std::vector<unsigned char> &samples, int channels = 3)
{
    FILE *file = std::fopen(path, "wb");
    if (!file)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_compression_level(png, 9);
    png_set_IHDR(png, info, width, height, 8, channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y)
        png_write_row(png, samples.data() + static_cast<size_t>(y) * width * channels);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

bool write_ppm(const char *path, int width, int height, const std::vector<unsigned char> &rgb)
{
    FILE *file = std::fopen(path, "wb");
    if (!file)
        return false;
    bool written = std::fprintf(file, "P6\n%d %d\n255\n", width, height) > 0 &&
                   std::fwrite(rgb.data(), rgb.size(), 1, file) == 1;
    return std::fclose(file) == 0 && written;
}

bool ends_with(const std::string &text, const std::string &ending)
{
    return text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

// A small deterministic generator, so the same arguments draw the same file.
uint32_t next_random(uint32_t &state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && argc <= 4 && std::string(argv[1]) == "--sprite") {
        const int size = argc == 4 ? std::atoi(argv[3]) : 96;
        if (size < 16 || size > 4096) {
            std::fprintf(stderr, "make_sample: the sprite needs 16 to 4096 pixels a side\n");
            return 2;
        }
        if (!write_png(argv[2], size, size, draw_sprite(size), 4)) {
            std::fprintf(stderr, "make_sample: cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    if (argc != 2 && argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: make_sample FILE [WIDTH HEIGHT [GRAIN]]\n       make_sample --sprite FILE [SIZE]\n");
        return 2;
    }
    int width = argc >= 4 ? std::atoi(argv[2]) : 384;
    int height = argc >= 4 ? std::atoi(argv[3]) : 256;
    int grain = argc == 5 ? std::atoi(argv[4]) : 0;
    if (width < 16 || height < 16) {
        std::fprintf(stderr, "make_sample: the scene needs at least 16 x 16 pixels\n");
        return 2;
    }
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    uint32_t random_state = 2463534242u;
    // Four samples a pixel smooth the edges of the shapes.
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            colour sum{ 0, 0, 0 };
            for (int s = 0; s < 4; ++s) {
                colour c = scene(x + 0.25 + 0.5 * (s & 1), y + 0.25 + 0.5 * (s >> 1), width, height);
                sum = { sum.r + c.r / 4, sum.g + c.g / 4, sum.b + c.b / 4 };
            }
            unsigned char *p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            int levels[] = { to_srgb_byte(sum.r), to_srgb_byte(sum.g), to_srgb_byte(sum.b) };
            int noise = grain > 0 ? static_cast<int>(next_random(random_state) % (2 * grain + 1)) - grain : 0;
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<unsigned char>(std::clamp(levels[c] + noise, 0, 255));
        }
    }
    bool ppm = ends_with(argv[1], ".ppm");
    if (!(ppm ? write_ppm(argv[1], width, height, rgb) : write_png(argv[1], width, height, rgb))) {
        std::fprintf(stderr, "make_sample: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
