// The program pointed at anything: damaged, empty and lying inputs, and the
// guarantees about files (inputs never changed, no output replaced or left
// half written), each checked by running the built program.
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
// How outputs are saved: as unnamed files, and as hidden names where the file
// system has none; only a program that runs natively can be kept from the
// unnamed ones.
std::vector<bool> saving_forms()
{
    return program_emulated() ? std::vector<bool>{ false } : std::vector<bool>{ false, true };
}

// What one run printed (its output, then its errors) and its peak memory.
struct measured_run {
    int status;
    long peak_kb;
    char printed[4096];
};

// Runs the program from a child of its own, so that the peak memory read is
// that run's alone and the file-size limit binds that run only.
measured_run run_measured(const std::vector<std::string> &arguments, const std::string &cwd, rlim_t file_limit)
{
    void *shared = mmap(nullptr, sizeof(measured_run), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    auto *run = static_cast<measured_run *>(shared);
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails (EFBIG), as on a full disk
        rlimit limit;
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = std::min(file_limit, limit.rlim_max);
        setrlimit(RLIMIT_FSIZE, &limit);
        const run_result r = run_tessaly(arguments, cwd);
        rusage usage = {};
        getrusage(RUSAGE_CHILDREN, &usage);
        run->status = r.status;
        run->peak_kb = usage.ru_maxrss;
        std::snprintf(run->printed, sizeof run->printed, "%s", (r.output + r.errors).c_str());
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    const measured_run result = *run;
    munmap(shared, sizeof(measured_run));
    return result;
}

// Files of the given forms, as their bytes.
std::string png_file(const std::string &path, uint32_t width, uint32_t height, const png_form &form, const bytes &rows)
{
    write_png_form(path, width, height, form, rows);
    return read_file(path);
}
std::string jpeg_file(const std::string &path, int width, int height, const bytes &rgb)
{
    write_test_jpeg(path, width, height, 3, rgb, false);
    return read_file(path);
}

std::string be32(uint32_t v) { return { char(v >> 24), char(v >> 16), char(v >> 8), char(v) }; }
std::string le16(uint32_t v) { return { char(v), char(v >> 8) }; }
std::string le32(uint32_t v) { return le16(v) + le16(v >> 16); }

std::string png_chunk(const char *type, const std::string &data)
{
    const std::string body = std::string(type, 4) + data;
    return be32(uint32_t(data.size())) + body +
           be32(uint32_t(crc32(0, reinterpret_cast<const Bytef *>(body.data()), uInt(body.size()))));
}

// Headers claiming the size over a few bytes of image data: an RGB PNG, a
// GIF's screen and its one frame, a TIFF of one grey strip, a lossless WebP.
std::string lying_png(uint32_t width, uint32_t height)
{
    return "\x89PNG\r\n\x1a\n" + png_chunk("IHDR", be32(width) + be32(height) + std::string{ 8, 2, 0, 0, 0 }) +
           png_chunk("IDAT", { 0x78, 0x01, 0x00, 0x00, 0x01, char(0xFF), char(0xFE) }) + png_chunk("IEND", "");
}
// A header whose size the file is large enough to hold: grey pixels of one
// bit over a megabyte of image data, so that only the engine's limit on the
// pixels refuses 33000 x 33000.
std::string sized_png(uint32_t width, uint32_t height, bool interlaced)
{
    return "\x89PNG\r\n\x1a\n" + png_chunk("IHDR", be32(width) + be32(height) + std::string{ 1, 0, 0, 0, interlaced }) +
           png_chunk("IDAT", std::string(1 << 20, '\0')) + png_chunk("IEND", "");
}
std::string lying_gif(uint32_t screen_width, uint32_t screen_height, uint32_t frame_width, uint32_t frame_height)
{
    return "GIF89a" + le16(screen_width) + le16(screen_height) + std::string("\x80\0\0", 3) + std::string(6, '\x7f') +
           "," + le32(0) + le16(frame_width) + le16(frame_height) + std::string("\0\x02\x02\x4c\x01\0;", 8);
}
std::string lying_tiff(uint32_t width, uint32_t height)
{
    const uint32_t entries[][3] = { { 256, 4, width }, { 257, 4, height }, { 258, 3, 8 }, { 259, 3, 1 }, { 262, 3, 1 },
                                    { 273, 4, 8 + 2 + 9 * 12 + 4 }, { 277, 3, 1 }, { 278, 4, height },
                                    { 279, 4, width * height } };
    std::string out = std::string("II*\0", 4) + le32(8) + le16(9);
    for (const auto &e : entries)
        out += le16(e[0]) + le16(e[1]) + le32(1) + le32(e[2]);
    return out + le32(0) + std::string(16, '\x55');
}
std::string lying_webp(uint32_t width, uint32_t height)
{
    const std::string bitstream = "\x2f" + le32((width - 1) | (height - 1) << 14) + std::string(8, '\0');
    return "RIFF" + le32(uint32_t(12 + bitstream.size())) + "WEBPVP8L" + le32(uint32_t(bitstream.size())) + bitstream;
}

// The JPEG with its frame header claiming another size.
std::string resized_jpeg(std::string jpeg, int width, int height)
{
    for (size_t i = 2; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == '\xFF' && (jpeg[i + 1] == '\xC0' || jpeg[i + 1] == '\xC2')) {
            jpeg.replace(i + 5, 4, { char(height >> 8), char(height), char(width >> 8), char(width) });
            return jpeg;
        }
    return "";
}

#if defined(__SANITIZE_ADDRESS__)
#define TESSALY_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSALY_ADDRESS_SANITIZER 1
#endif
#endif

// A lying header must not make the program take memory for the size it
// claims: a plain run stays within a few megabytes. The address sanitizer
// commits shadow memory for every buffer taken, touched or not, so under it
// only a far looser bound holds.
#ifdef TESSALY_ADDRESS_SANITIZER
constexpr long peak_bound_kb = 4L << 20;
#else
constexpr long peak_bound_kb = 32L << 10;
#endif

// A grey palette, entry i being (i, i, i), so that a grey pixel's entry is
// its level and every output's indices can be checked against its input.
bytes grey_palette()
{
    bytes rgb;
    for (int i = 0; i < 256; ++i)
        rgb.insert(rgb.end(), 3, uint8_t(i));
    return rgb;
}

class robustness : public ::testing::Test {
protected:
    void SetUp() override { write_palette_file(folder.file("palette.act"), grey_palette()); }

    bytes output_indices(const std::string &name)
    {
        const decoded_png png = decode_png_file(folder.file(name));
        EXPECT_TRUE(png.ok) << name << ": " << png.error;
        return png.pixels;
    }

    temp_folder folder;
};

}  // namespace

