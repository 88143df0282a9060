// Palettes: the reference levels and the colour table of every length; then
// the built program reading the same colours in every format, refusing the
// damaged forms of each, and finding its installed palettes.
#include "engine/palette.h"
#include "engine/palette_files.h"
#include "engine/palette_formats.h"
#include "settings/settings.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
// The colours padded to 256 entries by repeating the last one.
std::string as_table(const bytes &rgb)
{
    std::string table(rgb.begin(), rgb.end());
    while (table.size() < 768)
        table.append(table.end() - 3, table.end());
    return table;
}

// Entry i is (i, 255 - i, i ^ 0x5A): every entry and channel distinct.
bytes distinct(int count)
{
    bytes rgb;
    for (int i = 0; i < count; ++i)
        rgb.insert(rgb.end(), { uint8_t(i), uint8_t(255 - i), uint8_t(i ^ 0x5A) });
    return rgb;
}

// Reads the palette from a file of the given bytes and returns what was printed.
std::string read_bytes(const temp_folder &folder, const std::string &file, bool expect_ok = true)
{
    write_file(folder.file("p.act"), file);
    std::strcpy(palette_path_buffer, folder.file("p.act").c_str());
    stdout_capture capture;
    EXPECT_EQ(read_palette(), expect_ok) << file.size() << " bytes";
    return capture.finish();
}

}  // namespace

// The sRGB curve against reference values to six digits: bytes 10 and 11
// straddle the switch from the straight piece to the power curve.
TEST(palette, both_gamma_modes_give_the_reference_levels)
{
    set_default_settings();
    temp_folder folder;
    const struct { int byte; double linear, srgb; } levels[] = {
        { 0, 0.0, 0.0 }, { 1, 0.000303527, 0.00392157 }, { 10, 0.00303527, 0.0392157 },
        { 11, 0.00334654, 0.0431373 }, { 128, 0.215861, 0.501961 }, { 188, 0.502886, 0.737255 }, { 255, 1.0, 1.0 },
    };
    std::string rgb(768, '\0');
    for (int i = 0; i < 7; ++i)
        rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * (i + 10) + 2] = char(levels[i].byte);
    for (int gamma : { 0, 1 }) {
        RGB_gamma = gamma;
        EXPECT_EQ(read_bytes(folder, rgb), "");
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
// complete colour nothing is taken and the palette stays as it was. Both
// forms are checked: the bytes, and in srgb mode the levels as bytes / 255.
TEST(palette, colour_tables_of_every_length)
{
    set_default_settings();
    RGB_gamma = 1;
    temp_folder folder;
    const bytes full_rgb = distinct(256);
    const std::string full(full_rgb.begin(), full_rgb.end()), reversed(full.rbegin(), full.rend());
    const struct { std::string file, printed, entries; bool ok = true; } cases[] = {
        { full, "", full },
        { reversed + std::string("\x00\x10\x00\x03", 4) + "extra", "", reversed },
        { "\x10\x20\x30\x40\x50\x60\x70", "Premature end of palette\n", as_table({ 0x10, 0x20, 0x30, 0x40, 0x50, 0x60 }) },
        { "", "Premature end of palette\n", as_table({ 0x10, 0x20, 0x30, 0x40, 0x50, 0x60 }), false },
        { "\x01\x02", "Premature end of palette\n", as_table({ 0x10, 0x20, 0x30, 0x40, 0x50, 0x60 }), false },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.file.size() << " bytes");
        EXPECT_EQ(read_bytes(folder, c.file, c.ok), c.printed);
        EXPECT_EQ(output_palette_entries, 256);
        for (int i = 0; i < palette_entries; ++i) {
            const int r = uint8_t(c.entries[3 * i]), g = uint8_t(c.entries[3 * i + 1]), b = uint8_t(c.entries[3 * i + 2]);
            ASSERT_EQ(srgb_pal_R[i] + srgb_pal_G[i] * 256 + srgb_pal_B[i] * 65536, r + g * 256 + b * 65536) << i;
            ASSERT_EQ(pal_R[i], float(r / 255.0)) << i;
            ASSERT_EQ(pal_G[i], float(g / 255.0)) << i;
            ASSERT_EQ(pal_B[i], float(b / 255.0)) << i;
        }
    }
}

