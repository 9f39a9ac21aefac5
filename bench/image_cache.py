"""The image cache (cache="ram" / "disk") against decoding every epoch, and one trace per run.

On the photographs of mixed sizes that photo_pipeline.py writes (640x480 ..
1920x1080, JPEG and some PNG), letterboxed to 320x320 and to 640x640, batch
16, measured in one run on the same files:

  uncached    DarknetDataset.build_train_iterator, reduced_decode=True: every
              epoch decodes every image (what the cache saves);
  ram, disk   the same pipeline with cache="ram" / "disk", in epochs after
              the first (the cache full);
  ram_first, disk_first
              the first epoch with the cache on (an empty cache each round;
              disk: until the writer thread has written every entry);
  tf_decode   a pipeline of TensorFlow's own ops decoding every epoch
              (tf.io.decode_image, tf.image.resize_with_pad, AUTOTUNE);
  tf_cache    the same with tf.data's .cache() of the letterboxed uint8
              images, in epochs after the first.

And what no cache of this design goes below on this machine, shown beside
the figures:

  call_only   the cached pipeline's shape (the dataset's shuffled entries,
              batched, one loading call per batch) with a call that hands
              over a ready batch: nothing looked up, nothing copied;
  batch_copy  copying each kept image into a batch array, as the loading
              call must (tf_cache / (call_only + batch_copy): the most a
              loading call per batch can reach against tf.data's cache);
  fresh_memory
              touching as much fresh memory as the RAM cache keeps, which its
              first epoch cannot avoid;
  new_files   writing the kept samples' bytes as new files renamed into
              place, which a disk cache's first epoch cannot avoid.

Figures: the CPU time per image of tf_decode / ram and tf_decode / disk
(target >= 4), tf_cache / ram (>= 1: no more CPU than tf.data's cache of
ready images), the time of ram_first and disk_first / uncached (<= 1.05),
and the process's memory growth while a RAM cache fills / the bytes of the
pixels it keeps (<= 1.1).

Then the training step: the reference detector (width 16, input 128, batch
16) trains 3 epochs of DetectionTrainer.train on in-memory batches whose
images hold 1 to 12 boxes (so batches pad to different counts, and the last
batch is short), against the same images with 3 boxes each, and against 1
to 12 boxes padded to a fixed 12 in every batch (the other way to a single
trace). Figure: variable / constant total training time, traces included
(target <= 1.1).

    PYTHONPATH=python python bench/image_cache.py [--images 256] [--rounds 3] [--quick]
"""

import contextlib
import gc
import io
import mmap
import os
import tempfile
import tracemalloc

import common  # noqa: F401  (quiets TensorFlow first)
import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402
from common import images_in as pipeline_pass  # noqa: E402
from photo_pipeline import BATCH, with_cpu_time, write_dataset  # noqa: E402
from quillon.forgeline.callbacks import TensorBoardLogger  # noqa: E402
from quillon.forgeline.datasets import image_cache  # noqa: E402
from quillon.forgeline.datasets.core import _aligned_uint8_array  # noqa: E402
from quillon.forgeline.datasets.darknet import DarknetDataset  # noqa: E402
from quillon.forgeline.datasets.utils import usable_cores, without_autotuning  # noqa: E402
from quillon.forgeline.losses import MultiLevelDetectionLoss  # noqa: E402
from quillon.forgeline.models.detection import build_detection_model  # noqa: E402
from quillon.forgeline.trainer.detection import DetectionTrainer  # noqa: E402
from trainer_overhead import CLASSES  # noqa: E402

SIZES = (320, 640)
TARGETS = {"decode": 4.0, "tf_cache": 1.0, "first": 1.05, "memory": 1.1, "boxes": 1.1}
STEP_SIZE = 128
STEP_EPOCHS = 3


