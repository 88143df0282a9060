#include "tests/image_writers.h"

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>
#include <webp/encode.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

void write_png_form(const std::string &path, uint32_t width, uint32_t height, const png_form &form,
                    const std::vector<uint8_t> &rows)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, form.bit_depth, form.color_type,
                 form.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> entries;
    for (size_t i = 0; i + 2 < form.palette.size(); i += 3)
        entries.push_back({ form.palette[i], form.palette[i + 1], form.palette[i + 2] });
    if (!entries.empty())
        png_set_PLTE(png, info, entries.data(), static_cast<int>(entries.size()));
    if (!form.transparency.empty()) {
        png_color_16 key = {};
        key.gray = key.red = key.green = key.blue = form.transparency[0];
        png_set_tRNS(png, info, form.transparency.data(), static_cast<int>(form.transparency.size()), &key);
    }
    png_write_info(png, info);
    std::vector<png_bytep> pointers;
    for (uint32_t y = 0; y < height; ++y)
        pointers.push_back(const_cast<png_bytep>(rows.data() + y * (rows.size() / height)));
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

void write_test_jpeg(const std::string &path, int width, int height, int components,
                     const std::vector<uint8_t> &samples, bool progressive)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = components;
    info.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 100, TRUE);
    if (components == 4) {
        jpeg_set_colorspace(&info, JCS_YCCK);  // also writes Adobe's marker
        // Every component at full resolution, as print files are made, so
        // that no colour bleeds between blocks.
        for (int c = 0; c < 4; ++c)
            info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
    }
    if (progressive)
        jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    for (int y = 0; y < height; ++y) {
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + static_cast<size_t>(y) * width * components);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(file);
}

namespace {

// An uncompressed BMP from RGB rows given top-down: 24 bits, or 32 with the
// alpha in every pixel's fourth byte, declared by bit fields in a 124-byte
// header or not at all (the byte is then reserved).
std::string bmp_file(int width, int height, const std::vector<uint8_t> &rgb, const std::vector<uint8_t> *alpha,
                     bool declared, bool top_down)
{
    const uint32_t pixel_bytes = alpha ? 4 : 3, row_bytes = (width * pixel_bytes + 3) / 4 * 4;
    const uint32_t info_size = declared ? 124 : 40, offset = 14 + info_size, data_bytes = row_bytes * height;
    // File size, reserved, pixel offset, header size, width, height (negative:
    // top-down), planes, bits, compression (3: bit fields), data size,
    // resolution, colours; declared, the masks of red, green, blue and alpha,
    // then the rest of the header image editors write: sRGB, no end points or
    // gammas, the intent "images", no profile.
    std::vector<std::pair<uint32_t, int>> fields = {
        { offset + data_bytes, 4 }, { 0, 4 }, { offset, 4 }, { info_size, 4 }, { uint32_t(width), 4 },
        { uint32_t(top_down ? -height : height), 4 }, { 1, 2 }, { 8 * pixel_bytes, 2 }, { declared ? 3u : 0u, 4 },
        { data_bytes, 4 }, { 2835, 4 }, { 2835, 4 }, { 0, 4 }, { 0, 4 } };
    if (declared) {
        for (uint32_t mask : { 0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u, 0x73524742u })
            fields.push_back({ mask, 4 });
        fields.insert(fields.end(), { { 0, 48 }, { 4, 4 }, { 0, 12 } });
    }
    std::string out = "BM";
    for (const auto &[value, bytes] : fields)
        for (int i = 0; i < bytes; ++i)
            out += static_cast<char>(i < 4 ? value >> (8 * i) : 0);
    for (int row = 0; row < height; ++row) {
        const int y = top_down ? row : height - 1 - row;
        for (int x = 0; x < width; ++x) {
            const size_t pixel = static_cast<size_t>(y) * width + x;
            out += { static_cast<char>(rgb[pixel * 3 + 2]), static_cast<char>(rgb[pixel * 3 + 1]),
                     static_cast<char>(rgb[pixel * 3]) };
            if (alpha)
                out += static_cast<char>((*alpha)[pixel]);
        }
        out.append(row_bytes - width * pixel_bytes, '\0');
    }
    return out;
}

}  // namespace

std::string bmp_bytes(int width, int height, const std::vector<uint8_t> &rgb)
{
    return bmp_file(width, height, rgb, nullptr, false, false);
}

std::string bmp32_bytes(int width, int height, const std::vector<uint8_t> &rgb, const std::vector<uint8_t> &alpha,
                        bmp32_form form)
{
    return bmp_file(width, height, rgb, &alpha, form != bmp32_form::plain, form == bmp32_form::alpha_top_down);
}

