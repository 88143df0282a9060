"""Tessaly's benchmark: whole-process wall time, CPU time and peak memory of
tessaly against Pillow's Floyd-Steinberg quantizer on camera photographs and
a synthetic scene, the fast paths against the plain one, every option
combination against the default (and against an earlier build), and a byte
for byte check of the fast paths against the plain program.

Run through bench/run, which installs what is needed and builds the programs;
see bench/README.md. Only the standard library is imported here: everything
that needs Pillow runs in a child process, because a child's peak memory as
the kernel reports it can be no lower than this process's own peak when the
child was started, so this process must stay small.
"""

import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import time

# Working channels of each colour space, the divisor of "time per channel".
CHANNELS = {"rgb": 3, "cmyk": 4, "rgbcmyk": 7, "yuv": 3, "rgbyuv": 6, "cmy": 3, "cmyk2": 4}

# Timed combinations: one option changed from the default at a time, the
# values equal to the default left out (the default row stands for them).
TIMED_COMBINATIONS = (
    [("default", [])]
    + [("-c " + space, ["-c", space]) for space in CHANNELS if space != "rgb"]
    + [("-e " + metric, ["-e", metric]) for metric in ("sum", "pow2m421", "pow421", "pow532", "pow2m1113")]
    + [("-q " + weights, ["-q", weights]) for weights in ("421", "721", "631", "1113", "2417")]
    + [("-s on", ["-s", "on"])]
    + [("-w " + window, ["-w", window]) for window in ("round", "x", "linear_x", "linear_y", "linear_x_y", "dot")]
    + [("-g srgb", ["-g", "srgb"]),
       ("-lc 128", ["-lc", "128"]),
       ("-lmx on -lmn on", ["-lmx", "on", "-lmn", "on"]),
       ("-pp circle", ["-pp", "circle"]),
       ("-a 128", ["-a", "128"])]
)

# Checked for equality only: the corners where a fast path is most likely to
# part from the plain one. A diffusion level of 4 runs away to infinities and
# NaNs, where no entry wins and the previous pixel's choice carries over; the
# CMYK weightings in a 3-channel space leave error entries unwritten.
EXTRA_CHECKS = [
    ("-c rgb -e pow2 -q 111 -w floyd", ["-c", "rgb", "-e", "pow2", "-q", "111", "-w", "floyd"]),
    ("-d 4 (runaway)", ["-d", "4"]),
    ("-d 4 -c rgbcmyk -s on", ["-d", "4", "-c", "rgbcmyk", "-s", "on"]),
    ("-d 2.5 -e sum -w round", ["-d", "2.5", "-e", "sum", "-w", "round"]),
    ("-d 0", ["-d", "0"]),
    ("-c cmyk -q 1113 -e pow2m1113", ["-c", "cmyk", "-q", "1113", "-e", "pow2m1113"]),
    ("-c cmyk2 -q 2417", ["-c", "cmyk2", "-q", "2417"]),
    ("-q 421 -e pow2m421", ["-q", "421", "-e", "pow2m421"]),
    ("-c rgbcmyk -q 721", ["-c", "rgbcmyk", "-q", "721"]),
    ("-c rgbyuv -e sum -g srgb", ["-c", "rgbyuv", "-e", "sum", "-g", "srgb"]),
    ("-c cmy -lc 85 -s on -w linear_x_y", ["-c", "cmy", "-lc", "85", "-s", "on", "-w", "linear_x_y"]),
    ("-lmx on -mxl 0.8 -lmn on -mnl 0.1", ["-lmx", "on", "-mxl", "0.8", "-lmn", "on", "-mnl", "0.1"]),
    ("-lmx palette -lmn palette -d 4 -c cmyk", ["-lmx", "palette", "-lmn", "palette", "-d", "4", "-c", "cmyk"]),
    ("-lmx palette -lmn on -mnl 0.1 -g srgb -a 128", ["-lmx", "palette", "-lmn", "on", "-mnl", "0.1", "-g", "srgb", "-a", "128"]),
    ("-m oklab", ["-m", "oklab"]),
    ("-m oklab -g srgb -s on -d 4", ["-m", "oklab", "-g", "srgb", "-s", "on", "-d", "4"]),
    ("-m oklab -lmx palette -lmn palette -pp circle", ["-m", "oklab", "-lmx", "palette", "-lmn", "palette", "-pp", "circle"]),
    ("-m oklab -w bayer8 -g srgb -q 421", ["-m", "oklab", "-w", "bayer8", "-g", "srgb", "-q", "421"]),
    ("-pp circle -d 0 -ppw square -ppc 2", ["-pp", "circle", "-d", "0", "-ppw", "square", "-ppc", "2"]),
    ("-pp circle -ppw cross -c yuv -q 421", ["-pp", "circle", "-ppw", "cross", "-c", "yuv", "-q", "421"]),
    ("-g srgb -lc 170 -s on -c cmyk", ["-g", "srgb", "-lc", "170", "-s", "on", "-c", "cmyk"]),
    ("-a 255 -s on -d 4", ["-a", "255", "-s", "on", "-d", "4"]),
]

# The classic kernels with the shares a pixel's error goes to, floyd's and
# dot's for the measure of a share, and the ordered patterns: timed against
# floyd, and checked fast against plain.
KERNEL_SHARES = {"floyd": 4, "dot": 0, "jarvis": 12, "stucki": 12, "burkes": 7, "sierra": 10, "sierra2": 7,
                 "sierra_lite": 3, "atkinson": 6}
ORDERED_WINDOWS = ("bayer2", "bayer4", "bayer8", "bluenoise")
NEW_WINDOWS = [w for w in KERNEL_SHARES if w not in ("floyd", "dot")] + list(ORDERED_WINDOWS)
EXTRA_CHECKS += [("-w " + window, ["-w", window]) for window in NEW_WINDOWS]
EXTRA_CHECKS += [("-w jarvis -s on -lmx on -mxl 0.8", ["-w", "jarvis", "-s", "on", "-lmx", "on", "-mxl", "0.8"]),
                 ("-w stucki -s on -lmx palette -lmn palette", ["-w", "stucki", "-s", "on", "-lmx", "palette", "-lmn", "palette"]),
                 ("-w atkinson -d 4 (runaway)", ["-w", "atkinson", "-d", "4"]),
                 ("-w bluenoise -c rgbcmyk -d 0.5", ["-w", "bluenoise", "-c", "rgbcmyk", "-d", "0.5"])]

