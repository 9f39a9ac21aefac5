"""Darknet datasets: description checks, sample storage, instance loading and pipelines."""

import glob
import os
import re
import threading

import numpy as np
import pytest
import tensorflow as tf
from PIL import Image
from quillon.forgeline.datasets import darknet
from quillon.forgeline.datasets.utils import letterbox

TYPE_ERROR = "Argument '{}' has incorrect type (expected {}, got {})"


def write_image(path, width=64, height=48, mode="RGB", seed=0):
    pixels = np.random.default_rng(seed).integers(0, 256, (height, width, 3), dtype=np.uint8)
    image = Image.fromarray(pixels)
    if mode != "RGB":
        image = image.convert(mode)
    image.save(path)
    return path


def write_text(path, text):
    with open(path, "w") as file:
        file.write(text)
    return path


def make_split(root, name, samples):
    """samples: {image file name: annotation text or None (no annotation file)}."""
    images = root / name / "images"
    annotations = root / name / "labels"
    images.mkdir(parents=True)
    annotations.mkdir(parents=True)
    for index, (file_name, text) in enumerate(samples.items()):
        write_image(str(images / file_name), seed=index)
        if text is not None:
            write_text(str(annotations / (os.path.splitext(file_name)[0] + ".txt")), text)
    return {"images": str(images), "annotations": str(annotations)}


def description(root, train=None, validation=None, **extra):
    mapping = {
        "type": "darknet",
        "classes": ["person", "car", "dog"],
        "train": make_split(root, "train", train or {"t0.jpg": "0 0.5 0.5 0.2 0.2\n"}),
        "validation": make_split(root, "val", validation or {"v0.png": "1 0.5 0.5 0.2 0.2\n"}),
    }
    mapping.update(extra)
    return mapping


@pytest.fixture
def dataset(tmp_path):
    return darknet.DarknetDataset(description(tmp_path), [320, 320, 3])


def entry(image, annotation):
    return np.array([str(image).encode(), str(annotation).encode()], dtype=object)


# ---- module top level and argument types ------------------------------------


def test_import_sets_process_wide_options():
    assert np.geterr() == {"divide": "ignore", "over": "ignore", "under": "ignore", "invalid": "ignore"}
    assert issubclass(darknet.DarknetDataset, darknet.DarknetDatasetYaml)
    assert issubclass(darknet.DarknetDatasetYaml, darknet.BaseDetectionDataset)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda _: darknet.DarknetDatasetYaml(info_file=3), TYPE_ERROR.format("info_file", "str", "int")),
        (lambda _: darknet.DarknetDatasetYaml(shape=(320, 320)), TYPE_ERROR.format("shape", "list", "tuple")),
        (lambda _: darknet.DarknetDataset(aug_cfg=[]), TYPE_ERROR.format("aug_cfg", "dict", "list")),
        (lambda _: darknet.DarknetDataset(info_dataset="a.yaml"), TYPE_ERROR.format("info_dataset", "dict", "str")),
        (
            lambda d: d.build_and_load_base_iterator(tuple(d.train_storage)),
            TYPE_ERROR.format("storage", "list", "tuple"),
        ),
        (lambda d: d.validate_info_file_content([]), TYPE_ERROR.format("info_dataset", "dict", "list")),
        (lambda d: d.validate_info_file(3), TYPE_ERROR.format("info_file", "str", "int")),
    ],
)
def test_argument_types(dataset, call, message):
    with pytest.raises(TypeError) as error:
        call(dataset)
    assert str(error.value) == message


def test_yaml_dataset_reads_its_description_file(tmp_path):
    import yaml

    mapping = description(tmp_path, anchors=[[10, 13], [16, 30]])
    path = tmp_path / "data.yaml"
    path.write_text(yaml.safe_dump(mapping))
    dataset = darknet.DarknetDatasetYaml(str(path), [320, 320], letter_box=False, add_bkg_class=False)
    assert dataset.classes == ["person", "car", "dog"]
    assert dataset._anchors == [[10, 13], [16, 30]]
    assert dataset.path_train_images == mapping["train"]["images"]
    assert dataset.path_val_annotations == mapping["validation"]["annotations"]
    assert (dataset.train_images, dataset.val_images, dataset.train_annotations) == (None, None, None)
    assert dataset.val_annotations == []
    assert (dataset.num_train_samples, dataset.num_val_samples) == (1, 1)


