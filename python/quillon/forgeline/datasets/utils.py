"""Image, box and input-pipeline helpers shared by the dataset loaders."""

import glob
import os
import threading
import warnings

import cv2
import numpy as np
from PIL import Image

# Dtypes cv2.resize and cv2.copyMakeBorder handle for any channel count used here.
_LETTERBOX_DTYPES = (np.uint8, np.uint16, np.float32, np.float64)


def _target_shape(new_shape):
    """Returns new_shape as a (height, width) pair of positive ints."""
    if isinstance(new_shape, (int, np.integer)) and not isinstance(new_shape, bool):
        pair = (int(new_shape), int(new_shape))
    elif isinstance(new_shape, (tuple, list)) and len(new_shape) == 2:
        pair = tuple(new_shape)
    else:
        raise ValueError(f"letterbox: new_shape must be an int or a (height, width) pair, got {new_shape!r}")
    for size in pair:
        if isinstance(size, bool) or not isinstance(size, (int, np.integer)) or size <= 0:
            raise ValueError(f"letterbox: new_shape sizes must be positive ints, got {new_shape!r}")
    return int(pair[0]), int(pair[1])


def letterbox(img, new_shape=(640, 640), color=(114, 114, 114), auto=False, scaleup=True, stride=32):
    """Resizes an image without distorting it and pads it to new_shape.

    new_shape: int (square) or (height, width).
    auto: pad only up to the next multiple of ``stride`` instead of to new_shape.
    scaleup: when False, images are only shrunk, never enlarged.

    Returns ``(image, (r, r), (dw, dh))``: r is the resize ratio and dw, dh are
    the left and top padding in pixels, so a normalised x maps to x*w*r + dw
    (w being the input width), and likewise for y.
    """
    if not isinstance(img, np.ndarray) or img.ndim not in (2, 3) or img.shape[0] == 0 or img.shape[1] == 0:
        description = f"array of shape {img.shape}" if isinstance(img, np.ndarray) else type(img).__name__
        raise ValueError(f"letterbox: expected an HxWxC or HxW image array, got {description}")
    if img.dtype.type not in _LETTERBOX_DTYPES:
        raise ValueError(f"letterbox: unsupported image dtype {img.dtype}; use uint8, uint16, float32 or float64")
    if isinstance(stride, bool) or not isinstance(stride, (int, np.integer)) or stride <= 0:
        raise ValueError(f"letterbox: stride must be a positive int, got {stride!r}")
    new_h, new_w = _target_shape(new_shape)
    height, width = img.shape[:2]

    ratio = min(new_h / height, new_w / width)
    if not scaleup:
        ratio = min(ratio, 1.0)
    # At least one pixel: a 1-pixel-thin image would otherwise shrink to nothing.
    resized_w, resized_h = max(1, int(round(width * ratio))), max(1, int(round(height * ratio)))
    pad_w, pad_h = new_w - resized_w, new_h - resized_h
    if auto:
        pad_w, pad_h = pad_w % stride, pad_h % stride

    single_channel = img.ndim == 3 and img.shape[2] == 1
    if (resized_w, resized_h) != (width, height):
        img = cv2.resize(img, (resized_w, resized_h), interpolation=cv2.INTER_LINEAR)
    left, top = pad_w // 2, pad_h // 2
    img = cv2.copyMakeBorder(img, top, pad_h - top, left, pad_w - left, cv2.BORDER_CONSTANT, value=color)
    if single_channel and img.ndim == 2:
        # OpenCV drops a trailing channel axis of size 1.
        img = img[:, :, np.newaxis]
    return img, (ratio, ratio), (left, top)


