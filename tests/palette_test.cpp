// Palettes: the reference levels, the colour table of every length, the same
// colours in every other format and the damaged forms of each; then the built
// program finding, reading and refusing palettes as a user meets them.
#include "engine/palette.h"
#include "engine/palette_formats.h"
#include "settings/settings.h"
#include "tests/image_writers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

const std::string banner = "\nTessaly d0044 by Vorlane\n\n";

// ------------------------------------------------ five colours in every format

// Colours that the gradient image below uses all of.
const bytes five = { 0, 0, 0, 255, 255, 255, 200, 30, 40, 20, 180, 60, 40, 60, 220 };

// With a chunk to step over, padded to an even length, before the data.
const std::string riff_five("RIFF\x30\0\0\0PAL INFO\x03\0\0\0abc\0data\x18\0\0\0\0\x03\x05\0"
                            "\0\0\0\0\xFF\xFF\xFF\0\xC8\x1E\x28\0\x14\xB4\x3C\0\x28\x3C\xDC\0", 56);

// As files from different tools and sites have them: names and comments,
// blanks and tabs, either case, CR LF, a byte-order mark, no last newline.
const std::pair<const char *, std::string> five_files[] = {
    { "p.gpl", "GIMP Palette\nName: five\nColumns: 5\n#\n  0   0   0\tblack\n255 255 255\n200 30 40\tred\n"
               " 20 180  60\tgreen\n 40\t60 220 blue\n" },
    { "jasc.pal", "JASC-PAL\r\n0100\r\n5\r\n0 0 0\r\n255 255 255\r\n200 30 40\r\n20 180 60\r\n40 60 220\r\n" },
    { "riff.pal", riff_five },
    { "p.hex", "000000\nFFFFFF\nc81e28\n14B43C\n283cdc" },
    { "hash.hex", "\xEF\xBB\xBF#000000\r\n#ffffff\r\n\r\n#C81E28\r\n#14b43c\r\n#283CDC\r\n" },
    { "paint.txt", ";paint.net Palette File\n;Colors: 5\nFF000000\nFFFFFFFF\nFFC81E28\nFF14B43C\nFF283CDC\n" },
};

// The colours padded to 256 entries by repeating the last one.
std::string as_table(const bytes &rgb)
{
    std::string table(rgb.begin(), rgb.end());
    while (table.size() < 768)
        table.append(table.end() - 3, table.end());
    return table;
}

// Its pixels the entries in reverse, so that the PLTE's order and the
// pixels' differ.
void write_indexed_png(const std::string &path, const bytes &rgb)
{
    bytes indices;
    for (size_t i = rgb.size() / 3; i > 0; --i)
        indices.push_back(uint8_t(i - 1));
    write_png_form(path, uint32_t(indices.size()), 1, png_form(3, 8, false, rgb), indices);
}

// Entry i is (i, 255 - i, i ^ 0x5A): every entry and channel distinct.
bytes distinct(int count)
{
    bytes rgb;
    for (int i = 0; i < count; ++i)
        rgb.insert(rgb.end(), { uint8_t(i), uint8_t(255 - i), uint8_t(i ^ 0x5A) });
    return rgb;
}

parsed_palette parse(const std::string &file)
{
    return parse_palette_file(reinterpret_cast<const uint8_t *>(file.data()), file.size());
}

// ------------------------------------------------ read_palette on one file

class palette_test : public ::testing::Test {
protected:
    void SetUp() override { set_default_settings(); }

    // Reads the palette from path (or from a file of the given bytes) and
    // returns what was printed.
    std::string read_path(const std::string &path, bool expect_ok = true)
    {
        std::strcpy(palette_path_buffer, path.c_str());
        stdout_capture capture;
        EXPECT_EQ(read_palette(), expect_ok) << path;
        return capture.finish();
    }
    std::string read_bytes(const std::string &file, bool expect_ok = true)
    {
        write_file(folder.file("p.act"), file);
        return read_path(folder.file("p.act"), expect_ok);
    }

    // In srgb mode the levels are the bytes over 255, checked in both forms.
    void expect_entries(const std::string &rgb, int written = 256)
    {
        EXPECT_EQ(output_palette_entries, written);
        for (int i = 0; i < palette_entries; ++i) {
            const uint8_t r = uint8_t(rgb[3 * i]), g = uint8_t(rgb[3 * i + 1]), b = uint8_t(rgb[3 * i + 2]);
            ASSERT_EQ(srgb_pal_R[i] + srgb_pal_G[i] * 256 + srgb_pal_B[i] * 65536, r + g * 256 + b * 65536) << i;
            ASSERT_EQ(pal_R[i], static_cast<float>(r / 255.0)) << i;
            ASSERT_EQ(pal_G[i], static_cast<float>(g / 255.0)) << i;
            ASSERT_EQ(pal_B[i], static_cast<float>(b / 255.0)) << i;
        }
    }