# The palettes of a few colours that retro and e-paper users have, from the
# project's palettes/ folder: each as that file, whose entries past its colours
# repeat its last one, and as a 768-byte table that repeats all its colours
# in turn. Timed against Pillow on the coffee photograph, with the default
# settings and with the palette's own limits, and checked fast against plain
# with the settings below.
SMALL_PALETTES = [("bw", "bw.hex"), ("gameboy", "gameboy.txt"), ("spectra6-measured", "spectra6-measured.hex"),
                  ("acep7", "acep7.hex"), ("pico-8", "pico-8.hex")]
SMALL_SETTINGS = [("default", []), ("-lmx palette -lmn palette", ["-lmx", "palette", "-lmn", "palette"])]
SMALL_CHECKS = SMALL_SETTINGS + [
    ("-w dot", ["-w", "dot"]),
    ("-s on -w jarvis", ["-s", "on", "-w", "jarvis"]),
    ("-d 4 (runaway)", ["-d", "4"]),
    ("-c cmyk -e sum", ["-c", "cmyk", "-e", "sum"]),
    ("-q 421 -e pow2m421 -g srgb", ["-q", "421", "-e", "pow2m421", "-g", "srgb"]),
    ("-c rgbcmyk -q 721 -a 128", ["-c", "rgbcmyk", "-q", "721", "-a", "128"]),
]

PILLOW_DITHER = """
import sys
from PIL import Image
source, palette_file, output = sys.argv[1:4]
palette = Image.new("P", (1, 1))
with open(palette_file, "rb") as f:
    palette.putpalette(f.read())
image = Image.open(source).convert("RGB")
image.quantize(palette=palette, dither=Image.Dither.FLOYDSTEINBERG).save(output, compress_level=0)
"""

# The palette of the photo by Pillow's median cut, as the 768 bytes of a
# palette file (padded with black should fewer than 256 colours come back).
PILLOW_ADAPTED_PALETTE = """
import sys
from PIL import Image
image = Image.open(sys.argv[1]).convert("RGB")
colours = bytes(image.quantize(256, method=Image.Quantize.MEDIANCUT).getpalette()[:768])
with open(sys.argv[2], "wb") as f:
    f.write(colours.ljust(768, b"\\0"))
"""

# A camera photograph cropped to the aspect of the size asked for and
# enlarged to it (Lanczos), saved as PPM or PNG by the extension.
PILLOW_ENLARGE = """
import sys
from PIL import Image
source, output, width, height = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
image = Image.open(source).convert("RGB")
w, h = image.size
if w * height > h * width:
    crop_w, crop_h = h * width // height, h
else:
    crop_w, crop_h = w, w * height // width
left, top = (w - crop_w) // 2, (h - crop_h) // 2
image = image.crop((left, top, left + crop_w, top + crop_h)).resize((width, height), Image.Resampling.LANCZOS)
image.save(output, format="PPM" if output.endswith(".ppm") else "PNG")
"""

PILLOW_SIZE = """
import sys
from PIL import Image
with Image.open(sys.argv[1]) as image:
    image.load()
    print(image.width, image.height, image.mode)
"""

# Whether two PNGs hold the same indices and palette, as Pillow (zlib) decodes them.
PILLOW_SAME_IMAGE = """
import sys
from PIL import Image
with Image.open(sys.argv[1]) as a, Image.open(sys.argv[2]) as b:
    print(a.mode == b.mode == "P" and a.size == b.size and a.getpalette() == b.getpalette() and a.tobytes() == b.tobytes())
"""

PILLOW_VERSION = "import PIL; print(PIL.__version__)"


class Failure(Exception):
    """A run that did not do its job: the benchmark cannot go on with it."""


failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message, flush=True)


def parse_size(text):
    width, _, height = text.lower().partition("x")
    return int(width), int(height)


def size_name(size):
    return "%dx%d" % size


def megapixels(size):
    return size[0] * size[1] / 1e6


# ---------------------------------------------------------------- measuring

class Measurement:
    def __init__(self, wall, cpu, peak_bytes, status, output_text):
        self.wall = wall
        self.cpu = cpu
        self.peak_bytes = peak_bytes
        self.status = status
        self.output_text = output_text


def measure(argv, cwd, log_path):
    """Runs one process to its end; its standard output goes to log_path.
    Wall time from start to reaping, CPU time and peak memory from the
    kernel's account of the child (os.wait4)."""
    with open(log_path, "wb") as log:
        start = time.perf_counter()
        child = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    with open(log_path, "rb") as log:
        text = log.read(65536).decode("utf-8", "replace")
    return Measurement(wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024, child.returncode, text)


def run_python(script, *arguments):
    """Runs a Pillow script in a child; returns its standard output."""
    result = subprocess.run([sys.executable, "-c", script] + list(arguments), capture_output=True, text=True)
    if result.returncode != 0:
        raise Failure("python child failed: %s" % result.stderr.strip()[-800:])
    return result.stdout


def decoded_size(path):
    """Width, height and mode of an image as Pillow decodes it."""
    width, height, mode = run_python(PILLOW_SIZE, path).split()
    return int(width), int(height), mode


