// GIF through giflib's record-level calls, so that only the first frame is
// read and nothing of the later ones is held: a frame interlaced or not, with
// its own colour table or the global one, set on the logical screen. The
// screen around the frame takes the background colour. Rows are decoded as the
// engine asks for them; an interlaced frame, whose passes spread over all its
// rows, is decoded whole at the first row. A frame with a transparent colour
// gives alpha: its pixels of that colour and the screen around it are clear.
#include "input/readers.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>

namespace {

// Every LZW code takes at least two bits and stands for at most 4096 pixels,
// so no frame holds more than 16384 pixels for each byte of its data.
constexpr uint64_t gif_max_pixels_per_byte = 16384;

int read_from_file(GifFileType *gif, GifByteType *buffer, int length)
{
    return static_cast<int>(std::fread(buffer, 1, static_cast<size_t>(length), static_cast<std::FILE *>(gif->UserData)));
}

struct gif_closer {
    void operator()(GifFileType *gif) const
    {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};
using owned_gif = std::unique_ptr<GifFileType, gif_closer>;

// Walks the records up to the first frame's descriptor, taking the
// transparent colour of a graphic control block on the way. False at the
// trailer, on damage or at the end of the file.
bool find_first_frame(GifFileType *gif, int &transparent_index)
{
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR)
            return false;
        if (type == IMAGE_DESC_RECORD_TYPE)
            return DGifGetImageDesc(gif) == GIF_OK;
        if (type != EXTENSION_RECORD_TYPE)
            return false;
        int code = 0;
        GifByteType *block = nullptr;
        if (DGifGetExtension(gif, &code, &block) == GIF_ERROR)
            return false;
        GraphicsControlBlock control;
        if (code == GRAPHICS_EXT_FUNC_CODE && block && DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK)
            transparent_index = control.TransparentColor;
        while (block) {
            if (DGifGetExtensionNext(gif, &block) == GIF_ERROR)
                return false;
        }
    }
}

class gif_reader final : public image_source {
public:
    // The first frame's transparent colour, -1 for none. Its pixels, and the
    // screen around the frame, are the clear ones; their colour is given all
    // the same (that colour, or the background), for runs that ignore alpha.
    int transparent_index = -1;

    bool open(const char *path)
    {
        uint64_t file_size = 0;
        file_ = open_regular_file(path, file_size);
        int error = 0;
        if (!file_ || !(gif_ = owned_gif(DGifOpen(file_.get(), read_from_file, &error))))
            return false;
        if (!find_first_frame(gif_.get(), transparent_index))
            return false;
        const GifImageDesc &frame = gif_->Image;
        colours_ = frame.ColorMap ? frame.ColorMap : gif_->SColorMap;
        if (!colours_ || frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 || frame.Top < 0)
            return false;
        // A frame that reaches past the screen widens it rather than being cut.
        const uint64_t columns = std::max(gif_->SWidth, frame.Left + frame.Width);
        const uint64_t rows = std::max(gif_->SHeight, frame.Top + frame.Height);
        const uint64_t frame_pixels = static_cast<uint64_t>(frame.Width) * frame.Height;
        if (frame_pixels / gif_max_pixels_per_byte > bytes_left(file_.get(), file_size) ||
            !plausible_claim(columns * rows, file_size))
            return false;
        width = static_cast<int>(columns);
        height = static_cast<int>(rows);
        set_background();
        indices_ = new_bytes(frame.Interlace ? frame_pixels : static_cast<uint64_t>(frame.Width));
        if (transparent_index >= 0 && !(alpha_ = new_bytes(static_cast<size_t>(width))))
            return false;
        return indices_ != nullptr;
    }

    bool read_row(uint8_t *rgb) override
    {
        if (failed_ || next_row_ >= height)
            return false;
        const GifImageDesc &frame = gif_->Image;
        const int y = next_row_ - frame.Top;
        const uint8_t *indices = nullptr;
        if (y >= 0 && y < frame.Height && !(indices = frame_row(y))) {
            failed_ = true;
            return false;
        }
        for (int x = 0; x < width; ++x, rgb += 3) {
            const int column = x - frame.Left;
            const bool in_frame = indices && column >= 0 && column < frame.Width;
            if (in_frame)
                colour_of(indices[column], rgb);
            else
                std::memcpy(rgb, background_, 3);
            if (alpha_)
                alpha_[x] = in_frame && indices[column] != transparent_index ? 255 : 0;
        }
        ++next_row_;
        return true;
    }

    const uint8_t *row_alpha() override { return alpha_.get(); }

private:
    // An index past a short colour table shows black.
    void colour_of(int index, uint8_t *rgb) const
    {
        if (index >= colours_->ColorCount) {
            std::memset(rgb, 0, 3);
            return;
        }
        const GifColorType &colour = colours_->Colors[index];
        rgb[0] = colour.Red;
        rgb[1] = colour.Green;
        rgb[2] = colour.Blue;
    }

    // The background index refers to the global table; without one, black.
    void set_background()
    {
        const ColorMapObject *global = gif_->SColorMap;
        std::memset(background_, 0, 3);
        if (global && gif_->SBackGroundColor >= 0 && gif_->SBackGroundColor < global->ColorCount) {
            const GifColorType &colour = global->Colors[gif_->SBackGroundColor];
            background_[0] = colour.Red;
            background_[1] = colour.Green;
            background_[2] = colour.Blue;
        }
    }

    // Frame row y (counted from the frame's top), in display order.
    const uint8_t *frame_row(int y)
    {
        const GifImageDesc &frame = gif_->Image;
        if (!frame.Interlace)
            return DGifGetLine(gif_.get(), indices_.get(), frame.Width) == GIF_OK ? indices_.get() : nullptr;
        if (y == 0 && !read_interlaced_frame())
            return nullptr;
        return indices_.get() + static_cast<size_t>(y) * frame.Width;
    }

    // The four passes: every eighth row from 0, every eighth from 4, every
    // fourth from 2, every second from 1.
    bool read_interlaced_frame()
    {
        static const int starts[4] = { 0, 4, 2, 1 }, steps[4] = { 8, 8, 4, 2 };
        const GifImageDesc &frame = gif_->Image;
        for (int pass = 0; pass < 4; ++pass) {
            for (int y = starts[pass]; y < frame.Height; y += steps[pass]) {
                if (DGifGetLine(gif_.get(), indices_.get() + static_cast<size_t>(y) * frame.Width, frame.Width) != GIF_OK)
                    return false;
            }
        }
        return true;
    }

    owned_file file_;  // giflib reads through it, so it outlives gif_
    owned_gif gif_;
    const ColorMapObject *colours_ = nullptr;
    uint8_t background_[3] = {};
    byte_buffer indices_;  // one frame row, or the whole frame when interlaced
    byte_buffer alpha_;    // the row's alpha, when the frame has a transparent colour
    int next_row_ = 0;
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<image_source> open_gif(const char *path)
{
    return open_with<gif_reader>(path);
}