// Each bad input, and an output whose write is cut short, gets one line, no
// output and status 1, and costs little memory whatever size it claims; the
// good file after it is still done.
TEST_F(robustness, hostile_inputs_fail_alone_with_one_line_and_little_memory)
{
    const std::string png = png_file(folder.file("good.png"), 2, 1, { 2, 8 }, { 9, 9, 9, 8, 8, 8 });
    std::string bad_crc = png;
    bad_crc[bad_crc.size() - 20] ^= 0x10;  // inside the image data
    // Noise, so that most of each file is its pixels and a cut lands there.
    bytes noise(64 * 64 * 3), flat(16 * 16 * 3, 90);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = uint8_t(i * 2654435761u >> 13);
    const std::string jpeg = jpeg_file(folder.file("j"), 16, 16, flat),
                      noisy = jpeg_file(folder.file("n"), 64, 64, noise),
                      noisy_webp = webp_bytes(64, 64, noise, false);
    write_test_gif(folder.file("g"), 64, 64, { 64, 64 }, bytes(noise.begin(), noise.begin() + 768),
                   bytes(noise.begin(), noise.begin() + 64 * 64));
    const std::string noisy_gif = read_file(folder.file("g"));
    mkdir(folder.file("folder.png").c_str(), 0755);

    const std::string open_error = "image open error\n";
    const struct { const char *name; std::string contents, message; rlim_t file_limit = RLIM_INFINITY; } cases[] = {
        { "folder.png", "", open_error },
        { "empty.png", "", open_error },
        { "words.jpg", "just some words\n", open_error },
        // The header is whole, so the size is known before the damage shows.
        { "cut.png", png.substr(0, png.size() - 20), size_lines(2, 1) + open_error },
        { "crc.png", bad_crc, size_lines(2, 1) + open_error },
        { "cut.jpg", noisy.substr(0, noisy.size() / 2), size_lines(64, 64) + open_error },
        { "zero_height.jpg", resized_jpeg(jpeg, 16, 0), open_error },
        // Headers that claim enormous sizes, over files of a few hundred bytes.
        { "huge.png", lying_png(60000, 60000), open_error },
        // Beyond the engine's limit, interlaced or not, in a file that could hold it.
        { "over_limit.png", sized_png(33000, 33000, false), size_lines(33000, 33000) + "image too large\n" },
        { "over_limit_interlaced.png", sized_png(33000, 33000, true), size_lines(33000, 33000) + "image too large\n" },
        { "huge.ppm", "P6 60000 60000 255\n" + std::string(300, 'x'), open_error },
        { "huge.bmp", bmp_bytes(2, 2, bytes(12, 1)).replace(18, 8, le32(60000) + le32(60000)), open_error },
        // Some three million blocks of chroma alone need more bits than the file has.
        { "huge.jpg", resized_jpeg(jpeg, 30000, 30000), open_error },
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
        // Its output of some 4.5 KB meets a file-size limit that the small
        // output of the good file stays under.
        { "flat.png", png_file(folder.file("flat.png"), 64, 64, { 0, 8 }, bytes(64 * 64, 200)),
          size_lines(64, 64) + "file not saved\n", 3000 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.name != std::string("folder.png"))
            write_file(folder.file(c.name), c.contents);
        const std::vector<std::string> before = list_folder(folder.path());
        const measured_run run = run_measured({ c.name, "good.png" }, folder.path(), c.file_limit);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.printed, banner + c.name + " - " + c.message + "good.png - " + size_lines(2, 1));
        EXPECT_LT(run.peak_kb, peak_bound_kb);
        EXPECT_EQ(unlink(folder.file("good_dithered_0000.png").c_str()), 0);
        EXPECT_EQ(list_folder(folder.path()), before);  // nothing of the bad file, whole or in part
    }
}

