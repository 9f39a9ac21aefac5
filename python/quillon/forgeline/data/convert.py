"""Annotations as labelling tools write them (COCO JSON, Pascal VOC XML) to the Darknet layout ``train detect`` reads.

A data set already in the Darknet layout ("darknet") goes the same way, its
label files copied as they are: that is how one folder gets its validation
split.

``convert`` reads every annotation first, so that a mistake in them is named
before anything is written, then writes into a new folder ``OUT``:

    OUT/train/images, OUT/train/labels        (and OUT/validation/... with a split)
    OUT/data.yaml                             written last: it exists only for a complete conversion
    OUT/<split>/masks, OUT/segment.yaml       with ``masks`` (COCO polygons as class-index PNG masks)

Nothing is dropped silently: every annotation or image left out is counted
and the first few are named in the summary that ``convert`` prints.
"""

import collections
import json
import math
import os
import random
import shutil
import xml.etree.ElementTree as ElementTree

import numpy as np
import yaml
from PIL import Image

from quillon.forgeline.run_files import write_text_atomically

FORMATS = ("coco", "voc", "darknet")
# The image files training reads (find_images in quillon.forgeline.datasets.utils).
TRAINING_EXTENSIONS = (".png", ".jpg", ".jpeg")
SPLITS = ("train", "validation")
NAMED_EXAMPLES = 3


class Sample:
    """One image: its file, its size in pixels, its boxes and (COCO) polygons.

    ``boxes`` rows are ``(class index, x1, y1, x2, y2)`` in pixels with the
    origin at the image's top-left corner; ``polygons`` rows ``(class index,
    [x0, y0, x1, y1, ...])``. A sample with a ``label_file`` (Darknet) is
    written with a copy of that file, its ``boxes`` only counted.
    """

    def __init__(self, path, width=None, height=None, label_file=None):
        self.path, self.width, self.height, self.label_file = path, width, height, label_file
        self.boxes, self.polygons = [], []

    @property
    def name(self):
        return os.path.basename(self.path)


class Notes:
    """What a conversion left out or changed, by reason, with the first few names of each."""

    def __init__(self):
        self.counts = collections.Counter()
        self.examples = collections.defaultdict(list)

    def add(self, reason, name):
        self.counts[reason] += 1
        if len(self.examples[reason]) < NAMED_EXAMPLES:
            self.examples[reason].append(str(name))

    def lines(self):
        return [
            f"{count} {reason} (first: {', '.join(self.examples[reason])})" for reason, count in self.counts.items()
        ]


def read_coco(annotations, images, masks=False):
    """Reads a COCO JSON file; returns ``(class names, samples, left out)``.

    Category ids become class indices 0..N-1 in id order. Crowd regions are
    left out; images without annotations are kept as negatives. With
    ``masks``, objects without a polygon are counted: masks cannot show them.
    """
    content = _load_json(annotations)
    categories = _list_member(content, "categories", annotations)
    images_list = _list_member(content, "images", annotations)
    annotation_list = _list_member(content, "annotations", annotations, required=False)
    category_index, classes = {}, []
    for position, category in enumerate(sorted(categories, key=lambda item: _id(item, "categories", annotations))):
        name = category.get("name")
        if not isinstance(name, str) or not name:
            raise ValueError(f"{annotations}: categories[{position}] (id {category['id']}) has no 'name'")
        category_index[category["id"]] = len(classes)
        classes.append(name)
    if len(category_index) != len(categories):
        raise ValueError(f"{annotations}: two 'categories' share an id")

    notes = Notes()
    samples = {}
    for position, image in enumerate(images_list):
        image_id = _id(image, "images", annotations)
        file_name = image.get("file_name")
        if not isinstance(file_name, str) or not file_name:
            raise ValueError(f"{annotations}: images[{position}] (id {image_id}) has no 'file_name'")
        width, height = image.get("width"), image.get("height")
        if not all(_positive_number(value) for value in (width, height)):
            raise ValueError(
                f"{annotations}: images[{position}] ({file_name}) needs positive 'width' and 'height', "
                f"got {width!r}, {height!r}"
            )
        if image_id in samples:
            raise ValueError(f"{annotations}: two 'images' share the id {image_id}")
        samples[image_id] = Sample(os.path.join(images, file_name), width, height)

    for position, annotation in enumerate(annotation_list):
        sample = samples.get(_key(annotation.get("image_id")))
        label = category_index.get(_key(annotation.get("category_id")))
        where = f"annotation {annotation.get('id', position)}"
        if sample is None:
            notes.add(
                "annotations left out: their image is not in 'images'",
                f"{where} (image_id {annotation.get('image_id')!r})",
            )
        elif label is None:
            notes.add(
                "annotations left out: their category is not in 'categories'",
                f"{where} (category_id {annotation.get('category_id')!r})",
            )
        elif annotation.get("iscrowd"):
            notes.add("crowd regions left out", f"{where} on {sample.name}")
        else:
            _add_coco_object(sample, label, annotation, annotations, where, notes, masks)
    return classes, list(samples.values()), notes


