// The fast search and scan against the plain ones, bit for bit: whole engine
// runs on photo-like images over the option combinations, with palettes that
// hold ties, diffusion that runs away to infinity and beyond, weightings that
// leave entries of the per-channel error unwritten, and the row wavefront.
#include "engine/color_space.h"
#include "engine/diffusion_windows.h"
#include "engine/fast_scan.h"
#include "engine/fast_search.h"
#include "engine/front.h"
#include "engine/helper_threads.h"
#include "engine/matching.h"
#include "engine/nearest.h"
#include "engine/palette.h"
#include "engine/palette_files.h"
#include "engine/scan.h"
#include "settings/run_report.h"
#include "settings/scan_state.h"
#include "settings/settings.h"
#include "settings/tuning.h"
#include "tests/engine_fixture.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
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
    std::vector<uint8_t> rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double u = double(x) / width, v = double(y) / height;
            const double disc = std::exp(-((u - 0.6) * (u - 0.6) + (v - 0.4) * (v - 0.4)) * 12);
            double level[3] = { 255 * u, 255 * (0.3 + 0.7 * disc), 255 * (1 - v) };
            if (x < width / 6 && y < height / 3)
                level[0] = level[1] = level[2] = (y < height / 6) ? 0 : 255;
            if (x > width * 5 / 6 && y > height * 2 / 3)
                level[0] = 230, level[1] = 20, level[2] = 200;
            for (double l : level)
                rgb.push_back(static_cast<uint8_t>(std::fmin(255, std::fmax(0, l + (int(random() % 21) - 10)))));
        }
    return rgb;
}

// What a case set, to name it when it fails.
std::string settings_in_use()
{
    std::ostringstream s;
    s << color_spaces[color_space].keyword << " -e " << quant_error_finding_algorithm << " -q " << quant_weighting_coefficients
      << " -w " << diffusion_window << " -s " << serpentine << " -g " << RGB_gamma << " -d " << coefficient << " -lmx "
      << max_limit << " -lmn " << min_limit << " " << max_level << "/" << min_level << " -lc " << level_compress << " -a "
      << alpha_threshold << " -m " << color_matching << " -pp " << pre_processing_algorithm << "/" << pre_processing_window << "/"
      << pre_processing_pass << ", " << scan_thread_count << " threads";
    return s.str();
}

// Starts helpers until the given one, which the system refuses for want of
// memory or of threads.
int helpers_started, refused_helper;
bool refused_for_memory;
std::thread refusing_starter(std::function<void()> body)
{
    if (++helpers_started >= refused_helper && refused_for_memory)
        throw std::bad_alloc();
    if (helpers_started >= refused_helper)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
}