namespace {

// Colours that the gradient image below uses all of.
const bytes five = { 0, 0, 0, 255, 255, 255, 200, 30, 40, 20, 180, 60, 40, 60, 220 };

// With a chunk to step over, padded to an even length, before the data.
const std::string riff_five("RIFF\x30\0\0\0PAL INFO\x03\0\0\0abc\0data\x18\0\0\0\0\x03\x05\0"
                            "\0\0\0\0\xFF\xFF\xFF\0\xC8\x1E\x28\0\x14\xB4\x3C\0\x28\x3C\xDC\0", 56);

// An indexed PNG whose pixels are its entries in reverse, so that the PLTE's
// order and the pixels' differ.
void write_indexed_png(const std::string &path, const bytes &rgb)
{
    bytes indices;
    for (size_t i = rgb.size() / 3; i > 0; --i)
        indices.push_back(uint8_t(i - 1));
    write_png_form(path, uint32_t(indices.size()), 1, png_form(3, 8, false, rgb), indices);
}

void write_gradient(const std::string &path)
{
    bytes samples;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x)
            samples.insert(samples.end(), { uint8_t(x * 16), uint8_t(y * 32), uint8_t((x + y) * 10) });
    write_png_form(path, 16, 8, { 2, 8 }, samples);
}

// A gradient image beside the palettes.
class palette_files : public ::testing::Test {
protected:
    void SetUp() override { write_gradient(folder.file("img.png")); }
    temp_folder folder;
};

}  // namespace

// The colours as a colour table padded by repetition, in every text and
// binary format as files from different tools and sites have them (names and
// comments, blanks and tabs, either case, CR LF, a byte-order mark, no last
// newline), as an indexed PNG, as the pixels of strip images (a text PPM
// among them, which no list may claim) and written out in the value of -p:
// the same indices, all below the count, and the output's palette just the
// colours (the colour table's 256 entries). The value's list writes the very
// bytes of the same colours in a .hex file.
TEST_F(palette_files, every_format_dithers_to_the_same_indices)
{
    const std::pair<const char *, std::string> files[] = {
        { "table.act", as_table(five) },
        { "p.gpl", "GIMP Palette\nName: five\nColumns: 5\n#\n  0   0   0\tblack\n255 255 255\n200 30 40\tred\n"
                   " 20 180  60\tgreen\n 40\t60 220 blue\n" },
        { "jasc.pal", "JASC-PAL\r\n0100\r\n5\r\n0 0 0\r\n255 255 255\r\n200 30 40\r\n20 180 60\r\n40 60 220\r\n" },
        { "riff.pal", riff_five },
        { "p.hex", "000000\nFFFFFF\nc81e28\n14B43C\n283cdc" },
        { "#000 #FFFFFF,#c81e28 ,\t#14B43C,,#283cdc", "" },  // no file: the value is the list
        { "hash.hex", "\xEF\xBB\xBF#000000\r\n#ffffff\r\n\r\n#C81E28\r\n#14b43c\r\n#283CDC\r\n" },
        { "paint.txt", ";paint.net Palette File\n;Colors: 5\nFF000000\nFFFFFFFF\nFFC81E28\nFF14B43C\nFF283CDC\n" },
        { "strip.bmp", bmp_bytes(5, 1, five) },
        { "strip.ppm", "P3\n5 1\n255\n0 0 0 255 255 255 200 30 40\n20 180 60 40 60 220\n" },
        { "indexed.png", "" },
        { "strip.png", "" },
    };
    write_indexed_png(folder.file("indexed.png"), five);
    write_png_form(folder.file("strip.png"), 5, 1, { 2, 8 }, five);
    std::vector<std::string> arguments;
    for (const auto &[name, file] : files) {
        if (!file.empty())
            write_file(folder.file(name), file);
        arguments.insert(arguments.end(), { "-p", name, "img.png" });
    }
    const run_result r = run_tessaly(arguments, folder.path());
    ASSERT_EQ(r.status, 0) << r.output;

    const std::string table = as_table(five);
    const bytes reference = decode_png_file(folder.file(output_name("img", 0))).pixels;
    for (size_t i = 0; i < std::size(files); ++i) {
        SCOPED_TRACE(files[i].first);
        const decoded_png png = decode_png_file(folder.file(output_name("img", int(i))));
        ASSERT_TRUE(png.ok);
        EXPECT_EQ(png.palette, i == 0 ? bytes(table.begin(), table.end()) : five);
        EXPECT_EQ(png.transparency, bytes(png.palette.size() / 3, 255));
        EXPECT_EQ(png.pixels, reference);
    }
    EXPECT_EQ(std::set<uint8_t>(reference.begin(), reference.end()), (std::set<uint8_t>{ 0, 1, 2, 3, 4 }));
    EXPECT_EQ(read_file(folder.file(output_name("img", 5))), read_file(folder.file(output_name("img", 4))));
}