def tf_letterbox_iterator(paths, size, cached):
    def load(path):
        image = tf.io.decode_image(tf.io.read_file(path), channels=3, expand_animations=False)
        return tf.cast(tf.image.resize_with_pad(image, size, size), tf.uint8)

    dataset = tf.data.Dataset.from_tensor_slices(paths).map(load, num_parallel_calls=tf.data.AUTOTUNE)
    if cached:
        dataset = dataset.cache()
    dataset = dataset.shuffle(len(paths)).batch(BATCH)
    return dataset.prefetch(tf.data.AUTOTUNE)


def pipeline_runs(description, root, size):
    """name -> callable running one epoch of that variant."""
    shape = [size, size, 3]

    def dataset(**cache):
        return DarknetDataset(dict(description), shape, reduced_decode=True, **cache)

    folders = iter(range(10**6))

    def first_epoch(kind):
        """A new dataset and pipeline each time, with an empty cache."""

        def run():
            folder = os.path.join(root, f"first_{kind}_{size}_{next(folders)}")
            filling = dataset(cache=kind, cache_dir=folder)
            count = pipeline_pass(filling.build_train_iterator(BATCH))
            image_cache.flush(filling)  # disk: its entries all written, as its time and CPU time count them
            return count

        return run

    ram_dataset = dataset(cache="ram")
    ram = ram_dataset.build_train_iterator(BATCH)
    disk_dataset = dataset(cache="disk", cache_dir=os.path.join(root, f"disk_{size}"))
    disk = disk_dataset.build_train_iterator(BATCH)
    paths = [entry[0] for entry in dataset().train_storage]
    tf_cache = tf_letterbox_iterator(paths, size, cached=True)
    for filled in (ram, disk, tf_cache):
        pipeline_pass(filled)
    # The entries on disk, not those still waiting for the writer thread, are what later epochs read.
    image_cache.flush(disk_dataset)
    kept = [arrays for _, arrays in ram_dataset.__dict__["_image_cache"]._entries.values()]
    call_only = call_only_iterator(ram_dataset, size)
    return {
        "uncached": first_epoch(None),
        "ram": lambda: pipeline_pass(ram),
        "disk": lambda: pipeline_pass(disk),
        "ram_first": first_epoch("ram"),
        "disk_first": first_epoch("disk"),
        "tf_decode": lambda: pipeline_pass(tf_letterbox_iterator(paths, size, cached=False)),
        "tf_cache": lambda: pipeline_pass(tf_cache),
        "call_only": lambda: pipeline_pass(call_only),
        "batch_copy": lambda: copy_into_batches(kept, size),
        "fresh_memory": lambda: touch_fresh_memory(kept),
        "new_files": lambda: write_new_files(kept, os.path.join(root, f"new_files_{size}_{next(folders)}")),
    }


def call_only_iterator(dataset, size):
    """The cached pipeline's shape, its loading call handing over a ready batch."""
    ready = _aligned_uint8_array((BATCH, size, size, 3)), np.zeros((BATCH, 1, 5), np.float32)

    def load(entries):
        images, boxes = tf.numpy_function(
            lambda entries: tuple(part[: len(entries)] for part in ready), [entries], [tf.uint8, tf.float32]
        )
        images.set_shape([None, size, size, 3])
        return images, boxes

    batches = dataset.build_and_load_base_iterator(dataset.train_storage, True).batch(BATCH)
    batches = batches.map(load, num_parallel_calls=usable_cores(), deterministic=True)
    return without_autotuning(batches.prefetch(tf.data.AUTOTUNE))


def copy_into_batches(kept, size):
    """Copies each kept image into a batch array; returns the number of images."""
    batch = _aligned_uint8_array((BATCH, size, size, 3))
    for index, (image, *_) in enumerate(kept):
        batch[index % BATCH] = image
    return len(kept)


def touch_fresh_memory(kept):
    """Touches each page of fresh memory as large as each kept image; returns the number of images."""
    for image, *_ in kept:
        region = mmap.mmap(-1, image.nbytes)
        np.frombuffer(region, np.uint8)[:: mmap.PAGESIZE] = 1
    return len(kept)