class fast_path : public engine_fixture {
protected:
    void SetUp() override
    {
        // Small; wide, for the wavefront across columns; tall, for the ring of
        // rows. Each as a photograph and as a sprite with clear pixels.
        const struct { const char *name; int width, height; } sizes[] = {
            { "small", 37, 29 }, { "wide", 150, 23 }, { "tall", 45, 203 } };
        for (unsigned seed = 1; seed <= 3; ++seed) {
            const auto &[name, width, height] = sizes[seed - 1];
            write_png_form(folder.file(name + std::string(".png")), width, height, { 2, 8 }, photo_like(width, height, seed));
            write_png_form(folder.file(name + std::string("_sprite.png")), width, height, { 6, 8 },
                           sprite_rgba(width, height, seed + 3));
        }
        // A cube of 6 x 8 x 5 levels and 16 greys; four far-apart colours
        // repeated: large errors, and with a diffusion level above 1 values
        // that run away to infinity and then stop being numbers; 128 random
        // colours, each twice: every pixel meets ties.
        const uint8_t four[4][3] = { { 0, 0, 0 }, { 255, 255, 0 }, { 0, 255, 255 }, { 255, 0, 255 } };
        std::vector<uint8_t> cube, fours, doubled[2];
        std::mt19937 random[2] = { std::mt19937(3), std::mt19937(4) };
        for (int e = 0; e < 256; ++e) {
            if (e < 240)
                cube.insert(cube.end(), { uint8_t(e / 40 * 51), uint8_t(e / 5 % 8 * 255 / 7), uint8_t(e % 5 * 255 / 4) });
            else
                cube.insert(cube.end(), 3, uint8_t((e - 239) * 15));
            fours.insert(fours.end(), four[e % 4], four[e % 4] + 3);
            for (int d = 0; d < 2 && e % 2 == 0; ++d) {
                const uint8_t r = uint8_t(random[d]()), g = uint8_t(random[d]()), b = uint8_t(random[d]());
                doubled[d].insert(doubled[d].end(), { r, g, b, r, g, b });
            }
        }
        for (const auto &[name, rgb] : { std::pair{ "cube.act", cube }, { "four.act", fours }, { "doubled.act", doubled[0] },
                                          { "doubled_too.act", doubled[1] } })
            write_palette_file(folder.file(name), rgb);
        // Palettes of a few colours: written out, the rest of the entries
        // repeating the last one, or a table that repeats them all; 16
        // colours are searched without cells, 17 with them.
        write_file(folder.file("two.hex"), "000000\nffffff\n");
        write_file(folder.file("seven.hex"), "000000\nffffff\n00ff00\n0000ff\nff0000\nffff00\nff8000\n");
        for (int colours : { 16, 17 }) {
            std::vector<uint8_t> rgb;
            for (int e = 0; e < 256; ++e)
                rgb.insert(rgb.end(), { uint8_t(e % colours * 15), uint8_t(255 - e % colours * 9), uint8_t(e % colours % 4 * 80) });
            write_palette_file(folder.file(colours == 16 ? "sixteen.act" : "seventeen.act"), rgb);
        }
    }

    void TearDown() override
    {
        engine_fixture::TearDown();
        scan_helper_starter = usual_starter;
    }

    std::thread (*const usual_starter)(std::function<void()>) = scan_helper_starter;

    // The same engine run both ways must give the same file and leave the
    // same search state for the next file.
    void expect_same(const char *image, const char *palette, const std::function<void()> &options, int carried = 17)
    {
        reset_process_state();
        options();
        SCOPED_TRACE(std::string(image) + " with " + palette + ", entry " + std::to_string(carried) + " carried: " +
                     settings_in_use());
        std::string output[2], carried_on[2];
        for (int plain : { 1, 0 }) {
            reset_process_state();
            options();
            const bool made = std::strncmp(palette, "auto:", 5) == 0;
            std::strcpy(palette_path_buffer, made ? palette : folder.file(palette).c_str());
            std::strcpy(arguments_buffer, folder.file(image).c_str());
            use_plain_paths = plain, best_color = carried;
            stdout_capture quiet;
            ditherer();
            quiet.finish();
            output[plain] = read_file(arguments_buffer);
            std::remove(arguments_buffer);
            // The entry and the per-channel error, bit for bit, that the next file starts from.
            carried_on[plain] = std::to_string(best_color) + " " +
                                std::string(reinterpret_cast<const char *>(dither_quant_error_ch), sizeof dither_quant_error_ch);
            EXPECT_EQ(failed_files, 0);
        }
        ASSERT_FALSE(output[1].empty());
        EXPECT_TRUE(output[1] == output[0]);
        EXPECT_TRUE(carried_on[1] == carried_on[0]) << "the state the next file starts from";
    }

    temp_folder folder;
};

}  // namespace

// Every combination runs the fast paths, and gives the plain paths' file: one
// missing from the fast paths' tables would be searched exhaustively or
// scanned plainly, right but slow.
TEST_F(fast_path, every_colour_space_metric_and_weighting)
{
    for (int space = 0; space < color_space_count; ++space) {
        select_color_space(space);
        EXPECT_TRUE(fast_paths_cover(channels_used)) << color_spaces[space].keyword;
        for (int metric = 0; metric < metric_count; ++metric)
            for (int weighting = 0; weighting < weighting_count; ++weighting) {
                EXPECT_TRUE(nearest_color_finder(weighting, metric).searches_by_cells())
                    << color_spaces[space].keyword << " -e " << metric << " -q " << weighting;
                expect_same("small.png", "cube.act", [&] {
                    color_space = space; quant_error_finding_algorithm = metric; quant_weighting_coefficients = weighting;
                    serpentine = (metric + weighting) % 2; RGB_gamma = (space + metric) % 2;
                });
            }
    }
}