def _add_coco_object(sample, label, annotation, path, where, notes, masks):
    box = annotation.get("bbox")
    if not (isinstance(box, list) and len(box) == 4 and all(_finite_number(value) for value in box)):
        raise ValueError(f"{path}: {where}: 'bbox' must be [x, y, width, height] in pixels, got {box!r}")
    x, y, width, height = box
    _add_box(sample, label, x, y, x + width, y + height, notes)
    segmentation = annotation.get("segmentation")
    if isinstance(segmentation, list) and segmentation:
        for polygon in segmentation:
            if not (
                isinstance(polygon, list)
                and len(polygon) >= 6
                and len(polygon) % 2 == 0
                and all(_finite_number(v) for v in polygon)
            ):
                raise ValueError(f"{path}: {where}: a 'segmentation' polygon must list x, y pairs, got {polygon!r}")
            sample.polygons.append((label, polygon))
    elif masks:
        notes.add("objects without a polygon, not in the masks", f"{where} on {sample.name}")


def read_voc(annotations, images, classes=None, drop_difficult=False):
    """Reads a folder of Pascal VOC XML files; returns ``(class names, samples, left out)``.

    The classes are ``classes`` in the order given, else the object names of
    the files, sorted. Objects marked difficult are kept unless
    ``drop_difficult``.
    """
    if not os.path.isdir(annotations):
        raise FileNotFoundError(f"VOC annotations folder not found: {annotations}")
    files = sorted(name for name in os.listdir(annotations) if name.lower().endswith(".xml"))
    if not files:
        raise ValueError(f"VOC annotations folder {annotations} holds no .xml file")
    parsed = [_read_voc_file(os.path.join(annotations, name), images) for name in files]
    if classes is None:
        classes = sorted({name for _, objects in parsed for name, *_ in objects})
    elif len(set(classes)) != len(classes):
        raise ValueError(f"--classes names a class twice: {classes}")
    index = {name: position for position, name in enumerate(classes)}
    notes = Notes()
    samples = []
    for sample, objects in parsed:
        for name, difficult, box in objects:
            if name not in index:
                notes.add("objects left out: their class is not in --classes", f"{name} on {sample.name}")
            elif difficult and drop_difficult:
                notes.add("difficult objects left out (--drop-difficult)", sample.name)
            else:
                # VOC counts pixels from 1 and includes the last one: pixel xmin..xmax spans [xmin - 1, xmax].
                x1, y1, x2, y2 = box
                _add_box(sample, index[name], x1 - 1, y1 - 1, x2, y2, notes)
        samples.append(sample)
    return classes, samples, notes


def read_darknet(annotations, images, classes):
    """Pairs the PNG and JPEG images of ``images`` with their label files; returns ``(classes, samples, left out)``.

    Images without a label file are left out (training would skip them).
    """
    from quillon.forgeline.datasets.darknet import pair_samples, read_darknet_labels

    if not classes:
        raise ValueError("--from darknet needs --classes: the class names in label order")
    if not os.path.isdir(annotations):
        raise FileNotFoundError(f"labels folder not found: {annotations}")
    notes = Notes()
    pairs, unpaired = pair_samples(images, annotations, ".txt")
    for image in unpaired:
        notes.add("images without a label file left out", os.path.basename(image))
    samples = []
    for image, label_file in sorted(pairs):
        sample = Sample(image, label_file=label_file)
        sample.boxes = [tuple(row) for row in read_darknet_labels(label_file)]
        samples.append(sample)
    return list(classes), samples, notes


