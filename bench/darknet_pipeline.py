"""Throughput of the Darknet training pipeline, in images per second.

Generates 640x480 JPEGs with annotation files into a temporary folder and
measures, in one run and on the same files:

  pipeline   DarknetDataset.build_train_iterator (letterbox to 640x640, batch 16);
  limit      decoding (Pillow) and letterboxing the files alone, in a thread
             pool as large as the machine's cores: the practical limit of the
             same libraries;
  tf_ops     a pipeline of TensorFlow's own ops (tf.io.decode_image,
             tf.image.resize_with_pad), batch 16.

Figures: pipeline / limit (target >= 0.9) and pipeline / tf_ops (>= 1.0).

    PYTHONPATH=python python bench/darknet_pipeline.py [--images 512] [--rounds 5] [--quick]
"""

import tempfile
from concurrent.futures import ThreadPoolExecutor

import common  # noqa: F401  (quiets TensorFlow first)
import tensorflow as tf  # noqa: E402
from quillon.forgeline.datasets.darknet import DarknetDataset  # noqa: E402
from quillon.forgeline.datasets.utils import letterbox  # noqa: E402

HEIGHT, WIDTH = 480, 640
OUTPUT = [640, 640, 3]
BATCH = 16


def limit_pass(paths, pool):
    def decode_and_letterbox(path):
        return letterbox(common.decode_rgb(path), OUTPUT[:2], auto=False)[0]

    return sum(1 for _ in pool.map(decode_and_letterbox, paths))


def tf_ops_iterator(paths):
    def load(path):
        image = tf.io.decode_image(tf.io.read_file(path), channels=3, expand_animations=False)
        return tf.image.resize_with_pad(image, OUTPUT[0], OUTPUT[1])

    dataset = tf.data.Dataset.from_tensor_slices(paths).shuffle(len(paths))
    dataset = dataset.map(load, num_parallel_calls=tf.data.AUTOTUNE, deterministic=False)
    return dataset.batch(BATCH).prefetch(tf.data.AUTOTUNE)


def main():
    args = common.arguments(__doc__, "images", 512, "number of generated images", 5, (64, 2))
    workers = common.cores()

    with tempfile.TemporaryDirectory() as root:
        # Three boxes an image.
        description = common.write_darknet_files(
            root, args.images, 1, lambda rng: rng.uniform(0.1, 0.5, 4), height=HEIGHT, width=WIDTH, distinct=128
        )
        dataset = DarknetDataset(description, OUTPUT, letter_box=True, add_bkg_class=True)
        paths = [entry[0] for entry in dataset.train_storage]
        pipeline = dataset.build_train_iterator(BATCH)
        tf_ops = tf_ops_iterator(paths)

        with ThreadPoolExecutor(max_workers=workers) as pool:
            seconds, counts = common.best_of(
                {
                    "pipeline": lambda: common.images_in(pipeline),
                    "limit": lambda: limit_pass(paths, pool),
                    "tf_ops": lambda: common.images_in(tf_ops),
                },
                args.rounds,
            )
    common.image_rates(
        f"darknet pipeline: {len(paths)} JPEG {WIDTH}x{HEIGHT} -> {OUTPUT[1]}x{OUTPUT[0]}, batch {BATCH}, "
        f"{workers} threads, best of {args.rounds}",
        seconds,
        counts,
        [
            ("darknet_pipeline/limit", "pipeline", "limit", ">=", 0.9),
            ("darknet_pipeline/tf_ops", "pipeline", "tf_ops", ">=", 1.0),
        ],
    )


if __name__ == "__main__":
    main()