class Bench:
    def __init__(self, options):
        self.options = options
        self.build = os.path.abspath(options.build_dir)
        self.data = os.path.join(self.build, "data")
        self.scratch = os.path.join(self.build, "scratch")
        os.makedirs(self.data, exist_ok=True)
        shutil.rmtree(self.scratch, ignore_errors=True)
        os.makedirs(self.scratch)
        self.tessaly = os.path.join(self.build, "tessaly")
        self.plain = os.path.join(self.build, "tessaly_plain")
        self.baseline = options.baseline
        for program in (self.tessaly, self.plain, self.tool("make_sample"), self.tool("make_palette")):
            if not os.access(program, os.X_OK):
                raise Failure("%s is not built (bench/run builds it)" % program)

    def tool(self, name):
        return os.path.join(self.build, name)

    # ------------------------------------------------------------ inputs

    def cached(self, name, make):
        """The data file of that name, made once and then reused. Made under
        a temporary name, so that an interrupted run leaves no half file."""
        path = os.path.join(self.data, name)
        if not os.path.exists(path):
            partial = os.path.join(self.data, "partial-" + name)
            print("  making %s" % name, flush=True)
            make(partial)
            os.replace(partial, path)
        return path

    def sample(self, size, grain, extension):
        """make_sample's photo-like scene; it writes PNG or binary PPM by the
        extension, which the partial name keeps."""
        name = "photo_%s_g%d.%s" % (size_name(size), grain, extension)
        return self.cached(name, lambda path: subprocess.run(
            [self.tool("make_sample"), path, str(size[0]), str(size[1]), str(grain)], check=True))

    def camera(self, picture, size, extension):
        """A camera photograph enlarged to the size."""
        source = os.path.join(self.options.photos, picture + ".png")
        if not os.path.exists(source):
            raise Failure("%s is missing (bench/run unpacks it)" % source)
        return self.cached("%s_%s.%s" % (picture, size_name(size), extension),
                           lambda path: run_python(PILLOW_ENLARGE, source, path, str(size[0]), str(size[1])))

    def image(self, name, size, extension):
        """The input called name: "scene" (the synthetic one) or a photograph."""
        return self.sample(size, 6, extension) if name == "scene" else self.camera(name, size, extension)

    def small_palettes(self):
        """(label, tessaly's palette, Pillow's palette) for each small palette
        as its file and as a repeated table; Pillow is given the colours
        alone, or the same table."""
        forms = []
        for name, file_name in SMALL_PALETTES:
            path = os.path.join(self.options.palettes, file_name)
            colours = palette_colours(path)
            just_colours = self.cached(name + ".colours", lambda out: write_bytes(out, colours))
            table = self.cached(name + "_table.act", lambda out: write_bytes(out, (colours * 256)[:768]))
            count = len(colours) // 3
            forms.append(("%s (%d) %s" % (name, count, os.path.splitext(file_name)[1][1:]), path, just_colours))
            forms.append(("%s (%d) table" % (name, count), table, table))
        return forms

    def palette(self, name, image="scene"):
        """cube332 and cga from make_palette; "adapted" is the median cut of
        the image at the large size."""
        if name == "adapted":
            photo = self.image(image, self.options.size, "ppm")
            return self.cached("adapted_%s_%s.act" % (image, size_name(self.options.size)),
                               lambda path: run_python(PILLOW_ADAPTED_PALETTE, photo, path))
        return self.cached(name + ".act",
                           lambda path: subprocess.run([self.tool("make_palette"), name, path], check=True))

    # ------------------------------------------------------------ runs

    def run_tessaly(self, program, palette, settings, source, keep_as=None):
        """One run of tessaly (or tessaly_plain) in the scratch folder on a
        link to the source. Checks that it wrote exactly its one output file;
        deletes it, or keeps it under keep_as."""
        extension = source.rsplit(".", 1)[1]
        link = os.path.join(self.scratch, "input." + extension)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(source, link)
        before = set(os.listdir(self.scratch))
        argv = [program, "-p", palette] + settings + ["input." + extension]
        result = measure(argv, self.scratch, os.path.join(self.build, "last_run.log"))
        produced = sorted(set(os.listdir(self.scratch)) - before)
        expected = "input_dithered_0000.png"
        os.remove(link)
        if result.status != 0 or produced != [expected]:
            for name in produced:
                os.remove(os.path.join(self.scratch, name))
            raise Failure("%s exited with %d and wrote %s instead of %s; its output:\n%s"
                          % (" ".join(argv), result.status, produced or "nothing", expected, result.output_text[-2000:]))
        output = os.path.join(self.scratch, expected)
        if keep_as:
            os.replace(output, keep_as)
        else:
            os.remove(output)
        return result

    def run_pillow(self, palette, source):
        output = os.path.join(self.scratch, "pillow.png")
        argv = [sys.executable, "-c", PILLOW_DITHER, source, palette, output]
        result = measure(argv, self.scratch, os.path.join(self.build, "last_run.log"))
        if result.status != 0 or not os.path.exists(output):
            raise Failure("Pillow's run failed (%d):\n%s" % (result.status, result.output_text[-2000:]))
        os.remove(output)
        return result

    def repeated(self, run):
        return [run() for _ in range(self.options.repeats)]

    def repeated_tessaly(self, palette, settings, source, size, keep_as):
        """The repeats of one tessaly run; the first one's output is kept
        under keep_as and must decode to an indexed image of the input's size."""
        runs = [self.run_tessaly(self.tessaly, palette, settings, source, keep_as=keep_as)]
        check_decodes(keep_as, size)
        for _ in range(self.options.repeats - 1):
            runs.append(self.run_tessaly(self.tessaly, palette, settings, source))
        return runs


def palette_colours(path):
    """The colours of a text palette of the palettes/ folder (one colour a
    line in hex, the last six digits; ';' starts a comment) as RGB bytes."""
    colours = b""
    with open(path) as text:
        for line in text:
            line = line.split(";")[0].strip()
            if line:
                colours += bytes.fromhex(line[-6:])
    return colours


def write_bytes(path, data):
    with open(path, "wb") as out:
        out.write(data)


def check_decodes(path, size):
    width, height, mode = decoded_size(path)
    if (width, height, mode) != (size[0], size[1], "P"):
        fail("%s decodes as %dx%d %s, expected %s P" % (path, width, height, mode, size_name(size)))


# ---------------------------------------------------------------- printing

def seconds(value):
    return "%.3f s" % value


def per_pixel(bytes_, size):
    return bytes_ / (size[0] * size[1])


