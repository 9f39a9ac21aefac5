"""The image cache (cache="ram" / "disk") of the datasets, and one trace of the training step per run."""

import functools
import os
import struct

import attitude_samples
import numpy as np
import pytest
import tensorflow as tf
from PIL import Image
from quillon.forgeline.datasets import attitude, darknet, image_cache
from quillon.forgeline.datasets.segmentation import SegmentationDataset
from quillon.forgeline.losses import AttitudeLoss, MultiLevelDetectionLoss, SegmentationLoss
from quillon.forgeline.models.detection import build_detection_model
from quillon.forgeline.models.headpose import build_headpose_model
from quillon.forgeline.models.segmentation import build_segmentation_model
from quillon.forgeline.trainer.detection import DetectionTrainer
from quillon.forgeline.trainer.segmentation import SegmentationTrainer
from test_reduced_decode import photo
from test_resume import deterministic_ops  # noqa: F401  (a fixture)
from trainer_doubles import RecordingLogger

SIZES = [(640, 480), (480, 640), (800, 450), (300, 200), (1024, 576)]


def write_photos(folder, count, extension="jpg"):
    """Photographs of mixed sizes, JPEG and PNG; returns their paths."""
    os.makedirs(folder, exist_ok=True)
    paths = []
    for index in range(count):
        path = os.path.join(folder, f"p{index}.{'png' if index % 4 == 3 else extension}")
        Image.fromarray(photo(*SIZES[index % len(SIZES)], seed=index)).save(path, quality=90)
        paths.append(path)
    return paths


