"""Dithering to a fixed palette of up to 256 colours, by error diffusion or
ordered patterns, with the engine and options of the tessaly program.

    import tessaly
    from PIL import Image

    photo = Image.open("photo.jpg")
    tessaly.dither(photo, "pico-8", window="sierra", serpentine=True).save("photo-pico8.png")

The indices are those the program writes for the same pixels, palette and
options. The dither runs without the interpreter lock, on every core.
"""

import os

import numpy as np

from . import _tessaly

Error = _tessaly.Error
version = _tessaly.version

__all__ = ["dither", "Error", "version"]


def _pixels(image):
    """The image as a C-contiguous height x width x 3 or x 4 array of bytes."""
    if hasattr(image, "mode") and hasattr(image, "convert"):
        wanted = "RGBA" if ("A" in image.mode or "transparency" in image.info) else "RGB"
        if image.mode != wanted:
            image = image.convert(wanted)
        return np.asarray(image)
    pixels = np.asarray(image)
    if pixels.dtype != np.uint8 or pixels.ndim != 3 or pixels.shape[2] not in (3, 4):
        raise Error("the image must be a Pillow image or a height x width x 3 or x 4 array of uint8")
    return np.ascontiguousarray(pixels)


def _palette(palette):
    """A name or path as -p reads it, or the packed bytes of (r, g, b) colours."""
    if isinstance(palette, (str, os.PathLike)):
        return os.fspath(palette)
    try:
        colours = np.asarray(palette, dtype=np.int64).reshape(-1, 3)
    except (TypeError, ValueError):
        raise Error("a palette is a name, a file, or a list of (r, g, b) colours") from None
    if colours.size and (colours.min() < 0 or colours.max() > 255):
        raise Error("palette colours are (r, g, b) of 0 to 255")
    return colours.astype(np.uint8).tobytes()


def _value(value):
    """An option's value as the command line spells it."""
    if value is True:
        return "on"
    if value is False or value is None:
        return "off"
    return str(value)


def dither(image, palette, *, indices=False, **options):
    """Dithers image to palette and returns a Pillow "P" image with the
    palette set (and its transparency with alpha=), or with indices=True the
    pair (that image, a height x width NumPy array of the indices).

    image: a Pillow image (any mode; converted to RGB, or RGBA when it has
    alpha) or a NumPy array of height x width x 3 or x 4 uint8.
    palette: a ready palette's name ("pico-8", "spectra6-measured"), a palette
    file in any format the program reads, the colours written out
    ("#000 #fff #f00"), "auto:N", or a list of (r, g, b).
    options: the command line's options by long name, values as there:
    window="sierra", serpentine=True, level=0.8, weights="421",
    metric="pow2", max_limit=True, min_limit=True, limits="on",
    max_level=0.9, min_level=0.1, gamma="srgb", color_space="cmyk",
    level_compress="128", pre_processing="circle",
    pre_processing_window="cross", pre_processing_passes=3, alpha=128,
    match="oklab", output_palette="spectra6". True and False stand for "on"
    and "off". palette="auto:16" makes 16 colours from the image.

    Raises tessaly.Error (a ValueError) with the library's words for an
    unknown option, a value the option does not take, a palette that cannot
    be read, or an image of the wrong shape.
    """
    from PIL import Image

    pixels = _pixels(image)
    settings = [(name, _value(value)) for name, value in options.items()]
    found, rgb, transparent = _tessaly.dither(pixels, _palette(palette), settings)
    result = Image.fromarray(found, mode="P")
    result.putpalette(rgb)
    if transparent >= 0:
        result.info["transparency"] = transparent
    return (result, found) if indices else result