    temp_folder folder;
};

}  // namespace

// The sRGB curve against reference values to six digits: bytes 10 and 11
// straddle the switch from the straight piece to the power curve.
TEST_F(palette_test, both_gamma_modes_give_the_reference_levels)
{
    const struct { int byte; double linear, srgb; } levels[] = {
        { 0, 0.0, 0.0 }, { 1, 0.000303527, 0.00392157 }, { 10, 0.00303527, 0.0392157 },
        { 11, 0.00334654, 0.0431373 }, { 128, 0.215861, 0.501961 }, { 188, 0.502886, 0.737255 }, { 255, 1.0, 1.0 },
    };
    std::string rgb(768, '\0');
    for (int i = 0; i < 7; ++i)
        rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * (i + 10) + 2] = char(levels[i].byte);
    for (int gamma : { 0, 1 }) {
        RGB_gamma = gamma;
        EXPECT_EQ(read_bytes(rgb), "");
        for (int i = 0; i < 7; ++i) {
            const double expected = gamma == 0 ? levels[i].linear : levels[i].srgb;
            for (float level : { pal_R[i], pal_G[i], pal_B[i + 10] })
                EXPECT_NEAR(level, expected, expected * 5e-6 + 1e-12) << "byte " << levels[i].byte;
            EXPECT_EQ(srgb_pal_R[i], levels[i].byte);
        }
        EXPECT_EQ(pal_R[6], 1.0f);
    }
}

// 768 bytes or more are read silently, the rest ignored; fewer are reported,
// and the entries they lack repeat the last complete colour; without one
// complete colour, or from a file that does not open or read, nothing is
// taken and the palette stays as it was.
TEST_F(palette_test, colour_tables_of_every_length)
{
    RGB_gamma = 1;
    const bytes full_rgb = distinct(256);
    const std::string full(full_rgb.begin(), full_rgb.end());
    EXPECT_EQ(read_bytes(full), "");
    expect_entries(full);
    const std::string reversed(full.rbegin(), full.rend());
    EXPECT_EQ(read_bytes(reversed + std::string("\x00\x10\x00\x03", 4) + "extra"), "");
    expect_entries(reversed);

    EXPECT_EQ(read_bytes("\x10\x20\x30\x40\x50\x60\x70"), "Premature end of palette\n");
    expect_entries(as_table({ 0x10, 0x20, 0x30, 0x40, 0x50, 0x60 }));

    read_bytes(full);
    for (const char *file : { "", "\x01\x02" })
        EXPECT_EQ(read_bytes(file, false), "Premature end of palette\n");
    EXPECT_EQ(read_path(folder.file("missing.act"), false), "palette open error\n");
    EXPECT_EQ(read_path(folder.path(), false), "palette read error\n");
    expect_entries(full);
}

// ------------------------------------------------ the built program

namespace {

void write_gradient(const std::string &path)
{
    bytes samples;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x)
            samples.insert(samples.end(), { uint8_t(x * 16), uint8_t(y * 32), uint8_t((x + y) * 10) });
    write_png_form(path, 16, 8, { 2, 8 }, samples);
}

std::string size_lines(int width, int height)
{
    return "\nimage width " + std::to_string(width) + "\nimage heigh " + std::to_string(height) + "\n\n";
}

}  // namespace

// The colours as a colour table padded by repetition, in every text and
// binary format, as an indexed PNG and as the pixels of strip images (a
// text PPM among them, which no list may claim): the same indices, all below
// the count, and the output's palette just the colours (the colour table's
// 256 entries).
TEST(palette_files, every_format_dithers_to_the_same_indices)
{
    temp_folder folder;
    write_gradient(folder.file("img.png"));
    std::vector<std::string> names = { "table.act", "indexed.png", "strip.png", "strip.bmp", "strip.ppm" };
    write_file(folder.file("table.act"), as_table(five));
    write_indexed_png(folder.file("indexed.png"), five);
    write_png_form(folder.file("strip.png"), 5, 1, { 2, 8 }, five);
    write_file(folder.file("strip.bmp"), bmp_bytes(5, 1, five));
    write_file(folder.file("strip.ppm"), "P3\n5 1\n255\n0 0 0 255 255 255 200 30 40\n20 180 60 40 60 220\n");
    std::vector<std::string> arguments;
    for (const auto &[name, file] : five_files) {
        write_file(folder.file(name), file);
        names.push_back(name);
    }
    for (const std::string &name : names)
        arguments.insert(arguments.end(), { "-p", name, "img.png" });
    const run_result r = run_tessaly(arguments, folder.path());
    ASSERT_EQ(r.status, 0) << r.output;

    const std::string table = as_table(five);
    bytes reference;
    for (size_t i = 0; i < names.size(); ++i) {
        char output[48];
        std::snprintf(output, sizeof output, "img_dithered_%04d.png", int(i));
        const decoded_png png = decode_png_file(folder.file(output));
        ASSERT_TRUE(png.ok) << names[i];
        EXPECT_EQ(png.palette, i == 0 ? bytes(table.begin(), table.end()) : five) << names[i];
        EXPECT_EQ(png.transparency, bytes(png.palette.size() / 3, 255)) << names[i];
        if (i == 0)
            reference = png.pixels;
        EXPECT_EQ(png.pixels, reference) << names[i];
    }
    EXPECT_EQ(std::set<uint8_t>(reference.begin(), reference.end()), (std::set<uint8_t>{ 0, 1, 2, 3, 4 }));
}

