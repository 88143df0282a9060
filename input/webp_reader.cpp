// WebP through libwebp: still images, lossy or lossless, with or without
// alpha. libwebp writes its rows into an image-sized buffer, so the
// file is fed to its incremental decoder a piece at a time as the engine asks
// for rows, and each row is handed out as soon as it is decoded: a lossy
// image is decoded alongside the scan. Animations are not read.
#include "input/readers.h"

#include <webp/decode.h>

#include <cstring>
#include <vector>

namespace {

// Bytes fed to the decoder at a time.
constexpr size_t webp_piece_bytes = 64 << 10;

struct decoder_deleter {
    void operator()(WebPIDecoder *decoder) const { WebPIDelete(decoder); }
};
using owned_decoder = std::unique_ptr<WebPIDecoder, decoder_deleter>;

class webp_reader final : public image_source {
public:
    bool open(const char *path)
    {
        uint64_t file_size = 0;
        file_ = open_regular_file(path, file_size);
        WebPBitstreamFeatures features;
        if (!file_ || !read_features(features) || features.has_animation || features.width <= 0 ||
            features.height <= 0)
            return false;
        const uint64_t pixels = static_cast<uint64_t>(features.width) * static_cast<uint64_t>(features.height);
        if (!plausible_claim(pixels, file_size))
            return false;
        width = features.width;
        height = features.height;
        // With alpha, RGBA (not premultiplied: the colours are those of RGB).
        channels_ = features.has_alpha ? 4 : 3;
        const size_t bytes = static_cast<size_t>(pixels) * channels_;
        image_ = new_bytes(bytes);
        if (features.has_alpha && !(alpha_ = new_bytes(static_cast<size_t>(width))))
            return false;
        if (!image_ || !(decoder_ = owned_decoder(WebPINewRGB(features.has_alpha ? MODE_RGBA : MODE_RGB, image_.get(),
                                                              bytes, width * channels_))))
            return false;
        // The header already read is the decoder's first piece.
        return feed(head_.data(), head_.size());
    }

    bool read_row(uint8_t *rgb) override
    {
        if (failed_ || next_row_ >= height)
            return false;
        while (decoded_rows_ <= next_row_) {
            if (!feed_next_piece()) {
                failed_ = true;
                return false;
            }
        }
        const uint8_t *row = image_.get() + static_cast<size_t>(next_row_) * width * channels_;
        if (alpha_) {
            for (int x = 0; x < width; ++x, row += 4, rgb += 3) {
                std::memcpy(rgb, row, 3);
                alpha_[x] = row[3];
            }
        } else {
            std::memcpy(rgb, row, static_cast<size_t>(width) * 3);
        }
        ++next_row_;
        return true;
    }

    const uint8_t *row_alpha() override { return alpha_.get(); }

private:
    // Reads from the file's start until libwebp knows the image's features;
    // a file too short to tell is refused.
    bool read_features(WebPBitstreamFeatures &features)
    {
        for (size_t wanted = 64;; wanted *= 4) {
            const size_t had = head_.size();
            head_.resize(wanted);
            head_.resize(had + std::fread(head_.data() + had, 1, wanted - had, file_.get()));
            const VP8StatusCode status = WebPGetFeatures(head_.data(), head_.size(), &features);
            if (status != VP8_STATUS_NOT_ENOUGH_DATA)
                return status == VP8_STATUS_OK;
            if (head_.size() < wanted || wanted >= webp_piece_bytes)
                return false;
        }
    }

    bool feed(const uint8_t *data, size_t size)
    {
        const VP8StatusCode status = WebPIAppend(decoder_.get(), data, size);
        if (status == VP8_STATUS_OK)
            decoded_rows_ = height;
        else if (status == VP8_STATUS_SUSPENDED)
            WebPIDecGetRGB(decoder_.get(), &decoded_rows_, nullptr, nullptr, nullptr);
        return status == VP8_STATUS_OK || status == VP8_STATUS_SUSPENDED;
    }

    // False when the file ends before the image or its data is damaged.
    bool feed_next_piece()
    {
        uint8_t piece[webp_piece_bytes];
        const size_t got = std::fread(piece, 1, sizeof piece, file_.get());
        return got > 0 && feed(piece, got);
    }

    owned_file file_;
    std::vector<uint8_t> head_;
    int channels_ = 3;        // 4 with alpha
    byte_buffer image_;       // width * height * channels_ bytes, written by libwebp
    byte_buffer alpha_;       // the alpha of the row read last, when the image has any
    owned_decoder decoder_;   // writes into image_, so is deleted first
    int decoded_rows_ = 0;    // rows 0 ... decoded_rows_ - 1 are ready
    int next_row_ = 0;
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<image_source> open_webp(const char *path)
{
    return open_with<webp_reader>(path);
}
