"""A data set read as training reads it: what it holds, and what would make training fail or leave data out.

``check(DATA.yaml)`` finds the task from the description (``type: darknet``:
detection; ``masks`` folders: segmentation; else head pose), pairs the files
of each split as the datasets do, and reads every annotation and image
header by the loaders' own rules. Problems (training fails or skips data)
make the exit status 1; warnings (EXIF-rotated photos, duplicate images,
annotations without an image, angles the model cannot reach) do not.
"""

import collections
import glob
import hashlib
import os
import warnings

import numpy as np
from PIL import Image

from quillon.forgeline.data import convert
from quillon.forgeline.datasets.checks import read_yaml_mapping
from quillon.forgeline.jobs import descriptions

SPLITS = ("train", "validation")
# Images of these kinds sit in image folders now and then; training reads only PNG and JPEG.
OTHER_IMAGE_EXTENSIONS = (".bmp", ".gif", ".tif", ".tiff", ".webp")
SHOWN_PER_KIND = 5
HASH_CHUNK = 1 << 20


class Findings:
    """Problems and warnings of one split, by kind, each with its file (and line)."""

    def __init__(self):
        self.problems = collections.defaultdict(list)
        self.warnings = collections.defaultdict(list)

    def problem(self, kind, text):
        self.problems[kind].append(text)

    def warning(self, kind, text):
        self.warnings[kind].append(text)

    def lines(self, shown=None):
        lines = []
        for level, found in (("problem", self.problems), ("warning", self.warnings)):
            for kind, texts in found.items():
                lines.append(f"  {level}: {len(texts)} {kind}")
                lines.extend(f"    {text}" for text in texts[:shown])
                if shown is not None and len(texts) > shown:
                    lines.append(f"    ... and {len(texts) - shown} more")
        return lines


class Split:
    """What one split holds: counts for the report, values for the plots."""

    def __init__(self, name, images_folder):
        self.name, self.images_folder = name, images_folder
        self.images = []
        self.findings = Findings()
        # Objects (detection) or pixels (segmentation, mask values beyond the classes too) per class index.
        self.per_class = collections.Counter()
        self.boxes = np.zeros((0, 5), np.float32)  # detection: class cx cy w h rows
        self.objects_per_image = []
        self.angles = []  # head pose: (pitch, yaw, roll) rows


def check(data, out=None):
    """Checks the data set ``data`` describes; prints the report (and with ``out`` writes it and its plots).

    Returns the exit status: 1 when training would fail or leave data out, else 0.
    """
    description = read_yaml_mapping(data, "data description")
    task = _task(description)
    classes = None if task == "headpose" else descriptions._classes(description, data)
    second_key = "masks" if task == "segment" else "annotations"
    splits = []
    for name in SPLITS:
        images_folder, other_folder = descriptions._section_folders(description, data, name, ("images", second_key))
        split = Split(name, images_folder)
        if task == "detect":
            _check_detection(split, other_folder, classes)
        elif task == "segment":
            _check_segmentation(split, other_folder, classes)
        else:
            _check_headpose(split, other_folder)
        _check_image_files(split)
        if not split.images:
            split.findings.problem("images: the split is empty", f"no PNG or JPEG image in {images_folder}")
        splits.append(split)
    _mark_duplicates(splits)

    report = _report(data, task, classes, splits)
    print("\n".join(_report(data, task, classes, splits, shown=SHOWN_PER_KIND)))
    if out:
        from quillon.forgeline.data import plots
        from quillon.forgeline.run_files import write_text_atomically

        os.makedirs(out, exist_ok=True)
        write_text_atomically(os.path.join(out, "report.txt"), "\n".join(report) + "\n")
        written = plots.write_plots(task, classes, splits, out)
        print(f"Wrote {os.path.join(out, 'report.txt')} and {len(written)} plots to {out}")
    return 1 if any(split.findings.problems for split in splits) else 0


