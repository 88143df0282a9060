"""The Python module held against the built program: for every row of
tests/data/library_options.txt, tessaly.dither with the row's options as
keyword arguments gives the program's indices, palette and transparent entry
for the same pixels written as a PNG file. Then the README's two examples,
run from the build installed into a fresh prefix: the C one compiled with
pkg-config's flags, the Python one with the installed module.

    library_test.py PROGRAM SOURCE_DIR CMAKE BUILD_DIR   (the built module on PYTHONPATH)
"""

import glob
import os
import re
import subprocess
import sys
import tempfile
import unittest

import numpy as np
from PIL import Image

import tessaly

PROGRAM, SOURCE, CMAKE, BUILD = sys.argv[1:5]

KEYWORDS = {"-w": "window", "-s": "serpentine", "-d": "level", "-q": "weights", "-e": "metric",
            "-lmx": "max_limit", "-lmn": "min_limit", "-mxl": "max_level", "-mnl": "min_level", "-g": "gamma",
            "-pp": "pre_processing", "-ppw": "pre_processing_window", "-ppc": "pre_processing_passes",
            "-c": "color_space", "-lc": "level_compress", "-a": "alpha", "-m": "match", "-po": "output_palette",
            "-fpa": "fixed_palette_array"}


def from_source(word):
    return os.path.join(SOURCE, word) if word.startswith(("palettes/", "sample/")) else word


def program_output(arguments, rgba, folder):
    Image.fromarray(rgba, "RGBA").save(os.path.join(folder, "img.png"))
    subprocess.run([PROGRAM, *arguments, "img.png"], cwd=folder, check=True, stdout=subprocess.DEVNULL)
    with Image.open(os.path.join(folder, "img_dithered_0000.png")) as output:
        result = np.asarray(output), output.getpalette(), transparent_of(output)
    os.remove(os.path.join(folder, "img_dithered_0000.png"))
    return result


def transparent_of(image):
    alphas = image.info.get("transparency", -1)
    return alphas.find(b"\0") if isinstance(alphas, bytes) else alphas


def colours_of(path):
    with Image.open(path) as image:
        return {tuple(c) for c in np.unique(np.asarray(image.convert("RGB")).reshape(-1, 3), axis=0)}


def readme_block(section, language):
    with open(os.path.join(SOURCE, "README.md")) as readme:
        text = readme.read().split("\n## " + section + "\n", 1)[1].split("\n## ", 1)[0]
    return re.search("```" + language + "\n(.*?)```", text, re.S).group(1)


def only(pattern):
    found = glob.glob(pattern, recursive=True)
    assert len(found) == 1, (pattern, found)
    return found[0]


class Library(unittest.TestCase):
    def test_every_option_gives_the_programs_indices(self):
        # Ramps and noise, alpha from clear to opaque; a Pillow image and an
        # array on alternate rows, on and off as True and False.
        y, x = np.mgrid[0:37, 0:59]
        noise = np.random.default_rng(3).integers(-20, 20, (37, 59, 4))
        rgba = np.clip(np.stack([x * 4, y * 6, 255 - x * 4, x * 9 - 100], axis=-1) + noise, 0, 255).astype(np.uint8)
        with open(os.path.join(SOURCE, "tests", "data", "library_options.txt")) as rows, \
                tempfile.TemporaryDirectory() as folder:
            lines = [line.strip() for line in rows if line.strip() and not line.startswith("# ")]
            for n, line in enumerate(lines):
                with self.subTest(line):
                    palette, *options = [from_source(word) for word in line.split()]
                    indices, rgb, transparent = program_output(["-p", palette, *options], rgba, folder)
                    keywords = {KEYWORDS[name]: {"on": True, "off": False}.get(value, value)
                                for name, value in zip(options[::2], options[1::2])}
                    image = Image.fromarray(rgba, "RGBA") if n % 2 else rgba
                    result, found = tessaly.dither(image, palette, indices=True, **keywords)
                    self.assertTrue(np.array_equal(found, indices) and np.array_equal(np.asarray(result), indices))
                    self.assertEqual((result.getpalette(), transparent_of(result)), (rgb, transparent))
                    if n == 0:
                        colours = list(zip(*[iter(rgb)] * 3))
                        self.assertTrue(np.array_equal(np.asarray(tessaly.dither(rgba, colours, **keywords)), indices))

    def test_bad_options_palettes_and_images_raise_the_librarys_words(self):
        rgb, path = np.zeros((6, 8, 3), np.uint8), os.path.join(SOURCE, "palettes", "gameboy.txt")
        for options, palette, image, words in [
                (dict(window="sierra3"), path, rgb, '"sierra3" is no value of -w'),
                (dict(level="0.8x"), path, rgb, "not a number"),
                (dict(no_such_option=1), path, rgb, 'no option "no_such_option"'),
                (dict(match="oklab", color_space="yuv"), path, rgb, "oklab matching needs -c rgb"),
                ({}, "/no/such/palette.hex", rgb, "palette open error: /no/such/palette.hex"),
                ({}, [(0, 0, 0), (256, 0, 0)], rgb, "0 to 255"),
                ({}, path, rgb[..., :2], "x 3 or x 4"),
                ({}, path, rgb.astype(np.float32), "uint8")]:
            with self.subTest(words), self.assertRaises(tessaly.Error) as raised:
                tessaly.dither(image, palette, **options)
            self.assertIn(words, str(raised.exception))
            self.assertIsInstance(raised.exception, ValueError)

    def test_the_readme_examples_run_from_an_installed_prefix(self):
        with tempfile.TemporaryDirectory() as root:
            prefix, work = os.path.join(root, "prefix"), os.path.join(root, "work")
            os.mkdir(work)
            subprocess.run([CMAKE, "--install", BUILD, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)
            env = dict(os.environ, PKG_CONFIG_PATH=os.path.dirname(only(prefix + "/**/tessaly.pc")),
                       LD_LIBRARY_PATH=os.path.dirname(only(prefix + "/**/libtessaly.so")),
                       PYTHONPATH=os.path.dirname(os.path.dirname(only(prefix + "/**/tessaly/__init__.py"))))
            with open(os.path.join(work, "ramp.c"), "w") as c, open(os.path.join(work, "panel.py"), "w") as py:
                c.write(readme_block("Using it from C", "c"))
                py.write(readme_block("Using it from Python", "python"))
            subprocess.run("cc -std=c99 -Wall -Werror ramp.c $(pkg-config --cflags --libs tessaly) -o ramp && "
                           "./ramp > ramp.ppm", shell=True, cwd=work, env=env, check=True)
            cga = open(only(prefix + "/share/tessaly/palettes/cga.act"), "rb").read()
            used = colours_of(os.path.join(work, "ramp.ppm"))
            self.assertTrue(len(used) > 2 and used <= set(zip(*[iter(cga)] * 3)), used)

            Image.open(os.path.join(SOURCE, "sample", "scene.png")).save(os.path.join(work, "photo.jpg"))
            subprocess.run([sys.executable, "panel.py"], cwd=work, env=env, check=True)
            with open(only(prefix + "/share/tessaly/palettes/spectra6.hex")) as hex_file:
                nominal = {tuple(bytes.fromhex(line.strip())) for line in hex_file if not line.startswith(";")}
            used = colours_of(os.path.join(work, "panel.png"))
            self.assertTrue(len(used) > 2 and used <= nominal, used)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
