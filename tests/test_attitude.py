"""Folder-based and YAML-described head-pose datasets with MATLAB annotations."""

import os
import re
import shutil

import cv2
import numpy as np
import pytest
import scipy.io
import tensorflow as tf
from attitude_samples import make_split, pattern_image, seed_for, write_description, write_image, write_json, write_mat
from PIL import Image, ImageFilter
from quillon.forgeline.datasets import attitude

SHAPE = [6, 8, 3]
BLUR = (0.05, True)
NO_BLUR = (0.05, False)


@pytest.fixture
def folders(tmp_path):
    train = make_split(tmp_path, "train", [f"t{i}" for i in range(5)])
    val = make_split(tmp_path, "val", ["v0", "v1", "v2", "v3"])
    return (*train, *val)


def entry(pair):
    return np.array([os.fsencode(path) for path in pair])


def test_module_binds_its_globals_in_order_and_defines_the_six_classes():
    names = list(vars(attitude))
    globals_ = [
        "exists",
        "join",
        "basename",
        "splitext",
        "xywhn2xyxy",
        "Image",
        "ImageFilter",
        "tf",
        "sio",
        "np",
        "json",
        "cv2",
    ]
    assert [name for name in names if name in globals_] == globals_
    assert "glob" not in names and "yaml" not in names
    bases = {
        "AttitudeDataset": object,
        "AttitudeDatasetYaml": attitude.AttitudeDataset,
        "AttitudeAndDetectDataset": attitude.AttitudeDataset,
        "AttitudeDatasetJson": attitude.AttitudeDataset,
        "AttitudeAndDetectDatasetYaml": attitude.AttitudeAndDetectDataset,
        "AttitudeDatasetJsonYaml": attitude.AttitudeDatasetJson,
    }
    for name, base in bases.items():
        assert getattr(attitude, name).__bases__ == (base,)
        assert (getattr(attitude, name).__doc__ is not None) == (
            name in ("AttitudeDataset", "AttitudeAndDetectDataset")
        )
    methods = [name for name in vars(attitude.AttitudeDataset) if not name.startswith("__") or name == "__init__"]
    assert methods == [
        "__init__",
        "read_annotations",
        "tf_load_instance",
        "_load_instance",
        "tf_augment",
        "_augment",
        "build_train_iterator",
        "build_val_iterator",
        "get_num_train_samples",
        "load_validation_instance",
    ]
    graph_function = type(tf.function(lambda: 0))
    assert isinstance(vars(attitude.AttitudeDataset)["tf_load_instance"], graph_function)
    assert isinstance(vars(attitude.AttitudeAndDetectDataset)["tf_load_instance"], graph_function)
    assert not isinstance(vars(attitude.AttitudeDataset)["tf_augment"], graph_function)


def test_discovery_pairs_images_of_any_case_with_their_annotations(tmp_path, folders, capsys):
    images, annotations = tmp_path / "im[1]", tmp_path / "ann"  # glob characters are taken literally
    images.mkdir(), annotations.mkdir()
    for name in ["a.PNG", "b.Jpg", "c.jpeg", "face.01.png", "x.png", "x.jpg", "d.bmp", "e.tif", "lost.png"]:
        write_image(images / name)
    for stem in ["a", "b", "c", "face.01", "x", "d", "e"]:
        write_mat(annotations / f"{stem}.mat")
    dataset = attitude.AttitudeDataset(SHAPE, str(images), str(annotations), *folders[2:])
    names = [(os.path.basename(image), os.path.basename(mat)) for image, mat in dataset.train_storage]
    assert sorted(names) == sorted(
        [
            ("a.PNG", "a.mat"),
            ("b.Jpg", "b.mat"),
            ("c.jpeg", "c.mat"),
            ("face.01.png", "face.01.mat"),
            ("x.png", "x.mat"),
            ("x.jpg", "x.mat"),
        ]
    )
    assert names.index(("x.png", "x.mat")) < names.index(("x.jpg", "x.mat")) < names.index(("c.jpeg", "c.mat"))
    assert dataset.train_storage[0][0].startswith(str(images) + os.sep)
    assert capsys.readouterr().out == "Missing annotation file: lost\n"
    assert dataset.get_num_train_samples() == 6
    assert (dataset.shape, dataset.num_bins, len(dataset.val_storage)) == (SHAPE, 66, 4)


