#include "engine/front.h"

#include "engine/core.h"
#include "engine/output.h"
#include "engine/palette.h"
#include "engine/palette_files.h"
#include "input/image_source.h"
#include "settings/run_report.h"
#include "settings/report.h"
#include "settings/settings.h"

#include <cstdio>
#include <memory>

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

}  // namespace

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
    // file is not worth reading.
    if (!matching_fits_color_space() || !output_folder_ready() || !read_palette()) {
        ++failed_files;
        return;
    }
    std::unique_ptr<image_source> source = open_image_source(arguments_buffer);
    if (!source) {
        print_line("image open error");
        ++failed_files;
        return;
    }
    if (!dither_source(*source, arguments_buffer))
        ++failed_files;
}