def write_new_files(kept, folder):
    """Writes each kept sample's arrays as a new file in `folder`, renamed into place; returns their number."""
    os.makedirs(folder)
    for index, arrays in enumerate(kept):
        temporary = os.path.join(folder, f".{index}.partial")
        with open(temporary, "wb") as stream:
            for array in arrays:
                stream.write(array.data)
        os.replace(temporary, os.path.join(folder, f"{index}.sample"))
    return len(kept)


def held_after_pass(dataset):
    """Bytes that Python and NumPy hold more after a pass over `dataset`'s training pipeline.

    Counted by tracemalloc, which sees NumPy's arrays and every Python object."""
    iterator = dataset.build_train_iterator(BATCH)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    pipeline_pass(iterator)
    gc.collect()
    held = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    return held


def ram_growth(description, size):
    """(memory a RAM cache holds after its first pass, bytes of the pixels it keeps): what a pass with the
    cache leaves held beyond what the same pass without it leaves (the pipeline's own recycled batches)."""
    shape = [size, size, 3]
    uncached = held_after_pass(DarknetDataset(dict(description), shape, reduced_decode=True))
    cached = DarknetDataset(dict(description), shape, reduced_decode=True, cache="ram")
    return held_after_pass(cached) - uncached, cached.__dict__["_image_cache"].kept_bytes


