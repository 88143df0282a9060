#include "engine/ditherer.h"

#include "driver/report.h"
#include "driver/settings.h"
#include "engine/color_space.h"
#include "engine/image.h"
#include "engine/nearest.h"
#include "engine/output.h"
#include "engine/palette.h"
#include "engine/scan.h"
#include "engine/windows.h"
#include "png/png_writer.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

bool use_plain_paths = false;

namespace {

// The writer keeps its pixel count in 32 bits with room for four bytes a
// pixel; larger images are refused before anything large is allocated.
constexpr uint64_t max_pixels = 1073741823;

struct writer_deleter {
    void operator()(png_writer_t *writer) const { png_writer_destroy(writer); }
};
using writer_ptr = std::unique_ptr<png_writer_t, writer_deleter>;

void print_size(const image_source &source)
{
    std::printf("\n");
    std::printf("image width %d\n", source.width);
    std::printf("image heigh %d\n", source.height);
    std::printf("\n");
}

// Reads every row of the source into the working image, opening the gate
// row by row. Returns false when the file turns out cut or damaged.
bool read_working_image(image_source &source, working_image &image, row_gate &gate)
{
    const level_table levels = make_level_table();
    std::vector<uint8_t> row(static_cast<size_t>(source.width) * 3);
    for (int y = 0; y < source.height; ++y) {
        if (!source.read_row(row.data())) {
            gate.fail();
            return false;
        }
        fill_working_row(image, y, row.data(), levels);
        gate.open_through(y + 1);
    }
    return true;
}

// Reading the image and scanning it overlap: one thread decodes and fills
// rows while the scan follows a row behind. The plain path reads first and
// scans after, as the reference does; so does the circle pre-processing,
// which needs the whole image. Returns false when the image could not be read.
bool read_and_dither(image_source &source, working_image &image, png_writer_t *writer)
{
    row_gate gate;
    const bool overlap = !use_plain_paths && pre_processing_algorithm != 1;
    // Joined on every way out, an exception's included.
    struct joining_thread {
        std::thread thread;
        ~joining_thread()
        {
            if (thread.joinable())
                thread.join();
        }
    } reader;
    if (overlap) {
        try {
            reader.thread = std::thread([&] { read_working_image(source, image, gate); });
        } catch (const std::system_error &) {
            // No thread to be had: read first, then scan.
        }
    }
    if (!reader.thread.joinable() && !read_working_image(source, image, gate))
        return false;

    convert_palette();
    scale_scan_windows();
    clear_scan_state();
    clear_search_state();
    pre_process(image);
    const bool scanned = diffusion_scan(image, writer, &gate);
    if (reader.thread.joinable())
        reader.thread.join();
    return scanned && !gate.failed();
}

// The output palette is the palette file's own colours, every entry opaque,
// whatever gamma or colour space chose the indices: all 256 entries of a
// colour table, just the palette's colours for every other format.
bool set_output_palette(png_writer_t *writer)
{
    uint32_t entries[palette_entries];
    for (int e = 0; e < palette_entries; ++e)
        entries[e] = static_cast<uint32_t>(srgb_pal_R[e]) + 256u * static_cast<uint32_t>(srgb_pal_G[e]) +
                     65536u * static_cast<uint32_t>(srgb_pal_B[e]) + (255u << 24);
    return png_writer_set_palette(writer, entries, static_cast<uint32_t>(output_palette_entries)) == 0;
}

// Everything after the size lines. Returns true when the output was saved;
// every failure has printed its one line.
bool dither_and_save(image_source &source)
{
    if (static_cast<uint64_t>(source.width) * static_cast<uint64_t>(source.height) > max_pixels) {
        print_line("image too large");
        return false;
    }
    working_image image;
    writer_ptr writer;
    bool dithered = false;
    try {
        allocate_working_image(image, source.width, source.height);
        writer.reset(png_writer_new(static_cast<uint32_t>(source.width), static_cast<uint32_t>(source.height),
                                    PNG_WRITER_INDEXED));
        if (!writer || !set_output_palette(writer.get()))
            throw std::bad_alloc();
        dithered = read_and_dither(source, image, writer.get());
    } catch (const std::bad_alloc &) {
        print_line("image too large");
        return false;
    }
    if (!dithered) {
        print_line("image open error");
        return false;
    }

    // The float image is done with; letting it go before the encoder takes
    // its buffer keeps the peak to one large image.
    float_buffer().swap(image.values);
    return save_output(writer.get(), arguments_buffer);
}

}  // namespace

void ditherer()
{
    // read_palette has printed why it failed.
    if (!read_palette()) {
        ++failed_files;
        return;
    }
    std::unique_ptr<image_source> source = open_image_source(arguments_buffer);
    if (!source) {
        print_line("image open error");
        ++failed_files;
        return;
    }
    print_size(*source);
    if (!dither_and_save(*source))
        ++failed_files;
}