def print_table(header, rows):
    widths = [max(len(str(row[i])) for row in [header] + rows) for i in range(len(header))]
    line = lambda row: "  ".join(str(cell).ljust(widths[i]) if i == 0 else str(cell).rjust(widths[i])
                                 for i, cell in enumerate(row))
    print(line(header))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line(row))
    print(flush=True)


def machine_line():
    model, flags = "unknown CPU", set()
    with open("/proc/cpuinfo") as info:
        for entry in info:
            key, _, value = entry.partition(":")
            if key.strip() == "model name" and model == "unknown CPU":
                model = value.strip()
            elif key.strip() == "flags" and not flags:
                flags = set(value.split())
    vectors = [unit for unit in ("sse2", "avx2", "avx512f") if unit in flags] or ["none of sse2/avx2/avx512f"]
    with open("/proc/loadavg") as load:
        load_average = load.read().split()[0]
    return "machine: %s, %d cores, vector units: %s; Pillow %s, Python %s; load average %s at start" % (
        model, os.cpu_count(), " ".join(vectors), run_python(PILLOW_VERSION).strip(), sys.version.split()[0], load_average)


def megabytes(peak):
    return at_floor(peak) + "%.1f" % (peak / 2**20)


def bytes_per_pixel(peak, pixels):
    return at_floor(peak) + "%.2f" % (peak / pixels)


def at_floor(peak):
    """'<=' before a figure that may be the harness's own size rather than
    the child's (see memory_floor)."""
    return "<=" if peak <= memory_floor.value * 1.05 else ""


def memory_floor():
    """Peak memory a do-nothing child reports: this process's own peak, which
    the kernel carries over into every child it starts. A figure at this
    floor means 'at most this much'."""
    if memory_floor.value is None:
        true_program = shutil.which("true") or "/bin/true"
        memory_floor.value = measure([true_program], "/", os.devnull).peak_bytes
    return memory_floor.value


memory_floor.value = None


# ---------------------------------------------------------------- sections

class Targets:
    def __init__(self):
        self.rows = []

    def add(self, name, figure, met):
        self.rows.append((name, figure, "MET" if met else "NOT MET"))

    def add_memory(self, name, peak, pixels, limit):
        """A figure at the harness's floor that exceeds the limit says
        nothing about the program."""
        met = peak / pixels <= limit
        verdict = "MET" if met else "UNKNOWN (harness floor)" if at_floor(peak) else "NOT MET"
        self.rows.append((name, bytes_per_pixel(peak, pixels) + " B/pixel", verdict))


IMAGES = ("scene", "chelsea", "coffee", "astronaut")


def against_pillow(bench, targets):
    """Section 1: each image at the large size as PPM and as PNG, each palette,
    tessaly and Pillow (and the baseline build) run in turn, best and median
    of the repeats."""
    size = bench.options.size
    pixels = size[0] * size[1]
    programs = [("tessaly", bench.tessaly), ("Pillow", None)]
    if bench.baseline:
        programs.append(("baseline", bench.baseline))
    print("== tessaly (default settings) against Pillow, %s (%.1f MP), %d run(s) each, in turn ==" % (size_name(size), megapixels(size), bench.options.repeats))
    rows = []
    peaks = {}
    for image in IMAGES:
        for extension in ("ppm", "png"):
            source = bench.image(image, size, extension)
            for palette_name in ("cube332", "adapted"):
                palette = bench.palette(palette_name, image)
                kept = os.path.join(bench.build, "decode_check.png")
                bench.run_tessaly(bench.tessaly, palette, [], source, keep_as=kept)
                check_decodes(kept, size)
                os.remove(kept)
                runs = {who: [] for who, _ in programs}
                for _ in range(bench.options.repeats):
                    for who, program in programs:
                        runs[who].append(bench.run_pillow(palette, source) if program is None
                                         else bench.run_tessaly(program, palette, [], source))
                label = "%s %s %s" % (image, extension.upper(), palette_name)
                for who, _ in programs:
                    walls = [r.wall for r in runs[who]]
                    cpus = [r.cpu for r in runs[who]]
                    peak = max(r.peak_bytes for r in runs[who])
                    rows.append([label, who, seconds(statistics.median(walls)), seconds(min(walls)),
                                 seconds(statistics.median(cpus)), "%.1f" % (statistics.median(cpus) / pixels * 1e9),
                                 megabytes(peak), bytes_per_pixel(peak, pixels)])
                median = lambda who, f: statistics.median(f(r) for r in runs[who])
                wall_ratio = median("tessaly", lambda r: r.wall) / median("Pillow", lambda r: r.wall)
                cpu_ratio = median("tessaly", lambda r: r.cpu) / median("Pillow", lambda r: r.cpu)
                rows.append([label, "tessaly/Pillow", "%.2f" % wall_ratio,
                             "%.2f" % (min(r.wall for r in runs["tessaly"]) / min(r.wall for r in runs["Pillow"])),
                             "%.2f" % cpu_ratio, "", "", ""])
                limit = 0.7 if extension == "ppm" else 0.8
                targets.add("%s wall <= %.1f x Pillow (%s, %s)" % (extension.upper(), limit, image, palette_name),
                            "%.2f x" % wall_ratio, wall_ratio <= limit)
                ns = median("tessaly", lambda r: r.cpu) / pixels * 1e9
                if palette_name == "adapted" and extension == "ppm":
                    targets.add("CPU <= 30 ns/pixel (%s PPM, adapted)" % image, "%.1f ns" % ns, ns <= 30)
                if palette_name == "cube332":
                    targets.add("CPU <= Pillow's (%s %s, cube332)" % (image, extension.upper()), "%.2f x" % cpu_ratio,
                                cpu_ratio <= 1.0)
                if bench.baseline:
                    before = median("baseline", lambda r: r.cpu) / pixels * 1e9
                    targets.add("CPU no worse than %s (%s %s %s)" % (bench.options.baseline_name, image, extension.upper(), palette_name),
                                "%.1f ns against %.1f" % (ns, before), ns <= before * 1.05)
                if extension == "ppm":
                    for who, _ in programs:
                        peaks.setdefault(who, []).append(max(r.peak_bytes for r in runs[who]))
    print_table(["image input palette", "program", "wall med", "wall best", "CPU med", "CPU ns/px", "peak MB", "B/pixel"], rows)

    peak = max(peaks["tessaly"])
    if bench.baseline:
        before = max(peaks["baseline"])
        targets.add_memory("peak memory rgb <= %s's %.2f B/pixel (PPM)" % (bench.options.baseline_name, before / pixels),
                           peak, pixels, before / pixels * 1.01)
    else:
        targets.add_memory("peak memory rgb <= 14 B/pixel (PPM)", peak, pixels, 14)


