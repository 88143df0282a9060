// TIFF through libtiff: the first directory, in strips or tiles, with the
// samples of a pixel side by side or in planes of their own, under any
// compression libtiff decodes. Grey (1 to 16 bits, either polarity), RGB (8 or
// 16 bits), palette (1 to 8 bits), CMYK (four inks, 8 or 16 bits) and
// JPEG-compressed YCbCr, which libjpeg turns into RGB. The first sample after
// the colours gives alpha when ExtraSamples says it is alpha (premultiplied or
// not; the colours are given as they are stored); further samples are
// dropped.
//
// libtiff decodes a strip or a tile whole, so rows are read a band at a time:
// the rows of one strip, or of one row of tiles, decoded when the engine asks
// for the band's first row.
#include "input/readers.h"

#include <tiffio.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace {

// A band may take this many bytes for each byte of the file (LZW, deflate and
// PackBits unpack to less), or this floor, which holds one strip of some
// twenty megapixels; beyond that the file is refused before the band is taken.
constexpr uint64_t tiff_max_inflation = 4096;
constexpr uint64_t tiff_band_floor = 64u << 20;

// libtiff reports through handlers; these keep every word to themselves.
int tiff_quietly(TIFF *, void *, const char *, const char *, va_list)
{
    return 1;
}

// Messages that libtiff sends before a file is open go to the process-wide
// handlers; there are none.
void silence_libtiff()
{
    static const bool silenced = (TIFFSetErrorHandler(nullptr), TIFFSetWarningHandler(nullptr), true);
    (void)silenced;
}

struct tiff_closer {
    void operator()(TIFF *tiff) const { TIFFClose(tiff); }
};
using owned_tiff = std::unique_ptr<TIFF, tiff_closer>;

// Opened without mapping the file, so that a file cut short while it is read
// gives an error rather than a fault.
owned_tiff open_quietly(const char *path)
{
    silence_libtiff();
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    if (!options)
        return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, tiff_quietly, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, tiff_quietly, nullptr);
    owned_tiff tiff(TIFFOpenExt(path, "rm", options));
    TIFFOpenOptionsFree(options);
    return tiff;
}

enum class tiff_colour { grey, inverted_grey, rgb, palette, cmyk };