// Every window both ways and in both gammas with tied entries, and both ways
// with clear pixels (-a).
TEST_F(fast_path, every_window_both_scans_with_tied_entries_and_clear_pixels)
{
    for (int window = 0; window < window_count; ++window)
        for (int scans = 0; scans < 4; ++scans) {
            expect_same("small.png", "doubled.act", [&] {
                diffusion_window = window; serpentine = scans % 2; RGB_gamma = scans / 2;
                coefficient = window == window_linear_x ? 0.5f : 1.0f;
            });
            if (scans < 2)
                expect_same("small_sprite.png", "cube.act",
                            [&] { alpha_threshold = 128; diffusion_window = window; serpentine = scans; });
        }
}

TEST_F(fast_path, runaway_diffusion_limits_and_level_compression)
{
    for (int metric = 0; metric < metric_count; ++metric)
        for (float level : { 1.9f, 4.0f, -2.5f })
            for (int space : { color_space_rgb, color_space_rgbcmyk })
                expect_same("small.png", "four.act", [&] {
                    color_space = space; quant_error_finding_algorithm = metric; coefficient = level; serpentine = metric % 2;
                });
    // The upper level below the lower once; clear pixels (-a 1) under both
    // limits; each at one level and at the palette's range.
    const struct { const char *image; int space, compress, lower_on, alpha; float upper; } cases[] = {
        { "small.png", color_space_rgb, 0, 0, 0, 0.9f }, { "small.png", color_space_rgb, 1, 1, 0, 0.9f },
        { "small.png", color_space_rgb, 2, 0, 0, 0.9f }, { "small.png", color_space_rgb, 3, 1, 0, 0.2f },
        { "small_sprite.png", color_space_rgbcmyk, 0, 1, 1, 0.8f } };
    for (const auto &c : cases)
        for (int limit : { limit_on, limit_palette })
            expect_same(c.image, "cube.act", [&] {
                color_space = c.space; level_compress = c.compress; alpha_threshold = c.alpha;
                max_limit = limit; min_limit = c.lower_on ? limit_on + limit_palette - limit : limit_off;
                max_level = c.upper; min_level = 0.3f; coefficient = 2.5f;
            });
}

// Every copy of a colour is left out of the search, and a few colours are
// all tried at once wherever the diffusion carries the values.
TEST_F(fast_path, palettes_of_a_few_colours_written_out_or_repeated)
{
    const struct { const char *palette; int space, window, serpentine, threads; float level; } cases[] = {
        { "two.hex", color_space_rgb, window_floyd, 0, 2, 1.0f },     { "two.hex", color_space_cmyk, window_dot, 0, 2, 1.0f },
        { "seven.hex", color_space_rgb, window_floyd, 1, 1, 1.0f },   { "seven.hex", color_space_rgbcmyk, window_round, 0, 3, 4.0f },
        { "sixteen.act", color_space_yuv, window_jarvis, 0, 2, 1.0f }, { "seventeen.act", color_space_rgb, window_floyd, 1, 1, 2.5f },
        { "four.act", color_space_rgb, window_dot, 0, 2, 1.0f } };
    for (const auto &c : cases) {
        scan_thread_count = c.threads;
        expect_same("wide.png", c.palette, [&] {
            color_space = c.space; diffusion_window = c.window; serpentine = c.serpentine; coefficient = c.level;
        });
    }
}

