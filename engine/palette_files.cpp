#include "engine/palette_files.h"

#include "engine/core.h"
#include "engine/palette_formats.h"
#include "input/image_source.h"
#include "platform/platform.h"
#include "settings/owned_file.h"
#include "settings/report.h"
#include "settings/settings.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// The installed palettes' folder relative to the installed program's,
// TESSALY_PALETTES_FROM_PROGRAM, comes from the build's install layout.

// The endings tried after a bare name in the installed palettes folder, in
// this order.
const char *const palette_name_endings[] = { ".act", ".gpl", ".pal", ".hex", ".txt", ".png" };

// Endings that promise a text or an image palette. A file named so whose
// content none of those formats reads is refused, not taken for a colour
// table; the colour table's own ".act" and the ".pal" that raw tables share
// with JASC and RIFF palettes promise nothing.
const char *const text_or_image_endings[] = { ".gpl", ".hex", ".txt", ".png", ".gif", ".bmp", ".jpg", ".jpeg",
                                              ".ppm", ".pgm", ".pbm", ".pnm", ".tif", ".tiff", ".webp" };

const char palette_format_error[] = "palette format error";

bool has_folder_part(const std::string &path)
{
    return path.find_first_of("/\\") != std::string::npos;
}

// Up to and with the last '/' or '\'; empty when there is none.
std::string folder_of(const std::string &path)
{
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

bool ends_with_any(const std::string &path, const char *const *endings, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const size_t length = std::strlen(endings[i]);
        if (path.size() < length)
            continue;
        bool same = true;
        for (size_t k = 0; k < length && same; ++k)
            same = std::tolower(static_cast<unsigned char>(path[path.size() - length + k])) == endings[i][k];
        if (same)
            return true;
    }
    return false;
}

// Where a palette name is looked for after the working directory: beside the
// program (when the installed folder is found from it) and then the installed
// default for the default name; the installed palettes folder, as given and
// with each ending, for any other name without a folder part. A name with a
// folder part is only where it says.
std::vector<std::string> installed_places(const std::string &name)
{
    std::vector<std::string> places;
    if (has_folder_part(name))
        return places;
    const bool from_program = installed_palettes_folder.empty();
    const std::string program_folder = from_program ? folder_of(platform_executable_path()) : std::string();
    if (from_program && program_folder.empty())
        return places;
    const std::string installed =
        (from_program ? program_folder + TESSALY_PALETTES_FROM_PROGRAM : installed_palettes_folder) + "/";
    if (name == default_palette_name) {
        if (from_program)
            places.push_back(program_folder + name);
        places.push_back(installed + "default.act");
        return places;
    }
    places.push_back(installed + name);
    for (const char *ending : palette_name_endings)
        places.push_back(installed + name + ending);
    return places;
}

// Opens the first of the places that opens, and says which it was. A folder
// is never a palette: one of the name (a folder "cga" beside the outputs of
// -o cga) is passed over like a missing file.
owned_file open_first_of(const std::vector<std::string> &places, std::string &path)
{
    for (const std::string &place : places) {
        if (platform_is_folder(place.c_str()))
            continue;
        if (std::FILE *file = std::fopen(place.c_str(), "rb")) {
            path = place;
            return owned_file(file);
        }
    }
    return nullptr;
}

// The first 768 bytes in one block read, as the colour table has always been
// read; then, only for a longer file, the rest up to one byte past what a
// text palette may hold, so that a file of any size costs a bounded read.
struct palette_file_bytes {
    std::vector<uint8_t> bytes;
    bool short_table = false;  // fewer than 768 bytes arrived
    bool ended = false;        // ... because the file ended, not by an error
};

palette_file_bytes read_palette_bytes(std::FILE *file)
{
    palette_file_bytes read;
    read.bytes.resize(colour_table_bytes);
    const size_t got = std::fread(read.bytes.data(), 1, colour_table_bytes, file);
    read.short_table = got < colour_table_bytes;
    read.ended = std::feof(file) != 0;
    if (read.short_table) {
        read.bytes.resize(got);
        return read;
    }
    const size_t limit = max_palette_text_bytes + 1;
    read.bytes.resize(limit);
    read.bytes.resize(colour_table_bytes + std::fread(read.bytes.data() + colour_table_bytes, 1,
                                                      limit - colour_table_bytes, file));
    return read;
}

// An image's distinct colours in reading order: the palette of a strip or a
// swatch image. More than 256 is an error, never a silent cut.
palette_outcome read_image_colours(const std::string &path, parsed_palette &palette)
{
    std::unique_ptr<image_source> source = open_image_source(path.c_str());
    if (!source)
        return palette_not_recognised;
    std::vector<uint64_t> seen(size_t(1) << 18);  // one bit for each of the 2^24 colours
    std::vector<uint8_t> row(static_cast<size_t>(source->width) * 3);
    for (int y = 0; y < source->height; ++y) {
        if (!source->read_row(row.data()))
            return palette_malformed;
        for (size_t x = 0; x < row.size(); x += 3) {
            const uint32_t colour = uint32_t(row[x]) << 16 | uint32_t(row[x + 1]) << 8 | row[x + 2];
            uint64_t &word = seen[colour >> 6];
            const uint64_t bit = uint64_t(1) << (colour & 63);
            if (word & bit)
                continue;
            if (palette.count == palette_entries)
                return palette_malformed;
            word |= bit;
            std::memcpy(palette.rgb + 3 * palette.count++, &row[x], 3);
        }
    }
    return palette_colours;
}

