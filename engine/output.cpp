#include "engine/output.h"

#include "settings/report.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int name_numbers = 10000;  // _dithered_0000 ... _dithered_9999

// Creates the first free name, never touching an existing entry: a file that
// appears between two attempts only moves us on to the next number. Returns
// the descriptor, or -1 when every name is taken or creation fails for any
// other reason (no permission, missing folder), which the next number would
// not mend.
int create_first_free_name(char *path_buffer, size_t cut)
{
    for (int number = 0; number < name_numbers; ++number) {
        std::sprintf(path_buffer + cut, "_dithered_%04d.png", number);
        int fd = platform_create_new_file(path_buffer);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

bool write_stream(png_writer_t *writer, char *path_buffer, size_t cut)
{
    uint32_t length = 0;
    const uint8_t *stream = png_writer_get_data(writer, &length);
    if (!stream)
        return false;
    int fd = create_first_free_name(path_buffer, cut);
    if (fd < 0)
        return false;
    bool written = platform_write_all(fd, stream, length);
    // close() is where some file systems report that the data did not fit.
    if (close(fd) != 0)
        written = false;
    if (!written)
        unlink(path_buffer);
    return written;
}

}  // namespace

size_t output_name_cut(const char *path)
{
    size_t length = std::strlen(path);
    for (size_t i = length; i > 0; --i) {
        char c = path[i - 1];
        if (c == '.')
            return i - 1;
        // A dot in a folder name is no extension of the file.
        if (c == '/' || c == '\\')
            return length;
    }
    return length;
}

bool save_output(png_writer_t *writer, char *path_buffer)
{
    if (write_stream(writer, path_buffer, output_name_cut(path_buffer)))
        return true;
    print_line("file not saved");
    return false;
}