// Two processes on one input take twelve distinct names, every output whole,
// with unnamed files and with hidden ones; the inputs are never modified.
TEST_F(robustness, two_runs_on_one_input_never_share_an_output_or_touch_the_input)
{
    bytes levels(256);
    for (int i = 0; i < 256; ++i)
        levels[i] = uint8_t(i * 97);
    write_png_form(folder.file("in.png"), 16, 16, { 0, 8 }, levels);
    write_test_jpeg(folder.file("other.jpg"), 16, 16, 1, levels, false);
    const std::string png_before = read_file(folder.file("in.png")), jpeg_before = read_file(folder.file("other.jpg"));
    const std::vector<std::string> arguments(6, "in.png");
    for (bool hidden : saving_forms()) {
        SCOPED_TRACE(hidden ? "hidden" : "unnamed");
        run_setup setup;
        setup.without_unnamed_files = hidden;
        run_result first;
        std::thread other([&] { first = run_tessaly(arguments, folder.path(), setup); });
        EXPECT_EQ(run_tessaly(arguments, folder.path(), setup).status, 0);
        other.join();
        EXPECT_EQ(first.status, 0);
        for (int n = 0; n < 12; ++n) {
            EXPECT_EQ(output_indices(output_name("in", n)), levels) << n;
            unlink(folder.file(output_name("in", n)).c_str());
        }
        EXPECT_EQ(list_folder(folder.path()), (std::vector<std::string>{ "in.png", "other.jpg", "palette.act" }));
    }
    EXPECT_EQ(run_tessaly({ "other.jpg" }, folder.path()).status, 0);
    EXPECT_EQ(read_file(folder.file("in.png")), png_before);
    EXPECT_EQ(read_file(folder.file("other.jpg")), jpeg_before);
}

namespace {

// Runs the program traced from the first system call that creates a file,
// and sends it the signal as the stop-th call from there begins (0: that
// one). Returns false when the program ended before.
bool signal_at_saving_call(const std::string &cwd, run_setup setup, int stop, int signal_number)
{
    setup.traced = true;
    const pid_t child = start_tessaly({ "in.ppm" }, cwd, setup);
    int status = 0, counted = -1, pass_on = 0;  // counted: calls since the file's creation, once it began
    waitpid(child, &status, 0);                  // stopped at its exec
    ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL);
    while (ptrace(counted < 0 ? PTRACE_CONT : PTRACE_SYSCALL, child, nullptr, pass_on) == 0 &&
           waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
        pass_on = 0;
        __ptrace_syscall_info info = {};
        const bool creation = status >> 8 == (SIGTRAP | PTRACE_EVENT_SECCOMP << 8);
        const bool call = WSTOPSIG(status) == (SIGTRAP | 0x80) &&
                          ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof info, &info) > 0 &&
                          info.op == PTRACE_SYSCALL_INFO_ENTRY;
        // A signal of the program's own goes on; traps are ours.
        if (!creation && !call && WSTOPSIG(status) != SIGTRAP && WSTOPSIG(status) != (SIGTRAP | 0x80))
            pass_on = WSTOPSIG(status);
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
    std::string ppm = "P6 800 600 255\n";
    for (int i = 0; i < 800 * 600 * 3; ++i)
        ppm += char((i * 2654435761u) >> 24);
    write_file(folder.file("in.ppm"), ppm);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(run_tessaly({ "in.ppm" }, folder.path()).status, 0);
    const auto whole_run = std::chrono::steady_clock::now() - started;
    const std::string whole = read_file(folder.file("in_dithered_0000.png"));
    ASSERT_EQ(decode_png(whole).width, 800u);
    unlink(folder.file("in_dithered_0000.png").c_str());

