"""The README's two library examples, run as a user runs them: the build
installed into a fresh prefix, the C example compiled with the flags that
pkg-config gives for tessaly.pc and run, the Python example run with the
installed module on the path and a photo beside it.

    library_install_test.py CMAKE BUILD_DIR SOURCE_DIR
"""

import glob
import os
import re
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image

CMAKE, BUILD, SOURCE = sys.argv[1:4]


def readme_block(section, language):
    """The first code block of the language in the README's section."""
    with open(os.path.join(SOURCE, "README.md")) as readme:
        text = readme.read()
    section_text = text.split("\n## " + section + "\n", 1)[1].split("\n## ", 1)[0]
    return re.search(r"```" + language + r"\n(.*?)```", section_text, re.S).group(1)


def only(pattern):
    found = glob.glob(pattern, recursive=True)
    assert len(found) == 1, (pattern, found)
    return found[0]


def colours_of(image):
    rgb = np.asarray(image.convert("RGB")).reshape(-1, 3)
    return {tuple(int(v) for v in c) for c in np.unique(rgb, axis=0)}


def main():
    with tempfile.TemporaryDirectory() as root:
        prefix, work = os.path.join(root, "prefix"), os.path.join(root, "work")
        os.mkdir(work)
        subprocess.run([CMAKE, "--install", BUILD, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)
        environment = dict(os.environ, PKG_CONFIG_PATH=os.path.dirname(only(prefix + "/**/tessaly.pc")),
                           LD_LIBRARY_PATH=os.path.dirname(only(prefix + "/**/libtessaly.so")))

        with open(os.path.join(work, "app.c"), "w") as source:
            source.write(readme_block("Using it from C", "c"))
        subprocess.run("cc -std=c99 -Wall -Werror app.c $(pkg-config --cflags --libs tessaly) -o app", shell=True,
                       cwd=work, env=environment, check=True)
        ppm = subprocess.run(["./app"], cwd=work, env=environment, check=True, capture_output=True).stdout
        with open(os.path.join(work, "out.ppm"), "wb") as out:
            out.write(ppm)
        with Image.open(os.path.join(work, "out.ppm")) as picture:
            cga = open(only(prefix + "/share/tessaly/palettes/cga.act"), "rb").read()
            allowed = {tuple(cga[i:i + 3]) for i in range(0, len(cga) - 2, 3)}
            used = colours_of(picture)
            assert picture.size == (320, 200), picture.size
            assert len(used) > 2 and used <= allowed, used

        Image.open(os.path.join(SOURCE, "sample", "scene.png")).convert("RGB").save(os.path.join(work, "photo.jpg"))
        with open(os.path.join(work, "panel.py"), "w") as script:
            script.write(readme_block("Using it from Python", "python"))
        environment["PYTHONPATH"] = os.path.dirname(os.path.dirname(only(prefix + "/**/tessaly/__init__.py")))
        subprocess.run([sys.executable, "panel.py"], cwd=work, env=environment, check=True)
        with Image.open(os.path.join(work, "panel.png")) as panel:
            nominal = {(0, 0, 0), (255, 255, 255), (255, 255, 0), (255, 0, 0), (0, 0, 255), (0, 255, 0)}
            assert panel.mode == "P" and panel.size[0] <= 800 and panel.size[1] <= 480, (panel.mode, panel.size)
            assert len(colours_of(panel)) > 2 and colours_of(panel) <= nominal, colours_of(panel)
    print("the README's C and Python examples ran from the installed prefix")


if __name__ == "__main__":
    main()