# ---- description checks -----------------------------------------------------


def test_dataset_sets_the_callers_type_in_place(tmp_path):
    mapping = description(tmp_path)
    mapping["type"] = "coco"
    dataset = darknet.DarknetDataset(mapping, [320, 320])
    assert mapping["type"] == "darknet"
    assert dataset.info_dataset is mapping
    assert dataset.validate_info_file("ignored.yaml") is mapping
    assert dataset._anchors is None


def test_type_ignores_case_and_classes_get_the_background_class(dataset):
    classes = ["person", "car"]
    dataset.validate_info_file_content(dict(dataset.info_dataset, type="DarkNet", classes=classes))
    assert dataset.classes == ["background", "person", "car"]
    assert classes == ["person", "car"]
    dataset.validate_info_file_content(dict(dataset.info_dataset, classes=[]))
    assert dataset.classes == ["background"]


REMOVED = object()  # the key is left out of the description
OTHER_TYPE = "[ERROR]: Incompatible dataset type was found: yolo is different than ``darknet``"
NO_TYPE = "[ERROR]: Dataset description key ``type`` must be a string, got None"
NO_CLASSES = "[ERROR]: Invalid dataset with no annotation classes was found"
CLASSES_NOT_A_LIST = "[ERROR]: Dataset description key ``classes`` must be a list of class names, got str"
TRAIN_ERROR = "[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``train`` section"
VALIDATE_ERROR = "[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``validate`` section"
TRAIN_LINE = "\t - [ERROR] Dataset format is inconsistent. Missing key ``train``\n"
VALIDATION_LINE = "\t - [ERROR] Dataset format is inconsistent. Missing key ``validation``\n"


@pytest.mark.parametrize(
    "changes, class_offset, error, message, printed",
    [
        ({"type": "yolo"}, 1, ValueError, OTHER_TYPE, ""),
        ({"type": REMOVED}, 1, AttributeError, NO_TYPE, ""),
        ({"classes": []}, 0, ValueError, NO_CLASSES, ""),  # without a background class to add
        ({"classes": "person"}, 1, TypeError, CLASSES_NOT_A_LIST, ""),  # not letters as class names
        ({"train": None}, 1, ValueError, TRAIN_ERROR, TRAIN_LINE),
        ({"train": None, "validation": None}, 1, ValueError, TRAIN_ERROR, TRAIN_LINE + VALIDATION_LINE),
        ({"validation": None}, 1, ValueError, VALIDATE_ERROR, VALIDATION_LINE),
        ({"train": REMOVED}, 1, ValueError, TRAIN_ERROR, ""),
        ({"train": {"images": "/a"}}, 1, ValueError, TRAIN_ERROR, ""),
        ({"validation": REMOVED}, 1, ValueError, VALIDATE_ERROR, ""),
    ],
)
def test_description_errors_and_printed_lines(dataset, capsys, changes, class_offset, error, message, printed):
    mapping = {key: value for key, value in dict(dataset.info_dataset, **changes).items() if value is not REMOVED}
    dataset.class_offset = class_offset
    capsys.readouterr()
    with pytest.raises(error) as raised:
        dataset.validate_info_file_content(mapping)
    assert str(raised.value) == message
    assert capsys.readouterr().out == printed


def test_validation_paths_are_stored_before_the_check(dataset):
    mapping = dict(dataset.info_dataset, validation={"images": "/data/val/images"})
    with pytest.raises(ValueError, match="``validate`` section"):
        dataset.validate_info_file_content(mapping)
    assert dataset.path_val_images == "/data/val/images"
    assert dataset.path_val_annotations is None
    assert dataset.path_train_images == mapping["train"]["images"]


