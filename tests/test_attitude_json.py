"""Head-pose datasets with JSON annotations: faces with boxes, face crops, and
their YAML-described variants; the training batches of all six classes."""

import cv2
import numpy as np
import pytest
import tensorflow as tf
from attitude_samples import make_split, pattern_image, seed_for, write_description, write_image, write_json
from PIL import Image, ImageFilter
from quillon.forgeline.datasets import attitude

SHAPE = [10, 20, 3]
BLUR, NO_BLUR = (0.05, True), (0.05, False)
MIRROR, NO_MIRROR = (0.5, True), (0.5, False)


def split_pair(tmp_path, kind, train_stems=("a", "b", "c"), size=(12, 16)):
    return (
        *make_split(tmp_path, "train", train_stems, kind, size=size),
        *make_split(tmp_path, "val", ["v"], kind, size=size),
    )


def load(dataset, tmp_path, annotation, pixels=None, seed=0):
    image = write_image(
        str(tmp_path / "sample.jpg" if pixels is None else tmp_path / "sample.png"), pixels, size=(30, 40)
    )
    np.random.seed(seed)
    return dataset._load_instance([image.encode(), write_json(str(tmp_path / "sample.json"), annotation).encode()])


def test_detect_classes_and_label_offset(tmp_path):
    folders = split_pair(tmp_path, "detect")
    classes = ["face"]
    with_background = attitude.AttitudeAndDetectDataset(SHAPE, *folders, classes=classes)
    assert (with_background.get_classes(), with_background.label_offset, classes) == (
        ["background", "face"],
        1,
        ["face"],
    )
    without = attitude.AttitudeAndDetectDataset(SHAPE, *folders, classes=classes, add_bkg_class=False)
    assert without.get_classes() is classes and without.label_offset == 0
    assert without.train_storage[0][1].endswith(".json") and without.get_num_train_samples() == 3
    with pytest.raises(TypeError, match=r"Argument 'classes' has incorrect type \(expected list, got tuple\)"):
        attitude.AttitudeAndDetectDataset(SHAPE, *folders, classes=("face",))


def test_detect_loader_boxes_and_angles(tmp_path):
    dataset = attitude.AttitudeAndDetectDataset(SHAPE, *split_pair(tmp_path, "detect"), classes=["face", "hand"])
    boxes = [[0.5, 0.5, 0.5, 0.5, 0], [0.1, 0.5, 0.4, 0.2, 1], [0.9, 0.5, 0.4, 0.2, 0]]
    image, bboxes, angles = load(dataset, tmp_path, {"boxes": boxes, "angles": [{"roll": 3, "pitch": 1, "yaw": 2}]})
    assert (image.shape, image.dtype, bboxes.dtype, angles.dtype) == ((10, 20, 3), np.uint8, np.float32, np.float32)
    # Pixels of the resized 20 x 10 image; a negative corner becomes 0, one past the far edge stays.
    np.testing.assert_allclose(bboxes, [[5, 2.5, 15, 7.5, 1], [0, 4, 6, 6, 2], [14, 4, 22, 6, 1]], atol=1e-5)
    assert angles.tolist() == [[1, 2, 3]]

    _, bboxes, angles = load(dataset, tmp_path, {"angles": []})
    assert bboxes.tolist() == [[0, 0, 0, 0, 1]] and angles.tolist() == [[0, 0, 0]]
    _, bboxes, angles = load(dataset, tmp_path, {"boxes": [], "angles": []})
    assert bboxes.shape == (0, 5) and angles.tolist() == [[0, 0, 0]]
    with pytest.raises(Exception, match="sample.json"):
        load(dataset, tmp_path, {"boxes": boxes, "angles": [{"pitch": 1, "roll": 3}]})


def test_detect_batches_pad_boxes_and_angles_with_zero_rows(tmp_path):
    folders = split_pair(tmp_path, "detect", train_stems=("a", "b"))
    write_json(
        f"{folders[1]}/a.json", {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]] * 2, "angles": [{"pitch": 1, "yaw": 1, "roll": 1}]}
    )
    write_json(
        f"{folders[1]}/b.json", {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [{"pitch": 2, "yaw": 2, "roll": 2}] * 2}
    )
    dataset = attitude.AttitudeAndDetectDataset(SHAPE, *folders, classes=["face"])
    images, boxes, angles = next(iter(dataset.build_train_iterator(2, 2)))
    assert (images.shape, boxes.shape, angles.shape) == ((2, 10, 20, 3), (2, 2, 5), (2, 2, 3))
    by_pitch = {int(rows[0, 0]): (box_rows, rows) for box_rows, rows in zip(boxes.numpy(), angles.numpy())}
    assert by_pitch[1][1][1].tolist() == [0, 0, 0] and by_pitch[2][0][1].tolist() == [0, 0, 0, 0, 0]
    assert by_pitch[1][0][1].tolist() == [5, 2.5, 15, 7.5, 1]


