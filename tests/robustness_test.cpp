// The program pointed at anything: damaged, empty, lying and unusual inputs,
// and the guarantees about files (inputs never changed, no output replaced or
// left half written), each checked by running the built program.
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <zlib.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

std::string le16(uint32_t v) { return { char(v), char(v >> 8) }; }
std::string le32(uint32_t v) { return le16(v) + le16(v >> 16); }

// A GIF whose screen and one frame claim the sizes, its frame a few bytes of
// LZW data.
std::string lying_gif(uint32_t screen_width, uint32_t screen_height, uint32_t frame_width, uint32_t frame_height)
{
    return "GIF89a" + le16(screen_width) + le16(screen_height) + std::string("\x80\0\0", 3) + std::string(6, '\x7f') +
           "," + le32(0) + le16(frame_width) + le16(frame_height) + std::string("\0\x02\x02\x4c\x01\0;", 8);
}

// A TIFF of one uncompressed 8-bit grey strip whose header claims the size,
// with 16 bytes of the strip present.
std::string lying_tiff(uint32_t width, uint32_t height)
{
    const uint32_t data_offset = 8 + 2 + 9 * 12 + 4;
    const uint32_t long_type = 4, short_type = 3;
    const uint32_t entries[][3] = { { 256, long_type, width }, { 257, long_type, height }, { 258, short_type, 8 },
                                    { 259, short_type, 1 },    { 262, short_type, 1 },     { 273, long_type, data_offset },
                                    { 277, short_type, 1 },    { 278, long_type, height }, { 279, long_type, width * height } };
    std::string out = "II*" + std::string(1, '\0') + le32(8) + le16(9);
    for (const auto &e : entries)
        out += le16(e[0]) + le16(e[1]) + le32(1) + le32(e[2]);
    return out + le32(0) + std::string(16, '\x55');
}

