// The Windows reader: a decoder of the system's imaging component behind the
// image-source interface, for PNG, JPEG, GIF, TIFF and BMP everywhere, and
// WebP where the system has that codec. The samples are taken in the form the
// decoder gives them whenever the readers have a rule for it, so that a PNG,
// BMP, GIF or TIFF yields on Windows the very bytes the Linux readers yield:
// 8-bit samples as they stand, 16-bit ones rounded by the readers' own
// conversion rather than cut by the component's converter. Only forms
// without such a rule (palettes, packed and CMYK forms) go through the
// converter, to 32-bit BGRA, which copies palette colours exactly; GIF cannot
// be converted to 24-bit BGR. Alpha comes from a fourth sample that is alpha,
// and from the converter's, which holds a palette's transparency.
#include "input/readers.h"
#include "platform/platform.h"

#include <windows.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// A form of pixel the reader takes without conversion: samples a pixel,
// bytes a sample (two: little-endian 16-bit), whether blue comes first, and
// whether a fourth sample is alpha rather than padding. One sample is grey.
struct pixel_form {
    const GUID *format;
    int samples;
    int sample_bytes;
    bool blue_first;
    bool alpha;
};

const pixel_form taken_as_they_are[] = {
    { &GUID_WICPixelFormat8bppGray, 1, 1, false, false },   { &GUID_WICPixelFormat16bppGray, 1, 2, false, false },
    { &GUID_WICPixelFormat24bppRGB, 3, 1, false, false },   { &GUID_WICPixelFormat24bppBGR, 3, 1, true, false },
    { &GUID_WICPixelFormat32bppRGB, 4, 1, false, false },   { &GUID_WICPixelFormat32bppBGR, 4, 1, true, false },
    { &GUID_WICPixelFormat32bppRGBA, 4, 1, false, true },   { &GUID_WICPixelFormat32bppBGRA, 4, 1, true, true },
    { &GUID_WICPixelFormat48bppRGB, 3, 2, false, false },   { &GUID_WICPixelFormat48bppBGR, 3, 2, true, false },
    { &GUID_WICPixelFormat64bppRGB, 4, 2, false, false },   { &GUID_WICPixelFormat64bppRGBA, 4, 2, false, true },
    { &GUID_WICPixelFormat64bppBGRA, 4, 2, true, true },
};

// What every other form is converted to; palettes keep their transparency
// in its alpha.
const pixel_form converted = { &GUID_WICPixelFormat32bppBGRA, 4, 1, true, true };

const pixel_form *form_taken_as_it_is(const GUID &format)
{
    for (const pixel_form &form : taken_as_they_are)
        if (IsEqualGUID(*form.format, format))
            return &form;
    return nullptr;
}

// The component is used from the engine's thread and from its reading
// thread: both belong to the process's multithreaded apartment, the second
// implicitly, as long as the first stays in it.
IWICImagingFactory *imaging_factory()
{
    static IWICImagingFactory *factory = [] {
        IWICImagingFactory *made = nullptr;
        const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(com) || com == RPC_E_CHANGED_MODE)
            CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&made));
        return made;
    }();
    return factory;
}

class wic_reader : public image_source {
public:
    bool open(const char *path)
    {
        IWICImagingFactory *factory = imaging_factory();
        const std::wstring wide = platform_wide_text(path);
        if (!factory || wide.empty())
            return false;
        ComPtr<IWICBitmapDecoder> decoder;
        ComPtr<IWICBitmapFrameDecode> frame;
        if (FAILED(factory->CreateDecoderFromFilename(wide.c_str(), nullptr, GENERIC_READ,
                                                      WICDecodeMetadataCacheOnDemand, &decoder)) ||
            FAILED(decoder->GetFrame(0, &frame)))
            return false;
        UINT columns = 0, rows = 0;
        WICPixelFormatGUID format = {};
        if (FAILED(frame->GetSize(&columns, &rows)) || FAILED(frame->GetPixelFormat(&format)))
            return false;
        if (columns == 0 || rows == 0 || columns > INT_MAX || rows > INT_MAX)
            return false;
        form_ = form_taken_as_it_is(format);
        if (form_) {
            pixels_ = frame;
        } else {
            ComPtr<IWICFormatConverter> converter;
            if (FAILED(factory->CreateFormatConverter(&converter)) ||
                FAILED(converter->Initialize(frame.Get(), *converted.format, WICBitmapDitherTypeNone, nullptr, 0.0,
                                             WICBitmapPaletteTypeCustom)))
                return false;
            form_ = &converted;
            pixels_ = converter;
        }
        const uint64_t row_bytes = static_cast<uint64_t>(columns) * form_->samples * form_->sample_bytes;
        if (row_bytes > UINT_MAX)
            return false;
        row_.resize(static_cast<size_t>(row_bytes));
        ordered_.resize(static_cast<size_t>(row_bytes));
        if (form_->alpha)
            alpha_.resize(static_cast<size_t>(columns));
        width = static_cast<int>(columns);
        height = static_cast<int>(rows);
        return true;
    }

    bool read_row(uint8_t *rgb) override
    {
        if (failed_ || next_row_ >= height)
            return false;
        const WICRect rect = { 0, next_row_, width, 1 };
        const UINT size = static_cast<UINT>(row_.size());
        if (FAILED(pixels_->CopyPixels(&rect, size, size, row_.data()))) {
            failed_ = true;
            return false;
        }
        to_rgb(rgb);
        ++next_row_;
        return true;
    }

    // The fourth sample of the row read last, rounded as the colours are.
    const uint8_t *row_alpha() override
    {
        if (alpha_.empty() || next_row_ == 0)
            return nullptr;
        samples_to_alpha(ordered_.data(), width, layout(), alpha_.data());
        return alpha_.data();
    }

private:
    // The samples reordered into the project's layout (red first, 16-bit
    // samples big-endian), which the readers' own conversion then takes: grey
    // to all three channels, the fourth sample dropped, 16 bits rounded.
    void to_rgb(uint8_t *rgb)
    {
        const pixel_form &form = *form_;
        const size_t pixel_bytes = static_cast<size_t>(form.samples) * form.sample_bytes;
        for (size_t x = 0; x < static_cast<size_t>(width); ++x) {
            const uint8_t *in = &row_[x * pixel_bytes];
            uint8_t *out = &ordered_[x * pixel_bytes];
            for (int s = 0; s < form.samples; ++s) {
                const int from = form.blue_first && s < 3 ? 2 - s : s;
                for (int b = 0; b < form.sample_bytes; ++b)
                    out[s * form.sample_bytes + b] = in[from * form.sample_bytes + form.sample_bytes - 1 - b];
            }
        }
        samples_to_rgb(ordered_.data(), width, layout(), rgb);
    }

    sample_layout layout() const
    {
        sample_layout layout;
        layout.channels = form_->samples;
        layout.sample_bytes = form_->sample_bytes;
        layout.max_value = form_->sample_bytes == 2 ? 65535 : 255;
        return layout;
    }

    ComPtr<IWICBitmapSource> pixels_;
    const pixel_form *form_ = nullptr;
    std::vector<uint8_t> row_, ordered_;
    std::vector<uint8_t> alpha_;  // room for a row's alpha, when the form has it
    int next_row_ = 0;
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<image_source> open_wic_image(const char *path)
{
    return open_with<wic_reader>(path);
}