// Each format's damage, files that are no palette, and tables without one
// complete colour: each gives its one line and status 1, writes nothing, and
// the next file in the batch is dithered.
TEST(palette_files, a_bad_palette_skips_its_file_and_the_batch_goes_on)
{
    temp_folder folder;
    write_gradient(folder.file("img.png"));
    write_file(folder.file("good.act"), as_table(five));
    mkdir(folder.file("folder.act").c_str(), 0755);
    bytes many;  // 257 colours in a strip
    for (int i = 0; i < 257; ++i)
        many.insert(many.end(), { uint8_t(i), uint8_t(i / 2), 7 });
    write_png_form(folder.file("many.png"), 257, 1, { 2, 8 }, many);
    write_indexed_png(folder.file("no_plte.png"), five);
    std::string no_plte = read_file(folder.file("no_plte.png")), junk, many_hex;
    no_plte.erase(no_plte.find("PLTE") - 4, 12 + 15);
    for (int i = 0; i < 1000; ++i)
        junk += char(i * 7 + i / 13);
    for (int i = 0; i < 257; ++i)
        many_hex += "123456\n";
    const struct {
        const char *name;
        std::string file;  // not written when empty
        std::string line = "palette format error";
    } cases[] = {
        { "line.gpl", "GIMP Palette\n1 2 3\nfour 5 6\n" },
        { "above.gpl", "GIMP Palette\n1 2 256\n" },
        { "none.gpl", "GIMP Palette\nName: comments only\n# 1 2 3\n" },
        { "long.gpl", "GIMP Palette\n" + std::string(max_palette_text_bytes, '#') },
        { "fewer.pal", "JASC-PAL\n0100\n3\n1 2 3\n4 5 6\n" },
        { "more.pal", "JASC-PAL\n0100\n1\n1 2 3\n4 5 6\n" },
        { "four.pal", "JASC-PAL\n0100\n1\n1 2 3 4\n" },
        { "count.pal", "JASC-PAL\n0100\n257\n" },
        { "cut.pal", riff_five.substr(0, riff_five.size() - 1) },
        { "many.hex", many_hex },
        { "alpha.hex", "ff00ff\n#12345678\n" },
        { "digit.hex", "ff00ff\nzz0000\n" },
        { "no_plte.png", no_plte },
        { "many.png", "" },
        { "junk.gpl", junk },
        { "prose.txt", "A palette is a set of colours.\n" },
        { "empty.act", "", "Premature end of palette" },
        { "two.act", "\x01\x02", "Premature end of palette" },
        { "/dev/null", "", "Premature end of palette" },
        { "folder.act", "", "palette read error" },
    };
    write_file(folder.file("empty.act"), "");
    for (const auto &c : cases) {
        if (!c.file.empty())
            write_file(folder.file(c.name), c.file);
        const run_result r = run_tessaly({ "-p", c.name, "img.png", "-p", "good.act", "img.png" }, folder.path());
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.output, banner + "-p - custom palette\n" + c.name + "\nimg.png - " + c.line +
                                "\n-p - custom palette\ngood.act\nimg.png - " + size_lines(16, 8));
        EXPECT_FALSE(file_exists(folder.file("img_dithered_0001.png"))) << c.name;
        EXPECT_EQ(unlink(folder.file("img_dithered_0000.png").c_str()), 0) << c.name;
    }
}

