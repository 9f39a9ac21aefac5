"""Throughput of the Darknet training pipeline on photographs of mixed sizes, in images per second.

Builds photo-like data from the photographs that scikit-learn and matplotlib
ship (cropped at random, scaled to 640x480 .. 1920x1080, some portrait, with
a little sensor-like noise, saved as JPEG of quality 80 to 95, one in sixteen
as PNG) and measures, in one run and on the same files, for letterboxing to
320x320 and to 640x640:

  pipeline   DarknetDataset.build_train_iterator with reduced_decode=True
             (batch 16);
  augmented  the pipeline with geometric augmentation: mosaic and affine,
             each on half the samples (as the other augmentations' usual
             frequency of 0.5); augmented_all: on every sample, the most
             they cost, shown for comparison;
  full       the same pipeline decoding every image at full size (the
             default), shown for comparison;
  limit      decoding every image at full size (OpenCV, which needs no GIL)
             and letterboxing it, in a thread pool as large as the machine's
             cores: the practical limit of a full-size decode;
  tf_ops     a pipeline of TensorFlow's own ops (tf.io.decode_image,
             tf.image.resize_with_pad, AUTOTUNE), batch 16.

Figures: pipeline / tf_ops (target >= 1.5 at 320, >= 1.2 at 640) and
pipeline / limit (>= 1.0 at both sizes), augmented / limit (>= 0.9 at
both sizes). The detail lines also give the CPU
time each variant spends per image (all its threads, best pass): on a
machine that other work keeps busy, a variant with more threads than cores
gets a larger share of it, and the rates then favour it.

    PYTHONPATH=python python bench/photo_pipeline.py [--images 256] [--rounds 5] [--quick]
"""

import os
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import common  # noqa: F401  (quiets TensorFlow first)
import cv2  # noqa: E402
import matplotlib  # noqa: E402
import numpy as np  # noqa: E402
import sklearn  # noqa: E402
import tensorflow as tf  # noqa: E402
from PIL import Image  # noqa: E402
from quillon.forgeline.datasets.darknet import DarknetDataset  # noqa: E402
from quillon.forgeline.datasets.utils import letterbox  # noqa: E402

SIZES = [(640, 480), (800, 600), (1024, 768), (1280, 720), (1280, 960), (1600, 900), (1920, 1080)]  # width, height
PORTRAIT_EVERY = 6
PNG_EVERY = 16
TARGETS = {320: (1.5, 1.0), 640: (1.2, 1.0)}  # letterbox size: (vs tf_ops, vs limit)
AUGMENTED_TARGET = 0.9  # augmented vs limit, both sizes
GEOMETRIC = {"mosaic": 0.5, "affine": 0.5}
GEOMETRIC_ALL = {"mosaic": 1.0, "affine": 1.0}
BATCH = 16


def source_photographs():
    """The photographs the installed packages ship, as RGB arrays."""
    sklearn_images = os.path.join(os.path.dirname(sklearn.__file__), "datasets", "images")
    matplotlib_images = os.path.join(matplotlib.get_data_path(), "sample_data")
    paths = [
        os.path.join(sklearn_images, "china.jpg"),
        os.path.join(sklearn_images, "flower.jpg"),
        os.path.join(matplotlib_images, "grace_hopper.jpg"),
    ]
    return [common.decode_rgb(path) for path in paths]


def write_dataset(root, count):
    """`count` photo-like images of mixed sizes with annotation files (three boxes each)."""
    images = os.path.join(root, "images")
    annotations = os.path.join(root, "labels")
    os.makedirs(images)
    os.makedirs(annotations)
    rng = np.random.default_rng(3)
    sources = source_photographs()
    for index in range(count):
        width, height = SIZES[rng.integers(len(SIZES))]
        if index % PORTRAIT_EVERY == PORTRAIT_EVERY - 1:
            width, height = height, width
        source = sources[index % len(sources)]
        # A random window of the output's aspect ratio, 60 to 100 % of the largest one.
        source_h, source_w = source.shape[:2]
        crop_w = int(min(source_w, source_h * width / height) * rng.uniform(0.6, 1.0))
        crop_h = int(crop_w * height / width)
        x, y = rng.integers(0, source_w - crop_w + 1), rng.integers(0, source_h - crop_h + 1)
        pixels = cv2.resize(source[y : y + crop_h, x : x + crop_w], (width, height), interpolation=cv2.INTER_CUBIC)
        pixels = np.clip(pixels + rng.normal(0, 4, pixels.shape), 0, 255).astype(np.uint8)
        stem = f"{index:05d}"
        if index % PNG_EVERY == PNG_EVERY - 1:
            Image.fromarray(pixels).save(os.path.join(images, stem + ".png"))
        else:
            Image.fromarray(pixels).save(os.path.join(images, stem + ".jpg"), quality=int(rng.integers(80, 96)))
        with open(os.path.join(annotations, stem + ".txt"), "w") as file:
            for label, box in zip(rng.integers(0, 3, 3), rng.uniform(0.1, 0.5, (3, 4))):
                file.write(f"{label} {box[0]:.6f} {box[1]:.6f} {box[2]:.6f} {box[3]:.6f}\n")
    return images, annotations