# ---- sample storage -----------------------------------------------------------


def test_storage_pattern_order_case_and_pairing(tmp_path):
    train = {
        "b.jpg": "0 .5 .5 .1 .1\n",
        "c.Jpeg": "",
        "a.PNG": "",
        "img.final.jpg": "",
        "x.bmp": "",
        "y.tiff": "",
        "no_label.jpg": None,
    }
    root = tmp_path / "run[1]*"  # folder names are matched literally, not as patterns
    dataset = darknet.DarknetDataset(description(root, train=train), [64, 64])
    assert dataset.train_storage[0][0].startswith(str(root)) and dataset.num_val_samples == 1
    images = [os.path.basename(image) for image, _ in dataset.train_storage]
    assert images[0] == "a.PNG"
    assert sorted(images[1:3]) == ["b.jpg", "img.final.jpg"]
    assert images[3] == "c.Jpeg"
    assert dataset.num_train_samples == 4
    labels = dict(dataset.train_storage)
    folder = dataset.path_train_annotations
    assert labels[os.path.join(dataset.path_train_images, "img.final.jpg")] == os.path.join(folder, "img.final.txt")
    assert labels[os.path.join(dataset.path_train_images, "c.Jpeg")] == os.path.join(folder, "c.txt")


def test_storage_pairs_paths_exactly_as_os_path_does(tmp_path, monkeypatch):
    images, labels = tmp_path / "images", tmp_path / "labels"
    images.mkdir(), labels.mkdir()
    stems = ["a.", "img.final", "ü ñ", "x.y.z", "link", "folder", "missing"]
    for stem, extension in zip(stems, [".jpg", ".jpg", ".png", ".JPEG", ".jpg", ".jpg", ".png"]):
        (images / (stem + extension)).touch()
    for stem in stems[:4]:
        (labels / (stem + ".txt")).touch()
    (labels / "link.txt").symlink_to(labels / "nowhere.txt")  # a broken link does not exist
    (labels / "folder.txt").mkdir()  # exists, as os.path.exists says
    split = {"images": str(images), "annotations": str(labels) + "/"}

    # What glob and os.path make of the folders: the pairs, in glob's order.
    patterns = ("*.[pP][nN][gG]", "*.[jJ][pP][gG]", "*.[jJ][pP][eE][gG]")
    found = [image for pattern in patterns for image in glob.glob(os.path.join(str(images), pattern))]
    stems_found = [(image, os.path.splitext(os.path.basename(image))[0]) for image in found]
    pairs = [[image, os.path.join(split["annotations"], stem + ".txt")] for image, stem in stems_found]
    expected = [pair for pair in pairs if os.path.exists(pair[1])]
    paired = ["a..txt", "folder.txt", "img.final.txt", "x.y.z.txt", "ü ñ.txt"]
    assert sorted(os.path.basename(label) for _, label in expected) == paired
    mapping = {"classes": ["a"], "train": split, "validation": split}
    assert darknet.DarknetDataset(mapping, [8, 8]).train_storage == expected
    # Path functions replaced by the caller are the ones called.
    calls = []
    monkeypatch.setattr(darknet, "exists", lambda path: calls.append(path) or os.path.exists(path))
    assert darknet.DarknetDataset(mapping, [8, 8]).train_storage == expected
    assert len(calls) == 2 * len(stems)


def test_storage_appends_on_each_call_and_reports_progress(dataset, monkeypatch):
    bars = []

    class RecordingTqdm:
        @staticmethod
        def tqdm(items, **options):
            bars.append(options)
            return iter(items)

    monkeypatch.setattr(darknet, "tqdm", RecordingTqdm)
    dataset.load_storage()
    assert (dataset.num_train_samples, dataset.num_val_samples) == (2, 2)
    assert dataset.train_storage[0] == dataset.train_storage[1]
    bar_format = "{l_bar}{bar:15}{r_bar}{bar:-15b}"
    assert bars == [
        {"desc": "Loading training dataset", "colour": "green", "bar_format": bar_format},
        {"desc": "Loading validation dataset", "colour": "green", "bar_format": bar_format},
    ]