def xywhn2xyxy(boxes, w=640, h=640, padw=0, padh=0):
    """Converts normalised (cx, cy, bw, bh) in columns 0..3 to pixel corners.

    Returns a new float array of the same shape with x1, y1, x2, y2 in columns
    0..3 (offset by padw, padh); other columns are copied unchanged.
    """
    boxes = np.asarray(boxes)
    if boxes.ndim != 2 or boxes.shape[1] < 4:
        raise ValueError(f"xywhn2xyxy: boxes must be an N x 4 (or wider) array, got shape {boxes.shape}")
    dtype = boxes.dtype if np.issubdtype(boxes.dtype, np.floating) else np.float64
    converted = boxes.astype(dtype, copy=True)
    cx, cy, bw, bh = (boxes[:, i].astype(dtype) for i in range(4))
    converted[:, 0] = w * (cx - bw / 2) + padw
    converted[:, 1] = h * (cy - bh / 2) + padh
    converted[:, 2] = w * (cx + bw / 2) + padw
    converted[:, 3] = h * (cy + bh / 2) + padh
    return converted


def usable_cores():
    """The number of CPU cores this process may run on."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def without_autotuning(dataset):
    """`dataset` with tf.data's autotuning off; give its stages their parallelism
    by hand (`usable_cores()`).

    With autotuning on, on a 2-core machine, a pipeline read from Python now
    and then ran its loading calls one after the other for a whole pass, and
    training steps over an autotuned dataset ran whole epochs a third slower.
    """
    import tensorflow as tf  # here: the checks that run before training use this module without TensorFlow

    options = tf.data.Options()
    options.autotune.enabled = False
    return dataset.with_options(options)


def distributed(strategy, build_pipeline):
    """The training pipeline `build_pipeline(input_context)` makes, as training under `strategy` takes it.

    Without a strategy (None) that is `build_pipeline(None)` itself. Under one,
    the dataset TensorFlow distributes over its replicas
    (`strategy.distribute_datasets_from_function`): every worker builds its
    own part of the pipeline, told by `input_context` which part (see
    `worker_share`).
    """
    if strategy is None:
        return build_pipeline(None)
    return strategy.distribute_datasets_from_function(build_pipeline)


def worker_share(storage, batch_size, input_context, owner):
    """What one worker's training pipeline reads: `(entries, replica_batch, samples)`.

    `entries` are this worker's entries of `storage`, every
    `num_input_pipelines`-th from its `input_pipeline_id`, so that it loads
    only its share of the files. `replica_batch` is the batch each replica
    gets of the global `batch_size`. Each epoch uses `samples` of the shuffled
    entries: the same whole number of global batches on every worker, so no
    replica waits for a worker that has run out or gets an empty batch (up to
    a batch of samples per worker is left out of each epoch, a different one
    each time). Without an input context: `(storage, batch_size, None)`.
    `owner` names the pipeline in error messages.
    """
    if input_context is None:
        return storage, batch_size, None
    workers, worker = input_context.num_input_pipelines, input_context.input_pipeline_id
    if batch_size % input_context.num_replicas_in_sync:
        raise ValueError(
            f"{owner}: the batch size {batch_size} must be a multiple of the {input_context.num_replicas_in_sync} "
            "replicas training it"
        )
    worker_batch = batch_size // workers
    steps = len(storage) // workers // worker_batch
    if steps == 0:
        raise ValueError(
            f"{owner}: {len(storage)} training samples are too few for one batch of {batch_size} over {workers} workers"
        )
    return list(storage[worker::workers]), input_context.get_per_replica_batch_size(batch_size), steps * worker_batch


# Image files the datasets pair with annotations, searched in this order.
IMAGE_PATTERNS = ("*.[pP][nN][gG]", "*.[jJ][pP][gG]", "*.[jJ][pP][eE][gG]")


def find_images(folder, glob_module=glob, join=os.path.join, sort=False):
    """The image files at the top level of `folder`: PNG, then JPG, then JPEG
    (any letter case), each group as the file system lists it (by name with
    `sort`). The folder is taken literally: glob characters in its name are
    escaped. A file name that is not valid UTF-8 cannot enter a tf.data
    pipeline: such files are left out with one warning naming the first.

    The dataset modules pass their own `glob` and `join` module globals.
    """
    pattern_folder = glob_module.escape(folder)
    images = []
    for pattern in IMAGE_PATTERNS:
        matches = glob_module.glob(join(pattern_folder, pattern))
        images.extend(sorted(matches) if sort else matches)
    usable = [image for image in images if not _undecodable(image)]
    if len(usable) < len(images):
        first = next(image for image in images if _undecodable(image))
        warnings.warn(
            f"{len(images) - len(usable)} image files in {os.fsdecode(folder)!r} were skipped: their names are not "
            f"valid UTF-8 (first: {os.fsencode(first)!r})",
            stacklevel=2,
        )
    return usable


def _undecodable(path):
    try:
        os.fsencode(path).decode("utf-8")
        return False
    except UnicodeDecodeError:
        return True


def describe_folder(folder):
    """What is at `folder`, for messages that say why nothing was found there."""
    if not isinstance(folder, (str, bytes, os.PathLike)):
        return f"{folder!r} is not a path"
    shown = repr(os.fsdecode(folder))
    if folder in ("", b""):
        return "an empty path (the current folder)"
    try:
        os.stat(folder)
    except OSError as error:
        if os.path.islink(folder):
            return f"{shown} is a broken symbolic link or a symbolic link loop ({error.strerror})"
        return f"{shown} does not exist"
    if not os.path.isdir(folder):
        return f"{shown} is a file, not a folder"
    try:
        names = os.listdir(folder)
    except OSError as error:
        return f"{shown} cannot be listed ({error.strerror})"
    if not names:
        return f"{shown} is an empty folder"
    shown_names = ", ".join(sorted(os.fsdecode(name) for name in names)[:3])
    return f"{shown} holds {len(names)} entries (e.g. {shown_names})"


# Pillow modes whose pixels are 8-bit values that convert("RGB") maps as they are.
_EIGHT_BIT_MODES = {"1", "L", "LA", "La", "P", "PA", "RGB", "RGBA", "RGBa", "RGBX", "CMYK", "YCbCr", "LAB", "HSV"}


def to_rgb(image, path):
    """The Pillow `image` (read from `path`) as an 8-bit RGB image.

    16-bit grey images are scaled to 8 bits (Pillow's convert would clip them
    at 255); images whose value range is unknown (32-bit integer or float
    pixels, as in TIFF files) are rejected with a ValueError naming the file
    rather than turned into black or white images.
    """
    mode = image.mode
    if mode in _EIGHT_BIT_MODES:
        return image if mode == "RGB" else image.convert("RGB")
    if mode.startswith("I;16"):
        values = np.asarray(image).astype(np.uint32)
        grey = ((values * 255 + 32767) // 65535).astype(np.uint8)
        return Image.fromarray(grey, "L").convert("RGB")
    raise ValueError(
        f"Cannot load image {os.fsdecode(path)}: Pillow mode {mode!r} ({_MODE_NAMES.get(mode, 'not 8 or 16 bits')}) "
        "has no known value range; save it as 8- or 16-bit PNG or JPEG"
    )


_MODE_NAMES = {"I": "32-bit integer pixels", "F": "32-bit float pixels"}

_EXIF_ORIENTATION = 0x0112
_exif_lock = threading.Lock()
# The formats the loaders decode, and how their files begin.
_IMAGE_SIGNATURES = {"PNG": b"\x89PNG\r\n\x1a\n", "JPEG": b"\xff\xd8\xff"}


def image_problem(path):
    """None when the file at `path` starts as a decodable PNG or JPEG, else a short reason.

    Reads the header only (format, size, pixel mode), not the pixels: cheap
    enough to run over a whole data set before training starts.
    """
    try:
        with open(path, "rb") as stream:
            start = stream.read(8)
    except OSError as error:
        return f"cannot be read ({error.strerror})"
    if not start:
        return "empty file"
    if not any(start.startswith(signature) for signature in _IMAGE_SIGNATURES.values()):
        return f"not a PNG or JPEG image (starts with {start!r})"
    try:
        with Image.open(path) as image:
            width, height = image.size
            mode = image.mode
    except (OSError, SyntaxError, ValueError, Image.DecompressionBombError) as error:
        return f"damaged image header ({error})"
    if width < 1 or height < 1:
        return f"image of size {width}x{height}"
    if mode not in _EIGHT_BIT_MODES and not mode.startswith("I;16"):
        return f"Pillow mode {mode!r} ({_MODE_NAMES.get(mode, 'not 8 or 16 bits')}) has no known value range"
    return None


def leave_out_images(dataset, images):
    """Removes the samples of the image files `images` from `dataset`'s training and validation storage."""
    left_out = {os.path.abspath(os.fsdecode(image)) for image in images}
    if not left_out:
        return
    for name in ("train_storage", "val_storage"):
        kept = [entry for entry in getattr(dataset, name) if os.path.abspath(os.fsdecode(entry[0])) not in left_out]
        setattr(dataset, name, kept)


