// JPEG files, decoded row by row through libjpeg as the engine asks for them.
#include "input/readers.h"

// jpeglib.h first: the messages jerror.h lists depend on its configuration.
#include <jpeglib.h>
#include <jerror.h>

#include <algorithm>
#include <csetjmp>

namespace {

struct jpeg_error_trap {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void jpeg_error_quietly(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<jpeg_error_trap *>(info->err)->jump, 1);
}

// libjpeg reports damaged data as a warning and goes on with grey blocks;
// such an image is refused like any other damaged file. Warnings about
// harmless oddities (stray bytes between markers, an unknown JFIF version)
// are let pass.
void jpeg_message_quietly(j_common_ptr info, int level)
{
    if (level >= 0)
        return;
    switch (info->err->msg_code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_MUST_RESYNC:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
        jpeg_error_quietly(info);
        break;
    default:
        break;
    }
}

// A progressive file is decoded into whole-image coefficient arrays, which
// libjpeg clears when it takes them. They may take this many times the file's
// size, or this floor, which covers any photo of some twenty megapixels;
// beyond that the file is refused before the arrays are taken.
constexpr uint64_t jpeg_max_memory_per_file_byte = 1000;
constexpr uint64_t jpeg_memory_floor = 64u << 20;

// libjpeg's error exit may jump from its very first call, so the decoder is
// created under the jump too. A struct whose creation failed half way can
// still be destroyed: its memory manager is null until it exists.
bool jpeg_create(jpeg_decompress_struct *info, jpeg_error_trap *trap)
{
    if (setjmp(trap->jump))
        return false;
    jpeg_create_decompress(info);
    return true;
}

bool jpeg_read_claims(jpeg_decompress_struct *info, jpeg_error_trap *trap, std::FILE *file)
{
    if (setjmp(trap->jump))
        return false;
    jpeg_stdio_src(info, file);
    jpeg_read_header(info, TRUE);
    return true;
}

// Every block of every component that a Huffman-coded scan covers takes at
// least one bit (its DC difference), and the first scan covers every block of
// at least one component, so a file holds at least a bit for each block of
// its smallest component. An arithmetic-coded file can hold a flat image of
// any size in a few bytes; its claim stands, bounded by the engine's pixel
// limit and libjpeg's memory limit below.
bool jpeg_size_is_plausible(const jpeg_decompress_struct &info, uint64_t file_size)
{
    if (info.arith_code)
        return true;
    uint64_t fewest_blocks = UINT64_MAX;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info &component = info.comp_info[c];
        fewest_blocks =
            std::min(fewest_blocks, static_cast<uint64_t>(component.width_in_blocks) * component.height_in_blocks);
    }
    return fewest_blocks / 8 <= file_size;
}

bool jpeg_start(jpeg_decompress_struct *info, jpeg_error_trap *trap, uint64_t file_size)
{
    if (setjmp(trap->jump))
        return false;
    // CMYK files are read as CMYK and turned into RGB here; grey stays grey.
    if (info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK)
        info->out_color_space = JCS_CMYK;
    else if (info->jpeg_color_space == JCS_GRAYSCALE)
        info->out_color_space = JCS_GRAYSCALE;
    else
        info->out_color_space = JCS_RGB;
    info->mem->max_memory_to_use =
        static_cast<long>(std::min<uint64_t>(std::max(jpeg_memory_floor, file_size * jpeg_max_memory_per_file_byte),
                                             0x7FFFFFFF));
    jpeg_start_decompress(info);
    return true;
}

bool jpeg_next_row(jpeg_decompress_struct *info, jpeg_error_trap *trap, uint8_t *row, bool last)
{
    if (setjmp(trap->jump))
        return false;
    JSAMPROW rows[1] = { row };
    if (jpeg_read_scanlines(info, rows, 1) != 1)
        return false;
    // Reading on to the end marker finds a file cut after its last row.
    if (last)
        jpeg_finish_decompress(info);
    return true;
}

class jpeg_reader final : public image_source {
public:
    jpeg_reader(owned_file file) : file_(std::move(file)) {}
    ~jpeg_reader() override { jpeg_destroy_decompress(&info_); }

    // The claimed size is checked between the header and the start of the
    // decoder, which takes buffers by the image's width and, for progressive
    // files, its whole size.
    bool open(uint64_t file_size)
    {
        info_.err = jpeg_std_error(&trap_.manager);
        trap_.manager.error_exit = jpeg_error_quietly;
        trap_.manager.emit_message = jpeg_message_quietly;
        trap_.manager.output_message = [](j_common_ptr) {};
        if (!jpeg_create(&info_, &trap_) || !jpeg_read_claims(&info_, &trap_, file_.get()))
            return false;
        if (!jpeg_size_is_plausible(info_, file_size) || !jpeg_start(&info_, &trap_, file_size))
            return false;
        if (info_.output_width == 0 || info_.output_height == 0)
            return false;
        width = static_cast<int>(info_.output_width);
        height = static_cast<int>(info_.output_height);
        layout_.channels = info_.output_components;
        buffer_ = new_bytes(static_cast<size_t>(width) * info_.output_components);
        return buffer_ != nullptr;
    }

    bool read_row(uint8_t *rgb) override
    {
        if (failed_ || next_row_ >= height)
            return false;
        if (!jpeg_next_row(&info_, &trap_, buffer_.get(), next_row_ + 1 == height)) {
            failed_ = true;
            return false;
        }
        if (info_.out_color_space == JCS_CMYK)
            cmyk_to_rgb(buffer_.get(), width, info_.saw_Adobe_marker, rgb);
        else
            samples_to_rgb(buffer_.get(), width, layout_, rgb);
        ++next_row_;
        return true;
    }

private:
    owned_file file_;
    jpeg_decompress_struct info_ = {};
    jpeg_error_trap trap_ = {};
    bool failed_ = false;
    int next_row_ = 0;
    sample_layout layout_;
    byte_buffer buffer_;
};

}  // namespace

std::unique_ptr<image_source> open_jpeg(const char *path)
{
    uint64_t file_size = 0;
    owned_file file = open_regular_file(path, file_size);
    if (!file)
        return nullptr;
    return open_with<jpeg_reader>(file_size, std::move(file));
}
