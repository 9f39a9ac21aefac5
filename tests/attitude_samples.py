"""Writes small head-pose datasets to disk for the attitude dataset tests."""

import json
import os

import numpy as np
import scipy.io
import yaml
from PIL import Image


def pattern_image(height, width, seed=0):
    return np.random.RandomState(seed).randint(0, 256, (height, width, 3), dtype=np.uint8)


def write_image(path, pixels=None, size=(12, 16), mode="RGB"):
    pixels = pattern_image(*size) if pixels is None else pixels
    Image.fromarray(pixels).convert(mode).save(path, quality=95)
    return path


def write_mat(path, pose=(0.1, 0.2, 0.3)):
    row = np.array([list(pose) + [4.0, 5.0, 6.0, 7.0]])
    scipy.io.savemat(path, {"Pose_Para": row, "pt2d": np.arange(136.0).reshape(2, 68)})
    return path


def write_json(path, content):
    with open(path, "w") as file:
        json.dump(content, file)
    return path


def make_split(root, name, stems, annotation="mat", image_ext="png", size=(12, 16)):
    """Folders <root>/<name>/images and annotations. Stem i gets the pose
    (i, -i, 2i): in MATLAB files ("mat"), or with a centred face box in JSON
    files whose angles are rows ("json") or pitch/yaw/roll objects ("detect")."""
    images, annotations = (os.path.join(root, name, kind) for kind in ("images", "annotations"))
    os.makedirs(images, exist_ok=True)
    os.makedirs(annotations, exist_ok=True)
    for index, stem in enumerate(stems):
        write_image(os.path.join(images, f"{stem}.{image_ext}"), pattern_image(*size, seed=index))
        pose = (index, -index, 2 * index)
        if annotation == "mat":
            write_mat(os.path.join(annotations, f"{stem}.mat"), pose)
            continue
        angles = dict(zip(("pitch", "yaw", "roll"), pose)) if annotation == "detect" else list(pose)
        write_json(os.path.join(annotations, f"{stem}.json"), {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [angles]})
    return images, annotations


def write_description(path, train, validation, classes=("face",), **extra):
    content = {"type": "attitude", "classes": list(classes), **extra}
    if train is not None:
        content["train"] = dict(zip(("images", "annotations"), train))
    if validation is not None:
        content["validation"] = dict(zip(("images", "annotations"), validation))
    with open(path, "w") as file:
        yaml.safe_dump(content, file)
    return str(path)


def seed_for(*wanted):
    """A seed after which NumPy's global generator draws below (True) or at or
    above (False) each threshold in `wanted`, given as (threshold, below)."""
    for seed in range(100000):
        draws = np.random.RandomState(seed).random_sample(len(wanted))
        if all((draw < threshold) == below for draw, (threshold, below) in zip(draws, wanted)):
            return seed
    raise AssertionError("no seed found")