def _read_voc_file(path, images):
    """``(sample, [(class name, difficult, (xmin, ymin, xmax, ymax))])`` of one VOC XML file."""
    try:
        root = ElementTree.parse(path).getroot()
    except (ElementTree.ParseError, OSError) as error:
        raise ValueError(f"VOC file {path} cannot be read: {error}") from None
    file_name = (root.findtext("filename") or "").strip()
    if not file_name:
        raise ValueError(f"VOC file {path}: <filename> is missing")
    image_path = os.path.join(images, file_name)
    width, height = (_voc_number(root, f"size/{key}", path) for key in ("width", "height"))
    if not (width > 0 and height > 0):  # tools write <size> 0 0 now and then: the image's header says
        width, height = image_size(image_path) or (width, height)
    if not (width > 0 and height > 0):
        raise ValueError(f"VOC file {path}: <size> needs a positive width and height, got {width}, {height}")
    objects = []
    for number, element in enumerate(root.findall("object"), 1):
        name = (element.findtext("name") or "").strip()
        if not name:
            raise ValueError(f"VOC file {path}: object {number} has no <name>")
        difficult = (element.findtext("difficult") or "0").strip() not in ("0", "")
        box = tuple(_voc_number(element, f"bndbox/{key}", path) for key in ("xmin", "ymin", "xmax", "ymax"))
        objects.append((name, difficult, box))
    return Sample(image_path, width, height), objects


def _voc_number(element, key, path):
    text = element.findtext(key)
    try:
        value = float(text)
    except (TypeError, ValueError):
        raise ValueError(f"VOC file {path}: <{key}> must be a number, got {text!r}") from None
    if not math.isfinite(value):
        raise ValueError(f"VOC file {path}: <{key}> must be a finite number, got {text!r}")
    return value


def _add_box(sample, label, x1, y1, x2, y2, notes):
    """Adds the box cut to the image; a box with nothing left inside is left out and counted."""
    cut = max(x1, 0), max(y1, 0), min(x2, sample.width), min(y2, sample.height)
    if cut[2] <= cut[0] or cut[3] <= cut[1]:
        notes.add("boxes of zero size or outside their image left out", sample.name)
        return
    if cut != (x1, y1, x2, y2):
        notes.add("boxes reaching past their image, cut to it", sample.name)
    sample.boxes.append((label, *cut))


def convert(
    source_format,
    annotations,
    images,
    out,
    val_fraction=None,
    seed=0,
    copy=False,
    classes=None,
    drop_difficult=False,
    masks=False,
):
    """Converts the annotations to the Darknet layout in the new folder ``out``; prints what it did.

    ``source_format`` is "coco", "voc" or "darknet"; ``annotations`` the COCO
    JSON file, the folder of VOC XML files or the Darknet labels folder; ``images`` the folder their file names are
    relative to. With ``val_fraction`` that share of the images (at least one)
    goes to the validation split, drawn with ``seed``; without it
    ``data.yaml`` validates on the training images. Images are linked
    (symbolic links) unless ``copy``. ``masks`` (COCO) also writes the
    polygons as class-index masks and a ``segment.yaml``. Returns the path of
    ``data.yaml``.
    """
    if source_format not in FORMATS:
        raise ValueError(f"unknown annotation format {source_format!r} (known: {', '.join(FORMATS)})")
    if not os.path.isdir(images):
        raise FileNotFoundError(f"images folder not found: {images}")
    if masks and source_format != "coco":
        raise ValueError("masks come from COCO polygons: --masks needs --from coco")
    if val_fraction is not None and not 0 < val_fraction < 1:
        raise ValueError(f"--val-fraction must be between 0 and 1 (both left out), got {val_fraction}")
    out = os.path.abspath(out)
    if os.path.exists(out) and (not os.path.isdir(out) or os.listdir(out)):
        raise FileExistsError(f"{out} already exists and is not an empty folder; choose a new --out")
    if source_format == "coco":
        if classes is not None:
            raise ValueError("--classes is for VOC and Darknet labels; COCO files name their categories")
        classes, samples, notes = read_coco(annotations, images, masks)
    elif source_format == "voc":
        classes, samples, notes = read_voc(annotations, images, classes, drop_difficult)
    else:
        classes, samples, notes = read_darknet(annotations, images, classes)
    if not classes:
        raise ValueError(f"{annotations} names no class")
    if masks and len(classes) > 255:
        raise ValueError(f"masks hold up to 255 classes and the background, {annotations} has {len(classes)}")
    samples = _usable(samples, notes)
    splits = _split(samples, val_fraction, seed)

    for split, members in splits.items():
        for folder in ("images", "labels", *(("masks",) if masks else ())):
            os.makedirs(os.path.join(out, split, folder))
        for sample in members:
            _write_sample(sample, os.path.join(out, split), copy, masks)
    description = _description(out, splits, classes, "annotations", "labels", type="darknet")
    if masks:
        segment = _description(out, splits, ["background", *classes], "masks", "masks")
        write_text_atomically(os.path.join(out, "segment.yaml"), yaml.safe_dump(segment, sort_keys=False))
    data = os.path.join(out, "data.yaml")
    write_text_atomically(data, yaml.safe_dump(description, sort_keys=False, allow_unicode=True))
    _print_summary(data, splits, classes, notes, masks)
    return data


