"""Base class of the detection datasets and their tf.data pipelines."""

import sys
import threading
import warnings

import numpy as np
import tensorflow as tf

from quillon.forgeline.datasets import image_cache
from quillon.forgeline.datasets.augment import geometric_batch
from quillon.forgeline.datasets.augmentation_names import AUGMENTATIONS, GEOMETRIC_AUGMENTATIONS
from quillon.forgeline.datasets.checks import read_yaml_mapping
from quillon.forgeline.datasets.utils import (
    distributed,
    entry_text,
    usable_cores,
    warn_skipped_once,
    without_autotuning,
    worker_share,
)

# Photometric strengths, as fractions of the [0, 1] intensity range or as
# factor ranges. Mild on purpose: detectors should still see their classes.
BRIGHTNESS_MAX_DELTA = 0.15
CONTRAST_RANGE = (0.75, 1.25)
SATURATION_RANGE = (0.6, 1.4)
HUE_MAX_DELTA = 0.02
# Geometric strengths (affine): a scale factor range, the largest shift as a
# fraction of the image size, the largest rotation and shear in degrees.
AFFINE_SCALE_RANGE = (0.5, 1.5)
AFFINE_TRANSLATE = 0.1
AFFINE_DEGREES = 5.0
AFFINE_SHEAR = 2.0
# After a geometric augmentation, boxes narrower or lower than this many
# pixels, or showing less than this fraction of their area, are dropped.
MIN_BOX_SIZE = 2.0
MIN_BOX_VISIBLE = 0.2
# Pixels a geometric augmentation uncovers: the letterbox's border colour.
FILL_VALUE = 114

# Alignment of the memory that TensorFlow adopts from NumPy without a copy.
_TENSOR_ALIGNMENT = 64


def _non_padding_rows(boxes):
    """True for rows that are real boxes; all-zero corners mark padding."""
    return tf.reduce_any(tf.not_equal(boxes[:, :4], 0.0), axis=1, keepdims=True)


def _flip_lr(image, boxes, seed):
    width = tf.cast(tf.shape(image)[1], tf.float32)
    flipped = tf.stack([width - boxes[:, 2], boxes[:, 1], width - boxes[:, 0], boxes[:, 3], boxes[:, 4]], axis=1)
    return tf.image.flip_left_right(image), tf.where(_non_padding_rows(boxes), flipped, boxes)


def _flip_ud(image, boxes, seed):
    height = tf.cast(tf.shape(image)[0], tf.float32)
    flipped = tf.stack([boxes[:, 0], height - boxes[:, 3], boxes[:, 2], height - boxes[:, 1], boxes[:, 4]], axis=1)
    return tf.image.flip_up_down(image), tf.where(_non_padding_rows(boxes), flipped, boxes)


def _photometric(adjust):
    """Wraps a float [0, 1] image adjustment `adjust(image, seed)` into a uint8 (image, boxes, seed) op."""

    def apply(image, boxes, seed):
        adjusted = adjust(tf.cast(image, tf.float32) / 255.0, seed)
        adjusted = tf.clip_by_value(adjusted, 0.0, 1.0) * 255.0
        return tf.cast(tf.round(adjusted), tf.uint8), boxes

    return apply


# Image ops with stateless random draws: the draws follow from each sample's
# seed, so a seeded pipeline gives the same samples in any thread order.
_AUGMENTATIONS = {
    "flip_lr": _flip_lr,
    "flip_ud": _flip_ud,
    "brightness": _photometric(
        lambda image, seed: tf.image.stateless_random_brightness(image, BRIGHTNESS_MAX_DELTA, seed)
    ),
    "contrast": _photometric(lambda image, seed: tf.image.stateless_random_contrast(image, *CONTRAST_RANGE, seed)),
    "saturation": _photometric(
        lambda image, seed: tf.image.stateless_random_saturation(image, *SATURATION_RANGE, seed)
    ),
    "hue": _photometric(lambda image, seed: tf.image.stateless_random_hue(image, HUE_MAX_DELTA, seed)),
}