// -po in any form -p takes: the indices chosen with -p's colours, the
// output's palette -po's entry for entry (with -a, the transparent entry
// after them as ever); "off" gives -p's back; a colour table of 256 entries
// for a palette of 5 skips the file with its one line.
TEST_F(palette_files, the_output_palette_takes_the_place_of_the_colours)
{
    const bytes other = { 1, 2, 3, 250, 240, 230, 0, 0, 255, 9, 9, 9, 200, 100, 0 };
    bytes with_clear_entry = other;
    with_clear_entry.insert(with_clear_entry.end(), { 0, 0, 0 });
    write_file(folder.file("p.hex"), "000000\nffffff\nc81e28\n14b43c\n283cdc\n");
    write_file(folder.file("other.gpl"), "GIMP Palette\n1 2 3\n250 240 230\n0 0 255\n9 9 9\n200 100 0\n");
    write_file(folder.file("table.act"), as_table(five));
    const struct { std::vector<std::string> options; bytes palette; } cases[] = {
        { {}, five }, { { "-po", "other.gpl" }, other }, { { "-po", "#010203 #faf0e6,#00f #090909 #c86400" }, other },
        { { "-po", "other.gpl", "-a", "128" }, with_clear_entry }, { { "-po", "other.gpl", "-po", "off" }, five },
        { { "-po", "table.act" }, {} },
    };
    const bytes reference = [&] {
        run_tessaly({ "-p", "p.hex", "img.png" }, folder.path());
        return decode_png_file(folder.file(output_name("img", 0))).pixels;
    }();
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        unlink(folder.file(output_name("img", 0)).c_str());
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.end(), { "-p", "p.hex", "img.png" });
        const run_result r = run_tessaly(arguments, folder.path());
        const decoded_png png = decode_png_file(folder.file(output_name("img", 0)));
        EXPECT_EQ(r.status, c.palette.empty() ? 1 : 0);
        EXPECT_EQ(r.output.find("img.png - output palette count mismatch\n") != std::string::npos, c.palette.empty());
        EXPECT_EQ(png.palette, c.palette);
        EXPECT_EQ(png.pixels, c.palette.empty() ? bytes() : reference);
    }
}

// Every cut of a binary palette, each in a buffer of just its length so that
// the sanitizer sees any read past the end: the RIFF palette is refused until
// its last entry, the PNG's colours are taken once its PLTE chunk is whole.
TEST_F(palette_files, binary_palettes_cut_anywhere_are_read_within_their_bytes)
{
    write_indexed_png(folder.file("indexed.png"), five);
    const std::string png = read_file(folder.file("indexed.png"));
    const size_t png_whole = png.find("PLTE") - 4 + 12 + five.size();
    for (const auto &[file, whole] : { std::pair(riff_five, riff_five.size()), std::pair(png, png_whole) }) {
        for (size_t size = 0; size <= file.size(); ++size) {
            SCOPED_TRACE(size);
            const std::unique_ptr<uint8_t[]> cut(new uint8_t[size]);
            std::memcpy(cut.get(), file.data(), size);
            const parsed_palette palette = parse_palette_file(cut.get(), size);
            EXPECT_EQ(palette.outcome == palette_colours, size >= whole);
            EXPECT_EQ(palette.count, size >= whole ? 5 : 0);
        }
    }
}

