#include "driver/settings.h"
#include "engine/color_space.h"
#include "engine/image.h"
#include "engine/palette.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// Standard error redirected into a file while the object lives.
class stderr_capture {
public:
    stderr_capture()
    {
        char name[] = "/tmp/tessaly-stderr-XXXXXX";
        const int fd = mkstemp(name);
        path_ = name;
        std::fflush(stderr);
        saved_ = dup(2);
        dup2(fd, 2);
        close(fd);
    }
    std::string finish()
    {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        std::string text = read_file(path_);
        unlink(path_.c_str());
        return text;
    }

private:
    int saved_ = -1;
    std::string path_;
};

// A 24-bit BMP, stored bottom-up with rows padded to four bytes, from rows of
// RGB given top-down.
std::string bmp_file(int width, int height, const bytes &rgb)
{
    const int row_bytes = (width * 3 + 3) / 4 * 4;
    const int data_bytes = row_bytes * height;
    std::string out;
    auto put16 = [&out](int v) { out += char(v & 255); out += char((v >> 8) & 255); };
    auto put32 = [&out](int v) { for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 255); };
    out += "BM";
    put32(54 + data_bytes);  // file size
    put32(0);                // reserved
    put32(54);               // offset of the pixels
    put32(40);               // info header size
    put32(width);
    put32(height);           // positive: bottom-up
    put16(1);                // planes
    put16(24);               // bits per pixel
    put32(0);                // no compression
    put32(data_bytes);
    put32(2835);
    put32(2835);
    put32(0);
    put32(0);
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t *p = rgb.data() + (y * width + x) * 3;
            out += char(p[2]);
            out += char(p[1]);
            out += char(p[0]);
        }
        out.append(row_bytes - width * 3, '\0');
    }
    return out;
}

// Big-endian 16-bit samples.
bytes samples16(const std::vector<uint16_t> &values)
{
    bytes out;
    for (uint16_t v : values) {
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v & 255));
    }
    return out;
}

// Six distinct pixels in a 3 x 2 image: a b c / d e f.
const bytes asymmetric_rgb = {
    10, 20, 30,   40, 50, 60,    70, 80, 90,     // a b c
    100, 110, 120, 130, 140, 150, 255, 0, 128,   // d e f
};

class image_test : public ::testing::Test {
protected:
    void SetUp() override { set_default_settings(); }

    source_image load(const std::string &name, bool expect_ok = true)
    {
        source_image image;
        image.width = 99;  // a refusal must not leave anything behind
        image.rgb.assign(3, 1);
        EXPECT_EQ(load_source_image(folder.file(name).c_str(), image), expect_ok) << name;
        if (!expect_ok) {
            EXPECT_EQ(image.width, 0);
            EXPECT_TRUE(image.rgb.empty());
        }
        return image;
    }

    temp_folder folder;
};

}  // namespace

TEST_F(image_test, rgb_png_loads_pixel_for_pixel)
{
    write_test_png(folder.file("a.png"), 3, 2, 3, asymmetric_rgb);
    const source_image image = load("a.png");
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(image.rgb, asymmetric_rgb);
    EXPECT_EQ(image.pixel(2, 1)[0], 255);
}

TEST_F(image_test, grey_and_grey_with_alpha_copy_the_level_to_all_three)
{
    write_test_png(folder.file("g.png"), 2, 1, 1, { 7, 200 });
    write_test_png(folder.file("ga.png"), 2, 1, 2, { 7, 0, 200, 255 });
    const bytes expected = { 7, 7, 7, 200, 200, 200 };
    EXPECT_EQ(load("g.png").rgb, expected);
    EXPECT_EQ(load("ga.png").rgb, expected);
}

TEST_F(image_test, alpha_is_ignored_even_when_fully_transparent)
{
    write_test_png(folder.file("rgba.png"), 2, 1, 4, { 1, 2, 3, 0, 250, 251, 252, 128 });
    EXPECT_EQ(load("rgba.png").rgb, (bytes{ 1, 2, 3, 250, 251, 252 }));
}

TEST_F(image_test, sixteen_bit_png_samples_are_rounded_not_truncated)
{
    // (v * 255 + 32767) / 65535 by hand: 0xFF00 -> 254 (its high byte is 255),
    // 0x0081 -> 1 (its low byte is 129), 0x1234 -> 18, 0x8000 -> 128.
    write_test_png(folder.file("rgb16.png"), 2, 1, 3, samples16({ 0x0000, 0xFFFF, 0xFF00, 0x0081, 0x1234, 0x8000 }), 16);
    EXPECT_EQ(load("rgb16.png").rgb, (bytes{ 0, 255, 254, 1, 18, 128 }));

    write_test_png(folder.file("grey16.png"), 3, 1, 1, samples16({ 0xFF00, 0x0081, 0xFFFF }), 16);
    EXPECT_EQ(load("grey16.png").rgb, (bytes{ 254, 254, 254, 1, 1, 1, 255, 255, 255 }));

    write_test_png(folder.file("rgba16.png"), 1, 1, 4, samples16({ 0x7FFF, 0x0080, 0xFE80, 0 }), 16);
    // 0x7FFF -> 127, 0x0080 -> 0 (128 * 255 + 32767 < 65535), 0xFE80 -> 254.
    EXPECT_EQ(load("rgba16.png").rgb, (bytes{ 127, 0, 254 }));
}