def seven_channel_memory(bench, targets):
    """The 7-channel space on the large photo: one run for its peak memory."""
    size = bench.options.size
    source = bench.sample(size, 6, "ppm")
    result = bench.run_tessaly(bench.tessaly, bench.palette("adapted", "scene"), ["-c", "rgbcmyk"], source)
    pixels = size[0] * size[1]
    figure = bytes_per_pixel(result.peak_bytes, pixels)
    print("== peak memory, -c rgbcmyk, %s PPM, adapted palette: %s MB, %s B/pixel (wall %s) ==\n"
          % (size_name(size), megabytes(result.peak_bytes), figure, seconds(result.wall)), flush=True)
    targets.add_memory("peak memory rgbcmyk <= 36 B/pixel (%s PPM)" % size_name(size), result.peak_bytes, pixels, 36)


def compression(bench, targets):
    """Section 2b: -z on against -z off on the large photo with the adapted
    palette, runs alternated; file size and wall time, and the compressed
    output must decode to the stored one's indices and palette."""
    size = bench.options.size
    source = bench.sample(size, 6, "ppm")
    palette = bench.palette("adapted")
    print("== -z on against -z off, %s PPM, adapted palette, %d run(s) each, alternated ==" % (size_name(size), bench.options.repeats), flush=True)
    outputs = {mode: os.path.join(bench.build, "z_%s.png" % mode) for mode in ("off", "on")}
    runs = {"off": [], "on": []}
    for repeat in range(bench.options.repeats):
        for mode in ("off", "on"):
            keep = outputs[mode] if repeat == 0 else None
            runs[mode].append(bench.run_tessaly(bench.tessaly, palette, ["-z", mode], source, keep_as=keep))
    sizes = {mode: os.path.getsize(outputs[mode]) for mode in outputs}
    same = run_python(PILLOW_SAME_IMAGE, outputs["off"], outputs["on"]).strip() == "True"
    for path in outputs.values():
        os.remove(path)
    if not same:
        fail("-z on output does not decode to the -z off indices and palette")
    walls = {mode: statistics.median(r.wall for r in runs[mode]) for mode in runs}
    cpus = {mode: statistics.median(r.cpu for r in runs[mode]) for mode in runs}
    rows = [["-z " + mode, sizes[mode], seconds(walls[mode]), seconds(min(r.wall for r in runs[mode])), seconds(cpus[mode])]
            for mode in ("off", "on")]
    rows.append(["on/off", "%.3f" % (sizes["on"] / sizes["off"]), "%.2f" % (walls["on"] / walls["off"]),
                 "%.2f" % (min(r.wall for r in runs["on"]) / min(r.wall for r in runs["off"])), "%.2f" % (cpus["on"] / cpus["off"])])
    print_table(["compression", "file bytes", "wall med", "wall best", "CPU med"], rows)
    print("-z on output decodes to the -z off indices and palette: %s\n" % ("yes" if same else "NO - FAIL"), flush=True)
    size_ratio = sizes["on"] / sizes["off"]
    wall_ratio = walls["on"] / walls["off"]
    targets.add("-z on file <= 0.45 x -z off (%s adapted)" % size_name(size), "%.3f x" % size_ratio, size_ratio <= 0.45)
    targets.add("-z on wall <= 1.25 x -z off (%s adapted)" % size_name(size), "%.2f x" % wall_ratio, wall_ratio <= 1.25)


def against_plain(bench, targets):
    """Section 2: the fast program against tessaly_plain at default settings,
    each palette: the synthetic scene at the large size (the quick size with
    --quick) and the photographs at the quick size; the outputs must be the
    same bytes."""
    quick = bench.options.quick
    large = bench.options.quick_size if quick else bench.options.size
    print("== fast against plain, PPM, default settings, plain run once; the scene at %s, the photographs at %s ==" % (size_name(large), size_name(bench.options.quick_size)), flush=True)
    rows = []
    worst = None
    for image in IMAGES:
        size = large if image == "scene" else bench.options.quick_size
        source = bench.image(image, size, "ppm")
        for palette_name in ("cube332", "adapted"):
            palette = bench.palette(palette_name, image)
            fast_output = os.path.join(bench.build, "fast.png")
            plain_output = os.path.join(bench.build, "plain.png")
            fast = bench.repeated_tessaly(palette, [], source, size, fast_output)
            print("  running tessaly_plain on %s with %s ..." % (image, palette_name), flush=True)
            plain = bench.run_tessaly(bench.plain, palette, [], source, keep_as=plain_output)
            same = filecmp.cmp(fast_output, plain_output, shallow=False)
            os.remove(fast_output)
            os.remove(plain_output)
            if not same:
                fail("fast and plain outputs DIFFER on %s %s PPM with %s" % (image, size_name(size), palette_name))
            fast_wall = min(r.wall for r in fast)
            speedup = plain.wall / fast_wall
            if image == "scene":
                worst = speedup if worst is None else min(worst, speedup)
            rows.append(["%s %s" % (image, palette_name), size_name(size), seconds(fast_wall), seconds(plain.wall),
                         seconds(min(r.cpu for r in fast)), seconds(plain.cpu), "%.1f x" % speedup,
                         "identical" if same else "DIFFERENT - FAIL"])
    print_table(["image palette", "size", "fast wall best", "plain wall", "fast CPU", "plain CPU", "plain/fast", "outputs"], rows)
    where = "scene %s PPM%s" % (size_name(large), ", --quick" if quick else "")
    targets.add("default >= 20 x faster than plain (%s)" % where, "%.1f x" % worst, worst >= 20)