def _task(description):
    kind = description.get("type")
    if isinstance(kind, str) and kind.lower() == "darknet":
        return "detect"
    sections = [description.get(name) for name in SPLITS]
    if any(isinstance(section, dict) and "masks" in section for section in sections):
        return "segment"
    return "headpose"


def _pairs(split, folder, suffix, what):
    """``(image, annotation file)`` pairs, as the datasets pair them; what training would skip is a problem."""
    from quillon.forgeline.datasets.darknet import pair_samples

    for name in sorted(os.listdir(split.images_folder)):
        if os.path.splitext(name)[1].lower() in OTHER_IMAGE_EXTENSIONS:
            split.findings.problem(
                "images training does not read (only PNG and JPEG)", os.path.join(split.images_folder, name)
            )
    with warnings.catch_warnings(record=True) as caught:  # names that cannot enter a tf.data pipeline
        warnings.simplefilter("always")
        pairs, unpaired = pair_samples(split.images_folder, folder, suffix)
    for warning in caught:
        split.findings.problem("images training leaves out", str(warning.message))
    for image in unpaired:
        split.findings.problem(
            f"images without {what} (training skips them)", f"{image}: no <name>{suffix} in {folder}"
        )
    split.images = sorted([image for image, _ in pairs] + list(unpaired))
    stems = {os.path.splitext(os.path.basename(image))[0] for image in split.images}
    for partner in sorted(glob.glob(os.path.join(glob.escape(folder), "*" + suffix))):
        if os.path.splitext(os.path.basename(partner))[0] not in stems:
            split.findings.warning(f"{what} without an image", partner)
    return pairs


def _check_detection(split, labels_folder, classes):
    """Counts the boxes; every label file is read by the loader's reader and checked by the training check's rules."""
    from quillon.forgeline.datasets.checks import darknet_label_problems
    from quillon.forgeline.datasets.darknet import read_darknet_labels

    rows = []
    for _, label_file in _pairs(split, labels_folder, ".txt", "a label file"):
        try:
            for text in darknet_label_problems(label_file, len(classes)):
                split.findings.problem("label problems", text)
            boxes = read_darknet_labels(label_file)
        except ValueError as error:
            split.findings.problem("label files training cannot read", str(error))
            continue
        rows.append(boxes)
        split.objects_per_image.append(len(boxes))
    if rows:
        split.boxes = np.concatenate(rows)
    labels = split.boxes[:, 0]
    split.per_class.update(int(label) for label in labels if label.is_integer() and 0 <= label < len(classes))


def _check_segmentation(split, masks_folder, classes):
    for image, mask_file in _pairs(split, masks_folder, ".png", "a mask"):
        try:
            with Image.open(mask_file) as mask:
                mode, size = mask.mode, mask.size
                values = np.asarray(mask) if mode in descriptions.MASK_MODES else None
        except OSError as error:
            split.findings.problem("masks that cannot be read", f"{mask_file}: {error}")
            continue
        image_size = convert.image_size(image)  # None for an image that does not open: reported with the images
        if values is None:
            split.findings.problem(
                "masks that are not single-channel class-index images", f"{mask_file}: PIL mode {mode!r}"
            )
            continue
        if image_size is not None and size != image_size:
            split.findings.problem(
                "masks of another size than their image",
                f"{mask_file}: {size[0]}x{size[1]}, image {image_size[0]}x{image_size[1]}",
            )
        if values.size and values.min() < 0:
            split.findings.problem("masks with values beyond the classes", f"{mask_file}: value {values.min()}")
            continue
        counts = np.bincount(values.ravel().astype(np.int64))
        beyond = np.nonzero(counts[len(classes) :])[0]
        if beyond.size:
            split.findings.problem(
                "masks with values beyond the classes",
                f"{mask_file}: values {', '.join(str(v + len(classes)) for v in beyond[:5])} "
                f"(classes 0..{len(classes) - 1})",
            )
        split.per_class.update({value: int(count) for value, count in enumerate(counts) if count})


