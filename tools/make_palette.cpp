// Writes the project's ready palettes as 768-byte palette files: 256 entries
// of red, green and blue.
//
//   make_palette NAME FILE      NAME: default, cube332, grey, websafe, cga
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct rgb {
    int r, g, b;
};

using palette = std::vector<rgb>;

int level(int step, int steps)
{
    return (step * 255 + (steps - 1) / 2) / (steps - 1);
}

// A cube of 6 reds, 8 greens and 5 blues (the eye tells greens apart best and
// blues least) and 16 greys between black and white: every level of a
// photograph has a near neighbour, and greys dither without colour noise.
palette default_palette()
{
    palette colours;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 8; ++g)
            for (int b = 0; b < 5; ++b)
                colours.push_back({ level(r, 6), level(g, 8), level(b, 5) });
    for (int k = 1; k <= 16; ++k) {
        int grey = (k * 255 + 8) / 17;
        colours.push_back({ grey, grey, grey });
    }
    return colours;
}

// 8 reds, 8 greens, 4 blues: the classic byte-per-pixel colour cube.
palette cube332_palette()
{
    palette colours;
    for (int r = 0; r < 8; ++r)
        for (int g = 0; g < 8; ++g)
            for (int b = 0; b < 4; ++b)
                colours.push_back({ level(r, 8), level(g, 8), level(b, 4) });
    return colours;
}

palette grey_palette()
{
    palette colours;
    for (int k = 0; k < 256; ++k)
        colours.push_back({ k, k, k });
    return colours;
}

// The 216 colours of the 6 x 6 x 6 web cube and 40 greys that the cube lacks.
palette websafe_palette()
{
    palette colours;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                colours.push_back({ r * 51, g * 51, b * 51 });
    for (int k = 1; colours.size() < 256; ++k) {
        int grey = k * 255 / 41;
        if (grey % 51 != 0)
            colours.push_back({ grey, grey, grey });
    }
    return colours;
}

// The 16 colours of the old colour graphics adapter. The rest of the 256
// entries repeat the last colour; a repeated colour never wins, since the
// lower index wins a tie.
palette cga_palette()
{
    palette colours = {
        { 0x00, 0x00, 0x00 }, { 0x00, 0x00, 0xAA }, { 0x00, 0xAA, 0x00 }, { 0x00, 0xAA, 0xAA },
        { 0xAA, 0x00, 0x00 }, { 0xAA, 0x00, 0xAA }, { 0xAA, 0x55, 0x00 }, { 0xAA, 0xAA, 0xAA },
        { 0x55, 0x55, 0x55 }, { 0x55, 0x55, 0xFF }, { 0x55, 0xFF, 0x55 }, { 0x55, 0xFF, 0xFF },
        { 0xFF, 0x55, 0x55 }, { 0xFF, 0x55, 0xFF }, { 0xFF, 0xFF, 0x55 }, { 0xFF, 0xFF, 0xFF },
    };
    colours.resize(256, colours.back());
    return colours;
}

struct named_palette {
    const char *name;
    palette (*make)();
};

const named_palette palettes[] = {
    { "default", default_palette }, { "cube332", cube332_palette }, { "grey", grey_palette },
    { "websafe", websafe_palette }, { "cga", cga_palette },
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_palette NAME FILE (NAME: default, cube332, grey, websafe, cga)\n");
        return 2;
    }
    for (const named_palette &p : palettes) {
        if (std::strcmp(p.name, argv[1]) != 0)
            continue;
        palette colours = p.make();
        if (colours.size() != 256) {
            std::fprintf(stderr, "make_palette: %s has %zu entries\n", p.name, colours.size());
            return 1;
        }
        unsigned char bytes[768];
        for (int i = 0; i < 256; ++i) {
            bytes[3 * i] = static_cast<unsigned char>(colours[i].r);
            bytes[3 * i + 1] = static_cast<unsigned char>(colours[i].g);
            bytes[3 * i + 2] = static_cast<unsigned char>(colours[i].b);
        }
        FILE *file = std::fopen(argv[2], "wb");
        bool written = file && std::fwrite(bytes, sizeof bytes, 1, file) == 1;
        if (file && std::fclose(file) != 0)
            written = false;
        if (!written) {
            std::fprintf(stderr, "make_palette: cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    std::fprintf(stderr, "make_palette: no palette named %s\n", argv[1]);
    return 2;
}
