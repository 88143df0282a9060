// The Windows choice of reader: the formats the Linux build reads, told apart
// by their first bytes as there, each decoded by the system's component. A
// file that is none of them is refused even where some codec of the system
// would read it, so that both builds accept the same files.
#include "engine/image.h"
#include "input/wic_reader.h"

#include <cstdio>
#include <cstring>

namespace {

struct signature_row {
    const char *name;
    size_t offset;  // where the bytes stand in the file
    const char *bytes;
    size_t length;
};

const signature_row signatures[] = {
    { "png", 0, "\x89PNG\r\n\x1A\n", 8 }, { "jpeg", 0, "\xFF\xD8\xFF", 3 }, { "gif", 0, "GIF87a", 6 },
    { "gif", 0, "GIF89a", 6 },            { "tiff", 0, "II*\0", 4 },        { "tiff", 0, "MM\0*", 4 },
    { "bmp", 0, "BM", 2 },                { "webp", 8, "WEBP", 4 },
};

bool recognised(const unsigned char *head, size_t got)
{
    for (const signature_row &row : signatures)
        if (got >= row.offset + row.length && std::memcmp(head + row.offset, row.bytes, row.length) == 0)
            return row.offset == 0 || std::memcmp(head, "RIFF", 4) == 0;
    return false;
}

}  // namespace

std::unique_ptr<image_source> open_image_source(const char *path)
{
    unsigned char head[12] = {};
    std::FILE *file = std::fopen(path, "rb");
    if (!file)
        return nullptr;
    const size_t got = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    if (!recognised(head, got))
        return nullptr;
    return open_wic_image(path);
}