class _RunsHooksAfterConstruction(type):
    """Runs the loading hooks once the most-derived constructor has finished.

    Subclasses set their own attributes after super().__init__(); running the
    hooks from the base constructor would run them before those exist.
    """

    def __call__(cls, *args, **kwargs):
        dataset = super().__call__(*args, **kwargs)
        if not hasattr(dataset, "train_storage"):
            raise TypeError(f"{cls.__name__}.__init__ must call BaseDetectionDataset.__init__")
        mapping = dataset.validate_info_file(dataset.info_file)
        try:
            dataset.validate_info_file_content(mapping)
        except Exception as error:
            if dataset.info_file is not None and error.__cause__ is None:
                # The message stays as callers match it; tracebacks show the file.
                error.__cause__ = ValueError(f"in the dataset description {dataset.info_file}")
            raise
        dataset.load_storage()
        return dataset


class BaseDetectionDataset(metaclass=_RunsHooksAfterConstruction):
    """Detection dataset: storage of samples plus tf.data train/val pipelines.

    Construction runs, after the most-derived ``__init__``:
    ``validate_info_file(info_file)`` -> ``validate_info_file_content(mapping)``
    -> ``load_storage()``. Subclasses implement the last two and fill
    ``train_storage`` / ``val_storage`` with pairs of strings (e.g. image and
    label paths), plus ``load_instance`` and ``build_and_load_base_iterator``.

    ``shape`` is the (height, width) of training images. ``aug_cfg`` maps
    augmentation names to the probability (0..1) of applying them to each
    training sample:
      * ``mosaic``: the sample and three other images of its batch on a
        canvas twice the size, split at a random centre; the sample shows the
        canvas's middle (a quarter of it), with the boxes of all four;
      * ``affine``: scale by a factor in [0.5, 1.5], shift by up to 0.1 of
        the size, rotate by up to 5 and shear by up to 2 degrees;
      * ``flip_lr``: horizontal flip, boxes mirrored;
      * ``flip_ud``: vertical flip, boxes mirrored;
      * ``brightness``: random brightness shift up to +-0.15 of full range;
      * ``contrast``: random contrast factor in [0.75, 1.25];
      * ``saturation``: random saturation factor in [0.6, 1.4];
      * ``hue``: random hue shift up to +-0.02 of the hue circle.
    They are applied in that order; images stay uint8. The geometric two run
    in C++ inside the loading call, without the GIL; uncovered pixels get the
    letterbox's grey (114), boxes are cut to what is shown, and boxes thinner
    than 2 pixels or showing less than a fifth of their area are dropped.
    The random draws follow from TensorFlow's seed: with
    ``tf.keras.utils.set_random_seed`` (and, for bit-identical training,
    ``tf.config.experimental.enable_op_determinism``) the pipeline yields the
    same batches on every run.

    ``reduced_decode``: training samples' JPEGs are decoded at 1/2, 1/4 or 1/8
    scale where that still gives at least the pixels the resize to ``shape``
    keeps (libjpeg-turbo's DCT scaling, much cheaper than a full decode).
    Pixels differ slightly from resizing the full image; validation samples
    and other formats are decoded as usual (8-bit RGB PNGs by OpenCV, to the
    same pixels). Loaders read ``self.reduced_decode``.

    ``cache``: None, "ram" or "disk". The training samples that
    ``load_instance`` returns (before the augmentations above, which stay
    random every epoch) are kept, in memory or as one file each in
    ``cache_dir``, and later epochs read them instead of decoding again; the
    batches are the same as without the cache. A kept sample is used while
    its files (path, size, modification time) and ``cache_variant()`` are
    unchanged. A RAM cache that would not fit in the available memory is
    refused when the pipeline is built. A subclass whose ``load_instance``
    depends on more than the files and the base class's settings adds that
    to ``cache_variant()``.
    """

    SUPPORTED_AUGMENTATIONS = AUGMENTATIONS

    def __init__(
        self,
        info_file=None,
        shape=None,
        letter_box=True,
        add_bkg_class=True,
        aug_cfg=None,
        reduced_decode=False,
        cache=None,
        cache_dir=None,
    ):
        self.info_file = info_file
        self.shape = self._checked_shape(shape)
        self.letter_box = letter_box
        self.add_bkg_class = add_bkg_class
        self.class_offset = 1 if add_bkg_class else 0
        self.aug_cfg = self._checked_aug_cfg(aug_cfg)
        self.reduced_decode = bool(reduced_decode)
        self.cache = image_cache.checked_kind(cache, type(self).__name__)
        self.cache_dir = cache_dir
        self.train_storage = []
        self.val_storage = []

    def _checked_shape(self, shape):
        if shape is None:
            return None
        name = type(self).__name__
        if not isinstance(shape, (tuple, list)) or len(shape) not in (2, 3):
            raise ValueError(f"{name}: shape must be (height, width), got {shape!r}")
        for size in shape[:2]:
            if isinstance(size, bool) or not isinstance(size, (int, np.integer)) or size <= 0:
                raise ValueError(f"{name}: shape must hold positive int sizes, got {shape!r}")
        if len(shape) == 3 and shape[2] != 3:
            raise ValueError(f"{name}: images are RGB, so a 3-item shape must end in 3, got {shape!r}")
        return shape

    def _checked_aug_cfg(self, aug_cfg):
        if aug_cfg is None:
            return None
        name = type(self).__name__
        if not isinstance(aug_cfg, dict):
            raise TypeError(
                f"{name}: aug_cfg must be a dict of augmentation -> frequency, got {type(aug_cfg).__name__}"
            )
        for key, frequency in aug_cfg.items():
            if key not in self.SUPPORTED_AUGMENTATIONS:
                raise ValueError(
                    f"{name}: unknown augmentation {key!r} in aug_cfg; known: {', '.join(self.SUPPORTED_AUGMENTATIONS)}"
                )
            is_number = isinstance(frequency, (int, float, np.integer, np.floating)) and not isinstance(frequency, bool)
            if not is_number or not 0.0 <= float(frequency) <= 1.0:
                raise ValueError(f"{name}: aug_cfg[{key!r}] must be a frequency between 0 and 1, got {frequency!r}")
        return aug_cfg

    # Loading hooks.

    def validate_info_file(self, info_file):
        """Reads the dataset's YAML info file and returns its mapping (``checks.read_yaml_mapping``)."""
        name = type(self).__name__
        if info_file is None:
            raise ValueError(f"{name}: info_file is required (path to the dataset's YAML info file)")
        return read_yaml_mapping(info_file, f"{name}: info file")

    def _missing_hook(self, hook):
        return NotImplementedError(f"{type(self).__name__} must implement {hook}()")

    def validate_info_file_content(self, info_dataset):
        raise self._missing_hook("validate_info_file_content")

    def load_storage(self):
        raise self._missing_hook("load_storage")

    def load_instance(self, data, training=True):
        """Loads one sample from a pair of byte strings (numpy array).

        training=True: returns (uint8 image shape[0] x shape[1] x 3, float32
        boxes N x 5: x1, y1, x2, y2 in output pixels, label).
        training=False: returns (uint8 image at its own size, float32 boxes
        N x 5 with corners normalised to 0..1, file name).
        """
        raise self._missing_hook("load_instance")

    def build_and_load_base_iterator(self, storage, shuffle=True):
        """Returns a tf.data.Dataset of the storage entries as string tensors of shape (2,)."""
        raise self._missing_hook("build_and_load_base_iterator")

    def label_files_with_clipped_boxes(self, storage):
        """The label files of ``storage`` whose boxes the loader clips to the
        image; datasets without such files return []. The pipelines warn
        about them once per split."""
        return []

    def _warn_about_clipped_boxes(self, split, storage):
        warned = self.__dict__.setdefault("_clipped_boxes_warned", set())
        if split in warned:
            return
        warned.add(split)
        clipped = self.label_files_with_clipped_boxes(storage)
        if clipped:
            warnings.warn(
                f"{type(self).__name__}: {len(clipped)} {split} label files hold boxes outside the image "
                f"(coordinates outside [0, 1]) or of zero size, which are clipped to the image (first: {clipped[0]})",
                stacklevel=3,
            )

    # Queries.

    def get_classes(self):
        return getattr(self, "classes", [])

    def get_num_train_samples(self):
        return len(self.train_storage)

    def get_num_val_samples(self):
        return len(self.val_storage)

    # Pipelines.

    def _base_iterator(self, storage, shuffle):
        dataset = self.build_and_load_base_iterator(storage, shuffle)
        hook = f"{type(self).__name__}.build_and_load_base_iterator"
        if not isinstance(dataset, tf.data.Dataset):
            raise TypeError(f"{hook} must return a tf.data.Dataset, got {type(dataset).__name__}")
        element = dataset.element_spec
        is_pair_of_strings = (
            isinstance(element, tf.TensorSpec) and element.dtype == tf.string and element.shape.is_compatible_with([2])
        )
        if not is_pair_of_strings:
            raise TypeError(f"{hook} must yield string tensors of shape (2,), got {element}")
        return dataset

    def _check_image(self, image, entry, expected_hw=None):
        if not isinstance(image, np.ndarray) or image.dtype != np.uint8 or image.ndim != 3 or image.shape[2] != 3:
            if isinstance(image, np.ndarray):
                description = f"shape {image.shape} dtype {image.dtype}"
            else:
                description = type(image).__name__
            raise ValueError(
                f"{type(self).__name__}.load_instance({entry_text(entry)}): image must be an HxWx3 uint8 array, "
                f"got {description}"
            )
        if expected_hw is not None and image.shape[:2] != expected_hw:
            raise ValueError(
                f"{type(self).__name__}.load_instance({entry_text(entry)}): training image must be "
                f"{expected_hw[0]}x{expected_hw[1]}, got {image.shape[0]}x{image.shape[1]}"
            )

    def _checked_boxes(self, boxes, entry):
        boxes = np.asarray(boxes)
        if boxes.size == 0:
            return np.zeros((0, 5), np.float32)
        if boxes.ndim != 2 or boxes.shape[1] != 5 or not np.issubdtype(boxes.dtype, np.number):
            raise ValueError(
                f"{type(self).__name__}.load_instance({entry_text(entry)}): boxes must be an N x 5 numeric array "
                f"(x1, y1, x2, y2, label), got shape {boxes.shape} dtype {boxes.dtype}"
            )
        return boxes.astype(np.float32)

    def cache_variant(self):
        """What training samples depend on besides their files (see ``cache``)."""
        return (
            f"{type(self).__qualname__} shape={tuple(self.shape[:2])} letter_box={bool(self.letter_box)} "
            f"reduced_decode={self.reduced_decode} class_offset={self.class_offset} classes={len(self.get_classes())}"
        )

    def _load_train_sample(self, entry, expected_hw, cache=None):
        if cache is None:
            return self._load_new_train_sample(entry, expected_hw)
        return cache.fetch(entry, lambda: self._load_new_train_sample(entry, expected_hw))

    def _load_new_train_sample(self, entry, expected_hw):
        image, boxes = self.load_instance(entry, True)
        self._check_image(image, entry, expected_hw)
        return image, self._checked_boxes(boxes, entry)

    def _load_val_sample(self, entry):
        image, boxes, name = self.load_instance(entry, False)
        self._check_image(image, entry)
        if isinstance(name, str):
            name = name.encode("utf-8")
        if not isinstance(name, bytes):
            raise ValueError(
                f"{type(self).__name__}.load_instance({entry_text(entry)}): file name must be a str, "
                f"got {type(name).__name__}"
            )
        return image, self._checked_boxes(boxes, entry), np.bytes_(name)

    def _load_train_batch(self, entries, expected_hw, buffers, seed=None, cache=None):
        """Loads a batch of storage entries: uint8 images [B, H, W, 3], in an array
        from `buffers` (a _RecycledArrays), and boxes [B, maxN, 5] padded with
        all-zero rows. With a `seed`, the geometric augmentations follow; with
        an ImageCache `cache`, samples are read from it where it has them."""
        images = buffers.take((len(entries), *expected_hw, 3))
        # With geometric augmentation, the loaded (or cached) images are read
        # where they are, without a copy into a batch array first.
        loaded = [] if seed is not None else images
        loaded_boxes = []
        unreadable = []
        for index, entry in enumerate(entries):
            try:
                image, boxes = self._load_train_sample(entry, expected_hw, cache)
            except OSError as error:
                # A file that went bad during training must not end the run.
                warn_skipped_once(self, entry_text(entry), error)
                unreadable.append(index)
                image, boxes = np.full((*expected_hw, 3), FILL_VALUE, np.uint8), np.zeros((0, 5), np.float32)
            if seed is None:
                images[index] = image
            else:
                loaded.append(image)
            loaded_boxes.append(boxes)
        self._stand_in_for(unreadable, loaded, loaded_boxes)
        if seed is not None:
            loaded_boxes = geometric_batch(
                loaded,
                loaded_boxes,
                images,
                seed=int(seed) % 2**64,
                mosaic=self._frequency("mosaic"),
                affine=self._frequency("affine"),
                scale=AFFINE_SCALE_RANGE,
                translate=AFFINE_TRANSLATE,
                degrees=AFFINE_DEGREES,
                shear=AFFINE_SHEAR,
                min_size=MIN_BOX_SIZE,
                min_visible=MIN_BOX_VISIBLE,
                fill=FILL_VALUE,
            )
        # At least one (padding) row: TensorFlow's unbatch crashes on a batch of
        # boxes with no rows at all.
        padded = np.zeros((len(entries), max(1, *(len(boxes) for boxes in loaded_boxes)), 5), np.float32)
        for index, boxes in enumerate(loaded_boxes):
            padded[index, : len(boxes)] = boxes
        return images, padded

    @staticmethod
    def _stand_in_for(unreadable, images, boxes):
        """Fills the places of the batch's unreadable samples with copies of
        those that loaded, so that batch sizes and counts stay as planned;
        a batch with none that loaded keeps grey images without objects."""
        loaded = [index for index in range(len(boxes)) if index not in unreadable]
        for place, index in enumerate(unreadable):
            if loaded:
                source = loaded[place % len(loaded)]
                images[index] = images[source]
                boxes[index] = boxes[source]

    def build_train_iterator(self, batch_size, prefetch=tf.data.AUTOTUNE, *, strategy=None):
        """Batches of (uint8 images [B, H, W, 3], float32 boxes [B, maxN, 5]).

        Samples with fewer boxes are padded with all-zero rows. Under a
        tf.distribute `strategy`, the batches are distributed over its
        replicas (B stays the global batch) and each worker loads only its
        share of the files (see ``datasets.utils.worker_share``). A sample
        whose file cannot be read (``load_instance`` raises OSError, e.g. an
        image that no longer decodes) is skipped with one warning naming it;
        a sample of the same batch that loaded takes its place.
        """
        name = type(self).__name__
        if self.shape is None:
            raise ValueError(f"{name}: shape (height, width) must be set to build the training iterator")
        if isinstance(batch_size, bool) or not isinstance(batch_size, (int, np.integer)) or batch_size <= 0:
            raise ValueError(f"{name}.build_train_iterator: batch_size must be a positive int, got {batch_size!r}")
        self._warn_about_clipped_boxes("training", self.train_storage)
        return distributed(
            strategy, lambda input_context: self._train_pipeline(int(batch_size), prefetch, input_context)
        )

    def _train_pipeline(self, batch_size, prefetch, input_context):
        storage, batch_size, samples = worker_share(
            self.train_storage, batch_size, input_context, f"{type(self).__name__}.build_train_iterator"
        )
        height, width = int(self.shape[0]), int(self.shape[1])
        workers = usable_cores()
        geometric = self._augments(GEOMETRIC_AUGMENTATIONS)
        # Alive at once: a batch loading and one waiting per worker, the
        # prefetched ones and those the consumer still holds.
        held_ahead = prefetch if isinstance(prefetch, int) and prefetch > 0 else 1
        batch_buffers = self._batch_buffers(keep=2 * workers + held_ahead + 2)
        cache = image_cache.for_dataset(self, self.cache_variant())
        if cache is not None:
            cache.reserve(len(storage), len(storage) * height * width * 3)

        def load_batch(entries, seed=None):
            # Stateless: what it returns follows from its inputs (files, seed),
            # which keeps the stage parallel when op determinism is on.
            images, boxes = tf.numpy_function(
                lambda *data: self._load_train_batch(data[0], (height, width), batch_buffers, *data[1:], cache=cache),
                [entries] if seed is None else [entries, seed],
                [tf.uint8, tf.float32],
                stateful=False,
            )
            images.set_shape([None, height, width, 3])
            boxes.set_shape([None, None, 5])
            return images, boxes

        # One call loads a whole batch: a call per sample, and batching the
        # samples afterwards, adds about a tenth to the time a 640x640 sample
        # takes to load. Batches keep their order, so that a smaller last
        # batch comes last.
        dataset = self._base_iterator(storage, True)
        if samples is not None:
            dataset = dataset.take(samples)
        dataset = dataset.batch(int(batch_size))
        batches = int(dataset.cardinality())
        if geometric:
            dataset = tf.data.Dataset.zip(dataset, _random_seeds())
        dataset = dataset.map(load_batch, num_parallel_calls=workers, deterministic=True)
        if self._augments(_AUGMENTATIONS):
            # The image ops work on single samples, each with its own seed.
            dataset = tf.data.Dataset.zip(dataset.unbatch(), _random_seeds().batch(2))
            dataset = dataset.map(self._augment, num_parallel_calls=workers, deterministic=False)
            dataset = dataset.padded_batch(
                int(batch_size),
                padded_shapes=([height, width, 3], [None, 5]),
                padding_values=(tf.constant(0, tf.uint8), tf.constant(0.0, tf.float32)),
            )
            # Unbatching hides the number of batches, which progress bars show.
            dataset = dataset.apply(tf.data.experimental.assert_cardinality(batches))
        return without_autotuning(dataset.prefetch(prefetch))

    def _batch_buffers(self, keep):
        """The dataset's one pool of batch arrays, shared by all its training
        pipelines: TensorFlow keeps each pipeline's loading function alive, so
        a pool per pipeline would stay allocated for every rebuild."""
        buffers = self.__dict__.get("_recycled_batch_arrays")
        if buffers is None:
            buffers = self._recycled_batch_arrays = _RecycledArrays(keep)
        buffers.keep_at_least(keep)
        return buffers

    def _frequency(self, augmentation):
        return float((self.aug_cfg or {}).get(augmentation, 0.0))

    def _augments(self, augmentations):
        return any(self._frequency(name) > 0 for name in augmentations)

    def _augment(self, sample, seed):
        image, boxes = sample
        seeds = tf.random.experimental.stateless_split(seed, num=2 * len(_AUGMENTATIONS))
        for index, (augmentation, apply) in enumerate(_AUGMENTATIONS.items()):
            frequency = self._frequency(augmentation)
            draw_seed, op_seed = seeds[2 * index], seeds[2 * index + 1]
            if frequency <= 0.0:
                continue
            if frequency >= 1.0:
                image, boxes = apply(image, boxes, op_seed)
                continue
            image, boxes = tf.cond(
                tf.random.stateless_uniform([], draw_seed) < frequency,
                lambda: apply(image, boxes, op_seed),
                lambda: (image, boxes),
            )
        return image, boxes

    def build_val_iterator(self):
        """Elements (uint8 image [1, H, W, 3], float32 boxes [1, N, 5], name [1]).

        One image per element at its own size; boxes have normalised corners.
        """

        def load(entry):
            image, boxes, file_name = tf.numpy_function(
                self._load_val_sample, [entry], [tf.uint8, tf.float32, tf.string]
            )
            image.set_shape([None, None, 3])
            boxes.set_shape([None, 5])
            file_name.set_shape([])
            return image, boxes, file_name

        self._warn_about_clipped_boxes("validation", self.val_storage)
        dataset = self._base_iterator(self.val_storage, False)
        dataset = dataset.map(load, num_parallel_calls=tf.data.AUTOTUNE)
        return dataset.batch(1).prefetch(tf.data.AUTOTUNE)