def test_file_extension_names_the_annotation_files(tmp_path):
    images, annotations = tmp_path / "i", tmp_path / "a"
    images.mkdir(), annotations.mkdir()
    write_image(images / "x.png")
    (annotations / "x.json").write_text("{}")
    split = [str(images), str(annotations)]
    dataset = attitude.AttitudeDataset(SHAPE, *split, *split, file_extension="json")
    assert dataset.train_storage == dataset.val_storage == [[str(images / "x.png"), str(annotations / "x.json")]]
    with pytest.raises(ValueError, match="^Training dataset must have at least 1 element$"):
        attitude.AttitudeDataset(SHAPE, *split, *split, file_extension=".json")


def test_construction_errors(tmp_path, folders):
    train_images, train_annotations, val_images, val_annotations = folders
    missing = str(tmp_path / "missing")
    with pytest.raises(
        FileNotFoundError, match=f"^Path to the training images does not exist in this system: {re.escape(missing)}$"
    ):
        attitude.AttitudeDataset(SHAPE, missing, train_annotations, val_images, val_annotations)
    with pytest.raises(FileNotFoundError, match="^Path to the training annotations does not exist in this system: "):
        attitude.AttitudeDataset(SHAPE, train_images, missing, val_images, val_annotations)
    with pytest.raises(ValueError, match="^Validation dataset must have at least 1 element$"):
        attitude.AttitudeDataset(SHAPE, train_images, train_annotations, missing, val_annotations)
    with pytest.raises(ValueError, match="^Training dataset must have at least 1 element$"):
        attitude.AttitudeDataset(SHAPE, train_images, val_annotations, val_images, val_annotations)
    with pytest.raises(TypeError, match=r"^Argument 'shape' has incorrect type \(expected list, got tuple\)$"):
        attitude.AttitudeDataset((6, 8, 3), *folders)
    with pytest.raises(TypeError, match="Argument 'val_images' has incorrect type"):
        attitude.AttitudeDataset(SHAPE, train_images, train_annotations, os.fsencode(val_images), val_annotations)
    with pytest.raises(TypeError):
        attitude.AttitudeDataset(SHAPE)


def test_read_annotations_takes_text_and_byte_paths(tmp_path, folders):
    dataset = attitude.AttitudeDataset(SHAPE, *folders)
    path = write_mat(str(tmp_path / "pose.mat"), (1.5, -2.25, 3.0))
    for given in (path, os.fsencode(path)):
        pose, pt2d = dataset.read_annotations(given)
        assert pose.dtype == np.float32 and pose.tolist() == [1.5, -2.25, 3.0]
        assert pt2d.dtype == np.float32 and pt2d.shape == (2, 68)


def test_loader_resizes_converts_to_rgb_and_blurs_like_pillow(tmp_path, folders):
    dataset = attitude.AttitudeDataset(SHAPE, *folders)
    mat = write_mat(str(tmp_path / "p.mat"), (7, 8, 9))
    # The blur must match Pillow's bit for bit, frame and tiny images included.
    for height, width in [(3, 4), (5, 5), (9, 7), (24, 33)]:
        dataset.shape = [height, width, 3]
        pixels = pattern_image(height, width, seed=height)
        path = write_image(str(tmp_path / f"b{height}.png"), pixels)
        for wanted, expected in [
            (BLUR, np.asarray(Image.fromarray(pixels).filter(ImageFilter.BLUR))),
            (NO_BLUR, pixels),
        ]:
            np.random.seed(seed_for(wanted))
            image, angles = dataset._load_instance(entry([path, mat]))
            np.testing.assert_array_equal(image, cv2.resize(expected, (width, height)))
            assert angles.dtype == np.float32 and angles.tolist() == [7, 8, 9]

    dataset.shape = [120, 160, 3]
    jpeg = write_image(str(tmp_path / "big.jpg"), size=(48, 64))
    assert dataset._load_instance([jpeg, mat])[0].shape == (120, 160, 3)
    grey = write_image(str(tmp_path / "grey.png"), mode="L")
    image = dataset._load_instance([grey, mat])[0]
    assert image.dtype == np.uint8 and (image[..., 0] == image[..., 1]).all() and (image[..., 1] == image[..., 2]).all()
    assert dataset._load_instance([write_image(str(tmp_path / "a.png"), mode="RGBA"), mat])[0].shape == (120, 160, 3)