// Each format's damage, files that are no palette, and tables without one
// complete colour: each gives its one line and status 1, writes nothing, and
// the next file in the batch is dithered. Files of 2 GB (holes, costing no
// disk) are not read whole: a text palette is refused after a bounded read,
// a colour table is its first 768 bytes as always, and the run's peak memory
// stays far below the file.
TEST_F(palette_files, a_bad_palette_skips_its_file_and_the_batch_goes_on)
{
    write_file(folder.file("good.act"), as_table(five));  // as is the start of huge.act
    mkdir(folder.file("folder.act").c_str(), 0755);
    bytes many;  // 257 colours in a strip
    for (int i = 0; i < 257; ++i)
        many.insert(many.end(), { uint8_t(i), uint8_t(i / 2), 7 });
    write_png_form(folder.file("many.png"), 257, 1, { 2, 8 }, many);
    write_indexed_png(folder.file("no_plte.png"), five);
    std::string no_plte = read_file(folder.file("no_plte.png")), junk, many_hex, many_list;
    no_plte.erase(no_plte.find("PLTE") - 4, 12 + 15);
    for (int i = 0; i < 1000; ++i)
        junk += char(i * 7 + i / 13);
    for (int i = 0; i < 257; ++i) {
        many_hex += "123456\n";
        many_list += "#123 ";
    }
    write_file(folder.file("huge.gpl"), "GIMP Palette\n");
    write_file(folder.file("huge.act"), as_table(five));
    for (const char *name : { "huge.gpl", "huge.act" })
        ASSERT_EQ(truncate(folder.file(name).c_str(), off_t(2) << 30), 0);
    const std::string table = as_table(five), format_error = "palette format error\n",
                      premature = "Premature end of palette\n";
    const struct { const char *name; std::string file, line; } cases[] = {  // the file not written when empty
        { "line.gpl", "GIMP Palette\n1 2 3\nfour 5 6\n", format_error },
        { "above.gpl", "GIMP Palette\n1 2 256\n", format_error },
        { "none.gpl", "GIMP Palette\nName: comments only\n# 1 2 3\n", format_error },
        { "long.gpl", "GIMP Palette\n" + std::string(max_palette_text_bytes, '#'), format_error },
        { "huge.gpl", "", format_error },
        { "fewer.pal", "JASC-PAL\n0100\n3\n1 2 3\n4 5 6\n", format_error },
        { "more.pal", "JASC-PAL\n0100\n1\n1 2 3\n4 5 6\n", format_error },
        { "four.pal", "JASC-PAL\n0100\n1\n1 2 3 4\n", format_error },
        { "count.pal", "JASC-PAL\n0100\n257\n", format_error },
        { "cut.pal", riff_five.substr(0, riff_five.size() - 1), format_error },
        { "many.hex", many_hex, format_error },
        { "alpha.hex", "ff00ff\n#12345678\n", format_error },
        { "digit.hex", "ff00ff\nzz0000\n", format_error },
        { "no_plte.png", no_plte, format_error },
        { "many.png", "", format_error },
        { "junk.gpl", junk, format_error },
        { "prose.txt", "A palette is a set of colours.\n", format_error },
        { "empty.act", "", premature },
        { "/dev/null", "", premature },
        { "folder.act", "", "palette open error\n" },  // passed over, like a missing file
        { "huge.act", "", size_lines(16, 8) },  // a whole colour table: the file is dithered
        { "#fff red", "", "palette open error\n" },     // neither a file nor a list
        { "#12345 #fff", "", "palette open error\n" },
        { "fff", "", "palette open error\n" },
        { many_list.c_str(), "", format_error },         // 257 colours
    };
    write_file(folder.file("empty.act"), "");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.file.empty())
            write_file(folder.file(c.name), c.file);
        const run_result r = run_tessaly({ "-p", c.name, "img.png", "-p", "good.act", "img.png" }, folder.path());
        const bool taken = c.line == size_lines(16, 8);
        EXPECT_EQ(r.status, taken ? 0 : 1);
        EXPECT_EQ(r.output, banner + "-p - custom palette\n" + c.name + "\nimg.png - " + c.line +
                                "-p - custom palette\ngood.act\nimg.png - " + size_lines(16, 8));
        EXPECT_EQ(file_exists(folder.file(output_name("img", 1))), taken);
        EXPECT_EQ(decode_png_file(folder.file(output_name("img", 0))).palette, bytes(table.begin(), table.end()));
        for (int n : { 0, 1 })
            unlink(folder.file(output_name("img", n)).c_str());
    }
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
    const parsed_palette palette = parse_palette_file(reinterpret_cast<const uint8_t *>(file.data()), file.size());
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
    // A folder of the palette's name in the working directory is passed over:
    // the README's own -o example makes one.
    const struct {
        std::vector<std::string> arguments;
        const char *write;  // a palette.act written there first
        std::string palette;
        const char *folder = nullptr;  // made in the working directory first, and the output's with -o
    } cases[] = {
        { { "img.png" }, nullptr, ready + "default.act" },
        { { "img.png" }, nullptr, ready + "default.act", "palette.act" },
        { { "img.png" }, beside.c_str(), beside },
        { { "img.png" }, here.c_str(), here },
        { { "-p", "cga", "img.png" }, nullptr, ready + "cga.act" },
        { { "-p", "cga", "-o", "cga", "img.png" }, nullptr, ready + "cga.act", "cga" },
        { { "-p", "cga.act", "img.png" }, nullptr, ready + "cga.act" },
        { { "-p", "pico-8.hex", "img.png" }, nullptr, ready + "pico-8.hex" },
        { { "-p", "gameboy", "img.png" }, nullptr, ready + "gameboy.txt" },
        { { "-p", "spectra6-measured", "img.png" }, nullptr, ready + "spectra6-measured.hex" },
        { { "-p", "bwry", "img.png" }, nullptr, ready + "bwry.hex" },
    };
    int outputs_here = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.palette);
        if (c.write)
            write_file(c.write, as_table(distinct(c.write == here ? 40 : 20)));
        const bool into_folder = c.arguments.size() > 2 && c.arguments[2] == "-o";
        if (c.folder) {
            ASSERT_EQ(mkdir((work + "/" + c.folder).c_str(), 0755), 0);
        }
        const run_result r = run_tessaly(c.arguments, work, installed_program);
        EXPECT_EQ(r.status, 0) << r.output;
        const std::string output = into_folder ? work + "/" + c.folder + "/" + output_name("img", 0)
                                               : work + "/" + output_name("img", outputs_here++);
        EXPECT_EQ(decode_png_file(output).palette, expected_palette(c.palette));
        if (c.folder && !into_folder)
            rmdir((work + "/" + c.folder).c_str());
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
        { "spectra6.hex", "000000 ffffff ffff00 ff0000 0000ff 00ff00 " },
        { "spectra6-measured.hex", "020202 b3b6ab c9b800 750a00 002f6b 214528 " },
        { "acep7.hex", "000000 ffffff 00ff00 0000ff ff0000 ffff00 ff8c00 " },
        { "acep7-shown.hex", "393039 ffffff 3a5b46 3d3b5e 9c484b d0be47 b16a49 " },
        { "bw.hex", "000000 ffffff " },
        { "bwr.hex", "000000 ffffff ff0000 " },
        { "bwry.hex", "000000 ffffff ffff00 ff0000 " },
    };
    for (const auto &[name, colours] : palettes) {
        const std::string file = read_file(std::string(TESSALY_PALETTES_DIR) + "/" + name);
        const parsed_palette palette = parse_palette_file(reinterpret_cast<const uint8_t *>(file.data()), file.size());
        std::string listed;
        for (int i = 0; i < palette.count; ++i) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%02x%02x%02x ", palette.rgb[3 * i], palette.rgb[3 * i + 1], palette.rgb[3 * i + 2]);
            listed += hex;
        }
        EXPECT_EQ(listed, colours) << name;
    }
}