TEST_F(image_test, bmp_loads_top_row_first)
{
    write_file(folder.file("a.bmp"), bmp_file(3, 2, asymmetric_rgb));
    const source_image image = load("a.bmp");
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(image.rgb, asymmetric_rgb);
}

TEST_F(image_test, pnm_files_load_in_binary_ascii_and_sixteen_bit_forms)
{
    write_file(folder.file("a.ppm"), "P6\n# made by hand\n3 2\n255\n" +
                                         std::string(asymmetric_rgb.begin(), asymmetric_rgb.end()));
    EXPECT_EQ(load("a.ppm").rgb, asymmetric_rgb);

    write_file(folder.file("b.pgm"), "P2\n2 1\n255\n9 250\n");
    EXPECT_EQ(load("b.pgm").rgb, (bytes{ 9, 9, 9, 250, 250, 250 }));

    const bytes deep = samples16({ 0xFF00, 0x0081, 0xFFFF });
    write_file(folder.file("c.ppm"), "P6\n1 1\n65535\n" + std::string(deep.begin(), deep.end()));
    EXPECT_EQ(load("c.ppm").rgb, (bytes{ 254, 1, 255 }));

    // In a bitmap 1 is black.
    write_file(folder.file("d.pbm"), "P1\n3 1\n1 0 1\n");
    EXPECT_EQ(load("d.pbm").rgb, (bytes{ 0, 0, 0, 255, 255, 255, 0, 0, 0 }));
}

TEST_F(image_test, the_format_comes_from_the_contents_not_the_name)
{
    write_test_png(folder.file("really_a_png.bmp"), 1, 1, 3, { 5, 6, 7 });
    EXPECT_EQ(load("really_a_png.bmp").rgb, (bytes{ 5, 6, 7 }));
}

TEST_F(image_test, files_that_are_not_readable_images_are_refused)
{
    write_file(folder.file("notes.txt"), "just some words\n");
    write_file(folder.file("words.png"), "just some words\n");
    write_file(folder.file("empty.png"), "");
    write_file(folder.file("noext"), "no format at all");
    // Formats the library could only read through an outside program.
    write_file(folder.file("a.gif"), std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 13));
    write_file(folder.file("a.tif"), std::string("II*\x00\x08\x00\x00\x00", 8));
    load("notes.txt", false);
    load("words.png", false);
    load("empty.png", false);
    load("noext", false);
    load("a.gif", false);
    load("a.tif", false);
    load("missing.png", false);
}

TEST_F(image_test, broken_and_empty_images_are_refused_without_a_word)
{
    write_test_png(folder.file("whole.png"), 4, 4, 3, bytes(48, 77));
    const std::string whole = read_file(folder.file("whole.png"));
    write_file(folder.file("cut.png"), whole.substr(0, whole.size() - 30));
    write_file(folder.file("header.png"), whole.substr(0, 33));
    write_file(folder.file("zero.ppm"), "P6 0 0 255\n");
    write_file(folder.file("zero.bmp"), bmp_file(0, 0, {}));
    write_file(folder.file("short.ppm"), "P6\n2 2\n255\n" + std::string(11, 'x'));
    write_file(folder.file("short16.pgm"), "P5\n2 1\n65535\n" + std::string(3, 'x'));
    const std::string bmp = bmp_file(3, 2, asymmetric_rgb);
    write_file(folder.file("short.bmp"), bmp.substr(0, bmp.size() - 13));

    stdout_capture out;
    stderr_capture err;
    load("cut.png", false);
    load("header.png", false);
    load("zero.ppm", false);
    load("zero.bmp", false);
    load("short.ppm", false);
    load("short16.pgm", false);
    load("short.bmp", false);
    const std::string errors = err.finish();
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(errors, "");
}

TEST_F(image_test, a_one_pixel_image_fills_all_nine_framed_pixels)
{
    write_test_png(folder.file("one.png"), 1, 1, 3, { 255, 128, 0 });
    const source_image source = load("one.png");
    RGB_gamma = 1;
    working_image image;
    fill_working_image(source, image);
    ASSERT_EQ(image.values.size(), 9u * 3u);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 3; ++x) {
            EXPECT_EQ(image.at(x, y)[0], 1.0f);
            EXPECT_NEAR(image.at(x, y)[1], 0.501961, 5e-7);
            EXPECT_EQ(image.at(x, y)[2], 0.0f);
        }
    }
}