// A lossless WebP whose header claims the size, over a few bytes of data.
std::string lying_webp(uint32_t width, uint32_t height)
{
    const std::string bitstream = "\x2f" + le32((width - 1) | (height - 1) << 14) + std::string(8, '\0');
    return "RIFF" + le32(static_cast<uint32_t>(4 + 8 + bitstream.size())) + "WEBPVP8L" +
           le32(static_cast<uint32_t>(bitstream.size())) + bitstream;
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
    write_test_gif(folder.file("frame.gif"), 16, 16, { 16, 16, 0, 0, true, false, 3 }, four_entries, indices);
    write_test_tiff(folder.file("jpeg.tif"), 16, 16, { PHOTOMETRIC_RGB, 8, 3, COMPRESSION_JPEG },
                    std::vector<uint16_t>(rgb.begin(), rgb.end()));
    std::vector<uint16_t> rgba16_values;
    for (uint8_t v : levels)
        rgba16_values.insert(rgba16_values.end(), { uint16_t(v * 257), uint16_t(v * 257), uint16_t(v * 257), 0 });
    write_test_tiff(folder.file("tiled16.tif"), 16, 16, { PHOTOMETRIC_RGB, 16, 4, COMPRESSION_ADOBE_DEFLATE, true, true },
                    rgba16_values);
    write_file(folder.file("lossless.webp"), webp_bytes(16, 16, rgb, true));
    write_file(folder.file("lossy.webp"), webp_bytes(16, 16, rgb, false));

    const std::vector<std::string> inputs = { "grey_alpha.png", "rgba16.png",   "indexed.png",    "interlaced.png",
                                              "progressive.jpg", "grey.jpg",    "image.bmp",      "image.pgm",
                                              "frame.gif",  "jpeg.tif",    "tiled16.tif",    "lossless.webp",
                                              "lossy.webp" };
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
    const std::string noisy_webp = webp_bytes(64, 64, noise, false);
    write_test_gif(folder.file("noise.gif"), 64, 64, { 64, 64 }, bytes(noise.begin(), noise.begin() + 768),
                   bytes(noise.begin(), noise.begin() + 64 * 64));
    const std::string noisy_gif = read_file(folder.file("noise.gif"));
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
        // GIF, TIFF and WebP cut in their pixels, or claiming more than their
        // few bytes hold: a screen far beyond its frame, a frame that LZW
        // could not fill from them, an image beyond 16 megapixels.
        { "cut.gif", noisy_gif.substr(0, noisy_gif.size() / 2), size_lines(64, 64) + open_error },
        { "huge.gif", lying_gif(60000, 60000, 1, 1), open_error },
        { "full_frame.gif", lying_gif(4000, 4000, 4000, 4000), open_error },
        { "short.tif", lying_tiff(64, 64), size_lines(64, 64) + open_error },
        { "huge.tif", lying_tiff(60000, 60000), open_error },
        { "cut.webp", noisy_webp.substr(0, noisy_webp.size() / 2), size_lines(64, 64) + open_error },
        { "huge.webp", lying_webp(16383, 16383), open_error },
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

// Two processes on one input take twelve distinct names, every output whole,
// with unnamed files and with hidden ones; the inputs, PNG and JPEG, are never
// modified.
TEST_F(robustness, two_runs_on_one_input_never_share_an_output_or_touch_the_input)
{
    const bytes levels = block_samples(1);
    write_png_form(folder.file("in.png"), 16, 16, { 0, 8 }, levels);
    write_test_jpeg(folder.file("other.jpg"), 16, 16, 1, block_samples(1), false);
    const std::string png_before = read_file(folder.file("in.png")), jpeg_before = read_file(folder.file("other.jpg"));
    const std::vector<std::string> arguments(6, "in.png");
    for (bool hidden : { false, true }) {
        run_setup setup;
        setup.without_unnamed_files = hidden;
        run_result first, second;
        std::thread other([&] { first = run_tessaly(arguments, folder.path(), setup); });
        second = run_tessaly(arguments, folder.path(), setup);
        other.join();
        EXPECT_EQ(first.status, 0) << hidden;
        EXPECT_EQ(second.status, 0) << hidden;
        std::vector<std::string> expected = { "in.png" };
        for (int n = 0; n < 12; ++n) {
            char name[32];
            std::snprintf(name, sizeof name, "in_dithered_%04d.png", n);
            EXPECT_EQ(output_indices(name), levels) << name << " " << hidden;
            expected.push_back(name);
        }
        expected.insert(expected.end(), { "other.jpg", "palette.act" });
        EXPECT_EQ(list_folder(folder.path()), expected) << hidden;
        for (int n = 1; n <= 12; ++n)
            unlink(folder.file(expected[n]).c_str());
    }
    EXPECT_EQ(run_tessaly({ "other.jpg" }, folder.path()).status, 0);
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

namespace {

// Runs the program traced from the first system call that creates a file,
// and sends it the signal as the stop-th call from there begins (0: that
// one). Returns false when the program ended before.
bool signal_at_saving_call(const std::string &cwd, bool hidden, int stop, int signal_number)
{
    run_setup setup;
    setup.without_unnamed_files = hidden;
    setup.traced = true;
    const pid_t child = start_tessaly({ "in.ppm" }, cwd, setup);
    int status = 0;
    waitpid(child, &status, 0);  // stopped at its exec
    ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL);
    int counted = -1;  // calls since the file's creation, once it began
    int pass_on = 0;
    while (ptrace(counted < 0 ? PTRACE_CONT : PTRACE_SYSCALL, child, nullptr, pass_on) == 0 &&
           waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
        pass_on = 0;
        __ptrace_syscall_info info = {};
        const bool creation = status >> 8 == (SIGTRAP | PTRACE_EVENT_SECCOMP << 8);
        const bool call = WSTOPSIG(status) == (SIGTRAP | 0x80) &&
                          ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof info, &info) > 0 &&
                          info.op == PTRACE_SYSCALL_INFO_ENTRY;
        if (!creation && !call) {
            // A signal of the program's own goes on; traps are ours.
            if (WSTOPSIG(status) != SIGTRAP && WSTOPSIG(status) != (SIGTRAP | 0x80))
                pass_on = WSTOPSIG(status);
            continue;
        }
        // Once counting, a creation is counted at its entry.
        if (counted < 0 ? !creation : !call)
            continue;
        if (counted < 0)
            counted = 0;
        if (counted++ == stop) {
            // Let go first, so that the signal can land inside the call (a
            // long write) as well as after it.
            ptrace(PTRACE_DETACH, child, nullptr, 0);
            kill(child, signal_number);
            waitpid(child, &status, 0);
            return true;
        }
    }
    waitpid(child, &status, 0);
    return false;
}

}  // namespace

