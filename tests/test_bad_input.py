"""Malformed inputs for every dataset class, through construction and both
pipelines: each fails with an error that names the file or folder at fault,
or is converted correctly."""

import json
import os
import warnings

import numpy as np
import pytest
import scipy.io
import tensorflow as tf
import yaml
from attitude_samples import make_split
from PIL import Image
from quillon.forgeline.datasets import attitude, darknet
from quillon.forgeline.datasets.segmentation import SegmentationDataset

SHAPE = [16, 16, 3]


def full_text(error):
    """The message, the notes and the causes of `error`: all that a traceback shows."""
    parts = []
    while error is not None:
        parts += [str(error), *getattr(error, "__notes__", [])]
        error = error.__cause__
    return "\n".join(parts)


def darknet_folders(root, annotation="0 0.5 0.5 0.5 0.5\n", image=None):
    """A Darknet dataset of one training and one validation sample; returns the description."""
    splits = {}
    for split in ("train", "validation"):
        images, labels = root / split / "images", root / split / "labels"
        images.mkdir(parents=True)
        labels.mkdir(parents=True)
        (image or (lambda path: Image.new("RGB", (24, 16), (90, 20, 200)).save(path)))(str(images / "s.png"))
        with open(labels / "s.txt", "wb") as file:
            file.write(annotation.encode() if isinstance(annotation, str) else annotation)
        splits[split] = {"images": str(images), "annotations": str(labels)}
    return {"type": "darknet", "classes": ["cat"], **splits}


def train_batches(dataset):
    return list(dataset.build_train_iterator(1))


def darknet_val(dataset):
    return list(dataset.build_val_iterator())


def attitude_val(dataset):
    """The attitude validation pipeline yields path pairs; the caller loads them."""
    return [dataset._load_instance(element.numpy()) for element in dataset.build_val_iterator()]


def attitude_folders(root, kind="mat"):
    return (*make_split(str(root), "train", ["a"], kind), *make_split(str(root), "val", ["v"], kind))


def save_mat(path, pose_para):
    scipy.io.savemat(path, {"Pose_Para": pose_para, "pt2d": np.zeros((2, 68))})


def save_json(path, content):
    with open(path, "w") as file:
        file.write(json.dumps(content))  # NaN and Infinity as JavaScript literals


# ---- every fault names its file or folder --------------------------------------------------------


def missing_images_folder(tmp):
    info = darknet_folders(tmp)
    info["train"]["images"] += "x"  # misspelt
    return lambda: darknet.DarknetDataset(info, SHAPE), info["train"]["images"]


def file_as_images_folder(tmp):
    info = darknet_folders(tmp)
    info["validation"]["images"] += "/s.png"
    return lambda: darknet.DarknetDataset(info, SHAPE), "is a file"


def symlink_loop_as_images_folder(tmp):
    info = darknet_folders(tmp)
    loop = tmp / "loop"
    loop.symlink_to(loop)
    info["train"]["images"] = str(loop)
    return lambda: darknet.DarknetDataset(info, SHAPE), "symbolic link loop"


def images_without_annotations(tmp):
    info = darknet_folders(tmp)
    os.remove(os.path.join(info["train"]["annotations"], "s.txt"))
    return lambda: darknet.DarknetDataset(info, SHAPE), os.path.join(info["train"]["images"], "s.png")


def class_names_not_strings(tmp):
    info = darknet_folders(tmp)
    info["classes"] = [None, 3, {"x": 1}]
    return lambda: darknet.DarknetDataset(info, SHAPE), "entry 0 is None"


def empty_images_path(tmp):
    info = darknet_folders(tmp)
    info["train"]["images"] = ""
    return lambda: darknet.DarknetDataset(info, SHAPE), "``images`` of the ``train`` section"


def darknet_yaml(content):
    def build(tmp):
        path = tmp / "data.yaml"
        path.write_bytes(content(darknet_folders(tmp)))
        return lambda: darknet.DarknetDatasetYaml(str(path), SHAPE), str(path)

    return build


def attitude_yaml(cls, content):
    def build(tmp):
        path = tmp / "data.yaml"
        path.write_bytes(content(attitude_folders(tmp, "mat")))
        return lambda: cls(SHAPE, str(path)), str(path)

    return build


def annotation_file(text, pipeline=train_batches):
    def build(tmp):
        info = darknet_folders(tmp, annotation=text)
        dataset = darknet.DarknetDataset(info, SHAPE)
        split = "train" if pipeline is train_batches else "validation"
        return lambda: pipeline(dataset), os.path.join(info[split]["annotations"], "s.txt")

    return build


