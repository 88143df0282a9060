// The C API over the engine's core: a second client of the engine beside the
// command-line driver. The engine's settings and palette are process-wide, so
// every call that touches them holds engine_lock, and a settings object is no
// more than the options it was given, replayed through the option table at the
// start of every call: a call then sees exactly the state a fresh run of the
// program with those options would, and nothing of another object's.
#include "lib/tessaly.h"

#include "driver/driver.h"
#include "driver/options.h"
#include "engine/core.h"
#include "engine/front.h"
#include "engine/palette_files.h"
#include "engine/palette_formats.h"
#include "engine/palette_maker.h"
#include "platform/platform.h"
#include "settings/file_state.h"
#include "settings/report.h"
#include "settings/settings.h"
#include "settings/state.h"
#include "settings/tuning.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

struct tessaly_settings {
    // Accepted options by command-line name, each once, in the order set.
    std::vector<std::pair<std::string, std::string>> options;
    std::string error;
};

struct tessaly_palette {
    found_palette found;
};

namespace {

std::mutex engine_lock;

// The long names of the options, for C and for Python's keyword arguments.
// "limits" sets both limits at once. Numbers are checked here, whole, since
// the command line reads "0.8x" as 0.8 and "x" as 0.
struct option_name {
    const char *long_name;
    const char *names[2];
    bool number;
};

const option_name option_names[] = {
    { "palette", { "-p" }, false },
    { "window", { "-w" }, false },
    { "serpentine", { "-s" }, false },
    { "level", { "-d" }, true },
    { "weights", { "-q" }, false },
    { "metric", { "-e" }, false },
    { "max_limit", { "-lmx" }, false },
    { "min_limit", { "-lmn" }, false },
    { "limits", { "-lmx", "-lmn" }, false },
    { "max_level", { "-mxl" }, true },
    { "min_level", { "-mnl" }, true },
    { "gamma", { "-g" }, false },
    { "pre_processing", { "-pp" }, false },
    { "pre_processing_window", { "-ppw" }, false },
    { "pre_processing_passes", { "-ppc" }, true },
    { "color_space", { "-c" }, false },
    { "level_compress", { "-lc" }, false },
    { "alpha", { "-a" }, false },
    { "match", { "-m" }, false },
    { "output_palette", { "-po" }, false },
    { "fixed_palette_array", { "-fpa" }, false },
};

// Options about the files the program writes; in memory they would be
// accepted and mean nothing, which is worse than an error.
const char *const file_options[] = { "-o", "-z" };

const option_name *find_option_name(const std::string &option)
{
    for (const option_name &row : option_names) {
        if (option == row.long_name)
            return &row;
        if (!row.names[1] && option == row.names[0])
            return &row;
    }
    return nullptr;
}

// The whole value is one finite number, as strtod reads it.
bool is_number(const char *value)
{
    char *end = nullptr;
    const double parsed = std::strtod(value, &end);
    return end != value && *end == '\0' && std::isfinite(parsed);
}

// The lines the engine would print, kept while the lock is held: the last
// one says why a palette or an image failed.
struct report_capture {
    std::vector<std::string> lines;
    report_capture() { set_report_sink(keep, this); }
    ~report_capture() { set_report_sink(nullptr, nullptr); }
    std::string last() const { return lines.empty() ? std::string("failed") : lines.back(); }

private:
    static void keep(void *context, const char *line) { static_cast<report_capture *>(context)->lines.push_back(line); }
};

bool is_folder(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The installed palettes of the prefix the library's file lies under, as
// PREFIX/DATADIR/tessaly/palettes: the shared library sits in PREFIX/LIBDIR,
// the Python module that holds it whole deeper, a program linked with the
// static one in PREFIX/bin. The nearest folder above the file that has them
// wins, so a moved prefix still finds its own; then the configured prefix.
std::string find_installed_palettes()
{
    const std::string below = std::string("/") + TESSALY_DATADIR + "/tessaly/palettes";
    Dl_info place;
    char resolved[PATH_MAX];
    if (dladdr(reinterpret_cast<void *>(&tessaly_version), &place) && place.dli_fname &&
        realpath(place.dli_fname, resolved)) {
        std::string folder = resolved;
        for (size_t cut = folder.rfind('/'); cut != std::string::npos && cut > 0; cut = folder.rfind('/')) {
            folder.resize(cut);
            if (is_folder(folder + below))
                return folder + below;
        }
    }
    return std::string(TESSALY_FULL_DATADIR) + "/tessaly/palettes";
}

// The state a fresh run of the program starts from.
void start_fresh()
{
    if (installed_palettes_folder.empty()) {
        installed_palettes_folder = find_installed_palettes();
        prefer_large_pages = platform_prefer_large_pages;
    }
    reset_process_state();
}

// Then the object's options on it, as the driver would apply them. Every
// option was accepted when it was set, so each is accepted again.
void load_settings(const tessaly_settings &settings)
{
    start_fresh();
    for (const auto &option : settings.options)
        apply_option(option.first.c_str(), option.second.c_str());
}

tessaly_status fail(tessaly_settings *settings, tessaly_status status, std::string words)
{
    if (settings)
        settings->error = std::move(words);
    return status;
}


// The image's rows as the engine reads a file's: red, green and blue, and
// alpha worked out only when asked.
class memory_source : public image_source {
public:
    explicit memory_source(const tessaly_image &image) : image_(image), alpha_(image.channels == 4 ? image.width : 0)
    {
        width = image.width;
        height = image.height;
    }

    bool read_row(uint8_t *rgb) override
    {
        row_ = image_.pixels + static_cast<size_t>(next_row_++) * image_.stride;
        if (image_.channels == 3) {
            std::memcpy(rgb, row_, static_cast<size_t>(width) * 3);
            return true;
        }
        for (int x = 0; x < width; ++x)
            std::memcpy(rgb + 3 * x, row_ + 4 * x, 3);
        return true;
    }

    const uint8_t *row_alpha() override
    {
        if (image_.channels != 4)
            return nullptr;
        for (int x = 0; x < width; ++x)
            alpha_[x] = row_[4 * x + 3];
        return alpha_.data();
    }

private:
    const tessaly_image &image_;
    std::vector<uint8_t> alpha_;
    const uint8_t *row_ = nullptr;
    int next_row_ = 0;
};

// -p auto:N: the palette made from the image's pixels, packed as the maker
// takes them.
void install_palette_made_from(const tessaly_image &image, int colours)
{
    const size_t count = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    std::vector<uint8_t> rgb(3 * count), alpha(image.channels == 4 ? count : 0);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t *pixel = image.pixels + (i / image.width) * image.stride + (i % image.width) * image.channels;
        std::memcpy(&rgb[3 * i], pixel, 3);
        if (!alpha.empty())
            alpha[i] = pixel[3];
    }
    palette_maker_pixels pixels;
    pixels.rgb = rgb.data();
    pixels.alpha = alpha.empty() ? nullptr : alpha.data();
    pixels.count = count;
    pixels.alpha_threshold = alpha_threshold;
    install_made_palette(pixels, colours);
}

const char *image_problem(const tessaly_image *image, size_t index_stride)
{
    if (!image || !image->pixels)
        return "no pixels";
    if (image->width < 1 || image->height < 1)
        return "width and height must be at least 1";
    if (image->channels != 3 && image->channels != 4)
        return "channels must be 3 (RGB) or 4 (RGBA)";
    if (image->stride / static_cast<size_t>(image->channels) < static_cast<size_t>(image->width))
        return "stride is less than width * channels";
    if (index_stride != 0 && index_stride < static_cast<size_t>(image->width))
        return "index stride is less than width";
    return nullptr;
}

void copy_output_palette(const png_writer_t &writer, tessaly_output_palette &output)
{
    std::memset(&output, 0, sizeof output);
    output.entries = static_cast<int>(writer.palette_count);
    for (uint32_t e = 0; e < writer.palette_count; ++e) {
        output.rgb[3 * e] = static_cast<uint8_t>(writer.palette[e]);
        output.rgb[3 * e + 1] = static_cast<uint8_t>(writer.palette[e] >> 8);
        output.rgb[3 * e + 2] = static_cast<uint8_t>(writer.palette[e] >> 16);
    }
    output.transparent_entry = transparent_entry;
}

// Under the lock: the settings loaded, the palette installed, the image
// dithered, the indices copied out of the writer.
tessaly_status dither_locked(tessaly_settings &settings, const tessaly_palette *palette, const tessaly_image &image,
                             uint8_t *indices, size_t index_stride, tessaly_output_palette *output)
{
    report_capture report;
    load_settings(settings);
    if (!matching_fits_color_space())
        return fail(&settings, TESSALY_BAD_VALUE, report.last());
    int made_colours = 0;
    if (palette ? !install_found_palette(palette->found) : !palette_ready(made_colours)) {
        const char *name = palette ? output_palette_buffer : palette_path_buffer;
        return fail(&settings, TESSALY_PALETTE_ERROR, report.last() + ": " + name);
    }
    if (made_colours > 0)
        install_palette_made_from(image, made_colours);
    memory_source source(image);
    png_writer_ptr writer;
    if (dither_image(source, writer) != dither_outcome::dithered)
        return fail(&settings, TESSALY_OUT_OF_MEMORY, "image too large");
    for (int y = 0; y < image.height; ++y)
        std::memcpy(indices + static_cast<size_t>(y) * index_stride, png_writer_row_bytes(writer.get(), y),
                    static_cast<size_t>(image.width));
    if (output)
        copy_output_palette(*writer, *output);
    return TESSALY_OK;
}

}  // namespace

