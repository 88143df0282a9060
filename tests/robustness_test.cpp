// The program pointed at anything: damaged, empty, lying and unusual inputs,
// and the guarantees about files (inputs never changed, no output replaced or
// left half written), each checked by running the built program.
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

const std::string banner = "\nTessaly d0044 by Vorlane\n\n";

std::string size_lines(int width, int height)
{
    return "\nimage width " + std::to_string(width) + "\nimage heigh " + std::to_string(height) + "\n\n";
}

struct measured_run {
    run_result result;
    long peak_kb = 0;  // the program's peak resident memory
};

// Runs the program in a child of a child, so that the peak memory of that one
// run can be read, and so that limits set for it stay there.
measured_run run_measured(const std::vector<std::string> &arguments, const std::string &cwd,
                          rlim_t file_size_limit = RLIM_INFINITY)
{
    char report[] = "/tmp/tessaly-measured-XXXXXX";
    const int fd = mkstemp(report);
    close(fd);
    const pid_t child = fork();
    if (child == 0) {
        if (file_size_limit != RLIM_INFINITY) {
            // Ignored, SIGXFSZ turns a write past the limit into an error (EFBIG).
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit = { file_size_limit, file_size_limit };
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        const run_result r = run_tessaly(arguments, cwd);
        rusage usage = {};
        getrusage(RUSAGE_CHILDREN, &usage);
        const rlimit none = { RLIM_INFINITY, RLIM_INFINITY };
        setrlimit(RLIMIT_FSIZE, &none);  // raising back is allowed to root only; the report is small
        std::FILE *out = std::fopen(report, "wb");
        std::fprintf(out, "%d %ld %zu %zu\n", r.status, usage.ru_maxrss, r.output.size(), r.errors.size());
        std::fwrite(r.output.data(), 1, r.output.size(), out);
        std::fwrite(r.errors.data(), 1, r.errors.size(), out);
        std::fclose(out);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    measured_run run;
    const std::string text = read_file(report);
    unlink(report);
    size_t output_size = 0, errors_size = 0;
    const size_t consumed = text.find('\n') + 1;
    if (std::sscanf(text.c_str(), "%d %ld %zu %zu", &run.result.status, &run.peak_kb, &output_size, &errors_size) == 4) {
        run.result.output = text.substr(consumed, output_size);
        run.result.errors = text.substr(consumed + output_size, errors_size);
    }
    return run;
}

// A grey palette: entry i is (i, i, i), so a grey pixel's entry is its level.
bytes grey_palette()
{
    bytes rgb;
    for (int i = 0; i < 256; ++i)
        rgb.insert(rgb.end(), { uint8_t(i), uint8_t(i), uint8_t(i) });
    return rgb;
}

// 16 x 16 in four uniform 8 x 8 blocks, the JPEG's own units: with quality
// 100 such blocks come back exactly.
const uint8_t block_levels[4] = { 0, 64, 200, 255 };
uint8_t block_level(int x, int y) { return block_levels[(y / 8) * 2 + x / 8]; }

bytes block_samples(int components)
{
    bytes out;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            out.insert(out.end(), components, block_level(x, y));
    return out;
}

// A PNG chunk with its CRC.
std::string png_chunk(const char *type, const std::string &data)
{
    auto be32 = [](uint32_t v) {
        return std::string{ char(v >> 24), char(v >> 16), char(v >> 8), char(v) };
    };
    const std::string body = std::string(type, 4) + data;
    return be32(static_cast<uint32_t>(data.size())) + body +
           be32(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(body.data()), body.size())));
}

// A PNG whose header claims the size, followed by a few bytes of image data.
std::string lying_png(uint32_t width, uint32_t height, bool interlaced)
{
    std::string header;
    for (uint32_t v : { width, height })
        header += { char(v >> 24), char(v >> 16), char(v >> 8), char(v) };
    header += { 8, 2, 0, 0, char(interlaced ? 1 : 0) };
    const std::string compressed = { 0x78, 0x01, 0x00, 0x00, 0x01, char(0xFF), char(0xFE) };
    return "\x89PNG\r\n\x1a\n" + png_chunk("IHDR", header) + png_chunk("IDAT", compressed) + png_chunk("IEND", "");
}

// The JPEG with its frame header claiming another size.
std::string resized_jpeg(std::string jpeg, int width, int height)
{
    for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
        const unsigned char marker = static_cast<unsigned char>(jpeg[i + 1]);
        if (jpeg[i] == '\xFF' && (marker == 0xC0 || marker == 0xC2)) {
            jpeg[i + 5] = char(height >> 8), jpeg[i + 6] = char(height);
            jpeg[i + 7] = char(width >> 8), jpeg[i + 8] = char(width);
            return jpeg;
        }
    }
    return "";
}