    const int signals[] = { SIGTERM, SIGINT, SIGHUP };
    for (bool hidden : saving_forms()) {
        SCOPED_TRACE(hidden ? "hidden" : "unnamed");
        run_setup setup;
        setup.without_unnamed_files = hidden;
        int kills = 0, outputs = 0;
        auto check = [&](const std::string &when) {
            const std::vector<std::string> names = list_folder(folder.path());
            if (names.size() == 2)
                return;
            ++outputs;
            EXPECT_EQ(names, (std::vector<std::string>{ "in.ppm", "in_dithered_0000.png", "palette.act" })) << when;
            EXPECT_TRUE(read_file(folder.file("in_dithered_0000.png")) == whole) << when;
            for (const std::string &name : names)
                if (name != "in.ppm" && name != "palette.act")
                    unlink(folder.file(name).c_str());
        };
        if (!program_emulated()) {
            for (; kills < 200 && signal_at_saving_call(folder.path(), setup, kills, signals[kills % 3]); ++kills)
                check("stop " + std::to_string(kills) + ", signal " + std::to_string(signals[kills % 3]));
            // The saving was reached, and killed both before and after the name.
            EXPECT_GE(kills, 5);
            EXPECT_GT(outputs, 0);
            EXPECT_LT(outputs, kills);
        }
        for (int sixth = 1; sixth < 6; ++sixth) {
            const pid_t child = start_tessaly({ "in.ppm" }, folder.path(), setup);
            std::this_thread::sleep_for(whole_run * sixth / 6);
            kill(child, signals[sixth % 3]);
            waitpid(child, nullptr, 0);
            check("at " + std::to_string(sixth) + "/6");
        }
    }
}

// Started by its bare name, the program stays in the folder it was started
// in, even beside a folder of its own name; a folder part cut at a backslash
// is entered as before.
TEST_F(robustness, a_folder_named_like_the_program_is_not_entered)
{
    write_png_form(folder.file("cat.png"), 3, 2, { 0, 8 }, bytes(6, 100));
    for (const char *sub : { "tessaly", "bin\\" }) {
        mkdir(folder.file(sub).c_str(), 0755);
        write_file(folder.file(sub) + "/palette.act", read_file(folder.file("palette.act")));
        write_png_form(folder.file(sub) + "/cat.png", 1, 1, { 0, 8 }, { 100 });
    }
    const struct { const char *argument_0, *entered; } cases[] = {
        { "tessaly", "" }, { "bin\\tessaly.exe", "bin\\/" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argument_0);
        run_setup setup;
        setup.argument_0 = c.argument_0;
        const run_result r = run_tessaly({ "cat.png" }, folder.path(), setup);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output, banner + "cat.png - " + (*c.entered ? size_lines(1, 1) : size_lines(3, 2)));
        EXPECT_EQ(unlink(folder.file(std::string(c.entered) + "cat_dithered_0000.png").c_str()), 0);
    }
    EXPECT_EQ(list_folder(folder.path()), (std::vector<std::string>{ "bin\\", "cat.png", "palette.act", "tessaly" }));
}

// -o takes the outputs of the files after it, numbered in the folder; "" and
// "off" put them beside their inputs again. A folder that is missing, no
// folder or not writable gives one line a file, status 1, and no file
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
                                 "pics/b.png", "-o", "", "pics/b.png" }, folder.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(list_folder(folder.file("out")), (std::vector<std::string>{ "a_dithered_0000.png", "a_dithered_0001.png",
                                                                          "b_dithered_0000.png", "b_dithered_0001.png" }));
    EXPECT_TRUE(file_exists(folder.file("a_dithered_0000.png")));
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

namespace {

// Each file's part of a run's output, in the order of the arguments: what
// follows its echo up to the next one.
std::vector<std::string> parts_of(const std::string &printed, const std::vector<std::string> &arguments)
{
    std::vector<std::string> parts;
    size_t at = banner.size();
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string echo = arguments[i] + " - ";
        if (at > printed.size() || printed.compare(at, echo.size(), echo) != 0)
            return parts;
        at += echo.size();
        const size_t next = i + 1 < arguments.size() ? printed.find(arguments[i + 1] + " - ", at) : printed.size();
        parts.push_back(printed.substr(at, next - at));
        at = next;
    }
    return parts;
}

}  // namespace

