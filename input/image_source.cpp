#include "input/image_source.h"

#include "input/readers.h"

#include <new>

namespace {

// The formats, tried in this order on the file's first bytes. Windows decodes
// the formats it has codecs for itself, so that the program needs no image
// library there; a file none of the rows recognises is refused on both
// systems alike, even where some codec of the system would read it.
#ifdef _WIN32
#define system_codec_or(own_reader) open_wic_image
#else
#define system_codec_or(own_reader) own_reader
#endif

const reader_row readers[] = {
    { "PNG", recognise_png, system_codec_or(open_png) },
    { "JPEG", recognise_jpeg, system_codec_or(open_jpeg) },
    { "PNM", recognise_pnm, open_pnm },
    { "BMP", recognise_bmp, system_codec_or(open_bmp) },
    { "GIF", recognise_gif, system_codec_or(open_gif) },
    { "TIFF", recognise_tiff, system_codec_or(open_tiff) },
    { "WebP", recognise_webp, system_codec_or(open_webp) },
};

#undef system_codec_or

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