// A lying header must not make the program take memory for the size it
// claims: a plain run stays within a few megabytes. The address sanitizer
// commits shadow memory for every buffer taken, touched or not, so under it
// only a far looser bound holds.
#if defined(__SANITIZE_ADDRESS__)
constexpr long peak_bound_kb = 4L << 20;
#else
constexpr long peak_bound_kb = 32L << 10;
#endif

class robustness : public ::testing::Test {
protected:
    void SetUp() override { write_palette_file(folder.file("palette.act"), grey_palette()); }

    // The indices of an output, which for grey inputs are their levels.
    bytes output_indices(const std::string &name)
    {
        const decoded_png png = decode_png_file(folder.file(name));
        EXPECT_TRUE(png.ok) << name << ": " << png.error;
        return png.pixels;
    }

    temp_folder folder;
};

}  // namespace


// Every input shows the same four grey blocks; with the grey palette and no
// error to spread, each output's indices are those levels.
TEST_F(robustness, unusual_forms_all_dither_in_one_run)
{
    const bytes levels = block_samples(1);
    bytes rgb, grey_alpha, rgba16, indices;
    for (uint8_t v : levels) {
        rgb.insert(rgb.end(), { v, v, v });
        grey_alpha.insert(grey_alpha.end(), { v, uint8_t(255 - v) });
        rgba16.insert(rgba16.end(), { v, v, v, v, v, v, 0, 0 });  // 16-bit, fully transparent
        indices.push_back(static_cast<uint8_t>(v == 0 ? 0 : v == 64 ? 1 : v == 200 ? 2 : 3));
    }
    const bytes four_entries = { 0, 0, 0, 64, 64, 64, 200, 200, 200, 255, 255, 255 };
    write_png_form(folder.file("grey_alpha.png"), 16, 16, { 4, 8 }, grey_alpha);
    write_png_form(folder.file("rgba16.png"), 16, 16, { 6, 16 }, rgba16);
    write_png_form(folder.file("indexed.png"), 16, 16, { 3, 8, false, four_entries, { 0, 128, 255, 7 } }, indices);
    write_png_form(folder.file("interlaced.png"), 16, 16, { 0, 8, true }, levels);
    write_test_jpeg(folder.file("progressive.jpg"), 16, 16, 3, block_samples(3), true);
    write_test_jpeg(folder.file("grey.jpg"), 16, 16, 1, block_samples(1), false);
    write_file(folder.file("image.bmp"), bmp_bytes(16, 16, rgb));
    write_file(folder.file("image.pgm"), "P5 16 16 255\n" + std::string(levels.begin(), levels.end()));

    const std::vector<std::string> inputs = { "grey_alpha.png", "rgba16.png", "indexed.png", "interlaced.png",
                                              "progressive.jpg", "grey.jpg", "image.bmp", "image.pgm" };
    const run_result r = run_tessaly(inputs, folder.path());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.errors, "");
    for (const std::string &input : inputs)
        EXPECT_EQ(output_indices(input.substr(0, input.find('.')) + "_dithered_0000.png"), levels) << input;
}