def not_a_png(path):
    with open(path, "wb") as file:
        file.write(b"\x89PNG\r\n\x1a\n garbage")


def unreadable_image(tmp):
    info = darknet_folders(tmp, image=not_a_png)
    dataset = darknet.DarknetDataset(info, SHAPE)
    return lambda: darknet_val(dataset), os.path.join(info["validation"]["images"], "s.png")


def float_tiff(tmp):
    info = darknet_folders(tmp)
    dataset = darknet.DarknetDataset(info, SHAPE)
    path = str(tmp / "depth.tif")
    Image.fromarray(np.full((8, 8), 0.5, np.float32)).save(path)
    return lambda: dataset.load_instance([path, "none.txt"], False), path


def mat_pose(pose_para, cls=attitude.AttitudeDataset, pipeline=train_batches):
    def build(tmp):
        folders = attitude_folders(tmp, "mat")
        split = 1 if pipeline is train_batches else 3
        path = os.path.join(folders[split], "a.mat" if split == 1 else "v.mat")
        save_mat(path, pose_para)
        return lambda: pipeline(cls(SHAPE, *folders)), path

    return build


def json_annotation(kind, content, pipeline=train_batches):
    cls = attitude.AttitudeAndDetectDataset if kind == "detect" else attitude.AttitudeDatasetJson
    extra = {"classes": ["face"]} if kind == "detect" else {}

    def build(tmp):
        folders = attitude_folders(tmp, kind)
        path = os.path.join(folders[1], "a.json")
        save_json(path, content)
        return lambda: pipeline(cls(SHAPE, *folders, **extra)), path

    return build


def huge_png_without_data(path):
    """A PNG that declares 3000x3000 pixels and holds almost none of them."""
    Image.new("L", (3000, 3000)).save(path)
    with open(path, "r+b") as file:
        file.truncate(120)


def attitude_huge_png(tmp):
    folders = attitude_folders(tmp)
    path = os.path.join(folders[0], "a.png")
    huge_png_without_data(path)
    return lambda: train_batches(attitude.AttitudeDataset(SHAPE, *folders)), path


def missing_validation_folder(tmp):
    folders = list(attitude_folders(tmp, "json"))
    folders[2] += "-typo"
    return lambda: attitude.AttitudeDatasetJson(SHAPE, *folders), folders[2]


def description_of(folders, **changes):
    content = {
        "classes": ["face"],
        "train": dict(zip(("images", "annotations"), folders[:2])),
        "validation": dict(zip(("images", "annotations"), folders[2:])),
    }
    content.update(changes)
    return yaml.safe_dump(content).encode()


NESTED_YAML = b"a: " + b"[" * 3000 + b"]" * 3000 + b"\n"
DETECT_BOX = [0.5, 0.5, 0.5, 0.5]