// Matching in OkLab: both gammas, both scans, every kind of window, values
// that run away, the limits, the pre-processing and clear pixels, on one
// thread and on the wavefront; -q and -e have no say in it.
TEST_F(fast_path, oklab_matching)
{
    const struct { const char *image, *palette; int gamma, window, serpentine, limit, circle, threads; float level; } cases[] = {
        { "small.png", "cube.act", 0, window_floyd, 0, 0, 0, 1, 1.0f }, { "small.png", "doubled.act", 1, window_jarvis, 1, 0, 0, 1, 1.0f },
        { "small.png", "four.act", 0, window_floyd, 1, 0, 0, 1, 3.0f }, { "small.png", "four.act", 1, window_atkinson, 0, 0, 0, 1, -2.5f },
        { "small.png", "cube.act", 1, window_round, 0, limit_palette, 0, 1, 2.5f }, { "small.png", "cube.act", 0, window_floyd, 0, 0, 1, 1, 1.0f },
        { "small_sprite.png", "cube.act", 1, window_burkes, 1, limit_on, 0, 1, 1.0f }, { "small.png", "doubled.act", 0, window_bluenoise, 0, 0, 0, 1, 1.0f },
        { "wide.png", "cube.act", 1, window_stucki, 0, limit_palette, 0, 3, 1.0f }, { "wide_sprite.png", "four.act", 0, window_floyd, 0, 0, 0, 2, 4.0f },
        { "tall.png", "cube.act", 0, window_bayer4, 0, 0, 0, 2, 1.0f },
        { "wide.png", "seven.hex", 1, window_floyd, 0, limit_palette, 0, 2, 1.0f },
    };
    for (const auto &c : cases) {
        scan_thread_count = c.threads;
        expect_same(c.image, c.palette, [&] {
            color_matching = matching_oklab; RGB_gamma = c.gamma; diffusion_window = c.window; serpentine = c.serpentine;
            max_limit = min_limit = c.limit; pre_processing_algorithm = c.circle; coefficient = c.level;
            alpha_threshold = std::strstr(c.image, "sprite") ? 128 : 0;
            quant_weighting_coefficients = weighting_421; quant_error_finding_algorithm = metric_pow421;
        });
    }
}

TEST_F(fast_path, circle_pre_processing_leaves_the_same_unwritten_entries)
{
    // rgbcmyk with 421 leaves channels 3 to 6 of the per-channel error as the
    // pre-processing left them; cmyk with 421 and pow2m1113 reads entry 3 so.
    // The last rows leave clear pixels (-a 255) out of the circle.
    const int round = pre_processing_window_round, cross = pre_processing_window_cross,
              square = pre_processing_window_square;
    const struct { int space, weighting, metric, window, passes, alpha, serpentine; } cases[] = {
        { color_space_rgbcmyk, weighting_421, metric_pow2, round, 1, 0, switch_off },
        { color_space_rgbcmyk, weighting_721, metric_sum, cross, 3, 0, switch_off },
        { color_space_cmyk, weighting_421, metric_pow2m1113, square, 2, 0, switch_off },
        { color_space_rgbyuv, weighting_631, metric_pow2, round, 5, 0, switch_off },
        { color_space_rgb, weighting_111, metric_pow2, cross, 0, 0, switch_off },
        { color_space_cmyk2, weighting_2417, metric_pow2m1113, square, -1, 0, switch_off },
        { color_space_rgb, weighting_111, metric_pow2, round, 1, 255, switch_off },
        { color_space_rgb, weighting_111, metric_pow2, square, 3, 255, switch_on } };
    for (const auto &c : cases)
        expect_same(c.alpha ? "small_sprite.png" : "small.png", "cube.act", [&] {
            color_space = c.space; quant_weighting_coefficients = c.weighting; quant_error_finding_algorithm = c.metric;
            pre_processing_algorithm = pre_processing_circle; pre_processing_window = c.window;
            pre_processing_pass = c.passes; alpha_threshold = c.alpha; serpentine = c.serpentine;
        });
}