extern "C" {

const char *tessaly_version(void)
{
    return program_version;
}

tessaly_settings *tessaly_settings_new(void)
{
    return new (std::nothrow) tessaly_settings;
}

void tessaly_settings_destroy(tessaly_settings *settings)
{
    delete settings;
}

tessaly_status tessaly_settings_set(tessaly_settings *settings, const char *option, const char *value)
{
    if (!settings || !option || !value)
        return fail(settings, TESSALY_BAD_ARGUMENT, "null argument");
    settings->error.clear();
    for (const char *file_option : file_options) {
        if (std::strcmp(option, file_option) == 0)
            return fail(settings, TESSALY_UNKNOWN_OPTION,
                        std::string(option) + ": the library writes no file; this option has no use here");
    }
    const option_name *row = find_option_name(option);
    const char *const single[2] = { option, nullptr };
    const char *const *names = row ? row->names : single;
    if (!row && !is_option(option))
        return fail(settings, TESSALY_UNKNOWN_OPTION, std::string("no option \"") + option + "\"");
    if (row && row->number && !is_number(value))
        return fail(settings, TESSALY_BAD_VALUE, std::string(option) + ": \"" + value + "\" is not a number");
    try {
        std::lock_guard<std::mutex> hold(engine_lock);
        report_capture quiet;
        load_settings(*settings);
        for (int n = 0; n < 2 && names[n]; ++n) {
            const option_outcome outcome = apply_option(names[n], value);
            if (!outcome.known)
                return fail(settings, TESSALY_UNKNOWN_OPTION, std::string("no option \"") + option + "\"");
            if (!outcome.accepted)
                return fail(settings, TESSALY_BAD_VALUE,
                            std::string(option) + ": \"" + value + "\" is no value of " + names[n]);
        }
        for (int n = 0; n < 2 && names[n]; ++n) {
            auto &options = settings->options;
            for (auto it = options.begin(); it != options.end(); ++it) {
                if (it->first == names[n]) {
                    options.erase(it);
                    break;
                }
            }
            options.emplace_back(names[n], value);
        }
        return TESSALY_OK;
    } catch (const std::bad_alloc &) {
        return fail(settings, TESSALY_OUT_OF_MEMORY, "out of memory");
    }
}

const char *tessaly_settings_error(const tessaly_settings *settings)
{
    return settings ? settings->error.c_str() : "no settings";
}

tessaly_palette *tessaly_palette_new(const uint8_t *rgb, int count)
{
    if (!rgb || count < 1 || count > palette_entries)
        return nullptr;
    tessaly_palette *palette = new (std::nothrow) tessaly_palette;
    if (!palette)
        return nullptr;
    palette->found.colours.outcome = palette_colours;
    palette->found.colours.count = count;
    std::memcpy(palette->found.colours.rgb, rgb, 3 * static_cast<size_t>(count));
    palette->found.output_entries = count;
    return palette;
}

tessaly_palette *tessaly_palette_read(tessaly_settings *settings, const char *name)
{
    if (!settings || !name) {
        fail(settings, TESSALY_BAD_ARGUMENT, "null argument");
        return nullptr;
    }
    settings->error.clear();
    try {
        std::lock_guard<std::mutex> hold(engine_lock);
        report_capture report;
        start_fresh();
        std::unique_ptr<tessaly_palette> palette(new tessaly_palette);
        if (!find_palette(name, palette->found)) {
            fail(settings, TESSALY_PALETTE_ERROR, report.last() + ": " + name);
            return nullptr;
        }
        return palette.release();
    } catch (const std::bad_alloc &) {
        fail(settings, TESSALY_OUT_OF_MEMORY, "out of memory");
        return nullptr;
    }
}

int tessaly_palette_count(const tessaly_palette *palette)
{
    return palette ? palette->found.colours.count : 0;
}

const uint8_t *tessaly_palette_colors(const tessaly_palette *palette)
{
    return palette ? palette->found.colours.rgb : nullptr;
}

void tessaly_palette_destroy(tessaly_palette *palette)
{
    delete palette;
}

tessaly_status tessaly_dither(tessaly_settings *settings, const tessaly_palette *palette, const tessaly_image *image,
                              uint8_t **indices, size_t index_stride, tessaly_output_palette *output)
{
    if (!settings || !indices)
        return fail(settings, TESSALY_BAD_ARGUMENT, "null argument");
    settings->error.clear();
    if (const char *problem = image_problem(image, index_stride))
        return fail(settings, TESSALY_BAD_IMAGE, problem);
    const size_t width = static_cast<size_t>(image->width), height = static_cast<size_t>(image->height);
    if (width * height > max_pixels)
        return fail(settings, TESSALY_OUT_OF_MEMORY, "image too large");
    uint8_t *allocated = nullptr;
    if (!*indices) {
        allocated = static_cast<uint8_t *>(std::malloc(width * height));
        if (!allocated)
            return fail(settings, TESSALY_OUT_OF_MEMORY, "out of memory");
        index_stride = width;
    } else if (index_stride == 0) {
        index_stride = width;
    }
    tessaly_status status;
    try {
        std::lock_guard<std::mutex> hold(engine_lock);
        status = dither_locked(*settings, palette, *image, allocated ? allocated : *indices, index_stride, output);
    } catch (const std::bad_alloc &) {
        status = fail(settings, TESSALY_OUT_OF_MEMORY, "out of memory");
    }
    if (allocated) {
        if (status == TESSALY_OK)
            *indices = allocated;
        else
            std::free(allocated);
    }
    return status;
}

void tessaly_free(void *buffer)
{
    std::free(buffer);
}

}  // extern "C"
