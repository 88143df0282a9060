#include "png/png_deflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <new>
#include <thread>

// Every row has filter type 0: on dithered indices each of the other four
// makes the compressed data larger, by 13 to 50 % (measured on a 12-megapixel
// photograph dithered to an adapted palette, at every level of libdeflate and
// zlib). The rows are cut into pieces of whole rows, about
// png_writer_piece_bytes each whatever the number of cores, so that every
// machine writes the same bytes, and the cores take the pieces in turn. Each
// piece is deflated on its own by libdeflate into a raw stream, which ends in
// a final block. zlib's inflater then walks it block by block: that checks the
// piece inflates to exactly its rows, and finds the final block's header and
// the bits left over in the piece's last byte. Every piece but the last has
// that final bit cleared and is closed by an empty stored block, which ends it
// on a byte boundary as a flush would, so that the pieces follow each other
// as one deflate stream. Their Adler-32 values combine in order.

namespace {

const size_t png_writer_piece_bytes = 512 << 10;
const int png_writer_deflate_level = 1;

struct png_writer_deflate_job {
    const png_writer_t *writer;
    uint64_t row_length;
    png_writer_sample_copier copy_samples;
    std::vector<png_writer_piece> pieces;
    std::atomic<size_t> next_piece{ 0 };
    std::atomic<bool> failed{ false };
};

// Inflates a piece and compares it with the rows it was made from. True when
// they match exactly and no byte is left over; then final_bit is the stream
// position of the final block's first header bit, and unused the number of
// high bits of the last byte that follow the final end-of-block code.
bool png_writer_walk_piece(z_stream &walker, const std::vector<uint8_t> &piece, const std::vector<uint8_t> &rows,
                                  uint64_t &final_bit, int &unused)
{
    uint8_t window[16384];
    if (inflateReset(&walker) != Z_OK)
        return false;
    walker.next_in = const_cast<Bytef *>(piece.data());
    walker.avail_in = static_cast<uInt>(piece.size());
    size_t made = 0;
    final_bit = 0;
    unused = 0;
    int status = Z_OK;
    while (status == Z_OK) {
        walker.next_out = window;
        walker.avail_out = sizeof window;
        status = inflate(&walker, Z_BLOCK);
        size_t count = sizeof window - walker.avail_out;
        if ((status != Z_OK && status != Z_STREAM_END) || count > rows.size() - made ||
            memcmp(window, rows.data() + made, count) != 0)
            return false;
        made += count;
        // Just after an end-of-block code the low bits of data_type count the
        // bits left in the last byte taken; the next bit begins the next
        // block's header, unless that block was the final one (64).
        if (status == Z_OK && (walker.data_type & 128)) {
            unused = walker.data_type & 7;
            if (!(walker.data_type & 64))
                final_bit = static_cast<uint64_t>(walker.next_in - piece.data()) * 8 - unused;
        }
    }
    return made == rows.size() && walker.avail_in == 0;
}

// Lets a piece run on into the next: its final block no longer ends the
// stream, and an empty stored block after it (header bits 000, then LEN 0 and
// NLEN FFFF from the next byte boundary) ends it on a byte boundary. The
// header goes into the last byte's unused bits when there are three of them,
// and otherwise reaches into one more byte.
void png_writer_close_piece(std::vector<uint8_t> &piece, uint64_t final_bit, int unused)
{
    piece[final_bit / 8] &= static_cast<uint8_t>(~(1u << (final_bit % 8)));
    piece.back() &= static_cast<uint8_t>((1u << (8 - unused)) - 1);
    if (unused < 3)
        piece.push_back(0);
    piece.insert(piece.end(), { 0x00, 0x00, 0xFF, 0xFF });
}

// Filtered rows of a piece: filter byte 0, then the row's samples.
void png_writer_filtered_rows(const png_writer_deflate_job &job, const png_writer_piece &piece,
                                     std::vector<uint8_t> &rows)
{
    const uint64_t row_length = job.row_length;
    rows.resize(piece.rows * row_length);
    for (uint32_t r = 0; r < piece.rows; ++r) {
        uint8_t *out = rows.data() + r * row_length;
        out[0] = 0;
        job.copy_samples(job.writer, piece.first_row + r, 0, static_cast<uint32_t>(row_length - 1), out + 1);
    }
}

bool png_writer_deflate_piece(png_writer_deflate_job &job, size_t index, libdeflate_compressor *compressor,
                                     z_stream &walker, std::vector<uint8_t> &rows)
{
    png_writer_piece &piece = job.pieces[index];
    png_writer_filtered_rows(job, piece, rows);
    piece.adler = libdeflate_adler32(1, rows.data(), rows.size());
    size_t bound = libdeflate_deflate_compress_bound(compressor, rows.size());
    piece.data.resize(bound);
    size_t length = libdeflate_deflate_compress(compressor, rows.data(), rows.size(), piece.data.data(), bound);
    if (length == 0)
        return false;
    piece.data.resize(length);
    uint64_t final_bit = 0;
    int unused = 0;
    if (!png_writer_walk_piece(walker, piece.data, rows, final_bit, unused))
        return false;
    if (index + 1 < job.pieces.size())
        png_writer_close_piece(piece.data, final_bit, unused);
    return true;
}

// One thread's share: pieces taken in turn until none is left or one failed.
void png_writer_deflate_worker(png_writer_deflate_job &job)
{
    libdeflate_compressor *compressor = libdeflate_alloc_compressor(png_writer_deflate_level);
    z_stream walker{};
    bool walker_ready = inflateInit2(&walker, -15) == Z_OK;
    try {
        std::vector<uint8_t> rows;
        while (compressor && walker_ready && !job.failed) {
            size_t index = job.next_piece.fetch_add(1);
            if (index >= job.pieces.size())
                break;
            if (!png_writer_deflate_piece(job, index, compressor, walker, rows))
                job.failed = true;
        }
    } catch (const std::bad_alloc &) {
        job.failed = true;
    }
    if (!compressor || !walker_ready)
        job.failed = true;
    if (walker_ready)
        inflateEnd(&walker);
    libdeflate_free_compressor(compressor);
}

// The calling thread and one helper for each further core; a helper the
// system refuses leaves its share to the others.
void png_writer_deflate_on_all_cores(png_writer_deflate_job &job)
{
    size_t threads = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), job.pieces.size());
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(threads - 1);
        for (size_t i = 1; i < threads; ++i)
            helpers.emplace_back(png_writer_deflate_worker, std::ref(job));
    } catch (const std::exception &) {
    }
    png_writer_deflate_worker(job);
    for (std::thread &helper : helpers)
        helper.join();
}

}  // namespace

bool png_writer_deflate_rows(const png_writer_t *writer, uint64_t row_length, png_writer_sample_copier copy_samples,
                             std::vector<png_writer_piece> &pieces)
{
    png_writer_deflate_job job;
    job.writer = writer;
    job.row_length = row_length;
    job.copy_samples = copy_samples;
    uint32_t rows_per_piece = static_cast<uint32_t>(std::max<uint64_t>(1, png_writer_piece_bytes / row_length));
    for (uint32_t first = 0; first < writer->height; first += rows_per_piece) {
        png_writer_piece piece;
        piece.first_row = first;
        piece.rows = std::min(rows_per_piece, writer->height - first);
        job.pieces.push_back(std::move(piece));
    }
    png_writer_deflate_on_all_cores(job);
    if (job.failed)
        return false;
    pieces = std::move(job.pieces);
    return true;
}
