// The fast search and scan against the plain ones, bit for bit: whole engine
// runs on photo-like images over the option combinations, with palettes that
// hold ties, diffusion that runs away to infinity and beyond, weightings that
// leave entries of the per-channel error unwritten, and the row wavefront.
#include "engine/color_space.h"
#include "engine/ditherer.h"
#include "engine/fast_scan.h"
#include "engine/fast_search.h"
#include "engine/nearest.h"
#include "engine/palette.h"
#include "engine/scan.h"
#include "engine/windows.h"
#include "settings/settings.h"
#include "settings/tuning.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Gradients, a soft disc, grain and a few flat saturated patches, with pure
// black and white among them: what photographs and drawings hold.
std::vector<uint8_t> photo_like(int width, int height, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double u = double(x) / width, v = double(y) / height;
            double disc = std::exp(-((u - 0.6) * (u - 0.6) + (v - 0.4) * (v - 0.4)) * 12);
            double level[3] = { 255 * u, 255 * (0.3 + 0.7 * disc), 255 * (1 - v) };
            if (x < width / 6 && y < height / 3)
                level[0] = level[1] = level[2] = (y < height / 6) ? 0 : 255;
            if (x > width * 5 / 6 && y > height * 2 / 3)
                level[0] = 230, level[1] = 20, level[2] = 200;
            for (int c = 0; c < 3; ++c) {
                double grain = static_cast<int>(random() % 21) - 10;
                rgb[(static_cast<size_t>(y) * width + x) * 3 + c] =
                    static_cast<uint8_t>(std::fmin(255, std::fmax(0, level[c] + grain)));
            }
        }
    return rgb;
}

std::vector<uint8_t> cube_palette()
{
    std::vector<uint8_t> rgb;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 8; ++g)
            for (int b = 0; b < 5; ++b)
                rgb.insert(rgb.end(), { uint8_t(r * 51), uint8_t(g * 255 / 7), uint8_t(b * 255 / 4) });
    for (int k = 1; k <= 16; ++k)
        rgb.insert(rgb.end(), 3, uint8_t(k * 15));
    return rgb;
}

// 128 random colours, each twice: every pixel meets ties.
std::vector<uint8_t> doubled_palette(unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> rgb;
    for (int k = 0; k < 128; ++k) {
        uint8_t colour[3] = { uint8_t(random()), uint8_t(random()), uint8_t(random()) };
        rgb.insert(rgb.end(), colour, colour + 3);
        rgb.insert(rgb.end(), colour, colour + 3);
    }
    return rgb;
}

// Four far-apart colours repeated: large errors, and with a diffusion level
// above 1 values that run away to infinity and then stop being numbers.
std::vector<uint8_t> four_colour_palette()
{
    const uint8_t four[4][3] = { { 0, 0, 0 }, { 255, 255, 0 }, { 0, 255, 255 }, { 255, 0, 255 } };
    std::vector<uint8_t> rgb;
    for (int k = 0; k < 256; ++k)
        rgb.insert(rgb.end(), four[k % 4], four[k % 4] + 3);
    return rgb;
}

struct engine_result {
    std::string output;      // the PNG file
    int best_color;
    float quant_error_ch[max_working_channels];
};

class fast_path : public ::testing::Test {
protected:
    void SetUp() override
    {
        write_png_form(folder.file("small.png"), 37, 29, { 2, 8 }, photo_like(37, 29, 1));
        write_png_form(folder.file("wide.png"), 150, 23, { 2, 8 }, photo_like(150, 23, 2));
        write_png_form(folder.file("tall.png"), 45, 203, { 2, 8 }, photo_like(45, 203, 3));
        write_png_form(folder.file("sprite.png"), 37, 29, { 6, 8 }, sprite_rgba(37, 29, 4));
        write_png_form(folder.file("wide_sprite.png"), 150, 23, { 6, 8 }, sprite_rgba(150, 23, 5));
        write_png_form(folder.file("tall_sprite.png"), 45, 203, { 6, 8 }, sprite_rgba(45, 203, 6));
        write_palette_file(folder.file("cube.act"), cube_palette());
        write_palette_file(folder.file("doubled.act"), doubled_palette(3));
        write_palette_file(folder.file("four.act"), four_colour_palette());
    }