def box_batches(counts, steps, padded_to=None):
    """`steps` batches of images with counts[i] boxes each (padded to the batch's most, or to `padded_to`)."""
    rng = np.random.default_rng(0)
    images = rng.integers(0, 256, (steps * BATCH - BATCH // 2, STEP_SIZE, STEP_SIZE, 3), dtype=np.uint8)

    def boxes(count):
        corners = np.sort(rng.uniform(0, STEP_SIZE, (count, 2, 2)), axis=1)
        labels = rng.integers(1, len(CLASSES), (count, 1))
        return np.concatenate([corners[:, 0, :], corners[:, 1, :], labels], axis=1).astype(np.float32)

    samples = [boxes(int(counts[index % len(counts)])) for index in range(len(images))]

    def generate():
        yield from zip(images, samples)

    signature = (tf.TensorSpec([STEP_SIZE, STEP_SIZE, 3], tf.uint8), tf.TensorSpec([None, 5], tf.float32))
    dataset = tf.data.Dataset.from_generator(generate, output_signature=signature)
    dataset = dataset.padded_batch(BATCH, padded_shapes=([STEP_SIZE, STEP_SIZE, 3], [padded_to, 5]))
    return dataset.cache()


def train(batches, traces):
    """Trains a fresh detector for 3 epochs of `batches` (traces included); notes its trace count in `traces`."""
    tf.keras.utils.set_random_seed(0)
    model = build_detection_model(len(CLASSES), input_shape=(STEP_SIZE, STEP_SIZE, 3), width=16)
    for _ in batches:  # the cache filled
        pass
    with tempfile.TemporaryDirectory() as run_folder, contextlib.redirect_stdout(io.StringIO()):
        trainer = DetectionTrainer(
            model,
            None,
            tf.keras.optimizers.Adam(1e-3),
            MultiLevelDetectionLoss.for_model(model),
            logger=TensorBoardLogger(os.path.join(run_folder, "tensorboard")),
            checkpoint=run_folder,
            classes=CLASSES,
            display=0,
        )
        trainer.train(STEP_EPOCHS, batches, None, None)
        trainer.logger.close()
    traces.append(trainer.train_step.experimental_get_tracing_count())
    return STEP_EPOCHS * sum(1 for _ in batches)


def main():
    args = common.arguments(__doc__, "images", 256, "number of generated images", 3, (48, 1))
    with tempfile.TemporaryDirectory() as root:
        images, annotations = write_dataset(root, args.images)
        split = {"images": images, "annotations": annotations}
        description = {"classes": ["a", "b", "c"], "train": split, "validation": split}
        runs = {}
        for size in SIZES:
            for name, run in pipeline_runs(description, root, size).items():
                runs[f"{name}_{size}"] = run
        cpu_seconds = {}
        runs = {name: with_cpu_time(run, cpu_seconds, name) for name, run in runs.items()}
        seconds, counts = common.best_of(runs, args.rounds, warmup=0)
        growth = {size: ram_growth(description, size) for size in SIZES}

    common.say(
        f"image cache: {args.images} photographs 640x480 .. 1920x1080, batch {BATCH}, best of {args.rounds}, "
        f"load average {common.load_average():.1f}"
    )
    cpu = {name: 1000 * cpu_seconds[name] / counts[name] for name in seconds}
    for name in seconds:
        common.say(f"  {name:16s} {counts[name] / seconds[name]:8.1f} images/s  {cpu[name]:6.2f} ms CPU per image")
    for size in SIZES:
        grown, kept = growth[size]
        common.say(f"  ram cache {size}: {grown / 2**20:.1f} MiB more memory held for {kept / 2**20:.1f} MiB of pixels")
        for kind in ("ram", "disk"):
            decode = cpu[f"tf_decode_{size}"] / cpu[f"{kind}_{size}"]
            common.report(f"image_cache/tf_decode_{kind}_{size}", decode, ">=", TARGETS["decode"])
        tf_cache = cpu[f"tf_cache_{size}"] / cpu[f"ram_{size}"]
        common.report(f"image_cache/tf_cache_ram_{size}", tf_cache, ">=", TARGETS["tf_cache"])
        for kind in ("ram", "disk"):
            first = seconds[f"{kind}_first_{size}"] / seconds[f"uncached_{size}"]
            common.report(f"image_cache/{kind}_first_{size}", first, "<=", TARGETS["first"])
        common.report(f"image_cache/ram_memory_{size}", grown / kept, "<=", TARGETS["memory"])
        uncached = cpu[f"uncached_{size}"]
        common.say(
            f"  floors at {size} (CPU): tf_cache / (call_only + batch_copy) "
            f"{cpu[f'tf_cache_{size}'] / (cpu[f'call_only_{size}'] + cpu[f'batch_copy_{size}']):.2f}; "
            f"first epoch / uncached: ram {cpu[f'ram_first_{size}'] / uncached:.3f} "
            f"(at least {1 + cpu[f'fresh_memory_{size}'] / uncached:.3f}), "
            f"disk {cpu[f'disk_first_{size}'] / uncached:.3f} (at least {1 + cpu[f'new_files_{size}'] / uncached:.3f})"
        )

    steps = max(8, args.images // 8)
    rng = np.random.default_rng(1)
    variable_counts = rng.integers(1, 13, steps * BATCH)
    datasets = {
        "constant": box_batches([3], steps),
        "variable": box_batches(variable_counts, steps),
        "padded_to_12": box_batches(variable_counts, steps, padded_to=12),
    }
    traces = {name: [] for name in datasets}
    runs = {name: lambda name=name: train(datasets[name], traces[name]) for name in datasets}
    seconds, _ = common.best_of(runs, args.rounds, warmup=0)
    common.say(
        f"training step: {steps} steps of batch {BATCH} (the last of {BATCH // 2}) at {STEP_SIZE}x{STEP_SIZE}, "
        f"{STEP_EPOCHS} epochs, best of {args.rounds}"
    )
    for name, time_taken in seconds.items():
        common.say(f"  {name:12s} {time_taken:7.2f} s  {max(traces[name])} trace(s)")
    common.report("image_cache/variable_boxes", seconds["variable"] / seconds["constant"], "<=", TARGETS["boxes"])


if __name__ == "__main__":
    main()