// The wavefront's lag follows the columns a window reaches: the wide ones
// too, with their limits; the ordered windows share their rows out instead.
// Pixels where no entry wins take the entry of the pixel before them, across
// the rows that other threads scan and across wholly clear rows; a carried
// entry 255, which the full palette gives up, becomes 0 in both.
TEST_F(fast_path, row_wavefront_on_several_threads)
{
    const int spaces[] = { color_space_rgb, color_space_cmyk, color_space_rgbcmyk, color_space_rgbyuv };
    const int windows[] = { window_round, window_jarvis, window_burkes, window_atkinson, window_bluenoise };
    for (int threads : { 1, 2, 3, 5 }) {
        scan_thread_count = threads;
        for (int i = 0; i < 8; ++i)
            expect_same("wide.png", "cube.act", [&] {
                color_space = spaces[i % 4]; diffusion_window = windows[i % 5]; max_limit = min_limit = i % 3;
                max_level = 0.8f;
            });
        expect_same("wide_sprite.png", "cube.act", [] { alpha_threshold = 128; diffusion_window = window_round; max_limit = limit_on; });
        for (int carried : { 0, 200, 255 }) {
            expect_same("wide.png", "four.act", [] { coefficient = 3.0f; }, carried);
            expect_same("wide_sprite.png", "four.act", [] { alpha_threshold = 128; coefficient = 3.0f; }, carried);
        }
    }
}

// A palette made from each image: the same colours whatever the number of
// threads, and so the same bytes on both paths; with clear pixels left out
// of the making.
TEST_F(fast_path, palettes_made_from_the_image)
{
    for (int threads : { 1, 3 }) {
        scan_thread_count = threads;
        expect_same("wide.png", "auto:16", [] { coefficient = 0.95f; });
        expect_same("tall.png", "auto:256", [] { serpentine = 1; max_limit = min_limit = limit_palette; });
        expect_same("wide_sprite.png", "auto:256", [] { alpha_threshold = 128; });
    }
}

TEST_F(fast_path, helpers_refused_or_without_memory_leave_their_rows_to_the_running_threads)
{
    scan_thread_count = 4;
    scan_helper_starter = refusing_starter;
    for (int window : { window_floyd, window_bayer4 })
        for (int refused : { 1, 3 })
            for (bool memory : { true, false })
                expect_same("wide.png", "cube.act", [&] {
                    diffusion_window = window;
                    helpers_started = 0; refused_helper = refused; refused_for_memory = memory;
                });
}

TEST_F(fast_path, scan_that_follows_the_reading_through_a_ring_of_rows)
{
    // 207 framed rows pass through the ring's places more than three times,
    // with the frame rows below the last row among them; the windows that
    // reach two rows down write into places the reader refills next, and an
    // ordered pattern gives no rows back. The mask of clear pixels stays
    // whole while the values pass through the ring.
    for (int window : { window_round, window_jarvis, window_atkinson, window_bluenoise })
        for (int threads : { 1, 2, 3 })
            for (int serpentine_on : { 0, 1 }) {
                scan_thread_count = threads;
                expect_same("tall.png", "cube.act", [&] {
                    serpentine = serpentine_on; diffusion_window = window;
                    max_limit = min_limit = serpentine_on ? limit_palette : limit_on;
                    max_level = 0.9f; min_level = 0.05f;
                });
                expect_same("tall_sprite.png", "cube.act",
                            [&] { alpha_threshold = 128; serpentine = serpentine_on; diffusion_window = window; });
            }
}

// A pixel where no entry wins keeps the entry of the pixel before it in scan
// order, which for the first pixels of a row is the last of the row above,
// scanned by another thread: the ordered patterns, straight from the scan.
TEST_F(fast_path, rows_that_start_without_a_winner_take_the_last_entry_of_the_row_above)
{
    select_color_space(color_space_rgb);
    for (int k = 0; k < palette_entries; ++k)
        for (int c = 0; c < 3; ++c)
            pal_ch[c][k] = float((k * (c + 3)) % 256) / 255;
    const int width = 9, height = 12;
    working_image image;
    size_working_image(image, width, height, 3);
    std::fill(image.values.begin(), image.values.end(), 0.0f);
    std::mt19937 random(5);
    for (int i = 0; i < width * height * 3; ++i)  // row by row, inside the frame
        image.at(1 + i / 3 % width, 1 + i / 3 / width)[i % 3] = float(random() % 1000) / 999;
    for (int y : { 2, 3, 4, 7, 12 })
        for (int x = 1; x <= (y == 3 ? width : 2); ++x)  // row 3 wholly, so row 4 reaches back to row 2
            image.at(x, y)[1] = std::nanf("");
    image.at(width, height)[0] = std::numeric_limits<float>::infinity();
    const auto indices = [&](bool plain, int threads, int carried) {
        use_plain_paths = plain, scan_thread_count = threads, best_color = carried;
        clear_search_state();
        clear_scan_state();
        scale_scan_windows();
        png_writer_t *writer = png_writer_new(width, height, PNG_WRITER_INDEXED);
        diffusion_scan(image, writer);
        std::vector<uint8_t> scanned(writer->pixels, writer->pixels + writer->pixel_bytes);
        scanned.push_back(static_cast<uint8_t>(best_color));
        png_writer_destroy(writer);
        return scanned;
    };
    for (int window : { window_dot, window_bayer4 }) {
        install_window(window);
        for (int carried : { 0, 77 })
            for (int threads : { 1, 2, 3, 4 })
                EXPECT_EQ(indices(true, 1, carried), indices(false, threads, carried))
                    << window << ", " << threads << " threads, entry " << carried << " carried";
    }
}

