#include "input/image_source.h"

#include "input/readers.h"

#include <new>

namespace {

// The formats, tried in this order on the file's first bytes.
const reader_row readers[] = {
    { "PNG", recognise_png, open_png },
    { "JPEG", recognise_jpeg, open_jpeg },
    { "PNM", recognise_pnm, open_pnm },
    { "BMP", recognise_bmp, open_bmp },
    { "GIF", recognise_gif, open_gif },
    { "TIFF", recognise_tiff, open_tiff },
    { "WebP", recognise_webp, open_webp },
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
