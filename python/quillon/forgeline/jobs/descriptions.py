"""A user's data description, read and checked before a job writes anything.

The datasets check their descriptions too, but some mistakes show only once
training has started (a label beyond the classes, a mask value beyond them)
or come out as a bare ``AttributeError``; here each one is a ``ValueError`` or
``FileNotFoundError`` naming the file and the key, line or sample.
Folder paths are used as written: absolute, or relative to the current folder.
"""

import os

from PIL import Image

from quillon.forgeline.datasets.checks import darknet_label_problems, read_yaml_mapping

MASK_MODES = ("L", "P", "I", "I;16", "1")
# Label problems an error lists before "... and N more".
SHOWN_PROBLEMS = 10


def check_detection_description(path):
    """Checks a Darknet description; returns its class names.

    Beyond what ``DarknetDatasetYaml`` checks: every label file of a paired
    image is read as the loader reads it, and its classes and boxes are
    checked (``darknet_label_problems``); all problems are named at once.
    """
    description = read_yaml_mapping(path, "data description")
    kind = description.get("type")
    if not isinstance(kind, str) or kind.lower() != "darknet":
        raise ValueError(f"data description {path}: 'type' must be darknet, got {kind!r}")
    classes = _classes(description, path)
    problems = []
    for section in ("train", "validation"):
        _, _, pairs = _paired_section(description, path, section, "annotations", ".txt", "an annotation")
        for _, label_file in pairs:
            problems += darknet_label_problems(label_file, len(classes))
    _raise_problems(path, "label problems", problems)
    return classes


def read_segmentation_description(path):
    """Checks a segmentation description; returns the folders and classes that ``train_segmentation`` takes.

    Every mask of a paired image must be single-channel with values below the
    number of classes.
    """
    description = read_yaml_mapping(path, "data description")
    classes = _classes(description, path)
    if len(classes) < 2:
        raise ValueError(
            f"data description {path}: 'classes' needs at least two names (class 0 is the background), got {classes!r}"
        )
    folders = {"classes": classes}
    for section, prefix in (("train", "train"), ("validation", "val")):
        images, masks, pairs = _paired_section(description, path, section, "masks", ".png", "a mask")
        for _, mask_file in pairs:
            _check_mask(mask_file, len(classes), path)
        folders[f"{prefix}_images"], folders[f"{prefix}_masks"] = images, masks
    return folders


def read_headpose_description(path, annotations):
    """Checks a head-pose description; returns the folders that ``train_headpose`` takes.

    ``annotations`` ("json" or "mat") is the extension of the annotation files.
    Every annotation file of a paired image is read by the loader's own reader
    (``read_headpose_annotation``); all files it refuses are named at once.
    """
    description = read_yaml_mapping(path, "data description")
    folders = {}
    problems = []
    for section, prefix in (("train", "train"), ("validation", "val")):
        images, annotation_folder, pairs = _paired_section(
            description, path, section, "annotations", "." + annotations, "an annotation"
        )
        for image, annotation in pairs:
            try:
                read_headpose_annotation(image, annotation)
            except Exception as error:  # whatever the readers raise (SciPy's MAT errors too) names the file
                problems.append(annotation_problem(error))
        folders[f"{prefix}_images"], folders[f"{prefix}_annotations"] = images, annotation_folder
    _raise_problems(path, "annotation problems", problems)
    return folders


def read_headpose_annotation(image, annotation):
    """``(angles, face_listed)``: pitch, yaw, roll of ``annotation`` (.mat or .json) as the head-pose loader reads it.

    A JSON file's first face box must hold a pixel of the stored ``image``;
    one that lists no box gives zeros and ``face_listed`` False (the loader
    trains the whole image). Raises what the loader would, naming the file.
    """
    # The loaders' readers; their module imports TensorFlow.
    from quillon.forgeline.datasets import attitude

    if annotation.lower().endswith(".mat"):
        return attitude.read_mat_annotation(annotation)[0], True
    with Image.open(image) as opened:
        size = opened.size
    angles, box = attitude.read_json_annotation(annotation, size)
    return angles, box is not None


def annotation_problem(error):
    """The one-line text of a reader's error (a KeyError's text is quoted by Python)."""
    return error.args[0] if isinstance(error, KeyError) and error.args else str(error)


def _raise_problems(path, what, problems):
    if problems:
        shown = "\n  ".join(problems[:SHOWN_PROBLEMS])
        more = f"\n  ... and {len(problems) - SHOWN_PROBLEMS} more" if len(problems) > SHOWN_PROBLEMS else ""
        raise ValueError(f"data description {path}: {what} ({len(problems)}):\n  {shown}{more}")


def _classes(description, path):
    classes = description.get("classes")
    if not isinstance(classes, list) or not classes or not all(isinstance(name, str) and name for name in classes):
        raise ValueError(f"data description {path}: 'classes' must be a list of class names, got {classes!r}")
    return classes


def _section_folders(description, path, section, keys):
    value = description.get(section)
    if not isinstance(value, dict):
        raise ValueError(
            f"data description {path}: '{section}' must be a mapping with the keys {', '.join(keys)}, got {value!r}"
        )
    folders = []
    for key in keys:
        folder = value.get(key)
        if not isinstance(folder, str) or not folder:
            raise ValueError(f"data description {path}: '{section}.{key}' must be a folder path, got {folder!r}")
        if not os.path.isdir(folder):
            where = (
                "" if os.path.isabs(folder) else f" (relative paths are read from the current folder, {os.getcwd()})"
            )
            raise FileNotFoundError(
                f"data description {path}: the '{section}.{key}' folder does not exist: {folder}{where}"
            )
        folders.append(folder)
    return folders


def _paired_section(description, path, section, other_key, extension, what):
    """The folders ``section.images`` and ``section.<other_key>`` and the (image, file) pairs of their files: each
    image with its ``<stem><extension>`` in the other folder, where that exists. A section without a pair raises,
    naming ``what`` the image lacks ("an annotation")."""
    # The datasets' own pairing; its module imports TensorFlow.
    from quillon.forgeline.datasets.darknet import pair_samples

    images, others = _section_folders(description, path, section, ("images", other_key))
    pairs = [tuple(pair) for pair in pair_samples(images, others, extension)[0]]
    if not pairs:
        raise ValueError(
            f"data description {path}: no {section} image in {images} has {what} <name>{extension} in {others}"
        )
    return images, others, pairs


def _check_mask(mask_file, num_classes, path):
    try:
        with Image.open(mask_file) as mask:
            mode = mask.mode
            low, high = mask.getextrema() if mode in MASK_MODES else (0, 0)
    except OSError as error:
        raise ValueError(f"mask {mask_file} cannot be read: {error}") from None
    if mode not in MASK_MODES:
        raise ValueError(f"mask {mask_file} must be a single-channel class-index image, got PIL mode {mode!r}")
    if low < 0 or high >= num_classes:
        raise ValueError(
            f"mask {mask_file} holds the value {high if high >= num_classes else low}, outside the "
            f"{num_classes} classes (0..{num_classes - 1}) of {path}"
        )
