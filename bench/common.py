"""What the benchmark scripts share: fair timing, the figure lines, test images.

Every script measures a variant of the toolkit against its reference in the
same process, on the same files and threads. The variants are timed in turn,
the order rotating from round to round, and each keeps its best round: on a
busy machine every variant then suffers the same interference, and the ratio
of the best rounds is what a quiet machine would show.

A script ends by printing one line per figure:

    figure <name> <ratio> <op> <target> held|MISSED

which ``bench/run`` collects.
"""

import argparse
import os
import shutil
import time

import numpy as np

# Silence TensorFlow's start-up chatter before any script imports it.
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")

_COMPARISONS = {"<=": lambda ratio, target: ratio <= target, ">=": lambda ratio, target: ratio >= target}


def report(name, ratio, op, target):
    """Prints one figure line; `op` is ">=" (at least the target) or "<=" (at most)."""
    held = _COMPARISONS[op](ratio, target)
    print(f"figure {name} {ratio:.3f} {op} {target:g} {'held' if held else 'MISSED'}", flush=True)
    return held


def say(text):
    """A detail line (rates, sizes), shown next to the figures."""
    print(text, flush=True)


def arguments(description, size, default, size_help, rounds, quick):
    """The options every benchmark takes: its size (`--<size>`, e.g. --images),
    --rounds and --quick, which sets the (size, rounds) pair `quick`."""
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(f"--{size}", type=int, default=default, help=size_help)
    parser.add_argument("--rounds", type=int, default=rounds, help="timed rounds of each variant")
    parser.add_argument("--quick", action="store_true", help=f"{quick[0]:,} {size}, {quick[1]} round(s)")
    args = parser.parse_args()
    if args.quick:
        setattr(args, size, quick[0])
        args.rounds = quick[1]
    return args


def best_of(runs, rounds, warmup=1):
    """Times each callable of `runs` (name -> callable) `rounds` times, in rotating order.

    Each callable returns the amount of work it did (images, steps); a run whose
    amount differs from its first run's is an error. Returns name -> the shortest
    time in seconds and name -> the amount of work, after `warmup` untimed rounds.
    """
    names = list(runs)
    work = {}
    for _ in range(warmup):
        for name in names:
            work[name] = runs[name]()
    best = {name: float("inf") for name in names}
    for round_number in range(rounds):
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            started = time.perf_counter()
            amount = runs[name]()
            seconds = time.perf_counter() - started
            if name in work and amount != work[name]:
                raise RuntimeError(f"{name}: a round did {amount} units of work, the first {work[name]}")
            work[name] = amount
            best[name] = min(best[name], seconds)
    return best, work


def images_in(pipeline):
    """Runs through a training pipeline once; returns the number of images its batches held."""
    return sum(int((batch[0] if isinstance(batch, tuple) else batch).shape[0]) for batch in pipeline)


def load_average():
    return os.getloadavg()[0]


def rates(seconds, counts):
    """Units of work per second of each variant, from what `best_of` returns."""
    return {name: counts[name] / seconds[name] for name in seconds}


def image_rates(heading, seconds, counts, figures):
    """`results` of variants that each load images (what `best_of` returns), as images per second."""
    results(heading, rates(seconds, counts), lambda name, rate: f"{rate:8.1f} images/s", figures)


def results(heading, measures, line, figures):
    """Prints what a run found: `heading` with the machine's load average, per variant of `measures`
    (name -> its measure) the name and `line(name, measure)`, then one figure line per
    (name, numerator, denominator, op, target) of `figures`: the ratio of two variants' measures."""
    say(f"{heading}, load average {load_average():.1f}")
    width = max(map(len, measures))
    for name, measure in measures.items():
        say(f"  {name:{width}s} {line(name, measure)}")
    for name, numerator, denominator, op, target in figures:
        report(name, measures[numerator] / measures[denominator], op, target)


def write_darknet_files(root, count, seed, box, labels=3, height=480, width=640, distinct=None):
    """`count` photo-like JPEGs (see `write_jpegs`) under root/images with Darknet label files under
    root/labels: one row per label 0 .. `labels` - 1, its centre and size `box(rng)` (four numbers).
    Returns the description of a Darknet dataset that trains and validates on them."""
    images = os.path.join(root, "images")
    annotations = os.path.join(root, "labels")
    os.makedirs(annotations)
    rng = np.random.default_rng(seed)
    for stem in write_jpegs(images, count, height, width, distinct=distinct):
        with open(os.path.join(annotations, stem + ".txt"), "w") as file:
            for label in range(labels):
                file.write(f"{label} " + " ".join(f"{value:.6f}" for value in box(rng)) + "\n")
    return darknet_description(images, annotations, labels)


def darknet_description(images, annotations, labels=3):
    """The description of a Darknet dataset with `labels` classes that trains and validates on the same files."""
    split = {"images": images, "annotations": annotations}
    return {"classes": [f"class{label}" for label in range(labels)], "train": split, "validation": dict(split)}


def cores():
    """Cores this process may run on (what thread pools should be sized to)."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1


def photo_like_pixels(index, height, width, rng):
    """A height x width x 3 uint8 image with gradients and noise, which compresses like a photo."""
    rows, cols = np.mgrid[0:height, 0:width]
    base = np.stack([(cols * (index % 7 + 1)) % 256, (rows * 2 + index) % 256, ((cols + rows) // 3) % 256], -1)
    return np.clip(base + rng.normal(0, 12, base.shape), 0, 255).astype(np.uint8)


def decode_rgb(path):
    """The image file as an HxWx3 uint8 array, decoded by Pillow as a careful caller would
    (no conversion, and so no copy, of an image that already is RGB)."""
    from PIL import Image

    with Image.open(path) as image:
        if image.mode != "RGB":
            return np.asarray(image.convert("RGB"))
        return np.asarray(image)


def write_jpegs(folder, count, height=480, width=640, quality=90, seed=0, distinct=None):
    """Writes `count` photo-like JPEGs 00000.jpg, 00001.jpg, ... into `folder`; returns their stems.

    With `distinct`, only that many different images are made and the rest
    are copies of them (quicker to write; decoding costs the same).
    """
    from PIL import Image

    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(seed)
    stems = []
    for index in range(count):
        stem = f"{index:05d}"
        path = os.path.join(folder, stem + ".jpg")
        if distinct and index >= distinct:
            shutil.copyfile(os.path.join(folder, stems[index % distinct] + ".jpg"), path)
        else:
            Image.fromarray(photo_like_pixels(index, height, width, rng)).save(path, quality=quality)
        stems.append(stem)
    return stems