def combinations(bench, targets):
    """Section 3: every option changed one at a time on a photograph at the
    combination size: time per pixel per working channel against the
    default's, and CPU time against the baseline build's when there is one."""
    size = bench.options.combo_size
    pixels = size[0] * size[1]
    source = bench.image("chelsea", size, "ppm")
    palette = bench.palette("adapted", "chelsea")
    print("== option combinations, chelsea %s PPM, its adapted palette, best of %d ==" % (size_name(size), bench.options.repeats), flush=True)
    results = []
    for label, settings in TIMED_COMBINATIONS:
        ours, before = [], []
        for _ in range(bench.options.repeats):
            ours.append(bench.run_tessaly(bench.tessaly, palette, settings, source))
            if bench.baseline:
                before.append(bench.run_tessaly(bench.baseline, palette, settings, source))
        space = settings[settings.index("-c") + 1] if "-c" in settings else "rgb"
        results.append((label, space, min(r.wall for r in ours), min(r.cpu for r in ours),
                        max(r.peak_bytes for r in ours), min(r.cpu for r in before) if before else None))
    default_per_channel = results[0][2] / (pixels * CHANNELS["rgb"])
    rows = []
    worst_label, worst_ratio = None, 0.0
    worst_before_label, worst_before = None, 0.0
    for label, space, wall, cpu, peak, cpu_before in results:
        per_channel = wall / (pixels * CHANNELS[space])
        ratio = per_channel / default_per_channel
        if ratio > worst_ratio:
            worst_label, worst_ratio = label, ratio
        memory = bytes_per_pixel(peak, pixels) if space in ("rgb", "rgbcmyk") else ""
        row = [label, CHANNELS[space], seconds(wall), "%.2f" % (per_channel * 1e9), "%.2f" % ratio,
               "%.1f" % (cpu / pixels * 1e9), memory]
        if cpu_before is not None:
            row.append("%.2f" % (cpu / cpu_before))
            if cpu / cpu_before > worst_before:
                worst_before_label, worst_before = label, cpu / cpu_before
        rows.append(row)
    header = ["combination", "channels", "wall best", "ns/pixel/channel", "vs default", "CPU ns/pixel", "peak B/pixel"]
    if bench.baseline:
        header.append("CPU vs " + bench.options.baseline_name)
    print_table(header, rows)
    targets.add("every combination no slower per channel than default (worst: %s)" % worst_label,
                "%.2f x" % worst_ratio, worst_ratio <= 1.0)
    if bench.baseline:
        targets.add("every combination's CPU no worse than %s (worst: %s)" % (bench.options.baseline_name, worst_before_label),
                    "%.2f x" % worst_before, worst_before <= 1.05)


def windows_against_floyd(bench, targets):
    """Section 4: the classic kernels and the ordered patterns against floyd
    on the combinations' photo, time per pixel per working channel. A kernel
    may cost floyd's time and, for every share beyond floyd's four, a quarter
    of what floyd's shares cost over dot (which passes nothing on), however
    few shares it has; an ordered pattern must be faster than floyd."""
    size = bench.options.combo_size
    pixels = size[0] * size[1]
    source = bench.sample(size, 6, "ppm")
    palette = bench.palette("adapted")
    print("== windows against floyd, %s PPM, adapted palette, best of %d ==" % (size_name(size), bench.options.repeats), flush=True)
    walls, cpus = {}, {}
    for window in list(KERNEL_SHARES) + list(ORDERED_WINDOWS):
        runs = bench.repeated(lambda: bench.run_tessaly(bench.tessaly, palette, ["-w", window], source))
        walls[window] = min(r.wall for r in runs)
        cpus[window] = min(r.cpu for r in runs)
    floyd = walls["floyd"]
    share = max(0.0, (floyd - walls["dot"]) / KERNEL_SHARES["floyd"])
    rows = []
    worst_kernel, worst_excess = None, None
    slowest_ordered, slowest_ratio = None, 0.0
    for window, wall in walls.items():
        ordered = window in ORDERED_WINDOWS
        extra = 0 if ordered else max(0, KERNEL_SHARES[window] - KERNEL_SHARES["floyd"])
        allowed = floyd + extra * share
        if ordered and wall / floyd > slowest_ratio:
            slowest_ordered, slowest_ratio = window, wall / floyd
        if window in NEW_WINDOWS and not ordered and (worst_excess is None or wall - allowed > worst_excess):
            worst_kernel, worst_excess = window, wall - allowed
        rows.append([window, "ordered" if ordered else KERNEL_SHARES[window], seconds(wall),
                     "%.2f" % (wall / (pixels * CHANNELS["rgb"]) * 1e9), "%.2f" % (wall / floyd), seconds(allowed),
                     seconds(cpus[window])])
    print_table(["window", "shares", "wall best", "ns/pixel/channel", "vs floyd", "allowed", "CPU best"], rows)
    targets.add("kernels within floyd + a share's cost per extra share (worst: %s)" % worst_kernel,
                "%+.3f s" % worst_excess, worst_excess <= 0)
    targets.add("ordered patterns faster than floyd (slowest: %s)" % slowest_ordered,
                "%.2f x" % slowest_ratio, slowest_ratio < 1.0)


