// A small self-contained PNG writer: one image of fixed size in memory, in one
// of five colour types with 8-bit samples, encoded as a PNG stream of stored
// (uncompressed) deflate blocks or, by choice, of compressed ones. It never
// prints and keeps no global state but its constant CRC tables.
//
// Pixel values pack their samples from the low end: the first sample in bits
// 0-7, the second in 8-15, the third in 16-23, the fourth in 24-31. Palette
// entries likewise: red, green, blue, alpha (255 = opaque).
#pragma once

#include <cstdint>
#include <memory>

typedef enum {
    PNG_WRITER_GREYSCALE = 0,
    PNG_WRITER_TRUECOLOR = 2,
    PNG_WRITER_INDEXED = 3,
    PNG_WRITER_GREYSCALE_ALPHA = 4,
    PNG_WRITER_TRUECOLOR_ALPHA = 6,
} png_writer_colortype_t;

// How the image data is encoded.
typedef enum {
    PNG_WRITER_STORED = 0,   // stored blocks: the samples as they are, one block a row
    PNG_WRITER_DEFLATE = 1,  // compressed, in pieces on all cores
} png_writer_compression_t;

struct png_writer_t {
    uint32_t color_type;        // a png_writer_colortype_t
    uint32_t pixel_bytes;       // size of the pixel store
    uint8_t *pixels;            // elements of 1, 2 or 4 bytes, row by row
    uint32_t *palette;          // 256 entries, indexed writers only
    uint32_t palette_count;     // entries last set
    uint32_t width;
    uint32_t height;
    uint8_t *encoded;           // the last encoding
    uint32_t encoded_length;    // write position, then the stream's length
    uint32_t encoded_capacity;
    uint32_t chunk_crc;
    uint32_t adler_low;
    uint32_t adler_high;
    uint32_t bytes_per_pixel;   // in a scanline
    uint32_t cursor_x;
    uint32_t cursor_y;
    uint32_t compression;       // a png_writer_compression_t; stored at creation
    uint32_t bit_depth;         // of the samples in the file: 8, or 1, 2 or 4 for indexed writers
};

// Creates a zero-filled writer. Returns null, with nothing allocated, for a
// width or height of 0, more than 1,073,741,823 pixels, an unknown colour type,
// or when memory runs out.
png_writer_t *png_writer_new(uint32_t width, uint32_t height, png_writer_colortype_t color_type);

// Copies count entries to the front of the palette; entries beyond keep what
// they held. Returns 0, or 1 with nothing changed when count > 256 (or more
// than the bit depth can index), the writer is null or not indexed, or
// entries is null with a count.
int png_writer_set_palette(png_writer_t *writer, const uint32_t *entries, uint32_t count);

// Chooses the encoding of the image data for the encodings that follow.
// Compressed streams decode to exactly the pixels of stored ones; should
// compressing fail (memory runs out), the stream is written stored. Returns 0,
// or 1 with nothing changed for a null writer or an unknown choice.
int png_writer_set_compression(png_writer_t *writer, png_writer_compression_t compression);

// Chooses the bit depth of an indexed writer's samples in the file: 8, as at
// creation, or 1, 2 or 4, which pack 8, 4 or 2 indices into a byte, the
// leftmost in the highest bits, and write only the low 1, 2 or 4 bits of each
// stored index. Returns 0, or 1 with nothing changed for a null writer, one
// that is not indexed, another depth, or one whose palette has more entries
// than the depth can index.
int png_writer_set_bit_depth(png_writer_t *writer, uint32_t bit_depth);

// Stores the value's low 8, 16 or 32 bits (by colour type) at (x, y); a
// position outside the image is ignored.
void png_writer_set_pixel(png_writer_t *writer, uint32_t x, uint32_t y, uint32_t value);

// The stored bytes of row y of a greyscale or indexed writer, width of them,
// for callers that fill rows byte by byte; null for other colour types, a
// null writer or a row outside the image.
uint8_t *png_writer_row_bytes(png_writer_t *writer, uint32_t y);

// The stored element at (x, y), or 0 outside the image or for a null writer.
uint32_t png_writer_get_pixel(const png_writer_t *writer, uint32_t x, uint32_t y);

// Moves the stream cursor to (x, y); ignored outside the image.
void png_writer_start_stream(png_writer_t *writer, uint32_t x, uint32_t y);

// Stores at the cursor, then advances it in row order, wrapping from the last
// pixel to the first.
void png_writer_put_pixel(png_writer_t *writer, uint32_t value);

// Encodes the image. Returns the stream, owned by the writer and valid until
// its next encoding or destruction, and its length through length (if not
// null); null, with length untouched and no stream held, when the writer is
// null, the stream cannot be allocated, or its image data would pass the PNG
// chunk limit of 2^31 - 1 bytes. Stored, a row longer than one stored block
// (65,535 bytes) is split over several. Every row has filter type 0.
const uint8_t *png_writer_get_data(png_writer_t *writer, uint32_t *length);

// Encodes the image into the named file ("wb"). Returns 0 when the whole
// stream was written and the file closed, 1 otherwise (a file that failed
// part-way is left as written). The encoding stays held by the writer.
int png_writer_save(png_writer_t *writer, const char *file_name);

// Frees the writer and all its buffers; a null writer is ignored.
void png_writer_destroy(png_writer_t *writer);

// A writer destroyed when its owner goes.
struct png_writer_deleter {
    void operator()(png_writer_t *writer) const { png_writer_destroy(writer); }
};
using png_writer_ptr = std::unique_ptr<png_writer_t, png_writer_deleter>;