def test_loader_failures_name_the_file(tmp_path, folders):
    dataset = attitude.AttitudeDataset(SHAPE, *folders)
    image = write_image(str(tmp_path / "ok.png"))
    no_pose = str(tmp_path / "no_pose.mat")
    scipy.io.savemat(no_pose, {"pt2d": np.zeros((2, 68))})
    with pytest.raises(KeyError, match="no_pose.mat: no entry 'Pose_Para'"):
        dataset._load_instance(entry([image, no_pose]))
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"not an image")
    with pytest.raises(Exception, match="broken.png"):
        dataset._load_instance(entry([str(broken), no_pose]))
    dataset.train_storage = [[image, no_pose]]
    with pytest.raises(tf.errors.OpError, match="no_pose.mat"):
        list(dataset.build_train_iterator(1))


def test_training_pipeline_batches_and_reshuffles(tmp_path):
    stems = [f"s{i:02d}" for i in range(25)]
    folders = (*make_split(tmp_path, "train", stems, size=(4, 5)), *make_split(tmp_path, "val", ["v"], size=(4, 5)))
    dataset = attitude.AttitudeDataset(SHAPE, *folders)
    passes = []
    pipeline = dataset.build_train_iterator(8)
    for _ in range(2):
        batches = list(pipeline)
        assert [len(images) for images, _ in batches] == [8, 8, 8, 1]
        images, angles = batches[0]
        assert (images.dtype, tuple(images.shape[1:]), angles.dtype, tuple(angles.shape[1:])) == (
            tf.uint8,
            (6, 8, 3),
            tf.float32,
            (3,),
        )
        passes.append([int(pitch) for _, angles in batches for pitch in angles[:, 0].numpy()])
    assert sorted(passes[0]) == sorted(passes[1]) == list(range(25))
    assert passes[0] != passes[1]
    image, angles = np.zeros((2, 2, 3), np.uint8), np.ones(3, np.float32)
    unchanged = dataset._augment(image, angles)
    assert unchanged[0] is image and unchanged[1] is angles


def test_an_overridden_augment_hook_runs_in_the_pipeline(folders):
    class Inverted(attitude.AttitudeDataset):
        def _augment(self, image, angles):
            return 255 - image, angles * 2

    np.random.seed(seed_for(NO_BLUR, NO_BLUR, NO_BLUR, NO_BLUR, NO_BLUR))
    dataset = Inverted(SHAPE, *folders)
    images, angles = next(iter(dataset.build_train_iterator(5)))
    assert sorted(angles[:, 0].numpy().tolist()) == [0, 2, 4, 6, 8]
    by_pitch = dict(zip(angles[:, 0].numpy().tolist(), images.numpy()))
    first_image = cv2.resize(pattern_image(12, 16, seed=0), (8, 6))
    np.testing.assert_array_equal(by_pitch[0], 255 - first_image)
    dataset._augment = lambda image, angles: (image, angles + 1)
    assert sorted(next(iter(dataset.build_train_iterator(5)))[1][:, 0].numpy().tolist()) == [1, 2, 3, 4, 5]


def test_loaders_resize_exactly_as_opencv_resizes_the_rgb_pixels(tmp_path, folders):
    # The loaders resize (and crop) the pixels in Pillow's 4-byte layout and drop the padding afterwards.
    pixels = pattern_image(37, 53, seed=3)
    path = write_image(str(tmp_path / "odd.png"), pixels)
    mat = write_mat(str(tmp_path / "p.mat"))
    face = write_json(str(tmp_path / "p.json"), {"boxes": [[0.45, 0.55, 0.5, 0.6, 0]], "angles": [[1, 2, 3]]})
    whole = attitude.AttitudeDataset(SHAPE, *folders)
    crop = attitude.AttitudeDatasetJson(
        SHAPE, *make_split(tmp_path, "j", ["j"], "json"), *make_split(tmp_path, "k", ["k"], "json")
    )
    for height, width in [(6, 8), (20, 31), (90, 120)]:
        whole.shape = crop.shape = [height, width, 3]
        np.random.seed(seed_for(NO_BLUR))
        np.testing.assert_array_equal(whole._load_instance(entry([path, mat]))[0], cv2.resize(pixels, (width, height)))
        np.random.seed(seed_for(NO_BLUR, (0.5, False)))  # no blur, no mirror
        x1, y1, x2, y2 = (
            int((0.45 - 0.25) * 53),
            int((0.55 - 0.3) * 37),
            int((0.45 + 0.25) * 53),
            int((0.55 + 0.3) * 37),
        )
        expected = cv2.resize(pixels[y1:y2, x1:x2], (width, height))
        np.testing.assert_array_equal(crop._load_instance(entry([path, face]))[0], expected)