def _random_seeds():
    """Endless random int64 seeds, drawn anew on each pass over the dataset;
    from TensorFlow's global seed when one is set, so seeded runs repeat."""
    return tf.data.Dataset.random(rerandomize_each_iteration=True)


class _RecycledArrays:
    """Aligned uint8 arrays, handed out again once nothing else holds them.

    A batch array that TensorFlow takes over stays referenced by its tensor
    until the tensor is gone. Fresh memory for every batch costs the kernel a
    page fault and a page clearing per 4 KiB, about an eighth of the time a
    640x640 batch takes to load on two cores.
    """

    def __init__(self, keep):
        self._keep = keep
        self._arrays = []
        self._lock = threading.Lock()

    def keep_at_least(self, keep):
        with self._lock:
            self._keep = max(self._keep, keep)

    def take(self, shape):
        with self._lock:
            for array in self._arrays:
                # Held only by the list, the loop variable and getrefcount's
                # own argument: no tensor, view or caller uses it any more.
                if array.shape == shape and sys.getrefcount(array) == 3:
                    return array
            array = _aligned_uint8_array(shape)
            self._arrays.append(array)
            if len(self._arrays) > self._keep:  # the oldest is freed once its tensor goes
                self._arrays.pop(0)
            return array


def _aligned_uint8_array(shape):
    """An uninitialised uint8 array whose data is aligned to 64 bytes: TensorFlow
    takes such an array over as a tensor's memory, and copies any other."""
    size = int(np.prod(shape))
    buffer = np.empty(size + _TENSOR_ALIGNMENT, np.uint8)
    offset = -buffer.ctypes.data % _TENSOR_ALIGNMENT
    return buffer[offset : offset + size].reshape(shape)