def _usable(samples, notes):
    """The samples that training can read; two images of one stem (they would share a label file) are an error."""
    usable, stems = [], {}
    for sample in samples:
        if not os.path.isfile(sample.path):
            notes.add("images named in the annotations but not found, left out", sample.path)
        elif os.path.splitext(sample.name)[1].lower() not in TRAINING_EXTENSIONS:
            notes.add("images left out: not PNG or JPEG, which training reads", sample.name)
        else:
            stem = os.path.splitext(sample.name)[0]
            if stem in stems:
                raise ValueError(
                    f"{stems[stem]} and {sample.path} would share the label file {stem}.txt: rename one of them"
                )
            stems[stem] = sample.path
            usable.append(sample)
            size = image_size(sample.path) if sample.width is not None else None
            if size is not None and size != (sample.width, sample.height):
                notes.add(
                    "images of another size than the annotations say (boxes kept as fractions of that size)",
                    f"{sample.name}: {size[0]}x{size[1]}, annotated {sample.width}x{sample.height}",
                )
    if not usable:
        raise ValueError(f"none of the {len(samples)} images of the annotations was found as a PNG or JPEG file")
    return usable


def image_size(path):
    """The image's width and height from its header; None when it does not open (the check says why)."""
    try:
        with Image.open(path) as image:
            return image.size
    except OSError:
        return None


def _split(samples, val_fraction, seed):
    """``{split: samples}``: a seeded draw of ``val_fraction`` of them for validation, the rest for training."""
    if val_fraction is None:
        return {"train": samples}
    if len(samples) < 2:
        raise ValueError(f"--val-fraction needs at least two images, found {len(samples)}")
    order = sorted(samples, key=lambda sample: sample.name)
    random.Random(seed).shuffle(order)
    count = min(max(1, round(len(order) * val_fraction)), len(order) - 1)
    validation = {id(sample) for sample in order[:count]}
    return {
        "train": [sample for sample in samples if id(sample) not in validation],
        "validation": [sample for sample in samples if id(sample) in validation],
    }


def _write_sample(sample, folder, copy, masks):
    target = os.path.join(folder, "images", sample.name)
    if copy:
        shutil.copyfile(sample.path, target)
    else:
        os.symlink(os.path.abspath(sample.path), target)
    stem = os.path.splitext(sample.name)[0]
    label_file = os.path.join(folder, "labels", stem + ".txt")
    if sample.label_file is not None:
        shutil.copyfile(sample.label_file, label_file)
        return
    width, height = sample.width, sample.height
    lines = [
        f"{label} {_fraction((x1 + x2) / 2 / width)} {_fraction((y1 + y2) / 2 / height)} "
        f"{_fraction((x2 - x1) / width)} {_fraction((y2 - y1) / height)}\n"
        for label, x1, y1, x2, y2 in sample.boxes
    ]
    with open(label_file, "w", encoding="utf-8") as stream:
        stream.writelines(lines)
    if masks:
        mask = np.zeros((round(height), round(width)), np.uint8)
        # Largest first: where objects overlap, the smaller one (usually in front) stays visible.
        for label, polygon in sorted(sample.polygons, key=lambda item: -_polygon_area(item[1])):
            _fill_polygon(mask, polygon, label + 1)
        Image.fromarray(mask, "L").save(os.path.join(folder, "masks", stem + ".png"))