def small_palettes(bench, targets):
    """Section 1b: the palettes of a few colours on the coffee photograph at
    the large size from PPM, tessaly (default settings, and the palette's own
    limits) and Pillow run in turn. Cores used is CPU time over wall time."""
    size = bench.options.size
    pixels = size[0] * size[1]
    source = bench.image("coffee", size, "ppm")
    print("== palettes of a few colours, coffee %s PPM, %d run(s) each, in turn ==" % (size_name(size), bench.options.repeats), flush=True)
    rows = []
    for label, palette, pillow_palette in bench.small_palettes():
        kept = os.path.join(bench.build, "decode_check.png")
        bench.run_tessaly(bench.tessaly, palette, [], source, keep_as=kept)
        check_decodes(kept, size)
        os.remove(kept)
        runs = {name: [] for name, _ in SMALL_SETTINGS}
        pillow = []
        for _ in range(bench.options.repeats):
            pillow.append(bench.run_pillow(pillow_palette, source))
            for name, settings in SMALL_SETTINGS:
                runs[name].append(bench.run_tessaly(bench.tessaly, palette, settings, source))
        pillow_wall = statistics.median(r.wall for r in pillow)
        rows.append([label, "Pillow", seconds(pillow_wall), seconds(statistics.median(r.cpu for r in pillow)),
                     "%.1f" % (statistics.median(r.cpu for r in pillow) / pixels * 1e9), "", ""])
        for name, _ in SMALL_SETTINGS:
            wall = statistics.median(r.wall for r in runs[name])
            cpu = statistics.median(r.cpu for r in runs[name])
            rows.append([label, "tessaly " + name, seconds(wall), seconds(cpu), "%.1f" % (cpu / pixels * 1e9),
                         "%.2f" % (cpu / wall), "%.2f" % (wall / pillow_wall)])
            targets.add("wall <= Pillow's (coffee PPM, %s, %s)" % (label, name), "%.2f x" % (wall / pillow_wall),
                        wall <= pillow_wall)
    print_table(["palette", "program", "wall med", "CPU med", "CPU ns/px", "cores used", "/Pillow"], rows)


def equivalence(bench):
    """Section 5: every combination, fast against plain, byte for byte, on
    small images: a grainy photo and a smooth one, three palettes (cga holds
    240 copies of one colour, so ties are decided by the lowest index); then
    the palettes of a few colours, as files and as repeated tables."""
    size = bench.options.check_size
    images = [bench.sample(size, 6, "ppm"), bench.sample(size, 0, "png"), bench.camera("chelsea", size, "ppm")]
    palettes = [bench.palette("cube332"), bench.palette("adapted", "scene"), bench.palette("cga"),
                bench.palette("adapted", "chelsea")]
    print("== equivalence of fast and plain, %s, the scene with grain (PPM) and without (PNG) and a photograph, palettes cube332, cga and two adapted ==" % size_name(size), flush=True)
    passed = identical_outputs(bench, TIMED_COMBINATIONS + EXTRA_CHECKS, images,
                               [(os.path.basename(palette), palette) for palette in palettes])
    print("equivalence: %d of %d combinations identical\n" % (passed, len(TIMED_COMBINATIONS + EXTRA_CHECKS)), flush=True)
    print("== equivalence of fast and plain, %s, the same images, the palettes of a few colours ==" % size_name(size), flush=True)
    passed = identical_outputs(bench, SMALL_CHECKS, images, [(label, palette) for label, palette, _ in bench.small_palettes()])
    print("equivalence, palettes of a few colours: %d of %d settings identical\n" % (passed, len(SMALL_CHECKS)), flush=True)


def identical_outputs(bench, checks, images, palettes):
    """Runs every check on every image with every (name, palette), fast and
    plain; prints PASS for each check whose outputs are all the same bytes,
    fails the others. Returns how many passed."""
    fast_output = os.path.join(bench.build, "check_fast.png")
    plain_output = os.path.join(bench.build, "check_plain.png")
    passed = 0
    for label, settings in checks:
        differing = []
        for source in images:
            for name, palette in palettes:
                bench.run_tessaly(bench.tessaly, palette, settings, source, keep_as=fast_output)
                bench.run_tessaly(bench.plain, palette, settings, source, keep_as=plain_output)
                if not filecmp.cmp(fast_output, plain_output, shallow=False):
                    differing.append("%s/%s" % (os.path.basename(source), name))
        if differing:
            fail("fast and plain differ for %s on %s" % (label, ", ".join(differing)))
        else:
            passed += 1
            print("  PASS  %s" % label, flush=True)
    for path in (fast_output, plain_output):
        if os.path.exists(path):
            os.remove(path)
    return passed


MADE_PHOTOS = ("chelsea", "coffee", "astronaut")
MADE_SETTINGS = ["-d", "0.95"]  # what the README recommends with a made palette
IMAGEMAGICK = "/usr/bin/convert"


def score(perceptual, original, dithered):
    """The blurred perceptual error (mean dE) of one output against its original."""
    result = subprocess.run([sys.executable, perceptual, original, dithered], capture_output=True, text=True)
    if result.returncode != 0 or "mean=" not in result.stdout:
        raise Failure("%s failed on %s: %s" % (perceptual, dithered, result.stderr.strip()[-800:]))
    return float(result.stdout.split("mean=")[1].split()[0])


