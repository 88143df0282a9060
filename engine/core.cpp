#include "engine/core.h"

#include "engine/color_space.h"
#include "engine/diffusion_windows.h"
#include "engine/fast_scan.h"
#include "engine/matching.h"
#include "engine/nearest.h"
#include "engine/palette.h"
#include "engine/helper_threads.h"
#include "engine/scan.h"
#include "engine/working_image.h"
#include "png/png_writer.h"
#include "settings/settings.h"
#include "settings/tuning.h"

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace {

using outcome = dither_outcome;

// The palette's colours in the working scale. In srgb mode the division by
// 255 is the double 1/255; the image uses the float one, and the two differ
// in the last places of some levels.
float palette_level(int byte)
{
    if (RGB_gamma == gamma_linear)
        return srgb_byte_to_linear(byte);
    return static_cast<float>(byte * 0.00392156862745098);
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
    convert_matching_palette();
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

// Compressed, a palette of at most 2, 4 or 16 entries (the transparent one
// included) packs 8, 4 or 2 indices a byte: a smaller file of the same
// indices.
uint32_t packed_bit_depth(uint32_t entries)
{
    for (uint32_t depth : { 1u, 2u, 4u })
        if (entries <= (1u << depth))
            return depth;
    return 8;
}

outcome dither_into(image_source &source, working_image &image, png_writer_ptr &writer)
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
        if (png_compression == switch_on)
            png_writer_set_bit_depth(writer.get(), packed_bit_depth(writer->palette_count));
        return read_and_dither(source, image, writer.get(), conversion);
    } catch (const std::bad_alloc &) {
        return outcome::too_large;
    }
}

// The output's colours, entries past count repeating the last one.
void set_output_colours(const uint8_t *rgb, int count)
{
    for (int i = 0; i < palette_entries; ++i) {
        const uint8_t *entry = rgb + 3 * (i < count ? i : count - 1);
        srgb_pal_R[i] = entry[0];
        srgb_pal_G[i] = entry[1];
        srgb_pal_B[i] = entry[2];
    }
}

}  // namespace

bool install_palette(const uint8_t *rgb, int count, int output_entries)
{
    if (count < 1 || count > output_entries || output_entries > palette_entries)
        return false;
    set_output_colours(rgb, count);
    // The lower index wins a tie, so the repeated entries are never chosen.
    for (int i = 0; i < palette_entries; ++i) {
        pal_R[i] = palette_level(srgb_pal_R[i]);
        pal_G[i] = palette_level(srgb_pal_G[i]);
        pal_B[i] = palette_level(srgb_pal_B[i]);
    }
    output_palette_entries = output_entries;
    return true;
}

bool install_output_palette(const uint8_t *rgb, int count, int output_entries)
{
    if (count < 1 || count > output_entries || output_entries != output_palette_entries)
        return false;
    set_output_colours(rgb, count);
    return true;
}

dither_outcome dither_image(image_source &source, png_writer_ptr &writer)
{
    choose_transparent_entry(output_palette_entries);
    select_color_space(color_space);
    working_image image;
    png_writer_ptr dithered;
    const outcome result = dither_into(source, image, dithered);
    if (result == outcome::dithered)
        writer = std::move(dithered);
    return result;
}