def exif_orientation(path):
    """The EXIF orientation (1..8) of the image file at `path`; 1 when upright, absent or unreadable."""
    try:
        with Image.open(path) as image:
            return _orientation(image)
    except (OSError, SyntaxError, ValueError, Image.DecompressionBombError):
        return 1


def _orientation(image):
    if "exif" not in image.info:
        return 1
    try:
        orientation = image.getexif().get(_EXIF_ORIENTATION, 1)
    except (OSError, SyntaxError, ValueError):  # a damaged EXIF block says nothing
        return 1
    return orientation if orientation in range(1, 9) else 1


def warn_if_exif_rotated(dataset, image, path):
    """Warns once per `dataset` when an image carries an EXIF orientation:
    the loaders use the pixels as stored, not rotated as photo viewers show them.

    `image` is the opened Pillow image, or None where the pixels were decoded
    without Pillow: the file's header is read then.
    """
    if getattr(dataset, "_warned_exif_orientation", False):
        return
    orientation = _orientation(image) if image is not None else exif_orientation(path)
    if orientation == 1:
        return
    with _exif_lock:
        if getattr(dataset, "_warned_exif_orientation", False):
            return
        dataset._warned_exif_orientation = True
    warnings.warn(
        f"{os.fsdecode(path)} carries EXIF orientation {orientation}: {type(dataset).__name__} uses the pixels as "
        "stored, not rotated as photo viewers show them; boxes must be drawn on the stored pixels (only the first "
        "such image is reported)",
        stacklevel=2,
    )


