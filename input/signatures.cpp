// How the files of each format begin, apart from the readers, so that a build
// without a format's library (the Windows one, whose system decodes it) tells
// the formats apart exactly as the Linux build does.
#include "input/readers.h"

#include "settings/png_signature.h"

#include <cctype>
#include <cstring>

bool recognise_png(const unsigned char *head, size_t length)
{
    return length >= sizeof png_signature && std::memcmp(head, png_signature, sizeof png_signature) == 0;
}

bool recognise_jpeg(const unsigned char *head, size_t length)
{
    return length >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

bool recognise_pnm(const unsigned char *head, size_t length)
{
    return length >= 3 && head[0] == 'P' && head[1] >= '1' && head[1] <= '6' && std::isspace(head[2]);
}

bool recognise_bmp(const unsigned char *head, size_t length)
{
    return length >= 2 && head[0] == 'B' && head[1] == 'M';
}

bool recognise_gif(const unsigned char *head, size_t length)
{
    return length >= 6 && (std::memcmp(head, "GIF87a", 6) == 0 || std::memcmp(head, "GIF89a", 6) == 0);
}

// Classic TIFF (42) and BigTIFF (43), in either byte order.
bool recognise_tiff(const unsigned char *head, size_t length)
{
    if (length < 4)
        return false;
    const bool intel = head[0] == 'I' && head[1] == 'I' && head[3] == 0 && (head[2] == 42 || head[2] == 43);
    const bool motorola = head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43);
    return intel || motorola;
}

bool recognise_webp(const unsigned char *head, size_t length)
{
    return length >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBP", 4) == 0;
}