def limit_pass(paths, size, pool):
    def decode_and_letterbox(path):
        return letterbox(cv2.imread(path, cv2.IMREAD_COLOR_RGB), (size, size), auto=False)[0]

    return sum(1 for _ in pool.map(decode_and_letterbox, paths))


def tf_ops_iterator(paths, size):
    def load(path):
        image = tf.io.decode_image(tf.io.read_file(path), channels=3, expand_animations=False)
        return tf.image.resize_with_pad(image, size, size)

    dataset = tf.data.Dataset.from_tensor_slices(paths).shuffle(len(paths))
    dataset = dataset.map(load, num_parallel_calls=tf.data.AUTOTUNE, deterministic=False)
    return dataset.batch(BATCH).prefetch(tf.data.AUTOTUNE)


def with_cpu_time(run, cpu_seconds, name):
    """`run`, noting the shortest CPU time (of the whole process) that a call of it took."""

    def timed():
        started = time.process_time()
        amount = run()
        cpu_seconds[name] = min(cpu_seconds.get(name, float("inf")), time.process_time() - started)
        return amount

    return timed


def main():
    args = common.arguments(__doc__, "images", 256, "number of generated images", 5, (64, 2))
    workers = common.cores()

    with tempfile.TemporaryDirectory() as root:
        description = common.darknet_description(*write_dataset(root, args.images))
        runs = {}
        with ThreadPoolExecutor(max_workers=workers) as pool:
            for size in TARGETS:
                shape = [size, size, 3]
                reduced = DarknetDataset(dict(description), shape, reduced_decode=True)
                augmented = DarknetDataset(dict(description), shape, reduced_decode=True, aug_cfg=GEOMETRIC)
                augmented_all = DarknetDataset(dict(description), shape, reduced_decode=True, aug_cfg=GEOMETRIC_ALL)
                full = DarknetDataset(dict(description), shape)
                paths = [entry[0] for entry in reduced.train_storage]
                variants = {
                    "pipeline": reduced.build_train_iterator(BATCH),
                    "augmented": augmented.build_train_iterator(BATCH),
                    "augmented_all": augmented_all.build_train_iterator(BATCH),
                    "full": full.build_train_iterator(BATCH),
                    "tf_ops": tf_ops_iterator(paths, size),
                }
                for name, iterator in variants.items():
                    runs[f"{name}_{size}"] = lambda iterator=iterator: common.images_in(iterator)
                runs[f"limit_{size}"] = lambda size=size: limit_pass(paths, size, pool)
            cpu_seconds = {}
            runs = {name: with_cpu_time(run, cpu_seconds, name) for name, run in runs.items()}
            seconds, counts = common.best_of(runs, args.rounds)
    rates = common.rates(seconds, counts)

    jpegs = args.images - args.images // PNG_EVERY
    common.results(
        f"photo pipeline: {jpegs} JPEG and {args.images - jpegs} PNG, 640x480 .. 1920x1080, batch {BATCH}, "
        f"{workers} threads, best of {args.rounds}",
        rates,
        lambda name, rate: f"{rate:8.1f} images/s  {1000 * cpu_seconds[name] / counts[name]:6.2f} ms CPU per image",
        [
            figure
            for size, (tf_ops_target, limit_target) in TARGETS.items()
            for figure in (
                (f"photo_pipeline/tf_ops_{size}", f"pipeline_{size}", f"tf_ops_{size}", ">=", tf_ops_target),
                (f"photo_pipeline/limit_{size}", f"pipeline_{size}", f"limit_{size}", ">=", limit_target),
                (f"photo_pipeline/augmented_{size}", f"augmented_{size}", f"limit_{size}", ">=", AUGMENTED_TARGET),
            )
        ],
    )


if __name__ == "__main__":
    main()