def made_palettes(bench, targets):
    """Section 6: -p auto:N against pngquant (--speed 1) and ImageMagick
    (-colors N) at 16 and 256 colours on the camera photographs at about one
    megapixel, scored by the blurred perceptual error; then the large photo
    with auto:16 and pngquant in turn, timed."""
    perceptual = bench.options.perceptual
    if not os.path.exists(perceptual):
        raise Failure("%s is missing (--perceptual names the scoring script)" % perceptual)
    size = bench.options.made_size
    print("== palettes made for the picture, %s PNG, tessaly -p auto:N %s against pngquant --speed 1 and ImageMagick -colors N, blurred perceptual error (lower is better) ==" % (size_name(size), " ".join(MADE_SETTINGS)), flush=True)
    output = os.path.join(bench.scratch, "made.png")
    peers = {
        "pngquant": lambda n, source: ["pngquant", "--speed", "1", "--force", "--output", output, str(n), source],
        "ImageMagick": lambda n, source: [IMAGEMAGICK, source, "-colors", str(n), output],
    }
    rows = []
    for photo in MADE_PHOTOS:
        source = bench.camera(photo, size, "png")
        for n in (16, 256):
            scores = {}
            bench.run_tessaly(bench.tessaly, "auto:%d" % n, MADE_SETTINGS, source, keep_as=output)
            check_decodes(output, size)
            scores["tessaly"] = score(perceptual, source, output)
            for peer, argv in peers.items():
                result = measure(argv(n, source), bench.scratch, os.path.join(bench.build, "last_run.log"))
                if result.status != 0 or not os.path.exists(output):
                    raise Failure("%s failed (%d):\n%s" % (peer, result.status, result.output_text[-2000:]))
                scores[peer] = score(perceptual, source, output)
            os.remove(output)
            rows.append([photo, n, "%.3f" % scores["tessaly"], "%.3f" % scores["pngquant"], "%.3f" % scores["ImageMagick"]])
            best_peer = min(scores["pngquant"], scores["ImageMagick"])
            targets.add("auto:%d error below pngquant's and ImageMagick's (%s)" % (n, photo),
                        "%.3f against %.3f" % (scores["tessaly"], best_peer), scores["tessaly"] < best_peer)
    print_table(["photo", "colours", "tessaly auto", "pngquant", "ImageMagick"], rows)

    large = bench.camera("chelsea", bench.options.size, "png")
    print("== -p auto:16 %s against pngquant --speed 1 16, chelsea %s PNG, %d run(s) each, in turn ==" % (" ".join(MADE_SETTINGS), size_name(bench.options.size), bench.options.repeats), flush=True)
    runs = {"tessaly": [], "pngquant": []}
    for _ in range(bench.options.repeats):
        runs["tessaly"].append(bench.run_tessaly(bench.tessaly, "auto:16", MADE_SETTINGS, large))
        result = measure(peers["pngquant"](16, large), bench.scratch, os.path.join(bench.build, "last_run.log"))
        if result.status != 0:
            raise Failure("pngquant failed (%d):\n%s" % (result.status, result.output_text[-2000:]))
        runs["pngquant"].append(result)
    if os.path.exists(output):
        os.remove(output)
    walls = {who: statistics.median(r.wall for r in runs[who]) for who in runs}
    print_table(["program", "wall med", "wall best", "CPU med", "peak MB"],
                [[who, seconds(walls[who]), seconds(min(r.wall for r in runs[who])),
                  seconds(statistics.median(r.cpu for r in runs[who])), megabytes(max(r.peak_bytes for r in runs[who]))]
                 for who in runs])
    targets.add("auto:16 wall below pngquant --speed 1's (%s)" % size_name(bench.options.size),
                "%s against %s" % (seconds(walls["tessaly"]), seconds(walls["pngquant"])), walls["tessaly"] < walls["pngquant"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default="build-bench", help="where the programs are built and the data cached")
    parser.add_argument("--quick", action="store_true", help="measure the plain path on the smaller photo (--quick-size)")
    parser.add_argument("--check", action="store_true", help="only the equivalence check of fast and plain (a few minutes)")
    parser.add_argument("--small", action="store_true", help="only the palettes of a few colours against Pillow")
    parser.add_argument("--repeats", type=int, default=3, help="runs of each timed measurement (default 3)")
    parser.add_argument("--size", type=parse_size, default=(4000, 3000), help="the large photo (default 4000x3000)")
    parser.add_argument("--quick-size", type=parse_size, default=(2000, 1500), help="the photo of --quick's plain runs (default 2000x1500)")
    parser.add_argument("--combo-size", type=parse_size, default=(2000, 1500), help="the photo of the combinations (default 2000x1500)")
    parser.add_argument("--check-size", type=parse_size, default=(300, 200), help="the images of the equivalence check (default 300x200)")
    parser.add_argument("--photos", required=True, help="the folder of the camera photographs (bench/run fills it)")
    parser.add_argument("--palettes", required=True, help="the project's palettes folder (bench/run names it)")
    parser.add_argument("--made-palettes", action="store_true", help="only the palettes made for the picture against pngquant and ImageMagick")
    parser.add_argument("--made-size", type=parse_size, default=(1155, 866), help="the photos scored with made palettes (default 1155x866)")
    parser.add_argument("--perceptual", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "tools", "perceptual.py"),
                        help="the scoring script: original and output in, mean=... out")
    parser.add_argument("--baseline", help="a tessaly built from an earlier commit, measured in turn with this one")
    parser.add_argument("--baseline-name", default="baseline", help="what to call it")
    options = parser.parse_args()
    if options.repeats < 1:
        parser.error("--repeats must be at least 1")

    try:
        print(machine_line())
        floor = memory_floor()
        print("(peak memory is the kernel's figure for the whole process; no child reads below %.1f MB here, the harness's own"
              " peak, so a figure marked <= may be less)\n" % (floor / 2**20), flush=True)
        bench = Bench(options)
        targets = Targets()
        if options.check:
            equivalence(bench)
            return report_failures()
        if options.made_palettes:
            made_palettes(bench, targets)
        elif options.small:
            small_palettes(bench, targets)
        else:
            measure_everything(bench, targets)
    except Failure as failure:
        fail(str(failure))
        print("\nbenchmark stopped: a run failed")
        return 1

    print("== targets ==")
    print_table(["target", "measured", ""], [list(row) for row in targets.rows])
    return report_failures()


def measure_everything(bench, targets):
    """The whole benchmark, section by section."""
    options = bench.options
    print("inputs (cached in %s):" % bench.data, flush=True)
    for image in IMAGES:
        for extension in ("ppm", "png"):
            bench.image(image, options.size, extension)
        bench.palette("adapted", image)
    for name in ("cube332", "cga"):
        bench.palette(name)
    print(flush=True)
    against_pillow(bench, targets)
    small_palettes(bench, targets)
    seven_channel_memory(bench, targets)
    compression(bench, targets)
    against_plain(bench, targets)
    combinations(bench, targets)
    windows_against_floyd(bench, targets)
    made_palettes(bench, targets)
    equivalence(bench)


def report_failures():
    if failures:
        print("FAIL: %d correctness failure(s):" % len(failures))
        for message in failures:
            print("  " + message)
        return 1
    print("all runs succeeded and every fast output matched the plain one")
    return 0


if __name__ == "__main__":
    sys.exit(main())