def _fill_polygon(mask, polygon, value):
    """Sets the pixels whose centres lie inside ``polygon`` (x, y pairs in pixels from the image's corner).

    A 16 x 8 pixel rectangle covers 16 x 8 pixels; drawing it with Pillow
    would add its right and bottom edges.
    """
    from matplotlib.path import Path

    points = np.asarray(polygon, np.float64).reshape(-1, 2)
    low = np.maximum(np.floor(points.min(0)).astype(int), 0)
    high = np.minimum(np.ceil(points.max(0)).astype(int), (mask.shape[1], mask.shape[0]))
    if (high <= low).any():
        return
    columns, rows = np.meshgrid(np.arange(low[0], high[0]), np.arange(low[1], high[1]))
    centres = np.stack([columns.ravel() + 0.5, rows.ravel() + 0.5], axis=1)
    inside = Path(points).contains_points(centres).reshape(rows.shape)
    mask[rows[inside], columns[inside]] = value


def _polygon_area(points):
    x, y = np.asarray(points[0::2], np.float64), np.asarray(points[1::2], np.float64)
    return abs(np.dot(x, np.roll(y, 1)) - np.dot(y, np.roll(x, 1))) / 2


def _fraction(value):
    return format(value, ".9g")


def _description(out, splits, classes, key, folder, **extra):
    # Validation falls back to the training images when nothing was held out.
    sources = {"train": "train", "validation": "validation" if "validation" in splits else "train"}
    return {
        **extra,
        "classes": list(classes),
        **{
            split: {"images": os.path.join(out, source, "images"), key: os.path.join(out, source, folder)}
            for split, source in sources.items()
        },
    }


def _print_summary(data, splits, classes, notes, masks):
    written = f"{data}" + (f" and {os.path.join(os.path.dirname(data), 'segment.yaml')}" if masks else "")
    print(f"Wrote {written}")
    width = max(len(name) for name in (*classes, "images", "without objects"))
    columns = list(splits)
    print(f"  {'':{width}}" + "".join(f"{split:>12}" for split in columns))
    rows = [
        ("images", [len(splits[split]) for split in columns]),
        ("without objects", [sum(not sample.boxes for sample in splits[split]) for split in columns]),
    ]
    for index, name in enumerate(classes):
        counts = [sum(box[0] == index for sample in splits[split] for box in sample.boxes) for split in columns]
        rows.append((name, counts))
    for name, counts in rows:
        print(f"  {name:{width}}" + "".join(f"{count:>12}" for count in counts))
    if "validation" not in splits:
        print("  No validation split (--val-fraction): data.yaml validates on the training images.")
    for line in notes.lines():
        print(f"  {line}")


def _load_json(path):
    if not os.path.isfile(path):
        raise FileNotFoundError(f"COCO annotation file not found: {path}")
    try:
        with open(path, encoding="utf-8") as stream:
            content = json.load(stream)
    except (json.JSONDecodeError, UnicodeDecodeError) as error:
        raise ValueError(f"{path} is not a JSON file: {error}") from None
    if not isinstance(content, dict):
        raise ValueError(f"{path} must hold a JSON object with 'images', 'annotations' and 'categories'")
    return content


def _list_member(content, key, path, required=True):
    value = content.get(key, None if required else [])
    if not isinstance(value, list):
        raise ValueError(f"{path}: '{key}' must be a list, got {type(value).__name__}")
    if not all(isinstance(item, dict) for item in value):
        raise ValueError(f"{path}: every entry of '{key}' must be an object")
    return value


def _id(item, key, path):
    value = item.get("id")
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValueError(f"{path}: an entry of '{key}' has no whole-number 'id': {item!r:.200}")
    return value


def _key(value):
    """``value`` where it can be an id; None for what cannot (a list, a mapping) rather than a TypeError."""
    return value if isinstance(value, (int, str)) else None


def _finite_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _positive_number(value):
    return _finite_number(value) and value > 0
