"""Built-in data for the demo: small synthetic datasets written to disk.

The detection data is a Darknet-layout dataset of coloured shapes (circle,
square, triangle) on varied backgrounds:

    <folder>/data.yaml
    <folder>/train/images/shape_00000.png (or .jpg)
    <folder>/train/labels/shape_00000.txt   one "class cx cy w h" line per
    <folder>/validation/...                 object, normalised; empty when
                                            the image holds no object

Every image is drawn from its own random generator, seeded by (seed, split,
index), so a dataset is the same for the same seed, and image k of a split
does not change when the number of images does.
"""

import os

import numpy as np
import yaml
from PIL import Image, ImageDraw

from quillon.forgeline.demo.data_folder import checked_sizes, write_dataset_once
from quillon.forgeline.run_files import write_text_atomically

SHAPE_CLASSES = ["circle", "square", "triangle"]
DATA_FILE = "data.yaml"
# Bumped whenever the drawing changes, so an old folder is not taken for a new one.
GENERATOR_VERSION = 1

_SPLITS = {"train": 0, "validation": 1}  # split -> its part of each image's seed
_EMPTY_IMAGE_PROBABILITY = 0.1
_MAX_OBJECTS = 3
_JPEG_EVERY = 4  # every fourth image is a JPEG, the rest PNG


def generate_detection_dataset(folder, seed=0, train_images=400, validation_images=100):
    """Writes the shapes dataset into ``folder`` and returns the path of its data.yaml.

    A folder that already holds a dataset made with the same parameters is
    reused; only its data.yaml is rewritten, so the folder may have moved.
    A folder that holds anything else is never overwritten: that raises
    ``FileExistsError`` (see ``write_dataset_once``).
    """
    checked = checked_sizes("generate_detection_dataset", seed, train_images, validation_images)
    parameters = {"name": "shapes", "version": GENERATOR_VERSION, **checked}

    def write_splits(staging):
        for split, count in (("train", train_images), ("validation", validation_images)):
            _write_split(staging, split, seed, count)

    folder = write_dataset_once(folder, parameters, write_splits)
    return _write_description(folder)


def _split_folders(folder, split):
    return os.path.join(folder, split, "images"), os.path.join(folder, split, "labels")


def _write_description(folder):
    """Writes data.yaml with the folder's absolute paths; returns its path."""
    description = {"type": "darknet", "classes": list(SHAPE_CLASSES)}
    for split in _SPLITS:
        images, labels = _split_folders(folder, split)
        description[split] = {"images": images, "annotations": labels}
    path = os.path.join(folder, DATA_FILE)
    write_text_atomically(path, yaml.safe_dump(description, sort_keys=False))
    return path


def _write_split(folder, split, seed, count):
    images_folder, labels_folder = _split_folders(folder, split)
    os.makedirs(images_folder)
    os.makedirs(labels_folder)
    for index in range(count):
        rng = np.random.default_rng([seed, _SPLITS[split], index])
        image, objects = draw_shapes_image(rng)
        stem = f"shape_{index:05d}"
        if index % _JPEG_EVERY == _JPEG_EVERY - 1:
            image.save(os.path.join(images_folder, stem + ".jpg"), quality=92)
        else:
            image.save(os.path.join(images_folder, stem + ".png"))
        width, height = image.size
        with open(os.path.join(labels_folder, stem + ".txt"), "w", encoding="utf-8") as stream:
            for label, (x1, y1, x2, y2) in objects:
                cx, cy = (x1 + x2) / 2 / width, (y1 + y2) / 2 / height
                w, h = (x2 - x1) / width, (y2 - y1) / height
                stream.write(f"{label} {cx:.6f} {cy:.6f} {w:.6f} {h:.6f}\n")


