#include "input/image_source.h"

#include "input/readers.h"

#include <new>

namespace {

// The formats, tried in this order on the file's first bytes. Windows decodes
// the formats it has codecs for itself, so that the program needs no image
// library there; a file none of the rows recognises is refused on both
// systems alike, even where some codec of the system would read it.
const reader_row readers[] = {
#ifdef _WIN32
    { "PNG", recognise_png, open_wic_image },
    { "JPEG", recognise_jpeg, open_wic_image },
    { "PNM", recognise_pnm, open_pnm },
    { "BMP", recognise_bmp, open_wic_image },
    { "GIF", recognise_gif, open_wic_image },
    { "TIFF", recognise_tiff, open_wic_image },
    { "WebP", recognise_webp, open_wic_image },
#else
    { "PNG", recognise_png, open_png },
    { "JPEG", recognise_jpeg, open_jpeg },
    { "PNM", recognise_pnm, open_pnm },
    { "BMP", recognise_bmp, open_bmp },
    { "GIF", recognise_gif, open_gif },
    { "TIFF", recognise_tiff, open_tiff },
    { "WebP", recognise_webp, open_webp },
#endif
};

}  // namespace

std::unique_ptr<image_source> open_image_source(const char *path)
{
    uint64_t file_size = 0;
    unsigned char head[head_bytes] = {};
    size_t got = 0;
    {
        owned_file file = open_regular_file(path, file_size);
        if (!file)
            return nullptr;
        got = std::fread(head, 1, sizeof head, file.get());
    }
    try {
        for (const reader_row &reader : readers)
            if (reader.recognise(head, got))
                return reader.open(path);
    } catch (const std::bad_alloc &) {
    }
    return nullptr;
}
