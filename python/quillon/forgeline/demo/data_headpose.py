"""Built-in head-pose data: rendered synthetic heads with known angles.

A head is a sphere carrying a symmetric set of facial landmarks (eyes, nose,
mouth, ears) in 3-D. It is rotated by pitch (about the image x axis), yaw
(about the vertical axis) and roll (about the viewing axis), projected
orthographically and drawn: the landmarks facing the camera are visible, so
where they fall on the disc encodes the angles. Angles are in degrees;
mirroring an image left-right gives the head with (pitch, -yaw, -roll).

Each sample is written with both annotation forms the attitude datasets read:
a MATLAB file ("Pose_Para": 1 x 7 = pitch, yaw, roll, centre x, centre y, 0,
radius; "pt2d": 2 x N projected landmarks in pixels) and a JSON file ("boxes":
[[cx, cy, w, h, 0]] normalised head box, "angles": [[pitch, yaw, roll]]).
"""

import json
import os

import cv2
import numpy as np
import scipy.io
from PIL import Image

from quillon.forgeline.demo.data_folder import checked_sizes, write_dataset_once

# Bumped whenever the drawing changes, so an old folder is not taken for a new one.
GENERATOR_VERSION = 1
_SPLITS = {"train": 0, "validation": 1}

PITCH_RANGE = (-30.0, 30.0)
YAW_RANGE = (-60.0, 60.0)
ROLL_RANGE = (-30.0, 30.0)

_SUPERSAMPLE = 4

# Landmarks on a unit head: x to the right, y down, z towards the camera.
_LANDMARKS = {
    "left_eye": (-0.38, -0.22, 0.90),
    "right_eye": (0.38, -0.22, 0.90),
    "nose_base": (0.0, 0.18, 0.98),
    "nose_tip": (0.0, 0.22, 1.30),
    "mouth_left": (-0.30, 0.52, 0.80),
    "mouth_right": (0.30, 0.52, 0.80),
    "left_ear": (-1.0, 0.0, 0.0),
    "right_ear": (1.0, 0.0, 0.0),
    "crown": (0.0, -1.0, 0.0),
}
_LANDMARK_NAMES = list(_LANDMARKS)


def generate_headpose_dataset(folder, seed=0, train_images=600, validation_images=150, size=96):
    """Writes the dataset into ``folder`` (or reuses it) and returns its folders.

    Layout, for split in "train", "validation": ``folder/<split>/images``
    (``{n:05d}.png``, size x size), ``folder/<split>/mat`` and
    ``folder/<split>/json`` (one annotation per image, same stem). Every
    sample is drawn from its own generator seeded by (seed, split, index): the
    same seed gives the same files, and sample n does not change with the
    counts. A folder generated with the same parameters is reused; any other
    existing folder raises ``FileExistsError`` (see ``write_dataset_once``).

    Returns a dict: "train_images", "train_mat", "train_json", "val_images",
    "val_mat", "val_json" (folder paths).
    """
    checked = checked_sizes("generate_headpose_dataset", seed, train_images, validation_images, size, min_size=32)
    parameters = {"name": "synthetic-heads", "version": GENERATOR_VERSION, **checked}
    counts = {"train": train_images, "validation": validation_images}

    def write_splits(staging):
        for split, count in counts.items():
            folders = _split_folders(staging, split)
            for path in folders.values():
                os.makedirs(path)
            for index in range(count):
                _write_sample(np.random.default_rng([seed, _SPLITS[split], index]), size, folders, f"{index:05d}")

    folder = write_dataset_once(folder, parameters, write_splits)
    result = {}
    for split, prefix in (("train", "train"), ("validation", "val")):
        for kind, path in _split_folders(folder, split).items():
            result[f"{prefix}_{kind}"] = path
    return result


def _split_folders(folder, split):
    return {kind: os.path.join(folder, split, kind) for kind in ("images", "mat", "json")}


def _write_sample(rng, size, folders, stem):
    angles = np.array([rng.uniform(*PITCH_RANGE), rng.uniform(*YAW_RANGE), rng.uniform(*ROLL_RANGE)])
    image, centre, radius, landmarks = render_head(rng, size, angles)
    Image.fromarray(image).save(os.path.join(folders["images"], stem + ".png"))
    pose = np.array([[angles[0], angles[1], angles[2], centre[0], centre[1], 0.0, radius]])
    scipy.io.savemat(os.path.join(folders["mat"], stem + ".mat"), {"Pose_Para": pose, "pt2d": landmarks})
    with open(os.path.join(folders["json"], stem + ".json"), "w", encoding="utf-8") as stream:
        json.dump({"boxes": [_head_box(centre, radius, size)], "angles": [angles.tolist()]}, stream)


