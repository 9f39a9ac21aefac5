"""Built-in semantic-segmentation data: coloured shapes on gradient backgrounds.

Each sample is an RGB PNG and a class-index PNG mask of the same size (one
byte per pixel, the value is the class index). Class 0 is the background; the
shapes are circles, squares and triangles. Shape colours are drawn at random
for every shape, so a model has to learn the outlines, not the colours.
"""

import os

import cv2
import numpy as np
from PIL import Image

from quillon.forgeline.demo.data_folder import checked_sizes, write_dataset_once

CLASSES = ["background", "circle", "square", "triangle"]
# Bumped whenever the drawing changes, so an old folder is not taken for a new one.
GENERATOR_VERSION = 1
_SPLITS = {"train": 0, "validation": 1}

# Shapes are drawn this many times larger and then shrunk, for smooth edges.
_SUPERSAMPLE = 4


def generate_segmentation_dataset(folder, seed=0, train_images=600, validation_images=100, size=64):
    """Writes the dataset into ``folder`` (or reuses it) and returns its folders and classes.

    Layout: ``folder/train/images``, ``folder/train/masks``,
    ``folder/validation/images``, ``folder/validation/masks``; sample ``n``
    is ``{n:05d}.png`` in both folders of its split. Every sample is drawn
    from its own generator seeded by (seed, split, index): the same seed
    gives the same files, and sample n does not change with the counts. A
    folder generated with the same parameters is reused; any other existing
    folder raises ``FileExistsError`` (see ``write_dataset_once``).

    Returns a dict with the keys "train_images", "train_masks",
    "val_images", "val_masks" (folder paths) and "classes" (class names,
    index = mask value).
    """
    checked = checked_sizes("generate_segmentation_dataset", seed, train_images, validation_images, size, min_size=16)
    parameters = {"name": "segmentation-shapes", "version": GENERATOR_VERSION, **checked}
    counts = {"train": train_images, "validation": validation_images}

    def write_splits(staging):
        for split, count in counts.items():
            images, masks = _split_folders(staging, split)
            os.makedirs(images)
            os.makedirs(masks)
            for index in range(count):
                image, mask = render_sample(np.random.default_rng([seed, _SPLITS[split], index]), size)
                name = f"{index:05d}.png"
                Image.fromarray(image).save(os.path.join(images, name))
                Image.fromarray(mask, mode="L").save(os.path.join(masks, name))

    folder = write_dataset_once(folder, parameters, write_splits)
    train_images_folder, train_masks_folder = _split_folders(folder, "train")
    val_images_folder, val_masks_folder = _split_folders(folder, "validation")
    return {
        "train_images": train_images_folder,
        "train_masks": train_masks_folder,
        "val_images": val_images_folder,
        "val_masks": val_masks_folder,
        "classes": list(CLASSES),
    }


def _split_folders(folder, split):
    return os.path.join(folder, split, "images"), os.path.join(folder, split, "masks")


def render_sample(rng, size):
    """Returns one (uint8 RGB image size x size x 3, uint8 mask size x size)."""
    big = size * _SUPERSAMPLE
    image = _background(rng, size)
    mask = np.zeros((size, size), np.uint8)
    for _ in range(rng.integers(1, 4)):
        label = int(rng.integers(1, len(CLASSES)))
        stencil = np.zeros((big, big), np.uint8)
        _draw_shape(stencil, CLASSES[label], rng, big)
        # Coverage of each output pixel, 0..1; the mask takes pixels more than half covered.
        coverage = cv2.resize(stencil, (size, size), interpolation=cv2.INTER_AREA).astype(np.float32) / 255.0
        colour = rng.integers(0, 256, size=3).astype(np.float32)
        image = image * (1.0 - coverage[..., None]) + colour * coverage[..., None]
        mask[coverage > 0.5] = label
    noise = rng.normal(0.0, 6.0, size=image.shape)
    return np.clip(image + noise, 0, 255).astype(np.uint8), mask


def _background(rng, size):
    """A smooth two-colour gradient in a random direction."""
    start, end = rng.integers(0, 256, size=(2, 3)).astype(np.float32)
    angle = rng.uniform(0.0, 2.0 * np.pi)
    ys, xs = np.mgrid[0:size, 0:size].astype(np.float32) / (size - 1)
    ramp = np.clip(0.5 + (xs - 0.5) * np.cos(angle) + (ys - 0.5) * np.sin(angle), 0.0, 1.0)
    return start * (1.0 - ramp[..., None]) + end * ramp[..., None]


def _draw_shape(stencil, kind, rng, big):
    """Draws one filled shape (value 255) of a random size and place."""
    radius = rng.uniform(0.12, 0.25) * big
    centre = rng.uniform(radius, big - radius, size=2)
    if kind == "circle":
        cv2.circle(stencil, _point(centre), int(round(radius)), 255, cv2.FILLED)
        return
    corners = 4 if kind == "square" else 3
    start = rng.uniform(0.0, 2.0 * np.pi)
    angles = start + np.arange(corners) * 2.0 * np.pi / corners
    points = centre + radius * np.stack([np.cos(angles), np.sin(angles)], axis=1)
    cv2.fillPoly(stencil, [np.round(points).astype(np.int32)], 255)


def _point(xy):
    return int(round(xy[0])), int(round(xy[1]))