def draw_shapes_image(rng):
    """Draws one image; returns (PIL RGB image, [(label, (x1, y1, x2, y2)), ...]).

    Box corners are in pixels, x2 and y2 exclusive (the box covers exactly the
    drawn pixels).
    """
    width, height = (int(v) for v in rng.integers(96, 200, size=2))
    background = _background(rng, width, height)
    image = Image.fromarray(background)
    draw = ImageDraw.Draw(image)
    objects = []
    count = 0 if rng.random() < _EMPTY_IMAGE_PROBABILITY else int(rng.integers(1, _MAX_OBJECTS + 1))
    for _ in range(count):
        placed = _place(rng, width, height, [box for _, box in objects])
        if placed is None:
            continue
        label = int(rng.integers(len(SHAPE_CLASSES)))
        x1, y1, x2, y2 = placed
        mean = background[y1:y2, x1:x2].reshape(-1, 3).mean(axis=0)
        drawn = _draw_shape(draw, rng, SHAPE_CLASSES[label], placed, _contrasting_colour(rng, mean))
        objects.append((label, drawn))
    return image, objects


def _background(rng, width, height):
    style = rng.integers(3)
    low, high = rng.integers(0, 256, size=(2, 3))
    if style == 0:  # flat colour
        pixels = np.broadcast_to(low, (height, width, 3)).astype(np.float64)
    elif style == 1:  # linear gradient in a random direction
        angle = rng.uniform(0, 2 * np.pi)
        ys, xs = np.mgrid[0:height, 0:width]
        t = xs * np.cos(angle) + ys * np.sin(angle)
        t = (t - t.min()) / max(t.max() - t.min(), 1.0)
        pixels = low + (high - low) * t[..., np.newaxis]
    else:  # colour with noise
        pixels = low + rng.normal(0.0, 25.0, size=(height, width, 3))
    return np.clip(pixels, 0, 255).astype(np.uint8)


def _place(rng, width, height, taken, attempts=20):
    """A free square-ish box (x1, y1, x2, y2) that touches no taken box, or None."""
    for _ in range(attempts):
        size = int(rng.uniform(0.18, 0.45) * min(width, height))
        box_w = size
        box_h = int(size * rng.uniform(0.8, 1.25))
        if box_h >= height or box_w >= width:
            continue
        x1 = int(rng.integers(0, width - box_w))
        y1 = int(rng.integers(0, height - box_h))
        box = (x1, y1, x1 + box_w, y1 + box_h)
        if all(_apart(box, other, margin=2) for other in taken):
            return box
    return None


def _apart(a, b, margin):
    return a[2] + margin <= b[0] or b[2] + margin <= a[0] or a[3] + margin <= b[1] or b[3] + margin <= a[1]


def _contrasting_colour(rng, background_mean):
    """A random colour far enough from the background for the shape to stand out."""
    for _ in range(50):
        colour = rng.integers(0, 256, size=3)
        if np.abs(colour - background_mean).sum() >= 180:
            return tuple(int(c) for c in colour)
    # The farthest corner of the colour cube always contrasts.
    return tuple(0 if c > 127 else 255 for c in background_mean)


def _draw_shape(draw, rng, shape, box, colour):
    """Draws the shape inside box and returns the box of the drawn pixels."""
    x1, y1, x2, y2 = box
    # PIL's outer corners are inclusive, so the last drawn pixel is x2 - 1.
    right, bottom = x2 - 1, y2 - 1
    if shape == "circle":
        # Circles stay round: the box is made square around its centre.
        side = min(x2 - x1, y2 - y1)
        draw.ellipse((x1, y1, x1 + side - 1, y1 + side - 1), fill=colour)
        return (x1, y1, x1 + side, y1 + side)
    if shape == "square":
        side = min(x2 - x1, y2 - y1)
        draw.rectangle((x1, y1, x1 + side - 1, y1 + side - 1), fill=colour)
        return (x1, y1, x1 + side, y1 + side)
    if rng.random() < 0.5:  # triangle, apex up
        draw.polygon([(x1, bottom), (right, bottom), ((x1 + right) / 2, y1)], fill=colour)
    else:  # triangle, apex down
        draw.polygon([(x1, y1), (right, y1), ((x1 + right) / 2, bottom)], fill=colour)
    return box