// A killed run leaves no output or a whole one, and no hidden file: killed at
// every system call of its saving, and at moments spread over its reading and
// scan; with unnamed files, and with hidden names that SIGINT, SIGTERM and
// SIGHUP remove.
TEST_F(robustness, a_killed_run_leaves_no_output_or_a_whole_one)
{
    const int width = 800, height = 600;
    std::string ppm = "P6 " + std::to_string(width) + " " + std::to_string(height) + " 255\n";
    for (int i = 0; i < width * height * 3; ++i)
        ppm += static_cast<char>((i * 2654435761u) >> 24);
    write_file(folder.file("in.ppm"), ppm);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(run_tessaly({ "in.ppm" }, folder.path()).status, 0);
    const auto whole_run = std::chrono::steady_clock::now() - started;
    const std::string whole = read_file(folder.file("in_dithered_0000.png"));
    ASSERT_EQ(decode_png(whole).width, static_cast<uint32_t>(width));
    unlink(folder.file("in_dithered_0000.png").c_str());

    const std::vector<std::string> inputs = { "in.ppm", "palette.act" };
    const int signals[] = { SIGTERM, SIGINT, SIGHUP };
    for (bool hidden : { false, true }) {
        int kills = 0, outputs = 0;
        auto check = [&](const std::string &when) {
            const std::vector<std::string> names = list_folder(folder.path());
            if (names == inputs)
                return;
            ++outputs;
            EXPECT_EQ(names, (std::vector<std::string>{ "in.ppm", "in_dithered_0000.png", "palette.act" })) << when;
            EXPECT_TRUE(read_file(folder.file("in_dithered_0000.png")) == whole) << when;
            for (const std::string &name : names)
                if (name != "in.ppm" && name != "palette.act")
                    unlink(folder.file(name).c_str());
        };
        for (int stop = 0; stop < 200; ++stop, ++kills) {
            const int signal_number = signals[stop % 3];
            if (!signal_at_saving_call(folder.path(), hidden, stop, signal_number))
                break;
            check("stop " + std::to_string(stop) + ", signal " + std::to_string(signal_number) +
                  (hidden ? ", hidden" : ", unnamed"));
        }
        // The saving was reached, and killed both before and after the name.
        EXPECT_GE(kills, 5) << hidden;
        EXPECT_GT(outputs, 0) << hidden;
        EXPECT_LT(outputs, kills) << hidden;

        run_setup setup;
        setup.without_unnamed_files = hidden;
        for (int sixth = 1; sixth < 6; ++sixth) {
            const pid_t child = start_tessaly({ "in.ppm" }, folder.path(), setup);
            std::this_thread::sleep_for(whole_run * sixth / 6);
            kill(child, signals[sixth % 3]);
            int status = 0;
            waitpid(child, &status, 0);
            check("at " + std::to_string(sixth) + "/6" + (hidden ? ", hidden" : ", unnamed"));
        }
    }
}