    void TearDown() override
    {
        use_plain_paths = false;
        scan_thread_count = 0;
        scan_helper_starter = usual_starter;
    }

    std::thread (*const usual_starter)(std::function<void()>) = scan_helper_starter;

    engine_result run(const std::string &image, const std::string &palette,
                      const std::function<void()> &options, bool plain, int carried)
    {
        set_default_settings();
        failed_files = 0;
        options();
        std::strcpy(palette_path_buffer, folder.file(palette).c_str());
        std::strcpy(arguments_buffer, folder.file(image).c_str());
        use_plain_paths = plain;
        best_color = carried;
        clear_search_state();
        stdout_capture quiet;
        ditherer();
        quiet.finish();
        engine_result result;
        std::string saved = arguments_buffer;
        result.output = read_file(saved);
        std::remove(saved.c_str());
        result.best_color = best_color;
        std::memcpy(result.quant_error_ch, dither_quant_error_ch, sizeof result.quant_error_ch);
        EXPECT_EQ(failed_files, 0);
        return result;
    }

    // The same engine run both ways must give the same file and leave the
    // same search state for the next file.
    void expect_same(const std::string &image, const std::string &palette, const std::function<void()> &options,
                     const std::string &what, int carried = 17)
    {
        engine_result plain = run(image, palette, options, true, carried);
        engine_result fast = run(image, palette, options, false, carried);
        ASSERT_FALSE(plain.output.empty()) << what;
        EXPECT_TRUE(plain.output == fast.output) << what;
        EXPECT_EQ(plain.best_color, fast.best_color) << what;
        EXPECT_EQ(0, std::memcmp(plain.quant_error_ch, fast.quant_error_ch, sizeof plain.quant_error_ch)) << what;
    }

    temp_folder folder;
};

}  // namespace

TEST_F(fast_path, every_colour_space_metric_and_weighting)
{
    for (int space = 0; space < color_space_count; ++space)
        for (int metric = 0; metric < metric_count; ++metric)
            for (int weighting = 0; weighting < weighting_count; ++weighting)
                expect_same("small.png", "cube.act", [&] {
                    color_space = space;
                    quant_error_finding_algorithm = metric;
                    quant_weighting_coefficients = weighting;
                    serpentine = (metric + weighting) % 2;
                    RGB_gamma = (space + metric) % 2;
                }, std::string(color_spaces[space].keyword) + " -e " + std::to_string(metric) + " -q " +
                       std::to_string(weighting));
}

TEST_F(fast_path, every_window_both_scans_both_gammas_with_tied_entries)
{
    for (int w = 0; w < window_count; ++w)
        for (int serpentine_on = 0; serpentine_on < 2; ++serpentine_on)
            for (int gamma = 0; gamma < 2; ++gamma)
                expect_same("small.png", "doubled.act", [&] {
                    diffusion_window = w;
                    serpentine = serpentine_on;
                    RGB_gamma = gamma;
                    coefficient = w == 3 ? 0.5f : 1.0f;
                }, "window " + std::to_string(w) + " serpentine " + std::to_string(serpentine_on));
}

TEST_F(fast_path, runaway_diffusion_limits_and_level_compression)
{
    for (int metric = 0; metric < metric_count; ++metric)
        for (float level : { 1.9f, 4.0f, -2.5f })
            for (int space : { color_space_rgb, color_space_rgbcmyk })
                expect_same("small.png", "four.act", [&] {
                    color_space = space;
                    quant_error_finding_algorithm = metric;
                    coefficient = level;
                    serpentine = metric % 2;
                }, "runaway -e " + std::to_string(metric) + " -d " + std::to_string(level));

    for (int compress = 0; compress < 4; ++compress)
        expect_same("small.png", "cube.act", [&] {
            level_compress = compress;
            max_limit = 1;
            min_limit = compress % 2;
            max_level = compress == 3 ? 0.2f : 0.9f;  // below the lower level once
            min_level = 0.3f;
            coefficient = 2.5f;
        }, "limits, -lc " + std::to_string(compress));
}