// Each bad input gets one line, no output and status 1, and costs little
// memory whatever size it claims; the good file after it is still done.
TEST_F(robustness, hostile_inputs_fail_alone_with_one_line_and_little_memory)
{
    write_png_form(folder.file("good.png"), 2, 1, { 2, 8 }, { 9, 9, 9, 8, 8, 8 });
    const std::string png = read_file(folder.file("good.png"));
    std::string bad_crc = png;
    bad_crc[bad_crc.size() - 20] ^= 0x10;  // inside the image data
    write_test_jpeg(folder.file("source.jpg"), 16, 16, 3, block_samples(3), false);
    const std::string jpeg = read_file(folder.file("source.jpg"));
    write_test_jpeg(folder.file("progressive.jpg"), 16, 16, 3, block_samples(3), true);
    const std::string progressive = read_file(folder.file("progressive.jpg"));
    // Noise, so that most of the file is the scan and a cut lands in it.
    bytes noise(64 * 64 * 3);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    write_test_jpeg(folder.file("noise.jpg"), 64, 64, 3, noise, false);
    const std::string noisy = read_file(folder.file("noise.jpg"));
    mkdir(folder.file("folder.png").c_str(), 0755);

    const std::string open_error = "image open error\n";
    const struct { const char *name; std::string contents, message; } cases[] = {
        { "missing.png", "", open_error },
        { "folder.png", "", open_error },
        { "empty.png", "", open_error },
        { "words.jpg", "just some words\n", open_error },
        // The header is whole, so the size is known before the damage shows.
        { "cut.png", png.substr(0, png.size() - 20), size_lines(2, 1) + open_error },
        { "crc.png", bad_crc, size_lines(2, 1) + open_error },
        { "cut.jpg", noisy.substr(0, noisy.size() / 2), size_lines(64, 64) + open_error },
        { "zero_height.jpg", resized_jpeg(jpeg, 16, 0), open_error },
        // Headers that claim enormous sizes, over files of a few hundred bytes.
        { "huge.png", lying_png(60000, 60000, false), open_error },
        { "huge_interlaced.png", lying_png(30000, 30000, true), open_error },
        { "huge.ppm", "P6 60000 60000 255\n" + std::string(300, 'x'), open_error },
        { "huge.bmp", bmp_bytes(2, 2, bytes(12, 1)).replace(18, 8, std::string("\x60\xEA\x00\x00\x60\xEA\x00\x00", 8)), open_error },
        // Some three million blocks of chroma alone need more bits than the file has.
        { "huge.jpg", resized_jpeg(jpeg, 30000, 30000), open_error },
        { "huge_progressive.jpg", resized_jpeg(progressive, 30000, 30000), open_error },
        // Small enough to be real: the size is reported, the rows are missing.
        { "tall.jpg", resized_jpeg(jpeg, 16, 600), size_lines(16, 600) + open_error },
    };
    for (const auto &c : cases) {
        if (!c.contents.empty() || std::string(c.name) == "empty.png")
            write_file(folder.file(c.name), c.contents);
        const measured_run run = run_measured({ c.name, "good.png" }, folder.path());
        EXPECT_EQ(run.result.status, 1) << c.name;
        EXPECT_EQ(run.result.output, banner + c.name + " - " + c.message + "good.png - " + size_lines(2, 1)) << c.name;
        EXPECT_EQ(run.result.errors, "") << c.name;
        EXPECT_LT(run.peak_kb, peak_bound_kb) << c.name;
        const std::string stem = std::string(c.name).substr(0, std::string(c.name).find('.'));
        EXPECT_FALSE(file_exists(folder.file(stem + "_dithered_0000.png"))) << c.name;
        EXPECT_TRUE(file_exists(folder.file("good_dithered_0000.png"))) << c.name;
        unlink(folder.file("good_dithered_0000.png").c_str());
    }
}

// Two processes on one input take twelve distinct names, every output whole;
// the inputs, PNG and JPEG, are never modified.
TEST_F(robustness, two_runs_on_one_input_never_share_an_output_or_touch_the_input)
{
    const bytes levels = block_samples(1);
    write_png_form(folder.file("in.png"), 16, 16, { 0, 8 }, levels);
    write_test_jpeg(folder.file("other.jpg"), 16, 16, 1, block_samples(1), false);
    const std::string png_before = read_file(folder.file("in.png")), jpeg_before = read_file(folder.file("other.jpg"));
    const std::vector<std::string> arguments(6, "in.png");
    run_result first, second;
    std::thread other([&] { first = run_tessaly(arguments, folder.path()); });
    second = run_tessaly(arguments, folder.path());
    other.join();
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(run_tessaly({ "other.jpg" }, folder.path()).status, 0);
    for (int n = 0; n < 12; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "in_dithered_%04d.png", n);
        EXPECT_EQ(output_indices(name), levels) << name;
    }
    EXPECT_FALSE(file_exists(folder.file("in_dithered_0012.png")));
    EXPECT_EQ(read_file(folder.file("in.png")), png_before);
    EXPECT_EQ(read_file(folder.file("other.jpg")), jpeg_before);
}

// The output is some 4.5 KB; a file-size limit stops it at 1000 bytes.
TEST_F(robustness, a_write_cut_short_leaves_no_partial_file)
{
    write_png_form(folder.file("in.png"), 64, 64, { 0, 8 }, bytes(64 * 64, 200));
    const measured_run run = run_measured({ "in.png" }, folder.path(), 1000);
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.result.output, banner + "in.png - " + size_lines(64, 64) + "file not saved\n");
    EXPECT_EQ(list_folder(folder.path()), (std::vector<std::string>{ "in.png", "palette.act" }));
}