def _check_headpose(split, annotations_folder):
    from quillon.forgeline.models.headpose import DEFAULT_ANGLE_RANGE

    extension = _headpose_extension(annotations_folder)
    low, high = DEFAULT_ANGLE_RANGE
    for image, annotation in _pairs(split, annotations_folder, extension, "an annotation file"):
        try:
            angles, face_listed = descriptions.read_headpose_annotation(image, annotation)
        except Exception as error:  # whatever the readers raise (SciPy's MAT errors too) names the file
            split.findings.problem("annotation files training cannot read", descriptions.annotation_problem(error))
            continue
        if not face_listed:
            split.findings.warning(
                "annotations that list no face (training uses the whole image at zero angles)", annotation
            )
            continue
        angles = [float(value) for value in angles]
        if not all(low <= value <= high for value in angles):
            split.findings.warning(f"annotations with angles outside the model's {low:g}..{high:g}", annotation)
        split.angles.append(angles)
        split.objects_per_image.append(1)


def _headpose_extension(folder):
    """ ".json" or ".mat": the annotation kind most files of the folder have."""
    names = os.listdir(folder)
    json_files = sum(name.lower().endswith(".json") for name in names)
    mat_files = sum(name.lower().endswith(".mat") for name in names)
    return ".mat" if mat_files > json_files else ".json"


def _check_image_files(split):
    from quillon.forgeline.datasets.utils import exif_orientation, image_problem

    for image in split.images:
        reason = image_problem(image)
        if reason is not None:
            split.findings.problem("images that do not decode", f"{image}: {reason}")
            continue
        orientation = exif_orientation(image)
        if orientation != 1:
            split.findings.warning(
                "EXIF-rotated photos (training uses the stored pixels, not the rotated view)",
                f"{image}: orientation {orientation}",
            )


def _mark_duplicates(splits):
    """Warns of files with the same bytes, within a split and (a leak into validation) across splits.

    Validation on the training folder itself (a set converted without a
    split) is one warning, not one per image.
    """
    train, validation = splits
    if os.path.samefile(train.images_folder, validation.images_folder):
        validation.findings.warning(
            "splits sharing their images folder (validation measures the training images)", validation.images_folder
        )
        splits = [train]
    by_digest = collections.defaultdict(list)
    for split in splits:
        for image in split.images:
            by_digest[_digest(image)].append((split, image))
    for copies in by_digest.values():
        for split, image in copies[1:]:
            first_split, first = copies[0]
            kind = "duplicate images" if split is first_split else f"images also in {first_split.name}"
            split.findings.warning(kind, f"{image} = {first}")


def _digest(path):
    digest = hashlib.blake2b()
    with open(path, "rb") as stream:
        while chunk := stream.read(HASH_CHUNK):
            digest.update(chunk)
    return digest.digest()


def _report(data, task, classes, splits, shown=None):
    lines = [f"{data}: {dict(detect='detection', segment='segmentation', headpose='head pose')[task]} data"]
    for split in splits:
        lines.append(f"{split.name}: {len(split.images)} images in {split.images_folder}")
        if task == "detect":
            negatives = sum(count == 0 for count in split.objects_per_image)
            lines.append(f"  objects: {len(split.boxes)}, images without objects: {negatives}")
        if classes is not None:
            unit = "objects" if task == "detect" else "pixels"
            counts = ", ".join(f"{name} {split.per_class[index]}" for index, name in enumerate(classes))
            lines.append(f"  {unit} per class: {counts}")
        if task == "headpose" and split.angles:
            angles = np.asarray(split.angles)
            ranges = ", ".join(
                f"{name} {angles[:, axis].min():.1f}..{angles[:, axis].max():.1f}"
                for axis, name in enumerate(("pitch", "yaw", "roll"))
            )
            lines.append(f"  angles (degrees): {ranges}")
        lines.extend(split.findings.lines(shown))
    problems = sum(len(texts) for split in splits for texts in split.findings.problems.values())
    warnings = sum(len(texts) for split in splits for texts in split.findings.warnings.values())
    verdict = "training would fail or leave data out" if problems else "ready to train"
    lines.append(f"{problems} problems, {warnings} warnings: {verdict}")
    return lines