// Files of 2 GB (holes, costing no disk): a text palette is refused after a
// bounded read, a colour table is its first 768 bytes as always; the run's
// peak memory stays far below the file.
TEST(palette_files, a_huge_palette_file_is_not_read_whole)
{
    temp_folder folder;
    write_gradient(folder.file("img.png"));
    write_file(folder.file("huge.gpl"), "GIMP Palette\n");
    write_file(folder.file("huge.act"), "");
    for (const char *name : { "huge.gpl", "huge.act" })
        ASSERT_EQ(truncate(folder.file(name).c_str(), off_t(2) << 30), 0);
    const run_result r = run_tessaly({ "-p", "huge.gpl", "img.png", "-p", "huge.act", "img.png" }, folder.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, banner + "-p - custom palette\nhuge.gpl\nimg.png - palette format error\n"
                                 "-p - custom palette\nhuge.act\nimg.png - " + size_lines(16, 8));
    EXPECT_EQ(decode_png_file(folder.file("img_dithered_0000.png")).pixels, bytes(16 * 8, 0));
    rusage usage = {};
    getrusage(RUSAGE_CHILDREN, &usage);
    EXPECT_LT(usage.ru_maxrss, 256 * 1024) << "kB";
}

namespace {

// What the output's palette must hold for a palette file: its colours, or a
// colour table's 256 entries.
bytes expected_palette(const std::string &path)
{
    const std::string file = read_file(path);
    const parsed_palette palette = parse(file);
    if (palette.outcome == palette_colours)
        return bytes(palette.rgb, palette.rgb + 3 * palette.count);
    return bytes(file.begin(), file.begin() + 768);
}

}  // namespace

// A fresh install, then its prefix moved: the program finds its installed
// default and the ready palettes by name from its own folder; a palette.act
// beside it comes before the installed default, one in the working
// directory before both.
TEST(installed_palettes, are_found_from_the_program_wherever_the_prefix_is)
{
    temp_folder folder;
    const std::string installed = folder.file("installed"), prefix = folder.file("moved"), work = folder.file("work");
    run_setup cmake, installed_program;
    cmake.program = TESSALY_CMAKE;
    ASSERT_EQ(run_tessaly({ "--install", TESSALY_BUILD_DIR, "--prefix", installed }, folder.path(), cmake).status, 0);
    ASSERT_EQ(std::rename(installed.c_str(), prefix.c_str()), 0);
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    write_gradient(work + "/img.png");
    const std::string program = prefix + "/bin/tessaly", ready = prefix + "/share/tessaly/palettes/";
    installed_program.program = program.c_str();
    const std::string beside = prefix + "/bin/palette.act", here = work + "/palette.act";

    const struct {
        std::vector<std::string> arguments;
        const char *write;  // a palette.act written there first
        std::string palette;
    } cases[] = {
        { { "img.png" }, nullptr, ready + "default.act" },
        { { "img.png" }, beside.c_str(), beside },
        { { "img.png" }, here.c_str(), here },
        { { "-p", "cga", "img.png" }, nullptr, ready + "cga.act" },
        { { "-p", "cga.act", "img.png" }, nullptr, ready + "cga.act" },
        { { "-p", "pico-8.hex", "img.png" }, nullptr, ready + "pico-8.hex" },
        { { "-p", "gameboy", "img.png" }, nullptr, ready + "gameboy.txt" },
    };
    int number = 0;
    for (const auto &c : cases) {
        if (c.write)
            write_file(c.write, as_table(distinct(c.write == here ? 40 : 20)));
        const run_result r = run_tessaly(c.arguments, work, installed_program);
        EXPECT_EQ(r.status, 0) << c.palette << r.output;
        char output[48];
        std::snprintf(output, sizeof output, "/img_dithered_%04d.png", number++);
        EXPECT_EQ(decode_png_file(work + output).palette, expected_palette(c.palette)) << c.palette;
    }
}

// The ready palettes hold the values of the sources that README.md cites.
TEST(installed_palettes, hold_the_cited_colours)
{
    const char *const palettes[][2] = {
        { "pico-8.hex", "000000 1d2b53 7e2553 008751 ab5236 5f574f c2c3c7 fff1e8 "
                        "ff004d ffa300 ffec27 00e436 29adff 83769c ff77a8 ffccaa " },
        { "c64.gpl", "000000 ffffff 68372b 70a4b2 6f3d86 588d43 352879 b8c76f "
                     "6f4f25 433900 9a6759 444444 6c6c6c 9ad284 6c5eb5 959595 " },
        { "ega.pal", "000000 0000aa 00aa00 00aaaa aa0000 aa00aa aa5500 aaaaaa "
                     "555555 5555ff 55ff55 55ffff ff5555 ff55ff ffff55 ffffff " },
        { "gameboy.txt", "0f380f 306230 8bac0f 9bbc0f " },
    };
    for (const auto &[name, colours] : palettes) {
        const parsed_palette palette = parse(read_file(std::string(TESSALY_PALETTES_DIR) + "/" + name));
        std::string listed;
        for (int i = 0; i < palette.count; ++i) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%02x%02x%02x ", palette.rgb[3 * i], palette.rgb[3 * i + 1], palette.rgb[3 * i + 2]);
            listed += hex;
        }
        EXPECT_EQ(listed, colours) << name;
    }
}