TEST_F(fast_path, circle_pre_processing_leaves_the_same_unwritten_entries)
{
    // rgbcmyk with 421 leaves channels 3 to 6 of the per-channel error as the
    // pre-processing left them; cmyk with 421 and pow2m1113 reads entry 3 so.
    struct case_row {
        int space, weighting, metric, window, passes;
    } const cases[] = {
        { 2, 1, 0, 0, 1 }, { 2, 2, 1, 1, 3 }, { 1, 1, 5, 2, 2 }, { 4, 3, 0, 0, 5 }, { 0, 0, 0, 1, 0 },
        { 6, 5, 5, 2, -1 },
    };
    for (const case_row &c : cases)
        expect_same("small.png", "cube.act", [&] {
            color_space = c.space;
            quant_weighting_coefficients = c.weighting;
            quant_error_finding_algorithm = c.metric;
            pre_processing_algorithm = 1;
            pre_processing_window = c.window;
            pre_processing_pass = c.passes;
        }, "circle in " + std::string(color_spaces[c.space].keyword));
}

// The wavefront's lag follows the columns a window reaches: the wide ones
// too, with their limits; the ordered windows share their rows out instead.
TEST_F(fast_path, row_wavefront_on_several_threads)
{
    const int spaces[] = { color_space_rgb, color_space_cmyk, color_space_rgbcmyk, color_space_rgbyuv };
    const int windows[] = { window_round, window_jarvis, window_burkes, window_atkinson, window_bluenoise };
    for (int threads : { 2, 3, 5 }) {
        scan_thread_count = threads;
        for (int i = 0; i < 8; ++i)
            expect_same("wide.png", "cube.act", [&] {
                color_space = spaces[i % 4];
                diffusion_window = windows[i % 5];
                max_limit = min_limit = i % 2;
                max_level = 0.8f;
            }, std::to_string(threads) + " threads, window " + std::to_string(windows[i % 5]) + " in " +
                   color_spaces[spaces[i % 4]].keyword);
        // Pixels where no entry wins take the entry of the pixel before them,
        // across the rows that other threads scan.
        for (int carried : { 0, 200 })
            expect_same("wide.png", "four.act", [&] { coefficient = 3.0f; },
                        std::to_string(threads) + " threads, runaway", carried);
    }
}

// Clear pixels (-a) in every scan: every window both ways, the limits, the
// circle pre-processing, runaway diffusion whose undefined values must be
// carried across wholly clear rows, and the wavefront on several threads. A
// carried entry 255, which the full palette gives up, becomes 0 in both.
TEST_F(fast_path, clear_pixels_in_every_scan)
{
    for (int w = 0; w < window_count; ++w)
        for (int serpentine_on = 0; serpentine_on < 2; ++serpentine_on)
            expect_same("sprite.png", "cube.act", [&] {
                alpha_threshold = 128;
                diffusion_window = w;
                serpentine = serpentine_on;
            }, "-a 128, window " + std::to_string(w) + " serpentine " + std::to_string(serpentine_on));

    expect_same("sprite.png", "cube.act", [&] {
        alpha_threshold = 1;
        color_space = color_space_rgbcmyk;
        max_limit = min_limit = 1;
        max_level = 0.8f;
        min_level = 0.3f;
        coefficient = 2.5f;
    }, "-a 1 with limits");
    for (int passes : { 1, 3 })
        expect_same("sprite.png", "cube.act", [&] {
            alpha_threshold = 255;
            pre_processing_algorithm = 1;
            pre_processing_window = passes - 1;
            pre_processing_pass = passes;
            serpentine = passes == 3;
        }, "-a 255 with circle, passes " + std::to_string(passes));

    for (int threads : { 1, 2, 3 }) {
        scan_thread_count = threads;
        expect_same("wide_sprite.png", "cube.act", [&] {
            alpha_threshold = 128;
            diffusion_window = window_round;
            max_limit = 1;
        }, "-a 128 on " + std::to_string(threads) + " threads");
        for (int carried : { 0, 255 })
            expect_same("wide_sprite.png", "four.act", [&] {
                alpha_threshold = 128;
                coefficient = 3.0f;
            }, "-a 128, runaway, " + std::to_string(threads) + " threads", carried);
    }
}

