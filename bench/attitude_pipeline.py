"""Throughput of the head-pose (attitude) training pipelines, in images per second.

Generates 640x480 JPEGs with MATLAB pose files (as 300W-LP has them) and
JSON face annotations into a temporary folder and measures, in one run and on
the same files:

  mat        AttitudeDataset.build_train_iterator (whole image resized to
             224x224, batch 16);
  mat_limit  decoding (Pillow) and resizing (OpenCV) the same images alone,
             in a thread pool as large as the machine's cores;
  json       AttitudeDatasetJson.build_train_iterator (the face crop resized
             to 224x224, batch 16);
  json_limit decoding, cropping the same face box and resizing, in the same
             thread pool.

The limits do the image work only, as the practical limit of the same
libraries; the pipelines also read every annotation file.

Figures: mat / mat_limit and json / json_limit (target >= 0.9 each).

    PYTHONPATH=python python bench/attitude_pipeline.py [--images 512] [--rounds 5] [--quick]
"""

import json
import os
import tempfile
from concurrent.futures import ThreadPoolExecutor

import common  # noqa: F401  (quiets TensorFlow first)
import cv2  # noqa: E402
import numpy as np  # noqa: E402
import scipy.io  # noqa: E402
from quillon.forgeline.datasets.attitude import AttitudeDataset, AttitudeDatasetJson  # noqa: E402

HEIGHT, WIDTH = 480, 640
SHAPE = [224, 224, 3]
BATCH = 16


def write_dataset(root, count):
    """JPEGs plus, for each, a MATLAB pose file and a JSON face annotation. Returns the folders and face boxes."""
    images = os.path.join(root, "images")
    mat_folder = os.path.join(root, "mat")
    json_folder = os.path.join(root, "json")
    os.makedirs(mat_folder)
    os.makedirs(json_folder)
    rng = np.random.default_rng(2)
    boxes = {}
    for stem in common.write_jpegs(images, count, HEIGHT, WIDTH, distinct=128):
        pose = rng.uniform(-0.8, 0.8, 3)
        # The variables of a 300W-LP file; the loader reads two of them.
        scipy.io.savemat(
            os.path.join(mat_folder, stem + ".mat"),
            {
                "Pose_Para": np.concatenate([pose, rng.uniform(0, 1, 4)])[np.newaxis],
                "pt2d": rng.uniform(0, WIDTH, (2, 68)),
                "pt3d_68": rng.uniform(0, WIDTH, (3, 68)),
                "Shape_Para": rng.normal(0, 1, (199, 1)),
                "Exp_Para": rng.normal(0, 1, (29, 1)),
                "Color_Para": rng.uniform(0, 1, (1, 7)),
                "Illum_Para": rng.uniform(0, 1, (1, 10)),
                "Tex_Para": rng.normal(0, 1, (199, 1)),
                "roi": rng.uniform(0, WIDTH, (1, 4)),
            },
        )
        box = [float(v) for v in (*rng.uniform(0.4, 0.6, 2), *rng.uniform(0.3, 0.5, 2))] + [0.0]
        with open(os.path.join(json_folder, stem + ".json"), "w") as file:
            json.dump({"boxes": [box], "angles": [list(pose)]}, file)
        boxes[os.path.join(images, stem + ".jpg")] = box
    return images, mat_folder, json_folder, boxes


def whole_image_limit(paths, pool):
    def load(path):
        return cv2.resize(common.decode_rgb(path), (SHAPE[1], SHAPE[0]))

    return sum(1 for _ in pool.map(load, paths))


def face_crop_limit(paths, boxes, pool):
    def load(path):
        pixels = common.decode_rgb(path)
        height, width = pixels.shape[:2]
        cx, cy, bw, bh, _ = boxes[path]
        x1, y1 = int((cx - bw / 2) * width), int((cy - bh / 2) * height)
        x2, y2 = int((cx + bw / 2) * width), int((cy + bh / 2) * height)
        return cv2.resize(pixels[y1:y2, x1:x2], (SHAPE[1], SHAPE[0]))

    return sum(1 for _ in pool.map(load, paths))


def main():
    args = common.arguments(__doc__, "images", 512, "number of generated images", 5, (64, 2))
    workers = common.cores()

    with tempfile.TemporaryDirectory() as root:
        images, mat_folder, json_folder, boxes = write_dataset(root, args.images)
        mat_dataset = AttitudeDataset(SHAPE, images, mat_folder, images, mat_folder)
        json_dataset = AttitudeDatasetJson(SHAPE, images, json_folder, images, json_folder)
        paths = [entry[0] for entry in mat_dataset.train_storage]
        mat_pipeline = mat_dataset.build_train_iterator(BATCH)
        json_pipeline = json_dataset.build_train_iterator(BATCH)

        with ThreadPoolExecutor(max_workers=workers) as pool:
            seconds, counts = common.best_of(
                {
                    "mat": lambda: common.images_in(mat_pipeline),
                    "mat_limit": lambda: whole_image_limit(paths, pool),
                    "json": lambda: common.images_in(json_pipeline),
                    "json_limit": lambda: face_crop_limit(paths, boxes, pool),
                },
                args.rounds,
            )
    common.image_rates(
        f"attitude pipelines: {len(paths)} JPEG {WIDTH}x{HEIGHT} -> {SHAPE[1]}x{SHAPE[0]}, batch {BATCH}, "
        f"{workers} threads, best of {args.rounds}",
        seconds,
        counts,
        [
            ("attitude_pipeline/mat", "mat", "mat_limit", ">=", 0.9),
            ("attitude_pipeline/json", "json", "json_limit", ">=", 0.9),
        ],
    )


if __name__ == "__main__":
    main()