@functools.cache  # written once per folder: the cache keys on the files' times
def darknet_data(root, count=9):
    """A Darknet description of `count` photographs with 0 to 12 boxes each."""
    images, labels = os.path.join(root, "images"), os.path.join(root, "labels")
    write_photos(images, count)
    os.makedirs(labels, exist_ok=True)
    rng = np.random.default_rng(0)
    for index in range(count):
        rows = [f"{index % 2} {x:.3f} {y:.3f} 0.1 0.15" for x, y in rng.uniform(0.1, 0.9, (index * 12 // 8, 2))]
        with open(os.path.join(labels, f"p{index}.txt"), "w") as stream:
            stream.write("\n".join(rows) + "\n")
    split = {"images": images, "annotations": labels}
    return {"classes": ["a", "b"], "train": split, "validation": split}


@functools.cache  # written once per folder: the cache keys on the files' times
def segmentation_data(root, count=6):
    images, masks = os.path.join(root, "images"), os.path.join(root, "masks")
    paths = write_photos(images, count)
    os.makedirs(masks)
    for path in paths:
        with Image.open(path) as image:
            width, height = image.size
        mask = (np.arange(width)[None, :] * 3 // width + np.zeros((height, 1), int)).astype(np.uint8)
        Image.fromarray(mask).save(os.path.join(masks, os.path.splitext(os.path.basename(path))[0] + ".png"))
    return images, masks


@functools.cache  # written once per folder: the cache keys on the files' times
def headpose_data(root, count=6):
    """Photographs with JSON face boxes and angles."""
    folders = []
    for split in ("train", "val"):
        images, annotations = os.path.join(root, split, "images"), os.path.join(root, split, "annotations")
        paths = write_photos(images, count)
        os.makedirs(annotations)
        for index, path in enumerate(paths):
            stem = os.path.splitext(os.path.basename(path))[0]
            content = {"boxes": [[0.5, 0.45, 0.4, 0.5, 0]], "angles": [[index, -index, 2 * index]]}
            attitude_samples.write_json(os.path.join(annotations, stem + ".json"), content)
        folders += [images, annotations]
    return folders


DATASETS = {
    "darknet": lambda root, **options: darknet.DarknetDataset(
        darknet_data(root), [96, 96, 3], aug_cfg={"flip_lr": 0.5, "mosaic": 0.5, "hue": 0.5}, **options
    ),
    # Without geometric augmentation: kept images are copied into each batch, a sample without boxes padded.
    "darknet_flip": lambda root, **options: darknet.DarknetDataset(
        darknet_data(root), [96, 96, 3], aug_cfg={"flip_lr": 0.5}, **options
    ),
    "segmentation": lambda root, **options: SegmentationDataset(
        [64, 80], *segmentation_data(root), *segmentation_data(os.path.join(root, "val"), 2), **options
    ),
    "headpose": lambda root, **options: attitude.AttitudeDatasetJson([48, 48, 3], *headpose_data(root), **options),
}


def epochs_of(dataset, epochs=2, batch=4):
    tf.keras.utils.set_random_seed(7)
    return [[[part.numpy() for part in batch] for batch in dataset.build_train_iterator(batch)] for _ in range(epochs)]


@pytest.mark.usefixtures("deterministic_ops")
@pytest.mark.parametrize("name", DATASETS)
@pytest.mark.parametrize("reduced", [False, True])
def test_cached_batches_equal_uncached_ones_for_a_seed(tmp_path, name, reduced):
    if name == "segmentation" and reduced:
        pytest.skip("the segmentation dataset decodes at full size only")
    extra = {"reduced_decode": True} if reduced else {}
    make = DATASETS[name]
    expected = epochs_of(make(str(tmp_path / "data"), **extra))
    for cache in ("ram", "disk", "disk"):  # the second disk run reads what the first wrote
        dataset = make(str(tmp_path / "data"), cache=cache, cache_dir=str(tmp_path / "cache"), **extra)
        got = epochs_of(dataset)
        image_cache.flush(dataset)
        np.testing.assert_equal(got, expected)  # every epoch, batch and part alike
    assert len(os.listdir(tmp_path / "cache")) > 0


def with_header(entry, header):
    """The disk entry `entry` with its JSON header replaced by `header`, padded to the same length."""
    start = len(image_cache._MAGIC) + 4
    (length,) = struct.unpack_from("<I", entry, len(image_cache._MAGIC))
    return entry[:start] + header.ljust(length) + entry[start + length :]


def rewrite_source(paths):  # new content, new modification time
    status = os.stat(paths[0])
    Image.fromarray(photo(320, 240, seed=5)).save(paths[0], quality=90)
    os.utime(paths[0], ns=(status.st_atime_ns, status.st_mtime_ns + 10**9))


def truncate_source(paths):  # shorter file, same modification time
    status = os.stat(paths[0])
    with open(paths[0], "r+b") as stream:
        stream.truncate(status.st_size - 1000)
    os.utime(paths[0], ns=(status.st_atime_ns, status.st_mtime_ns))


ENTRY_DAMAGE = [
    lambda data: data[: len(data) // 2],  # cut short
    lambda data: data[:-10] + bytes(10),  # pixels zeroed
    lambda data: b"",  # emptied, as after a power loss
    lambda data: data.replace(b'"variant"', b'"varianz"', 1),  # header unreadable
    lambda data: with_header(data, b"[1]"),  # a header of another JSON kind
    lambda data: data[:-100] + bytes([data[-100] ^ 1]) + data[-99:],  # one bit of a pixel flipped
]
SOURCE_CHANGES = [rewrite_source, truncate_source, lambda paths: os.replace(paths[1], paths[0])]  # ... or replaced


@pytest.mark.parametrize(
    "kind, source_change, entry_damage",
    [(kind, change, None) for kind in ("ram", "disk") for change in SOURCE_CHANGES]
    + [("disk", None, damage) for damage in ENTRY_DAMAGE],
)
def test_an_entry_is_made_again_when_its_source_changed_or_it_is_damaged(tmp_path, kind, source_change, entry_damage):
    paths = write_photos(str(tmp_path / "images"), 2)
    folder = tmp_path / "cache"
    made = []

    def make():  # the sample: the file's bytes, and boxes
        made.append(1)
        with open(paths[0], "rb") as stream:
            return np.frombuffer(stream.read(), np.uint8), np.ones((3, 5), np.float32)

    cache = image_cache.ImageCache(kind, "v1", folder=str(folder))
    first = cache.fetch([paths[0].encode()], make)
    cache.flush()
    np.testing.assert_array_equal(cache.fetch([paths[0].encode()], make)[0], first[0])
    assert len(made) == 1
    if source_change is not None:
        source_change(paths)
    else:
        (entry,) = os.listdir(folder)
        data = (folder / entry).read_bytes()
        (folder / entry).write_bytes(entry_damage(data))
        cache = image_cache.ImageCache(kind, "v1", folder=str(folder))
    again = cache.fetch([paths[0].encode()], make)
    cache.flush()
    assert len(made) == 2
    with open(paths[0], "rb") as stream:
        np.testing.assert_array_equal(again[0], np.frombuffer(stream.read(), np.uint8))
    np.testing.assert_array_equal(again[1], np.ones((3, 5), np.float32))
    if entry_damage is not None:
        assert (folder / entry).read_bytes() == data  # written again, whole
        assert os.listdir(folder) == [entry]


def test_the_ram_estimate_refuses_what_cannot_fit(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(image_cache.psutil, "virtual_memory", lambda: type("Memory", (), {"available": 2**30}))
    dataset = darknet.DarknetDataset(darknet_data(str(tmp_path), 2), [320, 320, 3], cache="ram")
    samples = dataset.train_storage
    dataset.train_storage = samples * 500  # 320 x 320 RGB: about 0.3 GB
    dataset.build_train_iterator(4)
    assert "keeps the decoded images of 1000 samples, about 0.29 GiB of 1.00 GiB" in capsys.readouterr().out
    dataset.train_storage = samples * 10000  # about 6 GB
    with pytest.raises(MemoryError, match=r"needs about 5\.72 GiB .* 20000 samples, but only 1\.00 GiB"):
        dataset.build_train_iterator(4)


# Task -> (its model, loss and trainer class, for a dataset of DATASETS).
TRAINING = {
    "darknet": lambda data: (
        model := build_detection_model(len(data.get_classes()), input_shape=(96, 96, 3), width=8),
        MultiLevelDetectionLoss.for_model(model),
        DetectionTrainer,
    ),
    "segmentation": lambda data: (
        build_segmentation_model((64, 80, 3), 3, filters=(4, 8)),
        SegmentationLoss(3),
        SegmentationTrainer,
    ),
    "headpose": lambda data: (
        build_headpose_model((48, 48, 3), num_bins=data.num_bins, filters=(4, 8)),
        AttitudeLoss(num_bins=data.num_bins),
        functools.partial(DetectionTrainer, classes=[]),
    ),
}


@pytest.mark.parametrize("name", TRAINING)
def test_the_training_step_is_traced_once_per_run(tmp_path, name):
    # Darknet: 9 samples of 0 to 12 boxes in batches of 4 (the last of 1), so
    # every batch pads its boxes to another count; the others: a short last batch.
    dataset = DATASETS[name](str(tmp_path / "data"))
    model, loss, trainer_class = TRAINING[name](dataset)
    optimizer = tf.keras.optimizers.Adam(1e-3)
    trainer = trainer_class(model, dataset, optimizer, loss, logger=RecordingLogger(), checkpoint=str(tmp_path / "run"))
    batches = dataset.build_train_iterator(4)
    shapes = {tuple(tuple(part.shape) for part in batch) for batch in batches}
    assert len(shapes) >= 2
    trainer.train(2, batches, None, None)
    assert trainer.train_step.experimental_get_tracing_count() == 1


@pytest.mark.parametrize("worker", [0, 1])
def test_a_worker_caches_only_its_own_share(tmp_path, worker):
    dataset = darknet.DarknetDataset(darknet_data(str(tmp_path)), [64, 64, 3], cache="ram")
    context = tf.distribute.InputContext(num_input_pipelines=2, input_pipeline_id=worker, num_replicas_in_sync=2)
    for _ in dataset._train_pipeline(4, 1, context):
        pass
    kept = {os.fsdecode(paths[0]) for paths in dataset.__dict__["_image_cache"]._entries}
    share = {image for image, _ in dataset.train_storage[worker::2]}
    # 9 samples over 2 workers, batches of 2 per worker: each epoch takes 4 of a worker's share.
    assert len(kept) == 4 and kept <= share


@pytest.mark.parametrize("cache", [None, "ram"])
@pytest.mark.parametrize("name", DATASETS)
def test_an_image_that_turns_bad_while_training_is_skipped(tmp_path, name, cache):
    dataset = DATASETS[name](str(tmp_path), cache=cache, cache_dir=str(tmp_path / "cache"))
    sizes = [len(images) for images, *_ in dataset.build_train_iterator(4)]
    bad = dataset.train_storage[1][0]
    with open(bad, "w") as stream:
        stream.write("overwritten with notes\n")
    with pytest.warns(UserWarning, match=f"Skipped training sample {bad}"):
        assert [len(images) for images, *_ in dataset.build_train_iterator(4)] == sizes


def test_an_unwritable_disk_cache_warns_and_loading_goes_on(tmp_path):
    (path,) = write_photos(str(tmp_path / "images"), 1)
    blocked = tmp_path / "cache"
    blocked.write_text("a file where the cache folder would go\n")
    cache = image_cache.ImageCache("disk", "v1", folder=str(blocked))
    made = []
    with pytest.warns(UserWarning, match="cannot write the image cache"):
        for _ in range(3):
            kept = cache.fetch([path], lambda: made.append(1) or (np.ones((2, 3, 3), np.uint8),))
            cache.flush()
    np.testing.assert_array_equal(kept[0], np.ones((2, 3, 3), np.uint8))
    assert len(made) == 3  # made every time, written never
