#include "engine/output.h"

#include "settings/report.h"
#include "settings/settings.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr int name_numbers = 10000;  // _dithered_0000 ... _dithered_9999
constexpr size_t suffix_length = 18;  // "_dithered_0000.png"

struct output_ender {
    void operator()(platform_output *output) const { platform_output_end(output); }
};
using output_ptr = std::unique_ptr<platform_output, output_ender>;

// Names the finished output with the first free number, formed in place
// after the stem. A name that appears between two attempts only moves us on
// to the next number; any other failure (no permission, a vanished folder)
// the next number would not mend.
bool publish_first_free_name(platform_output *output, char *path_buffer, size_t stem_length)
{
    for (int number = 0; number < name_numbers; ++number) {
        std::sprintf(path_buffer + stem_length, "_dithered_%04d.png", number);
        switch (platform_output_publish(output, path_buffer)) {
        case published:
            return true;
        case name_taken:
            break;
        case publish_failed:
            return false;
        }
    }
    return false;
}

bool write_stream(png_writer_t *writer, char *path_buffer)
{
    const std::string stem = output_name_stem(path_buffer, output_folder_buffer);
    // An output folder makes the name longer than its input; one past the
    // buffer is past what any file system takes.
    if (stem.size() + suffix_length >= path_buffer_size)
        return false;
    std::memcpy(path_buffer, stem.c_str(), stem.size() + 1);

    uint32_t length = 0;
    const uint8_t *stream = png_writer_get_data(writer, &length);
    if (!stream)
        return false;
    output_ptr output(platform_output_begin(path_buffer));
    return output && platform_output_write(output.get(), stream, length) && platform_output_finish(output.get()) &&
           publish_first_free_name(output.get(), path_buffer, stem.size());
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

std::string output_name_stem(const char *input_path, const char *output_folder)
{
    if (output_folder[0] == '\0')
        return std::string(input_path, output_name_cut(input_path));
    const char *file_name = input_path;
    for (const char *c = input_path; *c; ++c)
        if (*c == '/' || *c == '\\')
            file_name = c + 1;
    std::string stem = output_folder;
    if (stem.back() != '/' && stem.back() != '\\')
        stem += '/';
    return stem.append(file_name, output_name_cut(file_name));
}

bool output_folder_ready()
{
    if (output_folder_buffer[0] == '\0')
        return true;
    switch (platform_check_folder(output_folder_buffer)) {
    case folder_writable:
        return true;
    case folder_missing:
        print_line("output folder not found");
        return false;
    case folder_read_only:
        print_line("output folder not writable");
        return false;
    }
    return false;
}

bool save_output(png_writer_t *writer, char *path_buffer)
{
    // The file's lines go out before its output can appear, so that the log
    // of a killed run holds the lines of every output it left.
    std::fflush(stdout);
    if (write_stream(writer, path_buffer))
        return true;
    print_line("file not saved");
    return false;
}
