#include "fuzz/fuzz_support.h"

#include "settings/settings.h"
#include "settings/state.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

void fuzz_enter_own_folder()
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tessaly-fuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data()) || chdir(name.data()) != 0) {
        std::perror("fuzz working folder");
        std::abort();
    }
    std::fflush(stdout);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0 || dup2(null_fd, 1) < 0)
        std::abort();
    close(null_fd);
}

void fuzz_write_file(const std::string &path, const uint8_t *data, size_t size)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        std::abort();
    if (size > 0)
        std::fwrite(data, 1, size, file);
    std::fclose(file);
}

void fuzz_remove_outputs()
{
    DIR *folder = opendir(".");
    if (!folder)
        return;
    std::vector<std::string> doomed;
    while (dirent *entry = readdir(folder)) {
        if (std::strstr(entry->d_name, "_dithered_"))
            doomed.push_back(entry->d_name);
    }
    closedir(folder);
    for (const std::string &name : doomed)
        unlink(name.c_str());
}

void fuzz_write_fixtures()
{
    std::vector<uint8_t> palette;
    for (int i = 0; i < 256; ++i) {
        palette.push_back(static_cast<uint8_t>((i >> 5) * 255 / 7));
        palette.push_back(static_cast<uint8_t>(((i >> 2) & 7) * 255 / 7));
        palette.push_back(static_cast<uint8_t>((i & 3) * 255 / 3));
    }
    fuzz_write_file("palette.act", palette.data(), palette.size());
    std::string image = "P6\n8 6\n255\n";
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x)
            image += { static_cast<char>(x * 36), static_cast<char>(y * 51), static_cast<char>((x + y) * 20) };
    fuzz_write_file("small.ppm", reinterpret_cast<const uint8_t *>(image.data()), image.size());
}

void fuzz_choose_settings(const uint8_t *choice, size_t size)
{
    reset_process_state();
    auto pick = [&](size_t i, int count) { return i < size ? choice[i] % count : 0; };
    color_space = pick(0, color_space_count);
    RGB_gamma = pick(1, gamma_count);
    quant_error_finding_algorithm = pick(2, metric_count);
    quant_weighting_coefficients = pick(3, weighting_count);
    serpentine = pick(4, 2);
    diffusion_window = pick(5, window_count);
    coefficient = pick(6, 5) * 0.25f;
    max_limit = pick(7, 2);
    min_limit = pick(7, 4) / 2;
    level_compress = pick(8, level_compress_count);
    pre_processing_algorithm = pick(9, pre_processing_count);
    pre_processing_window = pick(10, pre_processing_window_count);
    pre_processing_pass = pick(11, 4);
    png_compression = pick(12, 2);
    // Off, and thresholds at both ends and in the middle.
    const int32_t alpha_thresholds[] = { 0, 1, 128, 255 };
    alpha_threshold = alpha_thresholds[pick(13, 4)];
    color_matching = pick(14, matching_count);
    // The limits at the palette's range, on either side.
    if (pick(15, 3) == 1)
        max_limit = limit_palette;
    if (pick(15, 3) == 2)
        min_limit = limit_palette;
}
