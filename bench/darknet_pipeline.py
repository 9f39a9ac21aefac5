"""Throughput of the Darknet training pipeline, in images per second.

Generates 640x480 JPEGs with annotation files into a temporary folder and
measures, in one run and on the same files:

  pipeline   DarknetDataset.build_train_iterator (letterbox to 640x640, batch 16);
  limit      decoding (Pillow) and letterboxing the files alone, in a thread
             pool as large as the machine's cores: the practical limit of the
             same libraries;
  tf_ops     a pipeline of TensorFlow's own ops (tf.io.decode_image,
             tf.image.resize_with_pad), batch 16.

Each is measured --repeats times in turn and the best pass is kept, so that a
busy machine penalises all three alike. Prints the ratios of pipeline to the
other two.

    PYTHONPATH=python python bench/darknet_pipeline.py [--images 256] [--repeats 5]
"""

import argparse
import os
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402
from PIL import Image  # noqa: E402

from quillon.forgeline.datasets.darknet import DarknetDataset  # noqa: E402
from quillon.forgeline.datasets.utils import letterbox  # noqa: E402

HEIGHT, WIDTH = 480, 640
OUTPUT = [640, 640, 3]
BATCH = 16


def write_dataset(root, count):
    """Writes `count` photo-like JPEGs (gradients plus noise) and their annotation files."""
    images = os.path.join(root, "images")
    annotations = os.path.join(root, "labels")
    os.makedirs(images)
    os.makedirs(annotations)
    rng = np.random.default_rng(0)
    rows, cols = np.mgrid[0:HEIGHT, 0:WIDTH]
    for index in range(count):
        base = np.stack([(cols * (index % 7 + 1)) % 256, (rows * 2 + index) % 256, ((cols + rows) // 3) % 256], -1)
        pixels = np.clip(base + rng.normal(0, 12, base.shape), 0, 255).astype(np.uint8)
        Image.fromarray(pixels).save(os.path.join(images, f"{index:05d}.jpg"), quality=90)
        boxes = rng.uniform(0.1, 0.5, (3, 4))
        with open(os.path.join(annotations, f"{index:05d}.txt"), "w") as file:
            for label, box in zip(rng.integers(0, 3, 3), boxes):
                file.write(f"{label} {box[0]:.6f} {box[1]:.6f} {box[2]:.6f} {box[3]:.6f}\n")
    return images, annotations


def pipeline_pass(iterator):
    count = 0
    for batch in iterator:
        images = batch[0] if isinstance(batch, tuple) else batch
        count += int(images.shape[0])
    return count


def limit_pass(paths, pool):
    def decode_and_letterbox(path):
        with Image.open(path) as image:
            pixels = np.asarray(image.convert("RGB"))
        return letterbox(pixels, OUTPUT[:2], auto=False)[0]

    return sum(1 for _ in pool.map(decode_and_letterbox, paths))


def tf_ops_iterator(paths):
    def load(path):
        image = tf.io.decode_image(tf.io.read_file(path), channels=3, expand_animations=False)
        return tf.image.resize_with_pad(image, OUTPUT[0], OUTPUT[1])

    dataset = tf.data.Dataset.from_tensor_slices(paths).shuffle(len(paths))
    dataset = dataset.map(load, num_parallel_calls=tf.data.AUTOTUNE, deterministic=False)
    return dataset.batch(BATCH).prefetch(tf.data.AUTOTUNE)


def timed_rate(run, count_expected):
    start = time.perf_counter()
    count = run()
    seconds = time.perf_counter() - start
    if count != count_expected:
        raise RuntimeError(f"a pass yielded {count} images, expected {count_expected}")
    return count / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--images", type=int, default=256, help="number of generated images")
    parser.add_argument("--repeats", type=int, default=5, help="timed passes of each pipeline")
    args = parser.parse_args()
    workers = os.cpu_count()

    with tempfile.TemporaryDirectory() as root:
        images, annotations = write_dataset(root, args.images)
        description = {
            "classes": ["a", "b", "c"],
            "train": {"images": images, "annotations": annotations},
            "validation": {"images": images, "annotations": annotations},
        }
        dataset = DarknetDataset(description, OUTPUT, letter_box=True, add_bkg_class=True)
        paths = [entry[0] for entry in dataset.train_storage]
        pipeline = dataset.build_train_iterator(BATCH)
        tf_ops = tf_ops_iterator(paths)

        with ThreadPoolExecutor(max_workers=workers) as pool:
            runs = {
                "pipeline": lambda: pipeline_pass(pipeline),
                "limit": lambda: limit_pass(paths, pool),
                "tf_ops": lambda: pipeline_pass(tf_ops),
            }
            for run in runs.values():  # warm-up: tracing, thread start-up, file cache
                run()
            rates = {name: 0.0 for name in runs}
            for _ in range(args.repeats):
                for name, run in runs.items():
                    rates[name] = max(rates[name], timed_rate(run, len(paths)))

    print(f"images: {len(paths)} JPEG {WIDTH}x{HEIGHT} -> {OUTPUT[1]}x{OUTPUT[0]}, batch {BATCH}, "
          f"{workers} cores, best of {args.repeats}, load average {os.getloadavg()[0]:.1f}")
    for name, rate in rates.items():
        print(f"  {name:9s} {rate:8.1f} images/s")
    to_limit = rates["pipeline"] / rates["limit"]
    to_tf = rates["pipeline"] / rates["tf_ops"]
    print(f"pipeline / limit  = {to_limit:.3f}  (>= 0.9: {to_limit >= 0.9})")
    print(f"pipeline / tf_ops = {to_tf:.3f}  (>= 1.0: {to_tf >= 1.0})")


if __name__ == "__main__":
    main()
