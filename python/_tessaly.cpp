// The Python module's native half: one call over tessaly_dither that takes a
// C-contiguous H x W x 3 or x 4 array of bytes, a palette (a name as -p reads
// it, or packed RGB bytes) and the options as (name, value) strings, and gives
// back the indices as an H x W array, the output palette and the transparent
// entry. tessaly/__init__.py turns Pillow images, tuples and keyword
// arguments into these.
#include "lib/tessaly.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

struct settings_deleter {
    void operator()(tessaly_settings *settings) const { tessaly_settings_destroy(settings); }
};
struct palette_deleter {
    void operator()(tessaly_palette *palette) const { tessaly_palette_destroy(palette); }
};
using settings_ptr = std::unique_ptr<tessaly_settings, settings_deleter>;
using palette_ptr = std::unique_ptr<tessaly_palette, palette_deleter>;

// The library's words for what went wrong, raised as tessaly.Error.
struct library_error {
    std::string words;
};

palette_ptr make_palette(tessaly_settings *settings, const py::object &palette)
{
    if (py::isinstance<py::str>(palette)) {
        const std::string name = palette.cast<std::string>();
        palette_ptr read(tessaly_palette_read(settings, name.c_str()));
        if (!read)
            throw library_error{ tessaly_settings_error(settings) };
        return read;
    }
    const std::string rgb = palette.cast<py::bytes>();
    if (rgb.empty() || rgb.size() % 3 != 0 || rgb.size() > 256 * 3)
        throw library_error{ "a palette holds 1 to 256 colours of 3 bytes" };
    palette_ptr made(tessaly_palette_new(reinterpret_cast<const uint8_t *>(rgb.data()), static_cast<int>(rgb.size() / 3)));
    if (!made)
        throw std::bad_alloc();
    return made;
}

py::tuple dither(py::array_t<uint8_t, py::array::c_style> pixels, const py::object &palette,
                 const std::vector<std::pair<std::string, std::string>> &options)
{
    if (pixels.ndim() != 3 || (pixels.shape(2) != 3 && pixels.shape(2) != 4))
        throw library_error{ "the image must be height x width x 3 or x 4 bytes" };
    settings_ptr settings(tessaly_settings_new());
    if (!settings)
        throw std::bad_alloc();
    for (const auto &option : options) {
        if (tessaly_settings_set(settings.get(), option.first.c_str(), option.second.c_str()) != TESSALY_OK)
            throw library_error{ tessaly_settings_error(settings.get()) };
    }
    // A palette made from the image is the settings' to make, as -p makes it.
    const bool made = py::isinstance<py::str>(palette) && palette.cast<std::string>().rfind("auto:", 0) == 0;
    if (made && tessaly_settings_set(settings.get(), "-p", palette.cast<std::string>().c_str()) != TESSALY_OK)
        throw library_error{ tessaly_settings_error(settings.get()) };
    const palette_ptr colours = made ? palette_ptr() : make_palette(settings.get(), palette);

    const tessaly_image image = { pixels.data(), static_cast<int>(pixels.shape(1)), static_cast<int>(pixels.shape(0)),
                                  static_cast<size_t>(pixels.strides(0)), static_cast<int>(pixels.shape(2)) };
    py::array_t<uint8_t> indices({ pixels.shape(0), pixels.shape(1) });
    uint8_t *into = indices.mutable_data();
    tessaly_output_palette output;
    tessaly_status status;
    {
        py::gil_scoped_release unlocked;
        status = tessaly_dither(settings.get(), colours.get(), &image, &into, static_cast<size_t>(image.width), &output);
    }
    if (status != TESSALY_OK)
        throw library_error{ tessaly_settings_error(settings.get()) };
    const py::bytes rgb(reinterpret_cast<const char *>(output.rgb), 3 * static_cast<size_t>(output.entries));
    return py::make_tuple(indices, rgb, output.transparent_entry);
}

}  // namespace

PYBIND11_MODULE(_tessaly, module)
{
    module.doc() = "The native half of the tessaly module; use tessaly.dither.";
    static py::exception<library_error> error(module, "Error", PyExc_ValueError);
    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised)
                std::rethrow_exception(raised);
        } catch (const library_error &failure) {
            error(failure.words.c_str());
        }
    });
    module.def("dither", &dither, py::arg("pixels"), py::arg("palette"), py::arg("options"));
    module.attr("version") = tessaly_version();
}