namespace {

// A pixel where no entry wins keeps the entry of the pixel before it in scan
// order, which for the first pixels of a row is the last of the row above,
// scanned by another thread.
std::vector<uint8_t> scan_indices(working_image image, bool plain, int threads, int carried)
{
    use_plain_paths = plain;
    scan_thread_count = threads;
    best_color = carried;
    clear_search_state();
    clear_scan_state();
    scale_scan_windows();
    png_writer_t *writer = png_writer_new(image.width, image.height, PNG_WRITER_INDEXED);
    diffusion_scan(image, writer);
    std::vector<uint8_t> indices(writer->pixels, writer->pixels + writer->pixel_bytes);
    indices.push_back(static_cast<uint8_t>(best_color));
    png_writer_destroy(writer);
    return indices;
}

}  // namespace

TEST_F(fast_path, scan_that_follows_the_reading_through_a_ring_of_rows)
{
    // 207 framed rows pass through the ring's places more than three times,
    // with the frame rows below the last row among them; the windows that
    // reach two rows down write into places the reader refills next, and an
    // ordered pattern gives no rows back.
    for (int window : { window_round, window_jarvis, window_atkinson, window_bluenoise })
        for (int threads : { 1, 2, 3 })
            for (int serpentine_on : { 0, 1 }) {
                scan_thread_count = threads;
                expect_same("tall.png", "cube.act", [&] {
                    serpentine = serpentine_on;
                    max_limit = min_limit = 1;
                    max_level = 0.9f;
                    min_level = 0.05f;
                    diffusion_window = window;
                }, "window " + std::to_string(window) + ", " + std::to_string(threads) + " threads, serpentine " +
                       std::to_string(serpentine_on));
                // The mask of clear pixels stays whole while the values pass
                // through the ring.
                expect_same("tall_sprite.png", "cube.act", [&] {
                    alpha_threshold = 128;
                    serpentine = serpentine_on;
                    diffusion_window = window;
                }, "-a 128, window " + std::to_string(window) + ", " + std::to_string(threads) + " threads");
            }
}

TEST_F(fast_path, rows_that_start_without_a_winner_take_the_last_entry_of_the_row_above)
{
    set_default_settings();
    select_color_space(color_space_rgb);
    for (int k = 0; k < palette_entries; ++k)
        for (int c = 0; c < 3; ++c)
            pal_ch[c][k] = float((k * (c + 3)) % 256) / 255;
    const int width = 9, height = 12;
    working_image image;
    size_working_image(image, width, height, 3);
    std::fill(image.values.begin(), image.values.end(), 0.0f);
    std::mt19937 random(5);
    for (int y = 1; y <= height; ++y)
        for (int x = 1; x <= width; ++x)
            for (int c = 0; c < 3; ++c)
                image.at(x, y)[c] = float(random() % 1000) / 999;
    const float not_a_number = std::nanf("");
    for (int y : { 2, 3, 4, 7, 12 })
        for (int x = 1; x <= (y == 3 ? width : 2); ++x)  // row 3 wholly, so row 4 reaches back to row 2
            image.at(x, y)[1] = not_a_number;
    image.at(width, height)[0] = std::numeric_limits<float>::infinity();

    for (int window : { window_dot, window_bayer4 }) {
        install_window(window);
        for (int carried : { 0, 77 }) {
            const std::vector<uint8_t> plain = scan_indices(image, true, 1, carried);
            for (int threads : { 1, 2, 3, 4 })
                EXPECT_EQ(plain, scan_indices(image, false, threads, carried))
                    << window << ", " << threads << " threads";
        }
    }
}