TEST_F(image_test, the_frame_repeats_the_nearest_edge_pixel)
{
    source_image source;
    source.width = 3;
    source.height = 2;
    source.rgb = asymmetric_rgb;
    RGB_gamma = 1;
    working_image image;
    fill_working_image(source, image);
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(image.channels, 3);
    ASSERT_EQ(image.values.size(), 5u * 4u * 3u);

    // Which input pixel each framed pixel shows, worked out by hand.
    const char *framed[] = {
        "aabcc",
        "aabcc",
        "ddeff",
        "ddeff",
    };
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 5; ++x) {
            const int index = framed[y][x] - 'a';
            for (int c = 0; c < 3; ++c) {
                const int byte = asymmetric_rgb[index * 3 + c];
                EXPECT_NEAR(image.at(x, y)[c], byte / 255.0, 1e-7) << "(" << x << ", " << y << ") channel " << c;
            }
        }
    }
}

TEST_F(image_test, srgb_images_divide_by_the_float_one_255th)
{
    RGB_gamma = 1;
    EXPECT_EQ(prepared_level(0), 0.0f);
    EXPECT_EQ(prepared_level(255), 1.0f);
    const double reference[][2] = { { 1, 0.00392157 }, { 10, 0.0392157 }, { 11, 0.0431373 },
                                    { 128, 0.501961 }, { 188, 0.737255 } };
    for (const auto &row : reference)
        EXPECT_NEAR(prepared_level(static_cast<int>(row[0])), row[1], row[1] * 5e-6);
}

TEST_F(image_test, linear_images_decode_as_the_palette_does)
{
    for (int byte = 0; byte < 256; ++byte)
        EXPECT_EQ(prepared_level(byte), srgb_byte_to_linear(byte)) << "byte " << byte;
}

TEST_F(image_test, level_compression_scales_the_treated_levels)
{
    const float third = static_cast<float>(1.0 / 3.0), two_thirds = static_cast<float>(2.0 / 3.0);
    for (int gamma : { 0, 1 }) {
        RGB_gamma = gamma;
        const float white[] = { 1.0f, third, 0.5f, two_thirds };  // "off", "85", "128", "170"
        for (int code = 0; code < 4; ++code) {
            level_compress = code;
            EXPECT_EQ(prepared_level(255), white[code]) << "gamma " << gamma << " code " << code;
            EXPECT_EQ(prepared_level(0), 0.0f);
        }
    }
    // In linear mode the compression scales linear light, after the decoding.
    RGB_gamma = 0;
    level_compress = 2;
    EXPECT_EQ(prepared_level(128), srgb_byte_to_linear(128) / 2);
    level_compress = 1;
    EXPECT_NEAR(prepared_level(188), 0.502886 / 3, 2e-7);
    RGB_gamma = 1;
    EXPECT_NEAR(prepared_level(128), 128 / 255.0 / 3, 1e-7);
}

TEST_F(image_test, compression_reaches_the_image_but_not_the_palette)
{
    bytes palette(768, 0);
    palette[0] = palette[1] = palette[2] = 255;
    write_palette_file(folder.file("p.act"), palette);
    std::strcpy(palette_path_buffer, folder.file("p.act").c_str());
    level_compress = 2;
    color_space = color_space_cmy;
    channels_used = 3;
    ASSERT_TRUE(read_palette());
    convert_palette();
    EXPECT_EQ(pal_R[0], 1.0f);
    EXPECT_EQ(pal_ch[0][0], 0.0f);

    source_image white;
    white.width = white.height = 1;
    white.rgb = { 255, 255, 255 };
    working_image image;
    fill_working_image(white, image);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(image.at(1, 1)[c], 0.5f);
}

TEST_F(image_test, pixels_and_palette_entries_of_one_colour_meet_in_every_space)
{
    // Palette entry i has the colour of input pixel i, in a 16 x 16 image.
    bytes rgb;
    for (int i = 0; i < palette_entries; ++i) {
        rgb.push_back(static_cast<uint8_t>(i));
        rgb.push_back(static_cast<uint8_t>((i * 37) & 255));
        rgb.push_back(static_cast<uint8_t>(255 - i / 2));
    }
    write_palette_file(folder.file("p.act"), rgb);
    std::strcpy(palette_path_buffer, folder.file("p.act").c_str());
    source_image source;
    source.width = source.height = 16;
    source.rgb = rgb;

    const int channel_counts[] = { 3, 4, 7, 3, 6, 3, 4 };
    for (int gamma : { 0, 1 }) {
        for (int space = 0; space < 7; ++space) {
            RGB_gamma = gamma;
            color_space = space;
            channels_used = channel_counts[space];
            ASSERT_TRUE(read_palette());
            convert_palette();
            working_image image;
            fill_working_image(source, image);
            ASSERT_EQ(image.channels, channels_used);
            ASSERT_EQ(image.values.size(), 18u * 18u * channels_used);
            for (int i = 0; i < palette_entries; ++i) {
                const float *pixel = image.at(i % 16 + 1, i / 16 + 1);
                for (int c = 0; c < channels_used; ++c) {
                    // The image divides by a float 1/255, the palette by the
                    // double one; a last-place difference may carry through.
                    if (gamma == 0)
                        ASSERT_EQ(pixel[c], pal_ch[c][i]) << "space " << space << " entry " << i << " channel " << c;
                    else
                        ASSERT_NEAR(pixel[c], pal_ch[c][i], 3e-7) << "space " << space << " entry " << i;
                }
            }
        }
    }
}
