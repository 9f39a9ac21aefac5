"""Semantic-segmentation dataset: folders of images and class-index PNG masks."""

import functools
import os
import warnings

import cv2
import numpy as np
import tensorflow as tf
from PIL import Image

from quillon.forgeline.datasets import image_cache
from quillon.forgeline.datasets.utils import (
    describe_folder,
    distributed,
    find_images,
    load_readable,
    to_rgb,
    usable_cores,
    warn_if_exif_rotated,
    without_autotuning,
    worker_share,
)


class SegmentationDataset:
    """Pairs images with their masks and builds the tf.data pipelines.

    Image ``<stem>.png|jpg|jpeg`` in an image folder pairs with the mask
    ``<stem>.png`` in the matching mask folder. A mask is a single-channel
    image (PIL mode "L", "P", "I" or "1") whose pixel values are class
    indices. Images without a mask are left out with one warning per split.

    shape: [height, width] or [height, width, 3]: every image (bilinear) and
      mask (nearest neighbour) is resized to it, for training and validation
      alike, so the model always sees the size it was built for.
    num_classes: when given, mask values must be below it; a mask holding
      another value fails with a ValueError naming the file.
    flip: mirror training samples left-right with probability 0.5.
    cache: None, "ram" or "disk": keep the loaded training samples (before
      the flip) in memory or as files in ``cache_dir``, so that later epochs
      do not decode them again (see ``BaseDetectionDataset``).

    Training batches are (uint8 images [B, H, W, 3], int32 masks [B, H, W]).
    Validation elements are single, unbatched samples
    (uint8 image [H, W, 3], int32 mask [H, W], image path string).
    """

    def __init__(
        self,
        shape,
        train_images,
        train_masks,
        val_images,
        val_masks,
        num_classes=None,
        flip=True,
        cache=None,
        cache_dir=None,
    ):
        self.shape = _checked_shape(shape)
        self.cache = image_cache.checked_kind(cache, "SegmentationDataset")
        self.cache_dir = cache_dir
        if num_classes is not None and (
            isinstance(num_classes, bool) or not isinstance(num_classes, (int, np.integer)) or num_classes < 1
        ):
            raise ValueError(f"SegmentationDataset: num_classes must be a positive int or None, got {num_classes!r}")
        self.num_classes = num_classes
        self.flip = bool(flip)
        self.train_images, self.train_masks = train_images, train_masks
        self.val_images, self.val_masks = val_images, val_masks
        self.train_storage = _pair_images_with_masks(train_images, train_masks, "training")
        self.val_storage = _pair_images_with_masks(val_images, val_masks, "validation")

    def get_num_train_samples(self):
        return len(self.train_storage)

    def get_num_val_samples(self):
        return len(self.val_storage)

    def load_sample(self, entry):
        """Loads one storage entry (image path, mask path; str or bytes).

        Returns (uint8 image H x W x 3, int32 mask H x W) at ``shape``.
        """
        image_path, mask_path = (_text(item) for item in entry)
        height, width = self.shape
        with Image.open(image_path) as source:
            warn_if_exif_rotated(self, source, image_path)
            image = np.asarray(to_rgb(source, image_path))
        with Image.open(mask_path) as source:
            if source.mode not in ("L", "P", "I", "I;16", "1"):
                raise ValueError(
                    f"SegmentationDataset: mask {mask_path} must be a single-channel class-index image, "
                    f"got PIL mode {source.mode!r}"
                )
            mask = np.asarray(source).astype(np.int32)
        if image.shape[:2] != mask.shape:
            raise ValueError(
                f"SegmentationDataset: image {image_path} is {image.shape[1]}x{image.shape[0]} but its mask "
                f"{mask_path} is {mask.shape[1]}x{mask.shape[0]}"
            )
        if self.num_classes is not None and (mask.min() < 0 or mask.max() >= self.num_classes):
            bad = sorted(set(np.unique(mask).tolist()) - set(range(self.num_classes)))
            raise ValueError(
                f"SegmentationDataset: mask {mask_path} holds values {bad} outside the {self.num_classes} classes 0.."
                f"{self.num_classes - 1}"
            )
        if image.shape[:2] != (height, width):
            image = cv2.resize(image, (width, height), interpolation=cv2.INTER_LINEAR)
            mask = cv2.resize(mask, (width, height), interpolation=cv2.INTER_NEAREST)
        return image, mask

    def _tf_load(self, entry, cache=None, training=False):
        load = self.load_sample if cache is None else lambda entry: self._cached_sample(entry, cache)
        if training:
            load = functools.partial(load_readable, self, load)
        image, mask = tf.numpy_function(load, [entry], [tf.uint8, tf.int32])
        image.set_shape([self.shape[0], self.shape[1], 3])
        mask.set_shape([self.shape[0], self.shape[1]])
        return image, mask

    def _cached_sample(self, entry, cache):
        # Copies: TensorFlow may take an array over as a tensor's memory, and
        # its ops may then reuse that memory for their results.
        return tuple(array.copy() for array in cache.fetch(entry, lambda: self.load_sample(entry)))

    def build_train_iterator(self, batch_size, prefetch=tf.data.AUTOTUNE, *, strategy=None):
        """Shuffled (every pass anew), loaded, optionally flipped batches.

        Under a tf.distribute `strategy`, the batches are distributed over its
        replicas (batch_size stays the global batch) and each worker loads
        only its share of the files (see ``datasets.utils.worker_share``).
        A sample whose files cannot be read (OSError, e.g. an image that no
        longer decodes) is skipped with one warning naming them.
        """
        if isinstance(batch_size, bool) or not isinstance(batch_size, (int, np.integer)) or batch_size < 1:
            raise ValueError(
                f"SegmentationDataset.build_train_iterator: batch_size must be a positive int, got {batch_size!r}"
            )
        return distributed(
            strategy, lambda input_context: self._train_pipeline(int(batch_size), prefetch, input_context)
        )

    def _train_pipeline(self, batch_size, prefetch, input_context):
        storage, batch_size, samples = worker_share(
            self.train_storage, batch_size, input_context, "SegmentationDataset.build_train_iterator"
        )
        dataset = tf.data.Dataset.from_tensor_slices(storage)
        dataset = dataset.shuffle(len(storage), reshuffle_each_iteration=True)
        if samples is not None:
            dataset = dataset.take(samples)
        workers = usable_cores()
        cache = image_cache.for_dataset(self, f"SegmentationDataset shape={self.shape} classes={self.num_classes}")
        if cache is not None:
            cache.reserve(len(storage), len(storage) * self.shape[0] * self.shape[1] * (3 + 4))
        dataset = dataset.map(lambda entry: self._tf_load(entry, cache, training=True), num_parallel_calls=workers)
        if self.flip:
            dataset = dataset.map(_random_flip_lr, num_parallel_calls=workers)
        return without_autotuning(dataset.batch(int(batch_size)).prefetch(prefetch))

    def build_val_iterator(self):
        """Unbatched (image, mask, path) elements in storage order."""

        def load_with_path(entry):
            image, mask = self._tf_load(entry)
            return image, mask, entry[0]

        dataset = tf.data.Dataset.from_tensor_slices(self.val_storage)
        return dataset.map(load_with_path, num_parallel_calls=tf.data.AUTOTUNE).prefetch(tf.data.AUTOTUNE)