TEST_F(fast_path, search_agrees_with_the_plain_search_near_far_and_beyond)
{
    // Values in the palette's box, on the boundaries of its cells, outside it
    // at every distance up to past the last shell, and not numbers; palettes
    // dense in the darks (linear light), with ties, and of a few colours.
    const float infinite = std::numeric_limits<float>::infinity();
    std::mt19937 random(7);
    std::vector<std::vector<float>> values;
    for (int i = 0; i < 3000; ++i) {
        const float scale = std::ldexp(1.0f, static_cast<int>(random() % 26) - 12);
        values.emplace_back(max_working_channels, 0.0f);
        for (int c = 0; c < 7; ++c)
            values.back()[c] = (float(random() % 20001) / 10000 - 1.0f) * scale + 0.3f;
    }
    for (float odd : { std::nanf(""), infinite, -infinite, 3e38f, 0.0f, 1.0f })
        for (int c = 0; c < 3; ++c) {
            values.emplace_back(max_working_channels, 0.4f);
            values.back()[c] = odd;
        }
    const std::pair<const char *, int> palettes[] = { { "cube.act", 0 },    { "cube.act", 1 },       { "doubled_too.act", 0 },
                                                      { "doubled_too.act", 1 }, { "two.hex", 1 },       { "seven.hex", 0 },
                                                      { "sixteen.act", 1 },     { "seventeen.act", 0 } };
    for (const auto &[palette, gamma] : palettes)
        for (int space : { color_space_rgb, color_space_yuv, color_space_cmyk, color_space_rgbcmyk }) {
            reset_process_state();
            RGB_gamma = gamma, color_space = space;
            select_color_space(space);
            std::strcpy(palette_path_buffer, folder.file(palette).c_str());
            stdout_capture quiet;
            ASSERT_TRUE(read_palette());
            quiet.finish();
            convert_palette();
            for (int metric = 0; metric < metric_count; ++metric)
                for (int weighting : { weighting_111, weighting_421, weighting_721, weighting_2417 }) {
                    clear_search_state();
                    const nearest_color_finder finder(weighting, metric);
                    quant_error_finding_algorithm = metric, quant_weighting_coefficients = weighting;
                    int differing = 0;
                    for (std::vector<float> v : values) {
                        // The planes past the used channels hold 0; where no
                        // entry wins the plain search keeps best_color.
                        std::fill(v.begin() + channels_used, v.end(), 0.0f);
                        best_color = -1;
                        differing += finder.find(v.data()) != find_nearest_color(v.data());
                    }
                    EXPECT_EQ(differing, 0) << palette << " in " << color_spaces[space].keyword << " -g " << gamma
                                            << " -e " << metric << " -q " << weighting;
                }
            if (space != color_space_rgb)
                continue;
            // In OkLab the fast search against the plain one itself.
            color_matching = matching_oklab;
            convert_matching_palette();
            const nearest_color_finder finder(weighting_111, metric_pow2);
            int differing = 0;
            for (const std::vector<float> &v : values) {
                best_color = -1;
                differing += finder.find(v.data()) != find_nearest_color(v.data());
            }
            EXPECT_EQ(differing, 0) << palette << " in OkLab -g " << gamma;
        }
}