def test_json_loader_crops_the_first_face_and_mirrors(tmp_path):
    dataset = attitude.AttitudeDatasetJson([50, 100, 3], *split_pair(tmp_path, "json"))
    pixels = pattern_image(100, 200)
    annotation = {"boxes": [[0.5, 0.5, 0.5, 0.5, 0], [0.2, 0.2, 0.1, 0.1, 0]], "angles": [[1, 2, 3], [4, 5, 6]]}
    crop, angles = load(dataset, tmp_path, annotation, pixels, seed_for(NO_BLUR, NO_MIRROR))
    np.testing.assert_array_equal(crop, pixels[25:75, 50:150])
    assert angles.dtype == np.float32 and angles.tolist() == [1, 2, 3]
    crop, angles = load(dataset, tmp_path, annotation, pixels, seed_for(NO_BLUR, MIRROR))
    np.testing.assert_array_equal(crop, pixels[25:75, 50:150][:, ::-1])
    assert angles.tolist() == [1, -2, -3]

    # A face reaching past the left edge is cropped to what lies inside the image.
    dataset.shape = [50, 60, 3]
    crop, _ = load(
        dataset,
        tmp_path,
        {"boxes": [[0.1, 0.5, 0.4, 0.5, 0]], "angles": [[1, 2, 3]]},
        pixels,
        seed_for(NO_BLUR, NO_MIRROR),
    )
    np.testing.assert_array_equal(crop, pixels[25:75, 0:60])
    for broken in [
        {"boxes": [[1.5, 0.5, 0.4, 0.5, 0]], "angles": [[1, 2, 3]]},  # nothing inside the image
        {"boxes": [[0.5, 0.5, 0.4, 0.5, 0]], "angles": []},
        {"boxes": [[0.5, 0.5, 0.4, 0.5]], "angles": [[1, 2, 3]]},
        {"boxes": [[0.5, 0.5, 0.4, 0.5, 0]]},
        {"boxes": 3, "angles": [[1, 2, 3]]},
        {"boxes": [[]], "angles": [[1, 2, 3]]},
    ]:
        with pytest.raises((ValueError, KeyError), match="sample.json"):
            load(dataset, tmp_path, broken, pixels)


def test_json_loader_without_faces_returns_the_blurred_whole_image(tmp_path):
    dataset = attitude.AttitudeDatasetJson(SHAPE, *split_pair(tmp_path, "json"))
    pixels = pattern_image(30, 40)
    image, angles = load(dataset, tmp_path, {"boxes": [], "angles": [[7, 8, 9]]}, pixels, seed_for(BLUR))
    blurred = np.asarray(Image.fromarray(pixels).filter(ImageFilter.BLUR))
    np.testing.assert_array_equal(image, cv2.resize(blurred, (20, 10)))
    assert angles.dtype == np.float32 and angles.tolist() == [0, 0, 0]


def test_yaml_variants_check_classes_keys_and_folders(tmp_path):
    folders = split_pair(tmp_path, "detect")
    messages = attitude.AttitudeDatasetYaml
    missing = str(tmp_path / "missing")
    cases = [
        (
            dict(train=folders[:2], validation=folders[2:], classes=[]),
            ValueError,
            "Invalid number of classes. The dataset should contain at least one class",
        ),
        (dict(train=folders[:2], validation=None), ValueError, messages.val_msg_images),
        (
            dict(train=(folders[0], missing), validation=folders[2:]),
            FileNotFoundError,
            messages.location_msg.format(missing),
        ),
    ]
    for cls in (attitude.AttitudeAndDetectDatasetYaml, attitude.AttitudeDatasetJsonYaml):
        for description, error, message in cases:
            with pytest.raises(error) as raised:
                cls(SHAPE, write_description(tmp_path / "d.yaml", **description))
            assert str(raised.value) == message
        with pytest.raises(FileNotFoundError, match="^Description file for the current dataset does not exist at: "):
            cls(SHAPE, missing)

    info = write_description(tmp_path / "d.yaml", folders[:2], folders[2:], classes=["face", "hand"])
    without = attitude.AttitudeAndDetectDatasetYaml(SHAPE, info, add_bkg_class=False)
    assert without.get_classes() == ["face", "hand"] and without.label_offset == 0
    direct = attitude.AttitudeAndDetectDataset(SHAPE, *folders, classes=["face", "hand"])
    described = attitude.AttitudeAndDetectDatasetYaml(SHAPE, info)
    assert (described.get_classes(), described.train_storage, described.val_storage) == (
        direct.get_classes(),
        direct.train_storage,
        direct.val_storage,
    )
    assert attitude.AttitudeDatasetJsonYaml(shape=SHAPE, info_file=info).train_storage == direct.train_storage


ANNOTATIONS = {
    "AttitudeDataset": "mat",
    "AttitudeDatasetYaml": "mat",
    "AttitudeDatasetJson": "json",
    "AttitudeDatasetJsonYaml": "json",
    "AttitudeAndDetectDataset": "detect",
    "AttitudeAndDetectDatasetYaml": "detect",
}


@pytest.mark.parametrize("name", list(ANNOTATIONS))
def test_every_class_yields_training_batches(tmp_path, name):
    folders = split_pair(tmp_path, ANNOTATIONS[name], train_stems=("a", "b", "c", "d"))
    write_image(f"{folders[0]}/a.jpg", size=(12, 16))  # a JPEG beside the PNGs, paired with a's annotation
    cls = getattr(attitude, name)
    extra = {"classes": ["face"]} if name == "AttitudeAndDetectDataset" else {}
    if name.endswith("Yaml"):
        dataset = cls(SHAPE, write_description(tmp_path / "d.yaml", folders[:2], folders[2:]))
    else:
        dataset = cls(SHAPE, *folders, **extra)
    batches = list(dataset.build_train_iterator(3))
    assert [len(batch[0]) for batch in batches] == [3, 2]
    images, *targets, angles = batches[0]
    assert (images.dtype, tuple(images.shape[1:]), angles.dtype) == (tf.uint8, (10, 20, 3), tf.float32)
    if "Detect" in name:
        assert (targets[0].dtype, tuple(targets[0].shape), tuple(angles.shape)) == (tf.float32, (3, 1, 5), (3, 1, 3))
    else:
        assert targets == [] and tuple(angles.shape) == (3, 3)