void write_test_gif(const std::string &path, int frame_width, int frame_height, const gif_form &form,
                    const std::vector<uint8_t> &colours, const std::vector<uint8_t> &indices)
{
    int count = 2;
    while (count * 3 < static_cast<int>(colours.size()))
        count *= 2;
    std::vector<GifColorType> entries(count, GifColorType{ 0, 0, 0 });
    for (size_t i = 0; i + 2 < colours.size(); i += 3)
        entries[i / 3] = { colours[i], colours[i + 1], colours[i + 2] };
    ColorMapObject *map = GifMakeMapObject(count, entries.data());
    int error = 0;
    GifFileType *gif = EGifOpenFileName(path.c_str(), false, &error);
    EGifSetGifVersion(gif, true);
    EGifPutScreenDesc(gif, form.screen_width, form.screen_height, 8, form.background, form.local_table ? nullptr : map);
    if (form.transparent >= 0) {
        GraphicsControlBlock control = { DISPOSAL_UNSPECIFIED, false, 0, form.transparent };
        GifByteType extension[4];
        EGifGCBToExtension(&control, extension);
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, extension);
    }
    EGifPutImageDesc(gif, form.left, form.top, frame_width, frame_height, form.interlaced,
                     form.local_table ? map : nullptr);
    const int starts[4] = { 0, 4, 2, 1 }, steps[4] = { 8, 8, 4, 2 };
    for (int pass = 0; pass < (form.interlaced ? 4 : 1); ++pass)
        for (int y = form.interlaced ? starts[pass] : 0; y < frame_height; y += form.interlaced ? steps[pass] : 1)
            EGifPutLine(gif, const_cast<GifPixelType *>(&indices[static_cast<size_t>(y) * frame_width]), frame_width);
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
}

namespace {

// Values of `bits` bits packed as TIFF rows hold them: 16-bit ones in the
// machine's order, smaller ones from the high bit of each byte.
std::vector<uint8_t> packed_row(const std::vector<uint16_t> &values, int bits)
{
    std::vector<uint8_t> out((values.size() * bits + 7) / 8);
    for (size_t i = 0; i < values.size(); ++i) {
        if (bits == 16)
            std::memcpy(&out[2 * i], &values[i], 2);
        else if (bits == 8)
            out[i] = static_cast<uint8_t>(values[i]);
        else
            out[i * bits / 8] |= static_cast<uint8_t>(values[i] << (8 - bits - i * bits % 8));
    }
    return out;
}

}  // namespace

void write_test_tiff(const std::string &path, int width, int height, const tiff_form &form,
                     const std::vector<uint16_t> &values)
{
    TIFF *tiff = TIFFOpen(path.c_str(), "w");
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, form.bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, form.samples);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, form.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, form.compression);
    const bool jpeg = form.compression == COMPRESSION_JPEG;
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, jpeg ? PHOTOMETRIC_YCBCR : form.photometric);
    if (jpeg) {
        TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, 100);
        TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    }
    const int colours = form.photometric == PHOTOMETRIC_RGB ? 3 : form.photometric == PHOTOMETRIC_SEPARATED ? 4 : 1;
    if (form.samples > colours) {
        const std::vector<uint16_t> extra(form.samples - colours, EXTRASAMPLE_UNASSALPHA);
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(extra.size()), extra.data());
    }
    if (!form.colour_map.empty()) {
        const size_t n = form.colour_map.size() / 3;
        TIFFSetField(tiff, TIFFTAG_COLORMAP, &form.colour_map[0], &form.colour_map[n], &form.colour_map[2 * n]);
    }
    // Tiles of 16 x 16, padded with zeros beyond the image, or strips of
    // whole rows, the last one cut where the image ends.
    const int planes = form.planar ? form.samples : 1, per_plane = form.planar ? 1 : form.samples;
    const int block_width = form.tiled ? 16 : width, block_height = form.tiled || jpeg ? 16 : 3;
    TIFFSetField(tiff, form.tiled ? TIFFTAG_TILEWIDTH : TIFFTAG_ROWSPERSTRIP, form.tiled ? 16 : block_height);
    if (form.tiled)
        TIFFSetField(tiff, TIFFTAG_TILELENGTH, 16);
    for (int p = 0; p < planes; ++p)
        for (int y0 = 0; y0 < height; y0 += block_height)
            for (int x0 = 0; x0 < width; x0 += block_width) {
                std::vector<uint8_t> block;
                for (int y = y0; y < y0 + block_height && (form.tiled || y < height); ++y) {
                    std::vector<uint16_t> row;
                    for (int x = x0; x < x0 + block_width; ++x)
                        for (int s = 0; s < per_plane; ++s)
                            row.push_back(x < width && y < height ? values[(size_t(y) * width + x) * form.samples + p + s] : 0);
                    const std::vector<uint8_t> packed = packed_row(row, form.bits);
                    block.insert(block.end(), packed.begin(), packed.end());
                }
                if (form.tiled)
                    TIFFWriteEncodedTile(tiff, TIFFComputeTile(tiff, x0, y0, 0, p), block.data(), block.size());
                else
                    TIFFWriteEncodedStrip(tiff, TIFFComputeStrip(tiff, y0, p), block.data(), block.size());
            }
    TIFFClose(tiff);
}

std::string webp_bytes(int width, int height, const std::vector<uint8_t> &rgb, bool lossless,
                       const std::vector<uint8_t> &alpha)
{
    uint8_t *out = nullptr;
    size_t size = 0;
    if (alpha.empty()) {
        size = lossless ? WebPEncodeLosslessRGB(rgb.data(), width, height, width * 3, &out)
                        : WebPEncodeRGB(rgb.data(), width, height, width * 3, 100, &out);
    } else {
        std::vector<uint8_t> rgba;
        for (size_t i = 0; i < alpha.size(); ++i)
            rgba.insert(rgba.end(), { rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], alpha[i] });
        size = lossless ? WebPEncodeLosslessRGBA(rgba.data(), width, height, width * 4, &out)
                        : WebPEncodeRGBA(rgba.data(), width, height, width * 4, 100, &out);
    }
    std::string bytes(reinterpret_cast<const char *>(out), size);
    WebPFree(out);
    return bytes;
}