def rotation_matrix(pitch, yaw, roll):
    """Rotation (degrees) applied to head points: roll after yaw after pitch."""
    p, y, r = np.radians([pitch, yaw, roll])
    about_x = np.array([[1, 0, 0], [0, np.cos(p), -np.sin(p)], [0, np.sin(p), np.cos(p)]])
    about_y = np.array([[np.cos(y), 0, np.sin(y)], [0, 1, 0], [-np.sin(y), 0, np.cos(y)]])
    about_z = np.array([[np.cos(r), -np.sin(r), 0], [np.sin(r), np.cos(r), 0], [0, 0, 1]])
    return about_z @ about_y @ about_x


def render_head(rng, size, angles):
    """Draws one head; returns (uint8 RGB image, centre (x, y), radius, 2 x N landmarks), pixels."""
    big = size * _SUPERSAMPLE
    radius = rng.uniform(0.26, 0.32) * size
    centre = size / 2.0 + rng.uniform(-0.08, 0.08, size=2) * size
    canvas = _background(rng, big)
    points = np.array([_LANDMARKS[name] for name in _LANDMARK_NAMES]) @ rotation_matrix(*angles).T
    scale = radius * _SUPERSAMPLE
    projected = {
        name: (centre * _SUPERSAMPLE + scale * point[:2], point[2]) for name, point in zip(_LANDMARK_NAMES, points)
    }

    skin = np.array([rng.uniform(150, 235), rng.uniform(110, 190), rng.uniform(80, 160)])
    hair = rng.uniform(20, 90, size=3)
    draw_order = sorted(_LANDMARK_NAMES, key=lambda name: projected[name][1])
    # Parts behind the head first (ears, crown seen from the back), then the head, then the face.
    for name in draw_order:
        if projected[name][1] < 0:
            _draw_part(canvas, name, projected, scale, skin, hair)
    cv2.circle(canvas, _pixel(centre * _SUPERSAMPLE), int(round(scale)), _colour(skin), cv2.FILLED, cv2.LINE_AA)
    for name in draw_order:
        if projected[name][1] >= 0:
            _draw_part(canvas, name, projected, scale, skin, hair)

    image = cv2.resize(canvas, (size, size), interpolation=cv2.INTER_AREA).astype(np.float32)
    image = np.clip(image + rng.normal(0.0, 4.0, size=image.shape), 0, 255).astype(np.uint8)
    landmarks = np.stack([projected[name][0] / _SUPERSAMPLE for name in _LANDMARK_NAMES], axis=1)
    return image, centre, radius, landmarks.astype(np.float64)


def _draw_part(canvas, name, projected, scale, skin, hair):
    (x, y), _ = projected[name]
    if name.endswith("eye"):
        cv2.circle(canvas, _pixel((x, y)), int(0.16 * scale), (250, 250, 250), cv2.FILLED, cv2.LINE_AA)
        cv2.circle(canvas, _pixel((x, y)), int(0.08 * scale), (20, 30, 60), cv2.FILLED, cv2.LINE_AA)
    elif name == "nose_tip":
        base, _ = projected["nose_base"]
        cv2.line(canvas, _pixel(base), _pixel((x, y)), _colour(skin * 0.6), max(1, int(0.12 * scale)), cv2.LINE_AA)
        cv2.circle(canvas, _pixel((x, y)), int(0.10 * scale), (200, 60, 60), cv2.FILLED, cv2.LINE_AA)
    elif name == "mouth_left":
        right, _ = projected["mouth_right"]
        cv2.line(canvas, _pixel((x, y)), _pixel(right), (120, 20, 30), max(1, int(0.10 * scale)), cv2.LINE_AA)
    elif name.endswith("ear"):
        cv2.circle(canvas, _pixel((x, y)), int(0.22 * scale), _colour(skin * 0.8), cv2.FILLED, cv2.LINE_AA)
    elif name == "crown":
        cv2.circle(canvas, _pixel((x, y)), int(0.45 * scale), _colour(hair), cv2.FILLED, cv2.LINE_AA)


def _head_box(centre, radius, size):
    """Normalised [cx, cy, w, h, 0] of the head with its ears, kept inside the image."""
    half = 1.25 * radius
    x1, y1 = np.clip(centre - half, 0, size)
    x2, y2 = np.clip(centre + half, 0, size)
    return [
        float((x1 + x2) / 2 / size),
        float((y1 + y2) / 2 / size),
        float((x2 - x1) / size),
        float((y2 - y1) / size),
        0.0,
    ]


def _background(rng, big):
    low, high = np.sort(rng.integers(0, 256, size=(2, 3)), axis=0)
    coarse = rng.uniform(low, high + 1, size=(4, 4, 3)).astype(np.float32)
    return cv2.resize(coarse, (big, big), interpolation=cv2.INTER_CUBIC).clip(0, 255).astype(np.uint8)


def _pixel(xy):
    return int(round(float(xy[0]))), int(round(float(xy[1])))


def _colour(rgb):
    return tuple(int(value) for value in np.clip(rgb, 0, 255))
