"""Reduced-scale JPEG decoding (reduced_decode=True) in the Darknet and attitude loaders."""

import os

import cv2
import matplotlib
import numpy as np
import pytest
from attitude_samples import seed_for, write_json, write_mat
from PIL import Image
from quillon.forgeline.datasets import attitude, darknet


def photo(width, height, seed=0):
    """A photograph (matplotlib's sample) scaled to width x height, with a little noise."""
    source = np.asarray(Image.open(os.path.join(matplotlib.get_data_path(), "sample_data", "grace_hopper.jpg")))
    pixels = cv2.resize(source, (width, height), interpolation=cv2.INTER_CUBIC)
    noise = np.random.default_rng(seed).normal(0, 3, pixels.shape)
    return np.clip(pixels + noise, 0, 255).astype(np.uint8)


def darknet_pair(tmp_path, file_name, shape, letter_box=True, save=None):
    """The same one-image Darknet dataset with and without reduced decoding, and its entry."""
    images, labels = tmp_path / "images", tmp_path / "labels"
    images.mkdir(exist_ok=True)
    labels.mkdir(exist_ok=True)
    label_file = labels / (os.path.splitext(file_name)[0] + ".txt")
    label_file.write_text("0 0.5 0.5 0.4 0.3\n1 0.2 0.3 0.1 0.2\n")
    (save or (lambda path: Image.fromarray(photo(1000, 700)).save(path, quality=90)))(str(images / file_name))
    split = {"images": str(images), "annotations": str(labels)}
    datasets = [
        darknet.DarknetDataset(
            {"classes": ["a", "b"], "train": split, "validation": split},
            shape,
            letter_box=letter_box,
            reduced_decode=reduced,
        )
        for reduced in (False, True)
    ]
    return datasets, np.array([str(images / file_name).encode(), str(label_file).encode()], dtype=object)


def record_image_sizes(monkeypatch, module, name):
    """Makes `module.name` (an image function) note the height and width of each image it is given."""
    sizes = []
    function = getattr(module, name)

    def recording(img, *args, **kwargs):
        sizes.append(img.shape[:2])
        return function(img, *args, **kwargs)

    monkeypatch.setattr(module, name, recording)
    return sizes


@pytest.mark.parametrize(
    "width, height, shape, letter_box, mode",
    [
        (1920, 1080, [320, 320, 3], True, "RGB"),
        (1920, 1080, [640, 640, 3], True, "RGB"),
        (1080, 1920, [320, 320, 3], True, "RGB"),
        (1280, 720, [416, 416, 3], True, "RGB"),
        (2000, 500, [320, 320, 3], True, "RGB"),
        (1600, 1200, [320, 480, 3], False, "RGB"),
        (1000, 700, [160, 160, 3], True, "L"),
    ],
)
def test_reduced_decode_gives_the_same_sample_nearly(tmp_path, width, height, shape, letter_box, mode):
    def save(path):
        Image.fromarray(photo(width, height)).convert(mode).save(path, quality=90)

    (full, reduced), data = darknet_pair(tmp_path, "p.jpg", shape, letter_box, save)
    full_image, full_boxes = full.load_instance(data)
    reduced_image, reduced_boxes = reduced.load_instance(data)
    assert reduced_image.shape == full_image.shape == (shape[0], shape[1], 3)
    assert reduced_image.dtype == np.uint8
    difference = np.abs(reduced_image.astype(np.int16) - full_image.astype(np.int16))
    assert difference.mean() < 4.0
    # The content may come out a pixel smaller or larger (the decoder rounds the reduced size up).
    np.testing.assert_allclose(reduced_boxes, full_boxes, atol=1.5)


@pytest.mark.parametrize(
    "width, height, shape, letter_box, decoded",
    [
        (1920, 1080, [320, 320, 3], True, (270, 480)),  # 1/8 would give 240 x 135 < 320 x 180
        (1920, 1080, [640, 640, 3], True, (540, 960)),
        (1080, 1920, [320, 320, 3], True, (480, 270)),
        (2560, 1440, [320, 320, 3], True, (180, 320)),  # exactly enough at 1/8
        (2552, 1432, [320, 320, 3], True, (358, 638)),  # 1/8 is a pixel short in both directions
        (2559, 1439, [320, 320, 3], True, (180, 320)),  # the decoder rounds up: 319.9 -> 320
        (1920, 1080, [320, 640, 3], False, (540, 960)),  # stretched to 640 x 320: 1/4 gives 480 wide
        (640, 480, [640, 640, 3], True, (480, 640)),  # needs every pixel
        (300, 200, [640, 640, 3], True, (200, 300)),  # enlarged
    ],
)
def test_reduction_keeps_at_least_the_pixels_needed(tmp_path, monkeypatch, width, height, shape, letter_box, decoded):
    def save(path):
        Image.fromarray(photo(width, height)).save(path, quality=85)

    (_, reduced), data = darknet_pair(tmp_path, "p.jpg", shape, letter_box, save)
    sizes = record_image_sizes(monkeypatch, *((darknet, "letterbox") if letter_box else (cv2, "resize")))
    image, _ = reduced.load_instance(data)
    assert sizes == [decoded] and image.shape == (shape[0], shape[1], 3)


def cmyk_jpeg(path):
    Image.fromarray(photo(1000, 700)).convert("CMYK").save(path, quality=90)