def test_batched_loading_gives_what_loading_sample_by_sample_gives(folders):
    class SampleBySample(attitude.AttitudeDataset):
        # Another graph wrapper: the pipeline then loads, augments and batches sample by sample.
        @tf.function
        def tf_load_instance(self, data):
            return tf.numpy_function(self._load_instance, [data], [tf.uint8, tf.float32])

    loaded = []
    for cls in (attitude.AttitudeDataset, SampleBySample):
        np.random.seed(seed_for(*[NO_BLUR] * 5))
        batches = list(cls(SHAPE, *folders).build_train_iterator(2))
        assert [len(images) for images, _ in batches] == [2, 2, 1]
        loaded.append(
            {float(angles[0]): image for images, rows in batches for image, angles in zip(images.numpy(), rows.numpy())}
        )
    assert sorted(loaded[0]) == sorted(loaded[1]) == [0, 1, 2, 3, 4]
    for pitch, image in loaded[0].items():
        np.testing.assert_array_equal(image, loaded[1][pitch])

    class FloatImages(attitude.AttitudeDataset):
        def _load_instance(self, data):
            image, angles = super()._load_instance(data)
            return image.astype(np.float32), angles

    with pytest.raises(
        tf.errors.OpError, match=r"_load_instance\(.*t\d\.png\) returned an image of shape \(6, 8, 3\) dtype float32"
    ):
        list(FloatImages(SHAPE, *folders).build_train_iterator(2))


def test_validation_pipeline_yields_the_unloaded_pairs_in_order(folders):
    dataset = attitude.AttitudeDataset(SHAPE, *folders)
    elements = [[path.decode() for path in pair.numpy()] for pair in dataset.build_val_iterator()]
    assert elements == dataset.val_storage and len(elements) == 4
    shutil.rmtree(folders[3])
    with pytest.raises(FileNotFoundError, match="^Path to the validation annotations does not exist in this system: "):
        dataset.build_val_iterator()
    shutil.rmtree(folders[2])
    with pytest.raises(
        FileNotFoundError,
        match=f"^Path to the validation images does not exist in this system: {re.escape(folders[2])}$",
    ):
        dataset.build_val_iterator(4, 2)


def test_yaml_description_builds_the_same_dataset(tmp_path, folders):
    info = write_description(tmp_path / "d.yaml", folders[:2], folders[2:], classes=[], anchors=[1, 2])
    dataset = attitude.AttitudeDatasetYaml(SHAPE, info)
    direct = attitude.AttitudeDataset(SHAPE, *folders, num_bins=3)
    assert (dataset.train_storage, dataset.val_storage, dataset.num_bins) == (
        direct.train_storage,
        direct.val_storage,
        3,
    )
    assert dataset.get_num_train_samples() == 5
    assert len(next(iter(dataset.build_train_iterator(2)))[0]) == 2


def test_yaml_description_checks_keys_before_folders(tmp_path, folders):
    messages = attitude.AttitudeDatasetYaml
    missing = str(tmp_path / "missing")
    with pytest.raises(
        FileNotFoundError, match=f"^Description file for the current dataset does not exist at: {re.escape(missing)}$"
    ):
        attitude.AttitudeDatasetYaml(SHAPE, missing)
    cases = [
        ((None, folders[2:]), ValueError, messages.train_msg_images),
        (((folders[0],), folders[2:]), ValueError, messages.train_msg_ann),
        (((missing, folders[1]), None), ValueError, messages.val_msg_images),
        ((folders[:2], (folders[2],)), ValueError, messages.val_msg_ann),
        (((folders[0], missing), folders[2:]), FileNotFoundError, messages.location_msg.format(missing)),
        ((folders[:2], (folders[2], missing)), FileNotFoundError, messages.location_msg.format(missing)),
    ]
    for (train, validation), error, message in cases:
        with pytest.raises(error) as raised:
            attitude.AttitudeDatasetYaml(SHAPE, write_description(tmp_path / "d.yaml", train, validation))
        assert str(raised.value) == message
    assert messages.location_msg == "Location provided for training images does not exist in the given location:{}"
    with pytest.raises(TypeError):
        attitude.AttitudeDatasetYaml()
