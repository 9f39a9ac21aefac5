"""Pairing images with annotation files: DarknetDataset's load_storage against plain Python.

Creates 100,000 empty image files (JPG, PNG and JPEG) and as many annotation
files, half in a training and half in a validation folder pair, and
measures, in one run:

  load_storage  DarknetDataset.load_storage() on both splits (progress bars on);
  python        a plain Python loop doing the same pairing: glob.glob for each
                pattern, then os.path.exists for each image's annotation file.

Figure: python / load_storage (target >= 1.0: load_storage at least as fast).

    PYTHONPATH=python python bench/load_storage.py [--files 100000] [--rounds 5] [--quick]
"""

import contextlib
import glob
import os
import tempfile
from os.path import basename, exists, join, splitext

import common  # noqa: F401  (quiets TensorFlow first)
from quillon.forgeline.datasets.darknet import DarknetDataset  # noqa: E402

PATTERNS = ("*.[pP][nN][gG]", "*.[jJ][pP][gG]", "*.[jJ][pP][eE][gG]")
EXTENSIONS = (".jpg", ".png", ".JPEG", ".jpg")


def write_split(root, name, count):
    """`count` empty images with empty annotation files; one image in 50 has none."""
    images = os.path.join(root, name, "images")
    annotations = os.path.join(root, name, "labels")
    os.makedirs(images)
    os.makedirs(annotations)
    for index in range(count):
        stem = f"{name}_{index:06d}"
        open(join(images, stem + EXTENSIONS[index % len(EXTENSIONS)]), "w").close()
        if index % 50:
            open(join(annotations, stem + ".txt"), "w").close()
    return images, annotations


def python_pairing(folders):
    """The pairing written as a plain Python loop; returns the number of samples."""
    count = 0
    for images_folder, annotations_folder in folders:
        images = []
        for pattern in PATTERNS:
            images += glob.glob(join(glob.escape(images_folder), pattern))
        storage = []
        for image in images:
            annotation = join(annotations_folder, splitext(basename(image))[0] + ".txt")
            if exists(annotation):
                storage.append([image, annotation])
        count += len(storage)
    return count


def main():
    args = common.arguments(__doc__, "files", 100_000, "image files (and as many annotation files)", 5, (20_000, 2))

    with tempfile.TemporaryDirectory() as root:
        train = write_split(root, "train", args.files // 2)
        validation = write_split(root, "validation", args.files - args.files // 2)
        description = {
            "classes": ["object"],
            "train": dict(zip(("images", "annotations"), train)),
            "validation": dict(zip(("images", "annotations"), validation)),
        }
        with open(os.devnull, "w") as bars, contextlib.redirect_stderr(bars):
            dataset = DarknetDataset(description, [64, 64, 3])

            def load_storage():
                dataset.train_storage.clear()
                dataset.val_storage.clear()
                dataset.load_storage()
                return dataset.num_train_samples + dataset.num_val_samples

            seconds, counts = common.best_of(
                {"load_storage": load_storage, "python": lambda: python_pairing([train, validation])}, args.rounds
            )
    if counts["load_storage"] != counts["python"]:
        raise RuntimeError(f"load_storage paired {counts['load_storage']} samples, the Python loop {counts['python']}")

    common.results(
        f"load_storage: {args.files} images, {counts['python']} with an annotation file, best of {args.rounds}",
        seconds,
        lambda name, time: f"{time:6.3f} s",
        [("load_storage/python", "python", "load_storage", ">=", 1.0)],
    )


if __name__ == "__main__":
    main()