def warn_skipped_once(dataset, sample, error):
    """Warns that the training sample `sample` (its files, as text) of `dataset`
    was skipped because of `error`; once per sample however often it recurs."""
    skipped = dataset.__dict__.setdefault("_skipped_train_samples", set())
    if sample not in skipped:
        skipped.add(sample)
        warnings.warn(f"Skipped training sample {sample}: {error}", stacklevel=3)


def entry_text(entry):
    """Readable form of a storage entry (its file paths) for messages."""
    try:
        return ", ".join(item.decode("utf-8", "replace") if isinstance(item, bytes) else str(item) for item in entry)
    except TypeError:
        return str(entry)


def load_readable(dataset, load, entry):
    """``load(entry)``, except that a training sample whose files cannot be read
    (they went bad while training runs: ``load`` raises OSError) is skipped with
    one warning naming them, and the first readable sample of the split
    (``dataset.train_storage``) takes its place."""
    first_failure = None
    for candidate in (entry, *dataset.train_storage):
        try:
            return load(candidate)
        except OSError as error:
            warn_skipped_once(dataset, entry_text(candidate), error)
            first_failure = first_failure or f"{entry_text(candidate)}: {error}"
    # The first failure names the sample the pipeline asked for.
    raise ValueError(
        f"{type(dataset).__name__}: none of the training samples can be read any more; the first: {first_failure}"
    )
