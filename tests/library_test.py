"""The Python module held against the built program: for every row of
tests/data/library_options.txt, tessaly.dither with the row's options as
keyword arguments gives the indices, palette and transparent entry of the
program's output for the same pixels written as a PNG file.

    library_test.py PROGRAM SOURCE_DIR    (with the module on PYTHONPATH)
"""

import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np
from PIL import Image

import tessaly

PROGRAM, SOURCE = sys.argv[1], sys.argv[2]

# The command line's names, and what the module calls them.
KEYWORDS = {
    "-w": "window", "-s": "serpentine", "-d": "level", "-q": "weights", "-e": "metric",
    "-lmx": "max_limit", "-lmn": "min_limit", "-mxl": "max_level", "-mnl": "min_level",
    "-g": "gamma", "-pp": "pre_processing", "-ppw": "pre_processing_window",
    "-ppc": "pre_processing_passes", "-c": "color_space", "-lc": "level_compress", "-a": "alpha",
    "-m": "match", "-po": "output_palette", "-fpa": "fixed_palette_array",
}


def option_rows():
    with open(os.path.join(SOURCE, "tests", "data", "library_options.txt")) as rows:
        for line in rows:
            if line.strip() and not line.startswith("# "):
                palette, *options = [from_source(word) for word in line.split()]
                yield line.strip(), palette, options


def from_source(word):
    return os.path.join(SOURCE, word) if word.startswith(("palettes/", "sample/")) else word


def keywords(options):
    """The options as keyword arguments; on and off as True and False, so
    that both spellings are used."""
    given = {}
    for name, value in zip(options[::2], options[1::2]):
        given[KEYWORDS[name]] = {"on": True, "off": False}.get(value, value)
    return given


def test_image(width, height):
    """Colour ramps with grain, and alpha from clear to opaque across a
    soft-edged disc, the colours under clear pixels noise."""
    y, x = np.mgrid[0:height, 0:width]
    grain = (x * 7 + y * 13) % 21 - 10
    distance = np.hypot(x + 0.5 - width / 2, y + 0.5 - 0.55 * height)
    radius = 0.38 * min(width, height)
    rgba = np.stack([255 * x // width + grain, 80 + 150 * (1 - distance / radius) + grain,
                     255 * y // height - grain, 255 * np.clip((radius - distance) / 3 + 0.5, 0, 1)], axis=-1)
    rgba = np.clip(rgba, 0, 255).astype(np.uint8)
    clear = rgba[..., 3] == 0
    rgba[clear, :3] = np.random.default_rng(3).integers(0, 256, (int(clear.sum()), 3), dtype=np.uint8)
    return rgba


def program_output(arguments, rgba):
    """The indices, palette and transparent entry of the program's output."""
    with tempfile.TemporaryDirectory() as folder:
        Image.fromarray(rgba, "RGBA").save(os.path.join(folder, "img.png"))
        run = subprocess.run([PROGRAM, *arguments, "img.png"], cwd=folder, capture_output=True)
        assert run.returncode == 0, run.stdout
        with Image.open(os.path.join(folder, "img_dithered_0000.png")) as output:
            return np.asarray(output).copy(), bytes(output.getpalette()), transparent_of(output)


def transparent_of(image):
    alphas = image.info.get("transparency")
    if isinstance(alphas, bytes):
        return alphas.find(b"\0")
    return -1 if alphas is None else alphas


class Library(unittest.TestCase):
    def test_every_option_gives_the_programs_indices(self):
        rgba = test_image(59, 37)
        for text, palette, options in option_rows():
            with self.subTest(text):
                indices, rgb, transparent = program_output(["-p", palette, *options], rgba)
                # A Pillow image, then the array, as the module takes either.
                for image in (Image.fromarray(rgba, "RGBA"), rgba):
                    result, found = tessaly.dither(image, palette, indices=True, **keywords(options))
                    self.assertTrue(np.array_equal(found, indices))
                    self.assertTrue(np.array_equal(np.asarray(result), indices))
                    self.assertEqual(bytes(result.getpalette()), rgb)
                    self.assertEqual(transparent_of(result), transparent)

    def test_a_palette_of_colours_dithers_as_its_file_does(self):
        rgba = test_image(40, 30)[..., :3]
        path = os.path.join(SOURCE, "palettes", "pico-8.hex")
        from_file = tessaly.dither(rgba, path, window="atkinson")
        colours = [tuple(from_file.getpalette()[i:i + 3]) for i in range(0, 48, 3)]
        from_colours = tessaly.dither(rgba, colours, window="atkinson")
        self.assertTrue(np.array_equal(np.asarray(from_colours), np.asarray(from_file)))

    def test_bad_options_palettes_and_images_raise_the_librarys_words(self):
        rgb = test_image(8, 6)[..., :3]
        path = os.path.join(SOURCE, "palettes", "gameboy.txt")
        cases = [
            (dict(window="sierra3"), path, rgb, "sierra3"),
            (dict(level="0.8x"), path, rgb, "not a number"),
            (dict(no_such_option=1), path, rgb, "no_such_option"),
            (dict(alpha=0), path, rgb, "alpha"),
            (dict(match="oklab", color_space="yuv"), path, rgb, "needs -c rgb"),
            ({}, "/no/such/palette.hex", rgb, "palette open error"),
            ({}, [(0, 0, 0), (256, 0, 0)], rgb, "0 to 255"),
            ({}, path, rgb[..., :2], "x 3 or x 4"),
            ({}, path, rgb.astype(np.float32), "uint8"),
        ]
        for options, palette, image, words in cases:
            with self.subTest(options=options, palette=palette, words=words):
                with self.assertRaises(tessaly.Error) as raised:
                    tessaly.dither(image, palette, **options)
                self.assertIn(words, str(raised.exception))
                self.assertIsInstance(raised.exception, ValueError)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