// Started by its bare name, or by a path with forward slashes, the program
// stays in the folder it was started in, even beside a folder of its own name;
// a folder part cut at a backslash is entered as before.
TEST_F(robustness, a_folder_named_like_the_program_is_not_entered)
{
    const bytes levels(6, 100);
    write_png_form(folder.file("cat.png"), 3, 2, { 0, 8 }, levels);
    for (const char *sub : { "tessaly", "bin\\" }) {
        mkdir(folder.file(sub).c_str(), 0755);
        write_palette_file(folder.file(sub) + "/palette.act", grey_palette());
        write_png_form(folder.file(sub) + "/cat.png", 1, 1, { 0, 8 }, { 100 });
    }
    const struct { const char *argument_0, *entered; } cases[] = {
        { "tessaly", "" }, { "./tessaly", "" }, { "bin\\tessaly.exe", "bin\\/" },
    };
    for (const auto &c : cases) {
        run_setup setup;
        setup.argument_0 = c.argument_0;
        const run_result r = run_tessaly({ "cat.png" }, folder.path(), setup);
        const bool entered = *c.entered != '\0';
        EXPECT_EQ(r.status, 0) << c.argument_0;
        EXPECT_EQ(r.output, banner + "cat.png - " + (entered ? size_lines(1, 1) : size_lines(3, 2))) << c.argument_0;
        const std::string output = folder.file(std::string(c.entered) + "cat_dithered_0000.png");
        EXPECT_TRUE(file_exists(output)) << c.argument_0;
        unlink(output.c_str());
    }
    EXPECT_EQ(list_folder(folder.path()), (std::vector<std::string>{ "bin\\", "cat.png", "palette.act", "tessaly" }));
}

// -o takes the outputs of the files after it, named after their file names;
// "" and "off" put them beside their inputs again. A folder that is missing,
// no folder or not writable gives one line a file, status 1, and no file
// anywhere; the read-only case runs without the power to override permission
// bits, so that it holds when the tests run as root.
TEST_F(robustness, an_output_folder_takes_the_outputs_or_refuses_each_file)
{
    write_png_form(folder.file("a.png"), 2, 1, { 0, 8 }, { 10, 20 });
    mkdir(folder.file("pics").c_str(), 0755);
    write_png_form(folder.file("pics/b.png"), 2, 1, { 0, 8 }, { 30, 40 });
    mkdir(folder.file("out").c_str(), 0755);
    mkdir(folder.file("locked").c_str(), 0555);

    run_result r = run_tessaly({ "-o", "out", "a.png", "pics/b.png", "a.png", "-o", "off", "a.png", "-o", "out/",
                                 "pics/b.png", "-o", "", "pics/b.png" },
                               folder.path());
    const std::string a = "a.png - " + size_lines(2, 1), b = "pics/b.png - " + size_lines(2, 1);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, banner + "-o - output folder\nout\n" + a + b + a + "-o - output folder off\n" + a +
                            "-o - output folder\nout/\n" + b + "-o - output folder off\n" + b);
    EXPECT_EQ(list_folder(folder.file("out")), (std::vector<std::string>{ "a_dithered_0000.png", "a_dithered_0001.png",
                                                                          "b_dithered_0000.png", "b_dithered_0001.png" }));
    EXPECT_EQ(output_indices("out/a_dithered_0001.png"), (bytes{ 10, 20 }));
    EXPECT_EQ(output_indices("out/b_dithered_0001.png"), (bytes{ 30, 40 }));
    EXPECT_EQ(output_indices("a_dithered_0000.png"), (bytes{ 10, 20 }));
    EXPECT_EQ(output_indices("pics/b_dithered_0000.png"), (bytes{ 30, 40 }));

    const std::vector<std::string> before = list_folder(folder.path());
    run_setup unprivileged;
    unprivileged.unprivileged = true;
    r = run_tessaly({ "-o", "missing", "a.png", "-o", "a.png", "pics/b.png", "-o", "locked", "a.png", "pics/b.png" },
                    folder.path(), unprivileged);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, banner + "-o - output folder\nmissing\na.png - output folder not found\n"
                                 "-o - output folder\na.png\npics/b.png - output folder not found\n"
                                 "-o - output folder\nlocked\na.png - output folder not writable\n"
                                 "pics/b.png - output folder not writable\n");
    EXPECT_EQ(list_folder(folder.path()), before);
    EXPECT_TRUE(list_folder(folder.file("locked")).empty());
    EXPECT_EQ(list_folder(folder.file("pics")), (std::vector<std::string>{ "b.png", "b_dithered_0000.png" }));
}