TEST_F(fast_path, every_colour_space_metric_and_weighting_has_a_fast_path)
{
    // A combination missing from the fast paths' tables would be searched
    // exhaustively or scanned plainly: right, but slow.
    set_default_settings();
    for (int space = 0; space < color_space_count; ++space) {
        select_color_space(space);
        EXPECT_TRUE(fast_paths_cover(channels_used)) << color_spaces[space].keyword;
        for (int metric = 0; metric < metric_count; ++metric)
            for (int weighting = 0; weighting < weighting_count; ++weighting)
                EXPECT_TRUE(nearest_color_finder(weighting, metric).searches_by_cells())
                    << color_spaces[space].keyword << " -e " << metric << " -q " << weighting;
    }
}

TEST_F(fast_path, search_agrees_with_every_entry_tried_near_far_and_beyond)
{
    // Values in the palette's box, on the boundaries of its cells, outside it
    // at every distance up to past the last shell, and not numbers; palettes
    // dense in the darks (linear light) and with ties.
    const float not_a_number = std::nanf(""), infinite = std::numeric_limits<float>::infinity();
    std::mt19937 random(7);
    std::vector<std::vector<float>> values;
    for (int i = 0; i < 3000; ++i) {
        const float scale = std::ldexp(1.0f, static_cast<int>(random() % 26) - 12);
        std::vector<float> v(max_working_channels, 0.0f);
        for (int c = 0; c < 7; ++c)
            v[c] = (float(random() % 20001) / 10000 - 1.0f) * scale + 0.3f;
        values.push_back(v);
    }
    for (float odd : { not_a_number, infinite, -infinite, 3e38f, 0.0f, 1.0f })
        for (int c = 0; c < 3; ++c) {
            std::vector<float> v(max_working_channels, 0.4f);
            v[c] = odd;
            values.push_back(v);
        }
    const std::vector<uint8_t> palettes[] = { cube_palette(), doubled_palette(4) };
    for (const std::vector<uint8_t> &palette : palettes)
        for (int gamma = 0; gamma < 2; ++gamma)
            for (int space : { color_space_rgb, color_space_yuv, color_space_cmyk, color_space_rgbcmyk })
                for (int metric = 0; metric < metric_count; ++metric)
                    for (int weighting : { weighting_111, weighting_421, weighting_2417 }) {
                        set_default_settings();
                        RGB_gamma = gamma;
                        color_space = space;
                        select_color_space(space);
                        write_palette_file(folder.file("p.act"), palette);
                        std::strcpy(palette_path_buffer, folder.file("p.act").c_str());
                        stdout_capture quiet;
                        ASSERT_TRUE(read_palette());
                        quiet.finish();
                        convert_palette();
                        clear_search_state();
                        const nearest_color_finder finder(weighting, metric);
                        int differing = 0;
                        for (const std::vector<float> &v : values)
                            differing += finder.find(v.data()) != finder.find_exhaustively(v.data());
                        EXPECT_EQ(differing, 0) << color_spaces[space].keyword << " -e " << metric << " -q " << weighting
                                                << " gamma " << gamma;
                    }
}

namespace {

// Starts helpers until the given one, which the system refuses.
template <typename refusal>
std::thread (*refusing_starter(int refused))(std::function<void()>)
{
    static int count, limit;
    count = 0;
    limit = refused;
    return [](std::function<void()> body) {
        if (++count >= limit)
            throw refusal();
        return std::thread(std::move(body));
    };
}

struct refused_thread : std::system_error {
    refused_thread() : std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)) {}
};

}  // namespace

TEST_F(fast_path, helpers_refused_or_without_memory_leave_one_thread_to_scan)
{
    for (int refused : { 1, 3 }) {
        scan_thread_count = 4;
        scan_helper_starter = refusing_starter<std::bad_alloc>(refused);
        expect_same("wide.png", "cube.act", [] {}, "memory runs out for helper " + std::to_string(refused));
        scan_helper_starter = refusing_starter<refused_thread>(refused);
        expect_same("wide.png", "cube.act", [] {}, "the system refuses helper " + std::to_string(refused));
    }
}
