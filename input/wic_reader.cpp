// The Windows readers: one decoder of the system's imaging component behind
// the image-source interface. The samples are taken in the form the decoder
// gives them whenever the project has a rule for it, so that a PNG, BMP, GIF
// or TIFF yields on Windows the very bytes the Linux readers yield: 8-bit
// samples as they stand, 16-bit ones rounded by the project's rule rather
// than cut by the component's converter. Only forms without such a rule
// (palettes, packed and CMYK forms) go through the converter, to 32-bit BGRA,
// which copies palette colours exactly; GIF cannot be converted to 24-bit BGR.
#include "input/wic_reader.h"

#include <windows.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// A sample of 0 ... 65535 as an 8-bit level, rounded to the nearest:
// (v * 255 + 32767) / 65535, as the Linux readers do.
inline uint8_t wide_to_byte(unsigned value)
{
    return static_cast<uint8_t>((value * 255u + 32767u) / 65535u);
}

// A form of pixel the reader takes without conversion: samples a pixel,
// bytes a sample (two: little-endian 16-bit), and whether blue comes first.
// One sample is grey; a fourth is alpha or padding and is dropped.
struct pixel_form {
    const GUID *format;
    int samples;
    int sample_bytes;
    bool blue_first;
};

const pixel_form taken_as_they_are[] = {
    { &GUID_WICPixelFormat8bppGray, 1, 1, false },  { &GUID_WICPixelFormat16bppGray, 1, 2, false },
    { &GUID_WICPixelFormat24bppRGB, 3, 1, false },  { &GUID_WICPixelFormat24bppBGR, 3, 1, true },
    { &GUID_WICPixelFormat32bppRGB, 4, 1, false },  { &GUID_WICPixelFormat32bppBGR, 4, 1, true },
    { &GUID_WICPixelFormat32bppRGBA, 4, 1, false }, { &GUID_WICPixelFormat32bppBGRA, 4, 1, true },
    { &GUID_WICPixelFormat48bppRGB, 3, 2, false },  { &GUID_WICPixelFormat48bppBGR, 3, 2, true },
    { &GUID_WICPixelFormat64bppRGB, 4, 2, false },  { &GUID_WICPixelFormat64bppRGBA, 4, 2, false },
    { &GUID_WICPixelFormat64bppBGRA, 4, 2, true },
};

// What every other form is converted to.
const pixel_form converted = { &GUID_WICPixelFormat32bppBGRA, 4, 1, true };

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

// The path as the system's wide functions take it, converted from the code
// page in which the arguments arrived.
std::wstring wide_path(const char *path)
{
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length) - 1);
    return wide;
}

class wic_reader : public image_source {
public:
    bool open(const char *path)
    {
        IWICImagingFactory *factory = imaging_factory();
        const std::wstring wide = wide_path(path);
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

private:
    // Grey goes to all three channels; the fourth sample is dropped.
    void to_rgb(uint8_t *rgb) const
    {
        const pixel_form &form = *form_;
        const uint8_t *in = row_.data();
        const int step = form.samples * form.sample_bytes;
        for (int x = 0; x < width; ++x, in += step, rgb += 3) {
            for (int c = 0; c < 3; ++c) {
                const int sample = form.samples == 1 ? 0 : form.blue_first ? 2 - c : c;
                const uint8_t *at = in + sample * form.sample_bytes;
                rgb[c] = form.sample_bytes == 2 ? wide_to_byte(static_cast<unsigned>(at[0] | at[1] << 8)) : at[0];
            }
        }
    }

    ComPtr<IWICBitmapSource> pixels_;
    const pixel_form *form_ = nullptr;
    std::vector<uint8_t> row_;
    int next_row_ = 0;
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<image_source> open_wic_image(const char *path)
{
    auto reader = std::make_unique<wic_reader>();
    if (!reader->open(path))
        return nullptr;
    return reader;
}