def _random_flip_lr(image, mask):
    flip = tf.random.uniform([]) < 0.5
    image = tf.cond(flip, lambda: tf.reverse(image, axis=[1]), lambda: image)
    mask = tf.cond(flip, lambda: tf.reverse(mask, axis=[1]), lambda: mask)
    return image, mask


def _pair_images_with_masks(image_folder, mask_folder, split):
    for argument, folder in (("images", image_folder), ("masks", mask_folder)):
        if not isinstance(folder, (str, os.PathLike)):
            raise TypeError(
                f"SegmentationDataset: the {split} {argument} folder must be a path, got {type(folder).__name__}"
            )
        if not os.path.isdir(folder):
            raise FileNotFoundError(
                f"SegmentationDataset: {split} {argument} folder does not exist: {folder} ({describe_folder(folder)})"
            )
    images = find_images(os.fspath(image_folder), sort=True)
    storage, missing = [], []
    for image in images:
        stem = os.path.splitext(os.path.basename(image))[0]
        mask = os.path.join(os.fspath(mask_folder), stem + ".png")
        if os.path.isfile(mask):
            storage.append([image, mask])
        else:
            missing.append(stem)
    if missing:
        shown = ", ".join(missing[:5]) + (", ..." if len(missing) > 5 else "")
        warnings.warn(
            f"SegmentationDataset: {len(missing)} {split} images have no mask in {mask_folder} and are left out: {shown}",
            stacklevel=2,
        )
    if not storage:
        found = f"{len(images)} image files" if images else "no PNG, JPG or JPEG file"
        raise ValueError(
            f"SegmentationDataset: no {split} image in {image_folder} has a mask <name>.png in {mask_folder} "
            f"(the images folder holds {found})"
        )
    return storage


def _checked_shape(shape):
    if not isinstance(shape, (list, tuple)) or len(shape) not in (2, 3):
        raise ValueError(f"SegmentationDataset: shape must be [height, width] or [height, width, 3], got {shape!r}")
    for size in shape[:2]:
        if isinstance(size, bool) or not isinstance(size, (int, np.integer)) or size < 1:
            raise ValueError(f"SegmentationDataset: shape must hold positive int sizes, got {shape!r}")
    if len(shape) == 3 and shape[2] != 3:
        raise ValueError(f"SegmentationDataset: images are RGB, so a 3-item shape must end in 3, got {shape!r}")
    return int(shape[0]), int(shape[1])


def _text(item):
    return item.decode("utf-8") if isinstance(item, bytes) else str(item)