def truncated_jpeg(path):
    Image.fromarray(photo(1000, 700)).save(path, quality=90)
    with open(path, "r+b") as file:
        file.truncate(os.path.getsize(path) * 2 // 3)


def large_png(path):
    Image.fromarray(photo(640, 480)).save(path)


def truncated_png(path):
    large_png(path)
    with open(path, "r+b") as file:
        file.truncate(os.path.getsize(path) * 2 // 3)


def rgba_png(path):
    Image.fromarray(photo(640, 480)).convert("RGBA").save(path)


def small_jpeg(path):
    Image.fromarray(photo(400, 300)).save(path, quality=90)


@pytest.mark.parametrize(
    "file_name, save",
    [
        ("p.png", large_png),  # PNG: no reduced decoding (OpenCV decodes 8-bit RGB ones)
        ("p.png", truncated_png),
        ("p.png", rgba_png),
        ("p.jpg", small_jpeg),  # nothing to reduce: the same decoder output
        ("p.jpg", truncated_jpeg),  # decoded as far as it goes, as without the option
        ("p.jpg", cmyk_jpeg),  # left to Pillow, which converts CMYK its own way
    ],
)
def test_what_cannot_be_reduced_and_validation_samples_load_exactly_as_without_the_option(tmp_path, file_name, save):
    (full, reduced), data = darknet_pair(tmp_path, file_name, [320, 320, 3], save=save)
    for training in (True, False):
        expected, got = full.load_instance(data, training), reduced.load_instance(data, training)
        for want, have in zip(expected, got):
            np.testing.assert_array_equal(have, want)


def test_reduced_decode_in_the_training_pipeline(tmp_path):
    (full, reduced), _ = darknet_pair(tmp_path, "p.jpg", [128, 128, 3])
    ((full_images, full_boxes),) = full.build_train_iterator(1)
    ((images, boxes),) = reduced.build_train_iterator(1)
    assert images.shape == full_images.shape and boxes.shape == full_boxes.shape
    assert np.abs(images.numpy().astype(int) - full_images.numpy()).mean() < 4.0


# ---- attitude loaders ---------------------------------------------------------


def attitude_pair(tmp_path, cls, box):
    """The same one-image attitude dataset (a 1600 x 1200 JPEG) with and without reduced decoding."""
    images, annotations = tmp_path / "images", tmp_path / "annotations"
    images.mkdir()
    annotations.mkdir()
    Image.fromarray(photo(1600, 1200)).save(images / "a.jpg", quality=90)
    if cls is attitude.AttitudeDataset:
        write_mat(str(annotations / "a.mat"))
        options = {}
    elif cls is attitude.AttitudeAndDetectDataset:
        write_json(str(annotations / "a.json"), {"boxes": [box], "angles": [{"pitch": 1, "yaw": 2, "roll": 3}]})
        options = {"classes": ["face"]}
    else:
        write_json(str(annotations / "a.json"), {"boxes": [box], "angles": [[1, 2, 3]]})
        options = {}
    folders = [str(images), str(annotations)] * 2
    return [cls([64, 64, 3], *folders, reduced_decode=reduced, **options) for reduced in (False, True)]


@pytest.mark.parametrize(
    "cls, box, resized",
    [
        (attitude.AttitudeDataset, None, (150, 200)),  # the whole image at 1/8
        (attitude.AttitudeAndDetectDataset, [0.5, 0.5, 0.5, 0.5, 0], (150, 200)),
        (attitude.AttitudeDatasetJson, [0.5, 0.5, 0.5, 0.5, 0], (75, 100)),  # the face of the 1/8 image
        (attitude.AttitudeDatasetJson, [0.5, 0.5, 0.2, 0.2, 0], (120, 160)),  # of the 1/2 image: 1/4 gives 60 x 80
        (attitude.AttitudeDatasetJson, [0.98, 0.5, 0.2, 0.2, 0], (120, 96)),  # only the part inside the image counts
        (attitude.AttitudeDatasetJson, [0.5, 0.5, 0.04, 0.04, 0], (48, 64)),  # too small even at full size
    ],
)
def test_attitude_loaders_resize_at_least_the_pixels_they_need(tmp_path, monkeypatch, cls, box, resized):
    full, reduced = attitude_pair(tmp_path, cls, box)
    data = np.array([item.encode() for item in reduced.train_storage[0]], dtype=object)
    seed = seed_for((0.05, False), (0.5, False))  # no blur, no mirror
    np.random.seed(seed)
    expected = full._load_instance(data)
    resize_inputs = record_image_sizes(monkeypatch, cv2, "resize")
    np.random.seed(seed)
    loaded = reduced._load_instance(data)
    assert resize_inputs == [resized]
    assert loaded[0].shape == expected[0].shape == (64, 64, 3)
    # Both against the full image's face (or whole image) shrunk by area
    # averaging: a bilinear shrink by up to 25 (the full decode's) skips most
    # pixels, so it is no fair reference for the other.
    pixels = np.asarray(Image.open(tmp_path / "images" / "a.jpg"))
    cx, cy, bw, bh, _ = box if cls is attitude.AttitudeDatasetJson else (0.5, 0.5, 1, 1, 0)
    x1, x2 = (int(np.clip(x, 0, 1) * 1600) for x in (cx - bw / 2, cx + bw / 2))
    y1, y2 = (int(np.clip(y, 0, 1) * 1200) for y in (cy - bh / 2, cy + bh / 2))
    reference = cv2.resize(pixels[y1:y2, x1:x2], (64, 64), interpolation=cv2.INTER_AREA)
    error, full_error = (np.abs(image.astype(np.int16) - reference).mean() for image in (loaded[0], expected[0]))
    assert error < full_error + 1.0
    for want, have in zip(expected[1:], loaded[1:]):
        np.testing.assert_array_equal(have, want)