FAULTS = [
    # Folders: construction names the folder searched and what is there.
    pytest.param(missing_images_folder, ValueError, id="darknet-misspelt-images-folder"),
    pytest.param(file_as_images_folder, ValueError, id="darknet-file-as-folder"),
    pytest.param(symlink_loop_as_images_folder, ValueError, id="darknet-symlink-loop"),
    pytest.param(images_without_annotations, ValueError, id="darknet-no-annotation-files"),
    pytest.param(missing_validation_folder, ValueError, id="attitude-misspelt-validation-folder"),
    # Descriptions.
    pytest.param(class_names_not_strings, TypeError, id="darknet-class-names-not-strings"),
    pytest.param(empty_images_path, ValueError, id="darknet-empty-images-path"),
    pytest.param(darknet_yaml(lambda info: yaml.safe_dump(info).encode("utf-16")), ValueError, id="darknet-yaml-utf16"),
    pytest.param(darknet_yaml(lambda info: NESTED_YAML), ValueError, id="darknet-yaml-nested"),
    pytest.param(
        darknet_yaml(lambda info: yaml.safe_dump({**info, "type": "yolo"}).encode()),
        ValueError,
        id="darknet-yaml-wrong-type",
    ),
    pytest.param(
        attitude_yaml(attitude.AttitudeDatasetYaml, lambda f: b"classes: [caf\xe9]\n"),
        ValueError,
        id="attitude-yaml-latin1",
    ),
    pytest.param(
        attitude_yaml(attitude.AttitudeDatasetYaml, lambda f: NESTED_YAML), ValueError, id="attitude-yaml-nested"
    ),
    pytest.param(
        attitude_yaml(
            attitude.AttitudeDatasetJsonYaml,
            lambda f: description_of(f).replace(b"classes:", b"classes: !!python/tuple"),
        ),
        yaml.YAMLError,
        id="attitude-yaml-python-tag",
    ),
    pytest.param(
        attitude_yaml(attitude.AttitudeAndDetectDatasetYaml, lambda f: description_of(f, validation={})),
        ValueError,
        id="attitude-yaml-missing-key",
    ),
    pytest.param(
        attitude_yaml(attitude.AttitudeDatasetJsonYaml, lambda f: description_of(f, classes=[])),
        ValueError,
        id="attitude-yaml-no-classes",
    ),
    # Darknet annotation files and images, through both pipelines.
    pytest.param(annotation_file("0 0.5 0.5 0.5 0.5\n".encode("utf-16")), tf.errors.OpError, id="darknet-utf16"),
    pytest.param(annotation_file(b"0 0.5 0.5 0.5 caf\xe9\n", darknet_val), tf.errors.OpError, id="darknet-latin1"),
    pytest.param(
        annotation_file("0 0.5 0.5 0.5 " + "1" * 1_000_000 + "\n"), tf.errors.OpError, id="darknet-million-digits"
    ),
    pytest.param(unreadable_image, tf.errors.OpError, id="darknet-unreadable-image"),
    pytest.param(float_tiff, ValueError, id="darknet-float-tiff"),
    pytest.param(attitude_huge_png, tf.errors.OpError, id="attitude-huge-png-without-data"),
    # Head-pose annotations, through both pipelines.
    pytest.param(mat_pose([[np.nan, 0, 0, 1]]), tf.errors.OpError, id="mat-nan"),
    pytest.param(mat_pose([[0, -np.inf, 0]], pipeline=attitude_val), ValueError, id="mat-inf-validation"),
    pytest.param(mat_pose([[1e39, 0, 0]]), tf.errors.OpError, id="mat-overflows-float32"),
    pytest.param(mat_pose([[1.0, 2.0]]), tf.errors.OpError, id="mat-two-values"),
    pytest.param(mat_pose(np.zeros((1, 3, 2))), tf.errors.OpError, id="mat-3d"),
    pytest.param(
        json_annotation("json", {"boxes": [DETECT_BOX + [0]], "angles": [[0, float("nan"), 0]]}),
        tf.errors.OpError,
        id="json-nan-angle",
    ),
    pytest.param(
        json_annotation("json", {"boxes": [[float("inf"), 0.5, 0.5, 0.5, 0]], "angles": [[0, 0, 0]]}),
        tf.errors.OpError,
        id="json-inf-box",
    ),
    pytest.param(
        json_annotation("detect", {"boxes": [DETECT_BOX + [7]], "angles": []}),
        tf.errors.OpError,
        id="detect-label-beyond-classes",
    ),
    pytest.param(
        json_annotation("detect", {"boxes": [DETECT_BOX + [-1]], "angles": []}),
        tf.errors.OpError,
        id="detect-negative-label",
    ),
    pytest.param(
        json_annotation("detect", {"boxes": [[0.5, float("nan"), 0.5, 0.5, 0]], "angles": []}),
        tf.errors.OpError,
        id="detect-nan-box",
    ),
    pytest.param(
        json_annotation("detect", {"boxes": [], "angles": [{"pitch": 1e40, "yaw": 0, "roll": 0}]}),
        tf.errors.OpError,
        id="detect-angle-overflows-float32",
    ),
]


