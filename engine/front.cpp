#include "engine/front.h"

#include "engine/core.h"
#include "engine/output.h"
#include "engine/palette.h"
#include "engine/palette_files.h"
#include "engine/palette_maker.h"
#include "input/image_source.h"
#include "settings/run_report.h"
#include "settings/report.h"
#include "settings/settings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

void print_size(const image_source &source)
{
    char line[32];
    print_line("");
    std::snprintf(line, sizeof line, "image width %d", source.width);
    print_line(line);
    std::snprintf(line, sizeof line, "image heigh %d", source.height);
    print_line(line);
    print_line("");
}

// The first file of a run that gives up entry 255 says so, once.
void report_transparent_entry()
{
    if (!transparency_takes_last_entry() || transparent_entry_reported)
        return;
    print_line("palette full, entry 255 made transparent");
    transparent_entry_reported = true;
}

// The image held whole in memory as its reader gave it, so that a palette
// can be made from its pixels before the scan reads them.
class held_image_source : public image_source {
public:
    std::vector<uint8_t> rgb;
    std::vector<uint8_t> alpha;  // empty when the reader gave none or alpha is ignored

    bool read_row(uint8_t *row) override
    {
        const size_t bytes = static_cast<size_t>(width) * 3;
        std::memcpy(row, rgb.data() + next_row_++ * bytes, bytes);
        return true;
    }
    const uint8_t *row_alpha() override
    {
        return alpha.empty() ? nullptr : alpha.data() + (next_row_ - 1) * static_cast<size_t>(width);
    }

private:
    size_t next_row_ = 0;
};

// Reads every row of the source into memory, and the alpha when it is used;
// false when the file is damaged.
bool hold_image(image_source &source, held_image_source &held)
{
    const size_t width = static_cast<size_t>(source.width);
    held.width = source.width;
    held.height = source.height;
    held.rgb.resize(3 * width * static_cast<size_t>(source.height));
    for (int y = 0; y < source.height; ++y) {
        if (!source.read_row(held.rgb.data() + 3 * width * static_cast<size_t>(y)))
            return false;
        const uint8_t *alpha = alpha_threshold > 0 ? source.row_alpha() : nullptr;
        if (alpha) {
            held.alpha.resize(width * static_cast<size_t>(source.height));
            std::memcpy(held.alpha.data() + width * static_cast<size_t>(y), alpha, width);
        }
    }
    return true;
}

// The palette made from the held image's own visible pixels, and installed.
void install_held_image_palette(const held_image_source &held, int colours)
{
    palette_maker_pixels pixels;
    pixels.rgb = held.rgb.data();
    pixels.alpha = held.alpha.empty() ? nullptr : held.alpha.data();
    pixels.count = held.rgb.size() / 3;
    pixels.alpha_threshold = alpha_threshold;
    install_made_palette(pixels, colours);
}

// -p auto:N: the whole image is read first, since its palette must be made
// before the first row is scanned; the scan then reads it from memory.
bool dither_with_made_palette(image_source &source, int colours)
{
    held_image_source held;
    const char *failure = nullptr;
    if (static_cast<uint64_t>(source.width) * static_cast<uint64_t>(source.height) > max_pixels) {
        failure = "image too large";
    } else {
        try {
            if (hold_image(source, held))
                install_held_image_palette(held, colours);
            else
                failure = "image open error";
        } catch (const std::bad_alloc &) {
            failure = "image too large";
        }
    }
    if (failure) {
        print_size(source);
        print_line(failure);
        return false;
    }
    return dither_source(held, arguments_buffer);
}

}  // namespace

// The transparent entry of -a keeps its place within the 256, so that the
// colours made are never cut short after they are chosen. An image whose
// every pixel is clear gets black, which no pixel shows.
void install_made_palette(const palette_maker_pixels &pixels, int colours)
{
    if (alpha_threshold > 0 && colours == palette_entries)
        --colours;
    uint8_t made[3 * palette_entries] = {};
    const int count = std::max(make_palette(pixels, colours, made), 1);
    install_palette(made, count, count);
}

// A made palette has no colours of its own for -po to stand for, entry for
// entry, so the two together are refused.
bool palette_ready(int &made_colours)
{
    made_colours = made_palette_colours(palette_path_buffer);
    if (made_colours == 0)
        return read_palette();
    if (made_colours < 0) {
        print_line("palette open error");
        return false;
    }
    if (output_palette_buffer[0] != '\0') {
        print_line("output palette refused with an auto palette");
        return false;
    }
    return true;
}


// OkLab is formed from the RGB colour the working values stand for; only the
// rgb space's values name one (in the others the channels are spread apart,
// and K, U or V would count for nothing), so -m oklab takes no other.
bool matching_fits_color_space()
{
    if (color_matching != matching_oklab || color_space == color_space_rgb)
        return true;
    print_line("oklab matching needs -c rgb");
    return false;
}

bool dither_source(image_source &source, char *path_buffer)
{
    print_size(source);
    report_transparent_entry();
    png_writer_ptr writer;
    switch (dither_image(source, writer)) {
    case dither_outcome::too_large:
        print_line("image too large");
        return false;
    case dither_outcome::damaged:
        print_line("image open error");
        return false;
    case dither_outcome::dithered:
        break;
    }
    return save_output(writer.get(), path_buffer);
}

void ditherer()
{
    // Each has printed why it failed. Without a place for the output, the
    // file is not worth reading. Memory that runs out on a way not caught
    // nearer ends this file alone.
    try {
        int made_colours = 0;
        if (!matching_fits_color_space() || !output_folder_ready() || !palette_ready(made_colours)) {
            ++failed_files;
            return;
        }
        std::unique_ptr<image_source> source = open_image_source(arguments_buffer);
        if (!source) {
            print_line("image open error");
            ++failed_files;
            return;
        }
        const bool saved = made_colours > 0 ? dither_with_made_palette(*source, made_colours)
                                            : dither_source(*source, arguments_buffer);
        if (!saved)
            ++failed_files;
    } catch (const std::bad_alloc &) {
        print_line("image too large");
        ++failed_files;
    }
}
