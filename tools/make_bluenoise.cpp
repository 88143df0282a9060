// Writes the blue-noise threshold texture of the ordered dithering: a
// 64 x 64 tile in which every rank 0 ... 4095 stands once, made by the
// void-and-cluster method. The tile wraps around at its edges, so that laid
// side by side it shows no seam and no period shorter than its own size.
//
//   make_bluenoise FILE      writes the ranks as a C++ initialiser list
//
// The method: a pattern of a tenth of the pixels is settled by moving the
// pixel in the tightest cluster into the largest void until none moves; its
// pixels are then ranked by taking the tightest cluster away one at a time,
// and the rest of the tile by filling the largest void one at a time. A
// cluster is where the Gaussian-weighted count of set pixels around a pixel
// is highest, a void where it is lowest. Ties go to the lowest position, and
// the starting pattern comes from a fixed sequence, so the tile is the same
// on every run.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int side = 64;
constexpr int area = side * side;
constexpr double sigma = 1.5;

// The influence of a set pixel on every other, by wrapped offset.
struct gaussian_table {
    double weight[area];
    gaussian_table()
    {
        for (int dy = 0; dy < side; ++dy)
            for (int dx = 0; dx < side; ++dx) {
                const int wx = dx <= side / 2 ? dx : side - dx;
                const int wy = dy <= side / 2 ? dy : side - dy;
                weight[dy * side + dx] = std::exp(-(wx * wx + wy * wy) / (2.0 * sigma * sigma));
            }
    }
};

const gaussian_table gaussian;

// The set pixels and, for every pixel, the weighted count of the set pixels
// around it, kept up to date one change at a time.
struct pattern {
    std::vector<uint8_t> set = std::vector<uint8_t>(area, 0);
    std::vector<double> energy = std::vector<double>(area, 0.0);

    void toggle(int position)
    {
        const double sign = set[position] ? -1.0 : 1.0;
        set[position] ^= 1;
        const int px = position % side, py = position / side;
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                const int dx = (x - px + side) % side, dy = (y - py + side) % side;
                energy[y * side + x] += sign * gaussian.weight[dy * side + dx];
            }
    }

    // The set pixel with the most set pixels around it.
    int tightest_cluster() const
    {
        int best = -1;
        for (int p = 0; p < area; ++p)
            if (set[p] && (best < 0 || energy[p] > energy[best]))
                best = p;
        return best;
    }

    // The clear pixel with the fewest set pixels around it.
    int largest_void() const
    {
        int best = -1;
        for (int p = 0; p < area; ++p)
            if (!set[p] && (best < 0 || energy[p] < energy[best]))
                best = p;
        return best;
    }
};

// A fixed sequence (a 64-bit linear congruential generator) for the start.
uint64_t next_random(uint64_t &state)
{
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
}

pattern initial_pattern()
{
    pattern start;
    uint64_t state = 1;
    for (int placed = 0; placed < area / 10;) {
        const int p = static_cast<int>(next_random(state) % area);
        if (!start.set[p]) {
            start.toggle(p);
            ++placed;
        }
    }
    for (;;) {
        const int cluster = start.tightest_cluster();
        start.toggle(cluster);
        const int gap = start.largest_void();
        if (gap == cluster) {
            start.toggle(cluster);
            return start;
        }
        start.toggle(gap);
    }
}

std::vector<int> ranks()
{
    std::vector<int> rank(area, -1);
    const pattern start = initial_pattern();
    int ones = 0;
    for (int p = 0; p < area; ++p)
        ones += start.set[p];

    pattern shrinking = start;
    for (int r = ones - 1; r >= 0; --r) {
        const int p = shrinking.tightest_cluster();
        shrinking.toggle(p);
        rank[p] = r;
    }
    pattern growing = start;
    for (int r = ones; r < area; ++r) {
        const int p = growing.largest_void();
        growing.toggle(p);
        rank[p] = r;
    }
    return rank;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_bluenoise FILE\n");
        return 2;
    }
    std::FILE *file = std::fopen(argv[1], "w");
    if (!file) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(file, "// The ranks of the %d x %d blue-noise tile, row by row; written by "
                       "tools/make_bluenoise.\n", side, side);
    const std::vector<int> rank = ranks();
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x)
            std::fprintf(file, "%d,", rank[y * side + x]);
        std::fprintf(file, "\n");
    }
    return std::fclose(file) == 0 ? 0 : 1;
}