// Under a limit on the address space (ulimit -v), memory that runs out fails
// the file it hits with one line, never the run: no abort, nothing on
// standard error, status 1, the next file still done where there is room for
// it. The limits are counted from the least that dithers the small image
// alone, since the libraries the program loads take some ten megabytes.
TEST_F(robustness, memory_running_out_fails_the_file_alone)
{
#ifdef TESSALY_ADDRESS_SANITIZER
    GTEST_SKIP() << "the address sanitizer reserves terabytes of address space, which no limit leaves it";
#endif
    if (program_emulated())
        GTEST_SKIP() << "the emulator keeps an address-space limit from the program it runs";
    const int width = 800, height = 600;
    bytes ramp(size_t(width) * height);  // grey, on the grey palette: quick to dither
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = uint8_t(i % width * 255 / width);
    write_png_form(folder.file("big.png"), width, height, { 0, 8 }, ramp);
    write_png_form(folder.file("small.png"), 8, 8, { 0, 8 }, bytes(64, 100));
    const auto run_within = [&](unsigned long kb, const std::vector<std::string> &arguments) {
        run_setup setup;
        setup.address_space_kb = kb;
        const run_result r = run_tessaly(arguments, folder.path(), setup);
        for (const std::string &name : list_folder(folder.path()))
            if (name.find("_dithered_") != std::string::npos)
                unlink(folder.file(name).c_str());
        return r;
    };
    unsigned long fails = 1024, works = 256 * 1024;
    ASSERT_EQ(run_within(works, { "small.png" }).status, 0);
    while (works - fails > 64) {
        const unsigned long middle = (fails + works) / 2;
        (run_within(middle, { "small.png" }).status == 0 ? works : fails) = middle;
    }
    const std::vector<std::string> batch = { "big.png", "small.png", "big.png", "small.png" };
    const std::string done[] = { size_lines(width, height), size_lines(8, 8) };
    int limits_with_the_small_file_done_after_a_failure = 0;
    for (unsigned long kb = works - 512; kb <= works + 12 * 1024; kb += 512) {
        SCOPED_TRACE(std::to_string(kb) + " kB");
        const run_result r = run_within(kb, batch);
        EXPECT_EQ(r.errors, "");
        const std::vector<std::string> parts = parts_of(r.output, batch);
        ASSERT_EQ(parts.size(), batch.size()) << r.output;
        bool failed = false, small_done_after_failure = false;
        for (size_t i = 0; i < parts.size(); ++i) {
            const std::string &lines = done[i % 2];
            const std::string failure = parts[i].substr(parts[i].compare(0, lines.size(), lines) == 0 ? lines.size() : 0);
            EXPECT_TRUE(failure == "" || failure == "image too large\n" || failure == "file not saved\n") << parts[i];
            small_done_after_failure |= failed && i % 2 == 1 && failure.empty();
            failed |= !failure.empty();
        }
        EXPECT_EQ(r.status, failed ? 1 : 0);
        limits_with_the_small_file_done_after_a_failure += small_done_after_failure;
        // A little above the least limit (the big file's failure may leave
        // some memory scattered) the big image never fits and the small one
        // always does.
        if (kb >= works + 1024 && kb < works + 2048) {
            EXPECT_EQ(parts, std::vector<std::string>({ done[0] + "image too large\n", done[1],
                                                        done[0] + "image too large\n", done[1] }));
        }
    }
    EXPECT_GE(limits_with_the_small_file_done_after_a_failure, 3);
}

// Killed part-way through a batch, a run whose output goes to a file has put
// there the lines of every file it saved.
TEST_F(robustness, a_killed_batch_leaves_the_lines_of_every_saved_file_in_its_log)
{
    write_png_form(folder.file("in.png"), 64, 64, { 0, 8 }, bytes(64 * 64, 77));
    const std::string log = folder.file("log");
    run_setup setup;
    setup.output_file = log.c_str();
    const pid_t child = start_tessaly(std::vector<std::string>(200, "in.png"), folder.path(), setup);
    const auto saved = [&] { return list_folder(folder.path()).size() - 3; };  // in.png, log, palette.act
    int status = 0;
    while (saved() < 27 && waitpid(child, &status, WNOHANG) == 0)
        usleep(200);
    kill(child, SIGTERM);
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the batch ended before it was killed";
    std::string expected = banner;
    for (size_t n = saved(); n > 0; --n)
        expected += "in.png - " + size_lines(64, 64);
    EXPECT_EQ(read_file(log).substr(0, expected.size()), expected);
}