// The colour table: red, green and blue for each of 256 entries, anything
// after them ignored, every entry written to the output. A short table keeps
// its message, and the entries it does not supply repeat its last complete
// colour; with no complete colour there is nothing to dither with.
bool read_colour_table(const palette_file_bytes &read, parsed_palette &palette)
{
    if (read.short_table)
        print_line(read.ended ? "Premature end of palette" : "palette read error");
    palette.count = static_cast<int>(read.bytes.size() / 3);
    if (palette.count > palette_entries)
        palette.count = palette_entries;
    std::memcpy(palette.rgb, read.bytes.data(), 3 * static_cast<size_t>(palette.count));
    return palette.count > 0;
}

// Chooses the format by the content: the text and binary palette formats,
// then any image the program reads, then the colour table, and gives the
// count of the output's palette. Prints the one line that says why when no
// palette comes of it.
bool read_palette_colours(std::FILE *file, const std::string &path, found_palette &found)
{
    parsed_palette &palette = found.colours;
    const palette_file_bytes read = read_palette_bytes(file);
    palette = parse_palette_file(read.bytes.data(), read.bytes.size());
    if (palette.outcome == palette_not_recognised || palette.outcome == palette_from_pixels) {
        const palette_outcome wanted = palette.outcome;
        try {
            palette.outcome = read_image_colours(path, palette);
        } catch (const std::bad_alloc &) {
            palette.outcome = palette_malformed;
        }
        if (palette.outcome == palette_not_recognised && wanted == palette_from_pixels)
            palette.outcome = palette_malformed;
    }
    if (palette.outcome == palette_not_recognised) {
        if (!read.bytes.empty() && ends_with_any(path, text_or_image_endings, std::size(text_or_image_endings))) {
            print_line(palette_format_error);
            return false;
        }
        found.output_entries = palette_entries;
        return read_colour_table(read, palette);
    }
    if (palette.outcome != palette_colours) {
        print_line(palette_format_error);
        return false;
    }
    found.output_entries = palette.count;
    return true;
}

enum class palette_search { not_here, found, unusable };

palette_search read_first_file_of(const std::vector<std::string> &places, found_palette &found)
{
    std::string path;
    owned_file file = open_first_of(places, path);
    if (!file)
        return palette_search::not_here;
    return read_palette_colours(file.get(), path, found) ? palette_search::found : palette_search::unusable;
}

palette_search palette_file_as_named(const std::string &value, found_palette &found)
{
    return read_first_file_of({ value }, found);
}

palette_search installed_palette_file(const std::string &value, found_palette &found)
{
    return read_first_file_of(installed_places(value), found);
}

palette_search palette_listed_in_value(const std::string &value, found_palette &found)
{
    found.colours = parse_colour_list(value);
    found.output_entries = found.colours.count;
    switch (found.colours.outcome) {
    case palette_colours:
        return palette_search::found;
    case palette_malformed:
        print_line(palette_format_error);
        return palette_search::unusable;
    default:
        return palette_search::not_here;
    }
}

// Where a palette value is looked for, in this order: a file where it says
// (from the working directory), an installed palette of that name, the
// colours written out in the value itself. The first that has it decides:
// its colours, or the one line that says why they cannot be used.
palette_search (*const palette_sources[])(const std::string &value, found_palette &found) = {
    palette_file_as_named,
    installed_palette_file,
    palette_listed_in_value,
};

}  // namespace

std::string installed_palettes_folder;

bool find_palette(const std::string &value, found_palette &found)
{
    for (const auto source : palette_sources) {
        switch (source(value, found)) {
        case palette_search::found:
            return true;
        case palette_search::unusable:
            return false;
        case palette_search::not_here:
            break;
        }
    }
    print_line("palette open error");
    return false;
}

bool install_found_palette(const found_palette &palette)
{
    found_palette written;
    if (output_palette_buffer[0] != '\0') {
        if (!find_palette(output_palette_buffer, written))
            return false;
        if (written.output_entries != palette.output_entries) {
            print_line("output palette count mismatch");
            return false;
        }
    }
    if (!install_palette(palette.colours.rgb, palette.colours.count, palette.output_entries))
        return false;
    return output_palette_buffer[0] == '\0' ||
           install_output_palette(written.colours.rgb, written.colours.count, written.output_entries);
}

bool read_palette()
{
    found_palette palette;
    return find_palette(palette_path_buffer, palette) && install_found_palette(palette);
}
