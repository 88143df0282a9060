#include "engine/ditherer.h"

#include "engine/color_space.h"
#include "engine/nearest.h"
#include "engine/output.h"
#include "engine/palette.h"
#include "engine/fast_scan.h"
#include "engine/helper_threads.h"
#include "engine/scan.h"
#include "engine/windows.h"
#include "engine/working_image.h"
#include "png/png_writer.h"
#include "settings/report.h"
#include "settings/settings.h"
#include "settings/tuning.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

namespace {

struct writer_deleter {
    void operator()(png_writer_t *writer) const { png_writer_destroy(writer); }
};
using writer_ptr = std::unique_ptr<png_writer_t, writer_deleter>;

// How a file ended; each failure has its one line.
enum class outcome { dithered, damaged, too_large };

void print_size(const image_source &source)
{
    std::printf("\n");
    std::printf("image width %d\n", source.width);
    std::printf("image heigh %d\n", source.height);
    std::printf("\n");
}

// Reads every row of the source into the working image, opening the gate
// row by row; it may run on a thread of its own, so it reads no setting and
// lets no exception out: memory running out ends the reading, as damage does.
// Into a ring, input row y (framed row y + 1, and for the last row the frame
// rows below it too) waits until the scan is done with the rows those places
// held; a reader that must wait waits for half a ring more, and then fills it
// in one go rather than a row at each turn of the scan.
outcome read_working_image(image_source &source, working_image &image, row_gate &gate,
                           const row_conversion &conversion, std::vector<uint8_t> &row)
{
    try {
        for (int y = 0; y < source.height; ++y) {
            if (!source.read_row(row.data())) {
                gate.fail();
                return outcome::damaged;
            }
            if (image.ring())
                gate.wait_released(y + 2 + (y == source.height - 1 ? working_image::frame : 0) - ring_rows,
                                  ring_rows / 2);
            // Alpha is asked for only when it is used.
            const uint8_t *alpha = conversion.alpha_threshold > 0 ? source.row_alpha() : nullptr;
            fill_working_row(image, y, row.data(), alpha, conversion);
            gate.open_through(y + 1);
        }
        return outcome::dithered;
    } catch (const std::bad_alloc &) {
        gate.fail();
        return outcome::too_large;
    } catch (...) {
        gate.fail();
        return outcome::damaged;
    }
}

// The state of the file that the scan reads, formed while the rows come in.
void prepare_scan()
{
    install_window(diffusion_window);
    scale_scan_windows();
    convert_palette();
    leave_transparent_entry_out_of_search();
    clear_scan_state();
    clear_search_state();
}

// Whether the scan follows the reading row by row, holding only a ring of
// rows: the plain path reads first and scans after, as the reference does;
// so does the circle pre-processing, which needs the whole image.
bool scan_follows_reading(const row_conversion &conversion)
{
    return !use_plain_paths && pre_processing_algorithm != pre_processing_circle &&
           fast_paths_cover(conversion.channels);
}

// Whether the scan can make do with a ring of rows: the error-diffusion scans
// give rows back as they finish them; an ordered pattern's scan gives none back
// and holds the whole image.
bool scan_holds_ring(const row_conversion &conversion)
{
    return scan_follows_reading(conversion) && !scan_windows[checked_code(diffusion_window, window_count)].pattern;
}

// Reading the image and scanning it overlap where the scan follows the
// reading: one thread decodes and fills rows while the scan follows a row
// behind.
outcome read_and_dither(image_source &source, working_image &image, png_writer_t *writer,
                        const row_conversion &conversion)
{
    row_gate gate;
    std::vector<uint8_t> row(static_cast<size_t>(source.width) * 3);
    outcome reading = outcome::dithered;
    const bool overlap = scan_follows_reading(conversion);
    // Joined on every way out, an exception's included; a reader waiting for
    // places in a ring that the scan has left goes on first.
    struct reader_thread {
        row_gate &gate;
        helper_threads thread;
        void join()
        {
            if (thread.running()) {
                gate.release_all();
                thread.join();
            }
        }
        ~reader_thread() { join(); }
    } reader{ gate, {} };
    if (overlap)
        reader.thread.start(1, [&](int) { reading = read_working_image(source, image, gate, conversion, row); });
    // No thread to be had: read first, then scan, all the rows held.
    if (!reader.thread.running()) {
        if (image.ring())
            allocate_working_image(image, source.width, source.height, conversion);
        reading = read_working_image(source, image, gate, conversion, row);
        if (reading != outcome::dithered)
            return reading;
    }

    prepare_scan();
    pre_process(image);
    const bool scanned = diffusion_scan(image, writer, &gate);
    reader.join();
    if (reading != outcome::dithered)
        return reading;
    return scanned ? outcome::dithered : outcome::damaged;
}

// The output palette is the palette file's own colours, whatever gamma or
// colour space chose the indices: all 256 entries of a colour table, just
// the palette's colours for every other format. Every entry is opaque but
// the transparent one of -a; when that is the first entry a short palette
// leaves free, it is added after the colours, black, which is what a viewer
// that ignores transparency shows for clear pixels.
bool set_output_palette(png_writer_t *writer)
{
    uint32_t entries[palette_entries];
    for (int e = 0; e < palette_entries; ++e)
        entries[e] = static_cast<uint32_t>(srgb_pal_R[e]) + 256u * static_cast<uint32_t>(srgb_pal_G[e]) +
                     65536u * static_cast<uint32_t>(srgb_pal_B[e]) + (255u << 24);
    int count = output_palette_entries;
    if (transparent_entry >= 0)
        entries[transparent_entry] &= 0x00FFFFFFu;
    if (transparent_entry == count)
        entries[count++] = 0;
    return png_writer_set_palette(writer, entries, static_cast<uint32_t>(count)) == 0;
}

outcome dither_into(image_source &source, working_image &image, writer_ptr &writer)
{
    if (static_cast<uint64_t>(source.width) * static_cast<uint64_t>(source.height) > max_pixels)
        return outcome::too_large;
    try {
        const row_conversion conversion = make_row_conversion();
        allocate_working_image(image, source.width, source.height, conversion, scan_holds_ring(conversion));
        writer.reset(png_writer_new(static_cast<uint32_t>(source.width), static_cast<uint32_t>(source.height),
                                    PNG_WRITER_INDEXED));
        if (!writer || !set_output_palette(writer.get()))
            return outcome::too_large;
        png_writer_set_compression(writer.get(), png_compression == switch_on ? PNG_WRITER_DEFLATE : PNG_WRITER_STORED);
        return read_and_dither(source, image, writer.get(), conversion);
    } catch (const std::bad_alloc &) {
        return outcome::too_large;
    }
}

}  // namespace

bool dither_source(image_source &source, char *path_buffer)
{
    print_size(source);
    choose_transparent_entry(output_palette_entries);
    select_color_space(color_space);
    working_image image;
    writer_ptr writer;
    switch (dither_into(source, image, writer)) {
    case outcome::too_large:
        print_line("image too large");
        return false;
    case outcome::damaged:
        print_line("image open error");
        return false;
    case outcome::dithered:
        break;
    }
    // The float image and the mask of clear pixels are done with; letting
    // them go before the encoder takes its buffer keeps the peak to one large
    // image.
    float_buffer().swap(image.values);
    byte_mask().swap(image.clear);
    return save_output(writer.get(), path_buffer);
}

void ditherer()
{
    // Each has printed why it failed. Without a place for the output, the
    // file is not worth reading. Memory that runs out on a way not caught
    // nearer ends this file alone.
    try {
        if (!output_folder_ready() || !read_palette()) {
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
    } catch (const std::bad_alloc &) {
        print_line("image too large");
        ++failed_files;
    }
}