// Sample `index` of a row of `bits`-bit samples: 16-bit samples in the
// machine's byte order (libtiff swaps them), smaller ones packed from the high
// bit of each byte.
inline unsigned sample_at(const uint8_t *row, size_t index, int bits)
{
    if (bits == 8)
        return row[index];
    if (bits == 16) {
        uint16_t value;
        std::memcpy(&value, row + 2 * index, 2);
        return value;
    }
    const size_t bit = index * static_cast<size_t>(bits);
    return (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
}

class tiff_reader final : public image_source {
public:
    bool open(const char *path)
    {
        struct stat status;
        if (stat(path, &status) != 0 || !S_ISREG(status.st_mode) || !(tiff_ = open_quietly(path)))
            return false;
        uint64_t file_size = 0;
        if (fstat(TIFFFileno(tiff_.get()), &status) != 0)
            return false;
        file_size = static_cast<uint64_t>(status.st_size);
        uint32_t columns = 0, rows = 0;
        if (!TIFFGetField(tiff_.get(), TIFFTAG_IMAGEWIDTH, &columns) || !TIFFGetField(tiff_.get(), TIFFTAG_IMAGELENGTH, &rows) ||
            columns == 0 || rows == 0 || columns > 0x7FFFFFFF || rows > 0x7FFFFFFF ||
            !plausible_claim(static_cast<uint64_t>(columns) * rows, file_size))
            return false;
        width = static_cast<int>(columns);
        height = static_cast<int>(rows);
        return read_form() && plan_bands(file_size);
    }

    bool read_row(uint8_t *rgb) override
    {
        if (failed_ || next_row_ >= static_cast<uint32_t>(height))
            return false;
        if (next_row_ >= band_first_ + band_count_ && !read_band(next_row_)) {
            failed_ = true;
            return false;
        }
        for (int p = 0; p < planes_; ++p)
            planes_of_row_[p] = band_.get() + p * plane_band_bytes() + (next_row_ - band_first_) * plane_row_bytes_;
        convert_row(planes_of_row_, rgb);
        ++next_row_;
        return true;
    }

    const uint8_t *row_alpha() override
    {
        if (!alpha_ || next_row_ == 0)
            return nullptr;
        for (int x = 0; x < width; ++x)
            alpha_[x] = to_byte(sample(planes_of_row_, x, channels_), max_value_);
        return alpha_.get();
    }

private:
    // The colour form, from the tags. False for a form this reader does not know.
    bool read_form()
    {
        TIFF *tiff = tiff_.get();
        uint16_t photometric = 0, bits = 0, samples = 0, planar = 0, format = 0, compression = 0, inks = 0;
        if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric))
            return false;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_INKSET, &inks);
        if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID)
            return false;
        const bool eight_or_sixteen = bits == 8 || bits == 16;
        switch (photometric) {
        case PHOTOMETRIC_MINISBLACK:
        case PHOTOMETRIC_MINISWHITE:
            colour_ = photometric == PHOTOMETRIC_MINISWHITE ? tiff_colour::inverted_grey : tiff_colour::grey;
            channels_ = 1;
            if (bits != 1 && bits != 2 && bits != 4 && !eight_or_sixteen)
                return false;
            break;
        case PHOTOMETRIC_PALETTE:
            colour_ = tiff_colour::palette;
            channels_ = 1;
            if ((bits != 1 && bits != 2 && bits != 4 && bits != 8) || !read_palette(bits))
                return false;
            break;
        case PHOTOMETRIC_YCBCR:
            // Only libjpeg's YCbCr is read, turned into RGB as it is decoded.
            if (compression != COMPRESSION_JPEG || !TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB))
                return false;
            [[fallthrough]];
        case PHOTOMETRIC_RGB:
            colour_ = tiff_colour::rgb;
            channels_ = 3;
            if (!eight_or_sixteen)
                return false;
            break;
        case PHOTOMETRIC_SEPARATED:
            colour_ = tiff_colour::cmyk;
            channels_ = 4;
            if (inks != INKSET_CMYK || !eight_or_sixteen)
                return false;
            break;
        default:
            return false;
        }
        if (samples < channels_)
            return false;
        bits_ = bits;
        max_value_ = (1u << bits) - 1;
        separate_ = planar == PLANARCONFIG_SEPARATE;
        const bool alpha = samples > channels_ && first_extra_is_alpha();
        if (alpha && !(alpha_ = new_bytes(static_cast<size_t>(width))))
            return false;
        // Side by side, one plane holds every sample; in planes, only the
        // colour planes and the alpha plane are read.
        plane_samples_ = separate_ ? 1 : samples;
        planes_ = separate_ ? channels_ + (alpha ? 1 : 0) : 1;
        return true;
    }

    bool first_extra_is_alpha() const
    {
        uint16_t count = 0;
        uint16_t *types = nullptr;
        return TIFFGetField(tiff_.get(), TIFFTAG_EXTRASAMPLES, &count, &types) && count > 0 && types &&
               (types[0] == EXTRASAMPLE_ASSOCALPHA || types[0] == EXTRASAMPLE_UNASSALPHA);
    }

    // Colour maps hold 16-bit levels, written as v * 257 by some programs and
    // as v * 256 by others: the high byte is v for both. Some writers store
    // 8-bit levels instead: a map with no level above 255 is taken as such.
    bool read_palette(int bits)
    {
        uint16_t *maps[3] = {};
        if (!TIFFGetField(tiff_.get(), TIFFTAG_COLORMAP, &maps[0], &maps[1], &maps[2]))
            return false;
        const int entries = 1 << bits;
        unsigned largest = 0;
        for (uint16_t *map : maps)
            largest = std::max<unsigned>(largest, *std::max_element(map, map + entries));
        const int shift = largest <= 255 ? 0 : 8;
        for (int e = 0; e < entries; ++e)
            for (int c = 0; c < 3; ++c)
                palette_[e][c] = static_cast<uint8_t>(maps[c][e] >> shift);
        return true;
    }

    // Band and tile sizes, checked against the file before they are taken.
    bool plan_bands(uint64_t file_size)
    {
        TIFF *tiff = tiff_.get();
        tiled_ = TIFFIsTiled(tiff);
        plane_row_bytes_ = TIFFScanlineSize64(tiff);
        uint32_t band_rows = 0;
        if (tiled_) {
            uint32_t tile_length = 0;
            TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tile_width_);
            TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tile_length);
            tile_row_bytes_ = TIFFTileRowSize64(tiff);
            tile_bytes_ = TIFFTileSize64(tiff);
            // Tiles are 16 pixels wide or more, so each begins on a byte.
            if (tile_width_ == 0 || (static_cast<uint64_t>(tile_width_) * bits_ * plane_samples_) % 8 != 0)
                return false;
            band_rows = tile_length;
        } else {
            TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &band_rows);
        }
        band_rows_ = std::min(band_rows, static_cast<uint32_t>(height));
        const uint64_t limit = std::max(tiff_band_floor, file_size * tiff_max_inflation);
        if (band_rows_ == 0 || plane_row_bytes_ == 0 || band_rows_ > limit / plane_row_bytes_ / planes_ ||
            tile_bytes_ > limit)
            return false;
        band_ = new_bytes(plane_band_bytes() * planes_);
        if (tiled_)
            tile_ = new_bytes(tile_bytes_);
        return band_ && (!tiled_ || tile_);
    }

    uint64_t plane_band_bytes() const { return band_rows_ * plane_row_bytes_; }

    // Decodes the band that begins at row `first`. False when any of its
    // strips or tiles is damaged or short.
    bool read_band(uint32_t first)
    {
        const uint32_t rows = std::min(band_rows_, static_cast<uint32_t>(height) - first);
        for (int p = 0; p < planes_; ++p) {
            uint8_t *plane = band_.get() + p * plane_band_bytes();
            if (!(tiled_ ? read_tiles(first, rows, p, plane) : read_strip(first, rows, p, plane)))
                return false;
        }
        band_first_ = first;
        band_count_ = rows;
        return true;
    }

    bool read_strip(uint32_t first, uint32_t rows, int plane_index, uint8_t *plane)
    {
        const tmsize_t wanted = static_cast<tmsize_t>(rows * plane_row_bytes_);
        const uint32_t strip = TIFFComputeStrip(tiff_.get(), first, static_cast<uint16_t>(plane_index));
        return TIFFReadEncodedStrip(tiff_.get(), strip, plane, wanted) == wanted;
    }

    // Each tile of the row of tiles is decoded whole and its rows copied
    // into place; the last tile of a row may reach past the image.
    bool read_tiles(uint32_t first, uint32_t rows, int plane_index, uint8_t *plane)
    {
        for (uint32_t x = 0, offset = 0; x < static_cast<uint32_t>(width); x += tile_width_, offset += tile_row_bytes_) {
            const uint32_t tile = TIFFComputeTile(tiff_.get(), x, first, 0, static_cast<uint16_t>(plane_index));
            if (TIFFReadEncodedTile(tiff_.get(), tile, tile_.get(), static_cast<tmsize_t>(tile_bytes_)) !=
                static_cast<tmsize_t>(tile_bytes_))
                return false;
            const uint64_t copied = std::min<uint64_t>(tile_row_bytes_, plane_row_bytes_ - offset);
            for (uint32_t r = 0; r < rows; ++r)
                std::memcpy(plane + r * plane_row_bytes_ + offset, tile_.get() + r * tile_row_bytes_, copied);
        }
        return true;
    }

    // Sample c of pixel x, from its own plane or from the one plane.
    unsigned sample(const uint8_t *const *planes, int x, int c) const
    {
        return separate_ ? sample_at(planes[c], x, bits_)
                         : sample_at(planes[0], static_cast<size_t>(x) * plane_samples_ + c, bits_);
    }

    void convert_row(const uint8_t *const *planes, uint8_t *rgb) const
    {
        for (int x = 0; x < width; ++x, rgb += 3) {
            switch (colour_) {
            case tiff_colour::grey:
            case tiff_colour::inverted_grey: {
                const unsigned level = sample(planes, x, 0);
                std::memset(rgb, to_byte(colour_ == tiff_colour::grey ? level : max_value_ - level, max_value_), 3);
                break;
            }
            case tiff_colour::palette:
                std::memcpy(rgb, palette_[sample(planes, x, 0)], 3);
                break;
            case tiff_colour::rgb:
                for (int c = 0; c < 3; ++c)
                    rgb[c] = to_byte(sample(planes, x, c), max_value_);
                break;
            case tiff_colour::cmyk: {
                uint8_t inks[4];
                for (int c = 0; c < 4; ++c)
                    inks[c] = to_byte(sample(planes, x, c), max_value_);
                cmyk_to_rgb(inks, 1, false, rgb);
                break;
            }
            }
        }
    }

    owned_tiff tiff_;
    tiff_colour colour_ = tiff_colour::grey;
    int channels_ = 1, bits_ = 8, plane_samples_ = 1, planes_ = 1;
    unsigned max_value_ = 255;
    bool separate_ = false, tiled_ = false;
    uint8_t palette_[256][3] = {};
    uint32_t band_rows_ = 0, tile_width_ = 0;
    uint64_t plane_row_bytes_ = 0, tile_row_bytes_ = 0, tile_bytes_ = 0;
    byte_buffer band_, tile_;  // the band's planes one after the other; one tile
    const uint8_t *planes_of_row_[5] = {};  // the row read last in each plane read
    byte_buffer alpha_;        // room for a row's alpha, when the image has any
    uint32_t band_first_ = 0, band_count_ = 0, next_row_ = 0;
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<image_source> open_tiff(const char *path)
{
    return open_with<tiff_reader>(path);
}