@pytest.mark.parametrize("build, error_type", FAULTS)
def test_faults_name_the_file_or_folder(tmp_path, build, error_type):
    action, named = build(tmp_path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(error_type) as error:
            action()
    text = full_text(error.value)
    assert named in text
    assert len(text) < 20_000  # echoed input is cut


# ---- inputs that are converted, skipped or reported ------------------------------------------------


def grey16(path, value=0x8000):
    Image.fromarray(np.full((16, 16), value, np.uint16)).save(path)


SCALED = round(0x8000 * 255 / 65535)


def test_16_bit_grey_images_are_scaled_to_8_bits_by_every_loader(tmp_path):
    info = darknet_folders(tmp_path / "darknet", image=grey16)
    dataset = darknet.DarknetDataset(info, SHAPE)
    images = [train_batches(dataset)[0][0].numpy(), darknet_val(dataset)[0][0].numpy()]

    folders = attitude_folders(tmp_path / "attitude")
    for image in os.listdir(folders[0]):
        grey16(os.path.join(folders[0], image))
    images.append(train_batches(attitude.AttitudeDataset(SHAPE, *folders))[0][0].numpy())

    masks = tmp_path / "masks"
    masks.mkdir()
    Image.new("L", (16, 16)).save(masks / "a.png")
    segmentation = SegmentationDataset(SHAPE, folders[0], str(masks), folders[0], str(masks), flip=False)
    images.append(segmentation.load_sample([os.path.join(folders[0], "a.png"), str(masks / "a.png")])[0])
    for image in images:
        assert (image == SCALED).all()


def test_thin_images_load_through_every_pipeline(tmp_path):
    info = darknet_folders(tmp_path / "darknet", image=lambda path: Image.new("RGB", (1, 300)).save(path))
    dataset = darknet.DarknetDataset(info, SHAPE)
    assert train_batches(dataset)[0][0].shape == (1, 16, 16, 3)
    dataset.letter_box = False
    assert train_batches(dataset)[0][0].shape == (1, 16, 16, 3)
    assert darknet_val(dataset)[0][0].shape == (1, 300, 1, 3)
    folders = attitude_folders(tmp_path / "attitude")
    Image.new("RGB", (400, 1)).save(os.path.join(folders[0], "a.png"))
    assert train_batches(attitude.AttitudeDataset(SHAPE, *folders))[0][0].shape == (1, 16, 16, 3)


def test_darknet_decodes_truncated_images_with_a_warning_naming_each(tmp_path):
    dataset = darknet.DarknetDataset(darknet_folders(tmp_path, image=huge_png_without_data), SHAPE)
    with pytest.warns(UserWarning, match=r"s\.png: image file is truncated.*declared 3000x3000") as recorded:
        loaded = [train_batches(dataset), darknet_val(dataset)]
    assert loaded[0][0][0].shape == (1, 16, 16, 3)
    named = {str(w.message).split(":")[0] for w in recorded if "truncated" in str(w.message)}
    assert named == {entry[0] for entry in dataset.train_storage + dataset.val_storage}


def test_darknet_reports_images_without_annotation_files_once_per_split(tmp_path, capsys):
    info = darknet_folders(tmp_path)
    for name in ("x.png", "y.jpg"):
        Image.new("RGB", (4, 4)).save(os.path.join(info["train"]["images"], name))
    darknet.DarknetDataset(info, SHAPE)
    lines = [line for line in capsys.readouterr().out.splitlines() if "without annotation" in line]
    assert len(lines) == 1
    assert lines[0].startswith("\t - [WARNING]: 2 images without annotation files were skipped (first: ")
    assert os.path.join(info["train"]["annotations"], "x.txt") in lines[0]


def rotated_photo(path, format="PNG"):
    exif = Image.Exif()
    exif[0x0112] = 6  # shown turned 90 degrees clockwise
    Image.new("RGB", (24, 16)).save(path, format=format, exif=exif)


def rotated_jpeg(path):
    rotated_photo(path, format="JPEG")  # decoded without Pillow when reduced


@pytest.mark.parametrize(
    "kind, photo, reduced",
    [
        ("darknet", rotated_photo, False),
        ("darknet", rotated_jpeg, True),
        ("attitude", rotated_photo, False),
        ("attitude", rotated_jpeg, True),
    ],
)
def test_exif_orientation_is_reported_once_per_dataset_and_pixels_stay_as_stored(tmp_path, kind, photo, reduced):
    if kind == "darknet":
        dataset = darknet.DarknetDataset(darknet_folders(tmp_path, image=photo), SHAPE, reduced_decode=reduced)
        entry = dataset.train_storage[0]

        def load():
            return dataset.load_instance(entry, True)[0]

        expected = {(16, 16, 3)}
    else:
        folders = attitude_folders(tmp_path)
        photo(os.path.join(folders[0], "a.png"))
        dataset = attitude.AttitudeDataset([16, 24, 3], *folders, reduced_decode=reduced)
        entry = dataset.train_storage[0]

        def load():
            return dataset._load_instance(entry)[0]

        expected = {(16, 24, 3)}  # not rotated

    with pytest.warns(UserWarning, match="EXIF orientation 6") as recorded:
        shapes = {load().shape for _ in range(3)}
    assert len([w for w in recorded if "EXIF" in str(w.message)]) == 1
    assert shapes == expected


def test_file_names_that_are_not_utf8_are_skipped_with_a_warning(tmp_path):
    info = darknet_folders(tmp_path)
    images = os.fsencode(info["train"]["images"])
    Image.new("RGB", (4, 4)).save(os.path.join(images, b"caf\xe9.png"))
    with open(os.path.join(os.fsencode(info["train"]["annotations"]), b"caf\xe9.txt"), "w") as file:
        file.write("0 0.5 0.5 0.5 0.5\n")
    with pytest.warns(UserWarning, match=r"not valid UTF-8 \(first: b'.*caf\\xe9.png'\)"):
        dataset = darknet.DarknetDataset(info, SHAPE)
    assert len(train_batches(dataset)) == 1