def test_empty_splits_are_rejected(dataset, tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    dataset.train_storage, dataset.val_storage = [], []
    dataset.path_train_images = str(empty)
    with pytest.raises(ValueError, match=r"^\[ERROR\]: Dataset with empty training samples is not allowed$"):
        dataset.load_storage()
    assert dataset.val_storage == []  # the validation split was not searched

    dataset.path_train_images = dataset.info_dataset["train"]["images"]
    dataset.path_val_images = str(tmp_path / "missing")
    with pytest.raises(ValueError, match=r"^\[ERROR\]: Dataset with empty validation samples is not allowed$"):
        dataset.load_storage()
    assert dataset.num_train_samples == 1 and len(dataset.train_storage) == 1


# ---- instance loading -----------------------------------------------------------


@pytest.fixture
def wide_sample(tmp_path):
    image = write_image(str(tmp_path / "wide.jpg"), width=640, height=480)
    annotation = write_text(str(tmp_path / "wide.txt"), "2 0.5 0.5 0.5 0.5\n")
    return image, annotation


LETTERBOXED = [[80, 100, 240, 220, 3]]  # 640 x 480 into 320 x 320: ratio 1/2, 40 rows of padding on top
NORMALISED = [[0.25, 0.25, 0.75, 0.75, 3]]


@pytest.mark.parametrize(
    "letter_box, training, make_entry, expected_image, expected_boxes",
    [
        (True, True, entry, lambda pixels: letterbox(pixels, [320, 320], auto=False)[0], LETTERBOXED),
        (False, True, entry, None, [[80, 80, 240, 240, 3]]),  # stretched to the input size
        (True, False, entry, lambda pixels: pixels, NORMALISED),  # validation: the image as it is
        (True, True, lambda *paths: tf.constant(list(paths)), None, LETTERBOXED),
        (True, False, lambda *paths: list(paths), None, NORMALISED),
    ],
)
def test_sample_pixels_and_boxes(
    dataset, wide_sample, letter_box, training, make_entry, expected_image, expected_boxes
):
    dataset.letter_box = letter_box
    image, boxes, *name = dataset.load_instance(make_entry(*wide_sample), training)
    assert image.dtype == np.uint8 and image.shape == ((320, 320, 3) if training else (480, 640, 3))
    if expected_image is not None:
        np.testing.assert_array_equal(image, expected_image(np.asarray(Image.open(wide_sample[0]).convert("RGB"))))
    assert boxes.dtype == np.float32
    np.testing.assert_allclose(boxes, expected_boxes)
    assert name == ([] if training else ["wide.jpg"])


@pytest.mark.parametrize(
    "mode, width, height", [("RGB", 1, 1), ("RGB", 5, 3), ("L", 64, 48), ("P", 64, 48), ("RGBA", 7, 2)]
)
def test_pixels_match_pillow_for_every_mode_and_size(dataset, tmp_path, mode, width, height):
    path = write_image(str(tmp_path / f"image_{mode}.png"), width=width, height=height, mode=mode)
    image, _, _ = dataset.load_instance(entry(path, tmp_path / "none.txt"), False)
    np.testing.assert_array_equal(image, np.asarray(Image.open(path).convert("RGB")))


@pytest.mark.parametrize("text", [None, "", "\n\n", "# only a comment\n"])
@pytest.mark.parametrize("offset", [0, 1])
def test_no_objects_give_one_zero_row(dataset, wide_sample, text, offset):
    dataset.class_offset = offset
    annotation = wide_sample[0] + ".labels"
    if text is not None:
        write_text(annotation, text)
    for training in (True, False):
        boxes = dataset.load_instance(entry(wide_sample[0], annotation), training)[1]
        np.testing.assert_array_equal(boxes, np.zeros((1, 5), np.float32))
        assert boxes.dtype == np.float32


def test_several_lines_comments_and_clipping(dataset, wide_sample):
    write_text(wide_sample[1], "# class cx cy w h\n0 0.9 0.5 0.4 0.2  # past the right edge\n\n1 0.1 0.1 0.1 0.1\n")
    dataset.letter_box = False
    _, boxes = dataset.load_instance(entry(*wide_sample), True)
    np.testing.assert_allclose(boxes, [[224, 128, 320, 192, 1], [16, 16, 48, 48, 2]], rtol=1e-6)
    _, boxes, _ = dataset.load_instance(entry(*wide_sample), False)
    np.testing.assert_allclose(boxes, [[0.7, 0.4, 1.0, 0.6, 1], [0.05, 0.05, 0.15, 0.15, 2]], rtol=1e-6)


@pytest.mark.parametrize(
    "text, problem",
    [
        ("0 0.5 0.5 0.5\n", "line 1 holds 4 values, expected 5"),
        ("0 .5 .5 .5 .5\n1 a .5 .5 .5\n", "line 2: 'a'"),
        ("0 .5 .5 .5 nan\n", "line 1: 'nan'"),
        ("3 .5 .5 .5 .5\n", "line 1: class 3 is not one of the 3 classes"),
        ("1.5 .5 .5 .5 .5\n", "class 1.5 is not"),
        ("-1 .5 .5 .5 .5\n", "class -1 is not"),
    ],
)
def test_malformed_annotation_names_the_file(dataset, wide_sample, text, problem):
    write_text(wide_sample[1], text)
    with pytest.raises(ValueError) as error:
        dataset.load_instance(entry(*wide_sample), True)
    assert wide_sample[1] in str(error.value) and problem in str(error.value)


def test_unreadable_images_name_the_file(dataset, tmp_path, wide_sample):
    broken = write_text(str(tmp_path / "broken.jpg"), "not an image")
    with pytest.raises(OSError, match="broken.jpg") as error:
        dataset.load_instance(entry(broken, wide_sample[1]), True)
    assert error.value.__cause__ is not None
    with pytest.raises(FileNotFoundError, match="missing.jpg"):
        dataset.load_instance(entry(tmp_path / "missing.jpg", wide_sample[1]), False)
    with pytest.raises(ValueError, match="too many values to unpack"):
        dataset.load_instance(np.array([b"a", b"b", b"c"], dtype=object), True)


def test_truncated_image_is_decoded(dataset, wide_sample):
    with open(wide_sample[0], "rb") as file:
        content = file.read()
    with open(wide_sample[0], "wb") as file:
        file.write(content[: len(content) // 2])
    with pytest.warns(UserWarning, match=r"wide\.jpg: image file is truncated .*declared 640x480"):
        image, boxes = dataset.load_instance(entry(*wide_sample), True)
    assert image.shape == (320, 320, 3)
    with pytest.raises(OSError, match="truncated"):  # other loaders still fail on the file: tolerated only here
        Image.open(wide_sample[0]).load()


def test_loading_from_many_threads_matches_serial_loading(dataset, tmp_path):
    entries = []
    for index in range(8):
        image = write_image(str(tmp_path / f"s{index}.jpg"), width=96 + index, height=64, seed=index)
        annotation = write_text(str(tmp_path / f"s{index}.txt"), f"{index % 3} 0.5 0.5 0.{index + 1} 0.3\n")
        entries.append(entry(image, annotation))
    serial = [dataset.load_instance(item, True) for item in entries]
    results = {}

    def work(worker):
        results[worker] = [dataset.load_instance(item, True) for item in entries * 4]

    threads = [threading.Thread(target=work, args=(worker,)) for worker in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for loaded in results.values():
        for (image, boxes), (expected_image, expected_boxes) in zip(loaded, serial * 4):
            np.testing.assert_array_equal(image, expected_image)
            np.testing.assert_array_equal(boxes, expected_boxes)


# ---- base iterator and pipelines ------------------------------------------------


def test_base_iterator_order_and_shuffle(dataset):
    storage = [[f"/i/{index}.png", f"/a/{index}.txt"] for index in range(10)]
    ordered = dataset.build_and_load_base_iterator(storage, shuffle=False)
    assert ordered.element_spec == tf.TensorSpec([2], tf.string)
    assert [[item.decode() for item in element] for element in ordered.as_numpy_iterator()] == storage
    shuffled = dataset.build_and_load_base_iterator(storage)
    for _ in range(2):
        elements = sorted([item.decode() for item in element] for element in shuffled.as_numpy_iterator())
        assert elements == sorted(storage)


def test_training_and_validation_pipelines(tmp_path):
    train = {"a.jpg": "0 0.5 0.5 0.5 0.5\n1 0.2 0.2 0.1 0.1\n", "b.png": "", "c.jpg": "2 0.5 0.5 1 1\n"}
    dataset = darknet.DarknetDataset(description(tmp_path, train=train), [32, 48, 3], add_bkg_class=False)
    batches = list(dataset.build_train_iterator(2))
    assert [tuple(images.shape) for images, _ in batches] == [(2, 32, 48, 3), (1, 32, 48, 3)]
    boxes = np.concatenate([b.numpy().reshape(-1, 5) for _, b in batches])
    assert sorted(boxes[:, 4][boxes[:, 2] > 0].tolist()) == [0, 1, 2]

    ((image, boxes, name),) = list(dataset.build_val_iterator())
    assert image.shape == (1, 48, 64, 3) and name.numpy().tolist() == [b"v0.png"]
    np.testing.assert_allclose(boxes.numpy(), [[[0.4, 0.4, 0.6, 0.6, 1]]], rtol=1e-6)


def test_pipeline_failure_names_the_file(tmp_path):
    dataset = darknet.DarknetDataset(description(tmp_path, train={"bad.jpg": "0 0.5 0.5\n"}), [32, 32])
    with pytest.raises(tf.errors.OpError, match="bad.txt"):
        list(dataset.build_train_iterator(1))


SOUND = "0 0.5 0.5 0.5 0.5\n"


@pytest.mark.parametrize(
    "train, not_images, batch_size, warned, batch_sizes",
    [
        # Pixel units and a zero-size box: counted once per split, first file named.
        (
            {"a.jpg": "0 245 130 60 40\n", "b.jpg": SOUND, "c.jpg": "1 0.5 0.5 0 0.2\n"},
            [],
            2,
            [r"2 training label files hold boxes outside the image .* \(first: .*[ac]\.txt\)"],
            [2, 1],
        ),
        # A batch of nothing but unreadable images still comes, without objects.
        ({"a.jpg": SOUND, "b.jpg": SOUND}, ["a.jpg", "b.jpg"], 1, [r"a\.jpg", r"b\.jpg"], [1, 1]),
    ],
)
def test_training_goes_on_past_bad_files_warning_once(tmp_path, train, not_images, batch_size, warned, batch_sizes):
    mapping = description(tmp_path, train=train)
    for name in not_images:
        write_text(os.path.join(mapping["train"]["images"], name), "meeting notes, saved with the wrong name\n")
    dataset = darknet.DarknetDataset(mapping, [32, 32])
    with pytest.warns(UserWarning) as caught:
        for _ in range(2):  # warned about in the first epoch only
            batches = list(dataset.build_train_iterator(batch_size))
            assert sorted(len(images) for images, _ in batches) == sorted(batch_sizes)
    messages = [str(warning.message) for warning in caught]
    assert len(messages) == len(warned)
    for pattern in warned:
        assert any(re.search(pattern, message) for message in messages), (pattern, messages)
    for name in not_images:  # direct callers still get the error
        with pytest.raises(OSError, match=name):
            dataset.load_instance(entry(os.path.join(mapping["train"]["images"], name), "x.txt"))
