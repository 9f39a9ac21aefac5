import gc
import types

import numpy as np
import pytest
import tensorflow as tf
import yaml
from quillon.forgeline.datasets import core
from quillon.forgeline.datasets.augment import geometric_batch
from quillon.forgeline.datasets.core import BaseDetectionDataset

HEIGHT, WIDTH = 24, 40


def sample_image(height, width):
    """Dark left half, bright right half: flips are visible."""
    image = np.zeros((height, width, 3), np.uint8)
    image[:, : width // 2] = (10, 60, 110)
    image[:, width // 2 :] = (200, 150, 100)
    image[: height // 3] += 20  # top band, for vertical flips
    return image


def sample_boxes(count):
    return np.array([[2 + i, 3 + i, 10 + 2 * i, 12 + i, i + 1] for i in range(count)], np.float32).reshape(-1, 5)


class SyntheticDataset(BaseDetectionDataset):
    """Storage from the info file; each sample "<name>, <box count>" is synthesised."""

    def __init__(self, info_file, aug_cfg=None, shape=(HEIGHT, WIDTH)):
        super().__init__(info_file=info_file, shape=shape, aug_cfg=aug_cfg)
        # Set after super().__init__: the hooks must already see these.
        self.calls = []
        self.split_keys = ("train", "val")

    def validate_info_file(self, info_file):
        self.calls.append("validate_info_file")
        return super().validate_info_file(info_file)

    def validate_info_file_content(self, info_dataset):
        self.calls.append("validate_info_file_content")
        self.classes = info_dataset["classes"]
        self.samples = info_dataset

    def load_storage(self):
        self.calls.append("load_storage")
        train_key, val_key = self.split_keys
        self.train_storage = [[str(name), str(count)] for name, count in self.samples[train_key]]
        self.val_storage = [[str(name), str(count)] for name, count in self.samples[val_key]]

    def build_and_load_base_iterator(self, storage, shuffle=True):
        dataset = tf.data.Dataset.from_tensor_slices(tf.constant(storage, tf.string))
        return dataset.shuffle(len(storage)) if shuffle else dataset

    def load_instance(self, data, training=True):
        name, count = data[0].decode(), int(data[1])
        if name == "broken":
            raise ValueError("label file broken.txt has 4 columns")
        boxes = sample_boxes(count)
        if name == "with_zero_row":
            boxes = np.vstack([boxes, np.zeros((1, 5), np.float32)])
        if training:
            return sample_image(HEIGHT, WIDTH), boxes
        boxes[:, [0, 2]] /= WIDTH + count
        boxes[:, [1, 3]] /= HEIGHT
        return sample_image(HEIGHT, WIDTH + count), boxes, name + ".jpg"


@pytest.fixture
def make_info_file(tmp_path):
    def make(train, val=(("v", 2),)):
        path = tmp_path / "dataset.yaml"
        path.write_text(yaml.safe_dump({"classes": ["cat", "dog"], "train": list(train), "val": list(val)}))
        return str(path)

    return make


def first_batch(dataset, batch_size):
    images, boxes = next(iter(dataset.build_train_iterator(batch_size)))
    return images.numpy(), boxes.numpy()


class TestConstruction:
    def test_hooks_run_in_order_after_the_subclass_constructor(self, make_info_file):
        dataset = SyntheticDataset(make_info_file([("a", 1), ("b", 2)]))
        assert dataset.calls == ["validate_info_file", "validate_info_file_content", "load_storage"]
        assert dataset.get_classes() == ["cat", "dog"] and dataset.class_offset == 1
        assert (dataset.get_num_train_samples(), dataset.get_num_val_samples()) == (2, 1)

    def test_class_built_with_types_new_class(self, make_info_file):
        # The way the C++ modules define their dataset classes.
        def init(self, info_file):
            BaseDetectionDataset.__init__(self, info_file=info_file, shape=(HEIGHT, WIDTH))
            self.calls = []
            self.split_keys = ("train", "val")

        def exec_body(namespace):
            for hook in ("validate_info_file_content", "load_storage", "build_and_load_base_iterator", "load_instance"):
                namespace[hook] = getattr(SyntheticDataset, hook)
            namespace["__init__"] = init

        cls = types.new_class("BuiltDataset", (BaseDetectionDataset,), {}, exec_body)
        dataset = cls(make_info_file([("a", 1)]))
        assert dataset.calls == ["validate_info_file_content", "load_storage"]
        assert dataset.train_storage == [["a", "1"]]
        assert first_batch(dataset, 1)[0].shape == (1, HEIGHT, WIDTH, 3)

    def test_base_hooks_name_the_class(self, make_info_file):
        class Incomplete(BaseDetectionDataset):
            pass

        with pytest.raises(NotImplementedError, match="Incomplete must implement validate_info_file_content"):
            Incomplete(info_file=make_info_file([("a", 1)]))

    def test_info_file_errors(self, tmp_path):
        with pytest.raises(FileNotFoundError, match="missing.yaml"):
            SyntheticDataset(str(tmp_path / "missing.yaml"))
        not_mapping = tmp_path / "list.yaml"
        not_mapping.write_text("- a\n- b\n")
        with pytest.raises(ValueError, match="list.yaml.*mapping"):
            SyntheticDataset(str(not_mapping))

    @pytest.mark.parametrize(
        "aug_cfg, error, message",
        [
            ({"cutout": 0.5}, ValueError, "unknown augmentation 'cutout'.*mosaic, affine, flip_lr"),
            ({"flip_lr": 1.5}, ValueError, r"aug_cfg\['flip_lr'\]"),
            (["flip_lr"], TypeError, "aug_cfg must be a dict"),
        ],
    )
    def test_bad_aug_cfg(self, make_info_file, aug_cfg, error, message):
        with pytest.raises(error, match=message):
            SyntheticDataset(make_info_file([("a", 1)]), aug_cfg=aug_cfg)


class TestTrainIterator:
    def test_batch_shapes_dtypes_and_zero_padding(self, make_info_file):
        dataset = SyntheticDataset(make_info_file([("a", 1), ("b", 3), ("c", 0)]))
        images, boxes = first_batch(dataset, 3)
        assert images.shape == (3, HEIGHT, WIDTH, 3) and images.dtype == np.uint8
        assert boxes.shape == (3, 3, 5) and boxes.dtype == np.float32
        # Order is not deterministic: match samples by their number of real rows.
        by_count = {int(np.any(rows != 0, axis=1).sum()): rows for rows in boxes}
        assert sorted(by_count) == [0, 1, 3]
        np.testing.assert_array_equal(by_count[1][0], sample_boxes(1)[0])
        assert not by_count[1][1:].any() and not by_count[0].any()
        np.testing.assert_array_equal(images[0], sample_image(HEIGHT, WIDTH))

    @pytest.mark.parametrize("augmentation", ["flip_lr", "flip_ud"])
    def test_flips_move_image_and_boxes_and_keep_zero_rows(self, make_info_file, augmentation):
        dataset = SyntheticDataset(make_info_file([("with_zero_row", 2)]), aug_cfg={augmentation: 1.0})
        images, boxes = first_batch(dataset, 1)
        original, expected = sample_image(HEIGHT, WIDTH), sample_boxes(2)
        if augmentation == "flip_lr":
            np.testing.assert_array_equal(images[0], original[:, ::-1])
            expected[:, [0, 2]] = WIDTH - expected[:, [2, 0]]
        else:
            np.testing.assert_array_equal(images[0], original[::-1])
            expected[:, [1, 3]] = HEIGHT - expected[:, [3, 1]]
        np.testing.assert_array_equal(boxes[0, :2], expected)
        assert (expected[:, 2] > expected[:, 0]).all() and (expected[:, 3] > expected[:, 1]).all()
        np.testing.assert_array_equal(boxes[0, 2], np.zeros(5))

    def test_photometric_augmentations_keep_boxes_and_dtype(self, make_info_file):
        tf.random.set_seed(3)
        aug_cfg = {"brightness": 1.0, "contrast": 1.0, "saturation": 1.0, "hue": 1.0, "flip_lr": 0.0}
        images, boxes = first_batch(SyntheticDataset(make_info_file([("a", 2)]), aug_cfg=aug_cfg), 1)
        assert images.dtype == np.uint8 and images.shape == (1, HEIGHT, WIDTH, 3)
        assert not np.array_equal(images[0], sample_image(HEIGHT, WIDTH))
        np.testing.assert_array_equal(boxes[0], sample_boxes(2))

    @pytest.mark.parametrize("aug_cfg", [None, {"flip_lr": 1.0}, {"mosaic": 1.0, "hue": 1.0}])
    def test_batches_without_any_box_get_one_padding_row(self, make_info_file, aug_cfg):
        # (B, 0, 5) boxes used to crash TensorFlow's unbatch in the augmented pipeline.
        images, boxes = first_batch(SyntheticDataset(make_info_file([("c", 0), ("d", 0)]), aug_cfg=aug_cfg), 2)
        assert images.shape == (2, HEIGHT, WIDTH, 3)
        np.testing.assert_array_equal(boxes, np.zeros((2, 1, 5)))

    def test_loader_errors_surface(self, make_info_file):
        dataset = SyntheticDataset(make_info_file([("broken", 1)]))
        with pytest.raises(tf.errors.OpError, match="broken.txt has 4 columns"):
            first_batch(dataset, 1)

    def test_wrong_image_size_names_the_sample(self, make_info_file):
        dataset = SyntheticDataset(make_info_file([("a", 1)]))
        dataset.shape = (HEIGHT + 1, WIDTH)
        with pytest.raises(tf.errors.OpError, match=r"load_instance\(a, 1\).*25x40"):
            first_batch(dataset, 1)


class NumberedDataset(SyntheticDataset):
    """Each training image is filled with its sample's number, which is also its one box's label."""

    def load_instance(self, data, training=True):
        number = int(data[0].decode())
        return np.full((HEIGHT, WIDTH, 3), number, np.uint8), np.array([[1, 2, 3, 4, number]], np.float32)


def test_batches_still_held_are_never_overwritten(make_info_file):
    # Batch arrays are recycled: one must not be reused while a tensor, or an
    # array taken from it, still holds it.
    dataset = NumberedDataset(make_info_file([(str(number), 1) for number in range(60)]))
    iterator = dataset.build_train_iterator(2, prefetch=1)
    first_pass = [(images, images.numpy(), boxes) for images, boxes in iterator]
    second_pass = [images for images, _ in iterator]  # would reuse any array let go too early
    assert len(second_pass) == 30
    seen = []
    for images, as_numpy, boxes in first_pass:
        labels = boxes.numpy()[:, 0, 4].astype(np.uint8)
        assert (images.numpy() == labels[:, None, None, None]).all()
        assert (as_numpy == labels[:, None, None, None]).all()
        seen.extend(labels.tolist())
    assert sorted(seen) == list(range(60))


def test_val_iterator_elements(make_info_file):
    dataset = SyntheticDataset(make_info_file([("a", 1)], val=[("v", 2), ("w", 0)]))
    elements = list(dataset.build_val_iterator())
    assert len(elements) == 2
    (image, boxes, name), (_, empty_boxes, second_name) = elements
    assert image.dtype == tf.uint8 and image.shape == (1, HEIGHT, WIDTH + 2, 3)
    assert boxes.dtype == tf.float32 and boxes.shape == (1, 2, 5) and empty_boxes.shape == (1, 0, 5)
    assert float(tf.reduce_max(boxes[..., :4])) <= 1.0
    assert name.dtype == tf.string and name.numpy().tolist() == [b"v.jpg"]
    assert second_name.numpy().tolist() == [b"w.jpg"]


def test_rebuilt_training_pipelines_share_one_batch_pool(make_info_file):
    # TensorFlow keeps every pipeline's loading closure alive: a pool of batch
    # arrays per rebuild (per epoch, fold or trial) would never be freed.
    def pools():
        gc.collect()
        return [held for held in gc.get_objects() if isinstance(held, core._RecycledArrays)]

    dataset = NumberedDataset(make_info_file([(str(number), 1) for number in range(8)]))
    before = len(pools())
    for _ in range(25):
        for _ in dataset.build_train_iterator(4, prefetch=1):
            pass
    assert len(pools()) - before <= 1


# Geometric augmentation. Each image holds one solid rectangle of its own
# colour, so the pixels show where every box must be after the transform.
COLOURS = np.array([[255, 0, 0], [0, 255, 0], [0, 0, 255], [255, 255, 0], [255, 0, 255], [0, 255, 255]], np.uint8)
RECT_HEIGHT, RECT_WIDTH = 72, 96


class RectanglesDataset(SyntheticDataset):
    """Sample "<i>": a rectangle of COLOURS[i], labelled i, at a place that follows from i."""

    def __init__(self, info_file, aug_cfg=None):
        super().__init__(info_file, aug_cfg, shape=(RECT_HEIGHT, RECT_WIDTH))

    def load_instance(self, data, training=True):
        index = int(data[0])
        x1, y1 = 4 + 13 * index, 3 + 7 * index
        x2, y2 = x1 + 20 + 5 * index, y1 + 16 + 4 * index
        image = np.zeros((RECT_HEIGHT, RECT_WIDTH, 3), np.uint8)
        image[y1:y2, x1:x2] = COLOURS[index]
        return image, np.array([[x1, y1, x2, y2, index]], np.float32)


@pytest.mark.parametrize("aug_cfg", [{"mosaic": 1.0}, {"affine": 1.0}, {"mosaic": 1.0, "affine": 1.0, "flip_lr": 0.5}])
def test_geometric_augmentation_moves_boxes_with_the_pixels(make_info_file, aug_cfg):
    tf.keras.utils.set_random_seed(0)
    dataset = RectanglesDataset(make_info_file([(str(i), 1) for i in range(len(COLOURS))]), aug_cfg=aug_cfg)
    pipeline = dataset.build_train_iterator(len(COLOURS))
    checked, labels_seen = 0, set()
    for _ in range(4):
        for image, boxes in zip(*(part.numpy() for part in next(iter(pipeline)))):
            real = boxes[np.any(boxes != 0, axis=1)]
            labels_seen.update(int(label) for label in real[:, 4])
            for x1, y1, x2, y2, label in real:
                # Pixels at least half the rectangle's colour (edges are blended).
                mask = np.all(np.abs(image.astype(int) - COLOURS[int(label)]) < 128, axis=2)
                rows, columns = np.nonzero(mask)
                extent = (columns.min(), rows.min(), columns.max() + 1, rows.max() + 1)
                np.testing.assert_allclose(extent, (x1, y1, x2, y2), atol=1.5)
                checked += 1
    assert checked > 20
    # A mosaic shows boxes of other images of the batch.
    assert len(labels_seen) == len(COLOURS)


@pytest.mark.parametrize(
    "box, expected",
    [
        ([12, 12, 28, 28, 1], [4, 4, 36, 36, 1]),  # inside: scaled about the middle
        ([5, 15, 15, 25, 2], [0, 10, 10, 30, 2]),  # half outside: cut at the edge
        ([0, 15, 12, 25, 3], None),  # shows a sixth of itself: dropped
        ([0, 0, 10, 10, 4], None),  # pushed out entirely
        ([19.6, 10, 20.4, 30, 5], None),  # thinner than 2 pixels after scaling
    ],
)
def test_geometric_batch_cuts_and_drops_boxes(box, expected):
    images = np.zeros((1, 40, 40, 3), np.uint8)
    out = np.empty_like(images)
    settings = dict(translate=0.0, degrees=0.0, shear=0.0, min_size=2.0, min_visible=0.2)
    (boxes,) = geometric_batch(
        images, [np.array([box], np.float32)], out, seed=1, mosaic=0.0, affine=1.0, scale=(2.0, 2.0), **settings
    )
    if expected is None:
        assert boxes.shape == (0, 5)
    else:
        np.testing.assert_allclose(boxes, [expected], atol=1e-4)
    assert not out.any()  # zoomed in: every output pixel comes from the (black) image


@pytest.mark.parametrize(
    "sources, error",
    [
        (lambda images: list(images), None),  # the loader's own arrays: the same batch as from one array
        (lambda images: list(images[:3]), "one image per image of out"),
        (lambda images: [*images[:3], images[3, :20]], r"images\[3\] must be an H x W x 3 uint8 array"),
        (lambda images: [*images[:3], images[3].astype(np.float32)], r"images\[3\] must be"),
    ],
)
def test_geometric_batch_takes_a_list_of_images(sources, error):
    rng = np.random.default_rng(0)
    images = rng.integers(0, 256, (4, 32, 40, 3), dtype=np.uint8)
    boxes = [np.array([[4, 4, 20, 20, index]], np.float32) for index in range(4)]
    settings = dict(seed=3, mosaic=1.0, affine=1.0, scale=(0.5, 1.5), translate=0.1, degrees=5.0, shear=2.0)
    settings.update(min_size=2.0, min_visible=0.2)
    expected_out = np.empty_like(images)
    expected = geometric_batch(images, boxes, expected_out, **settings)
    out = np.empty_like(images)
    if error is not None:
        with pytest.raises(ValueError, match=error):
            geometric_batch(sources(images), boxes, out, **settings)
        return
    got = geometric_batch(sources(images), boxes, out, **settings)
    np.testing.assert_array_equal(out, expected_out)
    for got_boxes, expected_boxes in zip(got, expected, strict=True):
        np.testing.assert_array_equal(got_boxes, expected_boxes)
