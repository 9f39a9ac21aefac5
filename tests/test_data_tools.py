"""forgeline data convert / data check: annotations as tools write them become data that trains; a broken set is named."""

import json
import os

import numpy as np
import pytest
import yaml
from PIL import Image
from quillon.forgeline.__main__ import main

# Three images on disk and one named but missing; sizes differ so that x and y fractions cannot be swapped.
IMAGES = {"a.png": (64, 32), "b.jpg": (40, 80), "c.png": (30, 30)}
# Pixel boxes (x, y, width, height) per image, COCO category ids 3 ("cat") and 7 ("dog").
OBJECTS = [("a.png", 7, (8, 4, 16, 8)), ("a.png", 3, (0, 0, 64, 32)), ("b.jpg", 7, (10, 20, 20, 40))]
# Darknet rows the conversion must write: dog is class 1, cat class 0; c.png has none.
EXPECTED = {
    "a": [[1, 0.25, 0.25, 0.25, 0.25], [0, 0.5, 0.5, 1, 1]],
    "b": [[1, 0.5, 0.5, 0.5, 0.5]],
    "c": [],
}
# The summary's table (train, validation columns) for the set above, whatever the source format.
SUMMARY = ["images 2 1", "without objects 1 0", "cat 0 1", "dog 1 1"]


def write_images(folder):
    folder.mkdir()
    for name, (width, height) in IMAGES.items():
        pixels = np.random.default_rng(len(name)).integers(0, 255, (height, width, 3), np.uint8)
        Image.fromarray(pixels).save(folder / name)
    return folder


def write_coco(folder):
    images = [
        {"id": 10 + i, "file_name": name, "width": w, "height": h} for i, (name, (w, h)) in enumerate(IMAGES.items())
    ]
    images.append({"id": 99, "file_name": "missing.png", "width": 10, "height": 10})
    ids = {image["file_name"]: image["id"] for image in images}
    annotations = [
        {"id": i, "image_id": ids[name], "category_id": category, "bbox": list(box), "iscrowd": 0}
        for i, (name, category, box) in enumerate(OBJECTS)
    ]
    annotations[0]["segmentation"] = [[8, 4, 24, 4, 24, 12, 8, 12]]
    annotations[1]["segmentation"] = [[0, 0, 64, 0, 64, 32, 0, 32]]  # listed later, drawn first: it is larger
    annotations.append({"id": 50, "image_id": ids["b.jpg"], "category_id": 3, "bbox": [0, 0, 5, 5], "iscrowd": 1})
    annotations.append({"id": 51, "image_id": 12345, "category_id": 3, "bbox": [0, 0, 5, 5], "iscrowd": 0})
    categories = [{"id": 7, "name": "dog"}, {"id": 3, "name": "cat"}]
    path = folder / "instances.json"
    path.write_text(json.dumps({"images": images, "annotations": annotations, "categories": categories}))
    return path


def write_voc(folder):
    folder.mkdir()
    names = {3: "cat", 7: "dog"}
    for name, (width, height) in [*IMAGES.items(), ("missing.png", (10, 10))]:
        objects = "".join(
            f"<object><name>{names[category]}</name><difficult>{int(category == 3)}</difficult><bndbox>"
            f"<xmin>{x + 1}</xmin><ymin>{y + 1}</ymin><xmax>{x + w}</xmax><ymax>{y + h}</ymax></bndbox></object>"
            for image, category, (x, y, w, h) in OBJECTS
            if image == name
        )
        (folder / (os.path.splitext(name)[0] + ".xml")).write_text(
            voc(f"<filename>{name}</filename>", objects, width, height)
        )
    return folder


def voc(filename, objects, width=4, height=4):
    """A VOC file: ``filename`` is its <filename> element (or nothing)."""
    return f"<annotation>{filename}<size><width>{width}</width><height>{height}</height></size>{objects}</annotation>"


def write_darknet(folder):
    folder.mkdir()
    for stem, rows in EXPECTED.items():
        (folder / f"{stem}.txt").write_text("".join(" ".join(map(str, row)) + "\n" for row in rows))
    return folder


def read_labels(description):
    rows = {}
    for split in ("train", "validation"):
        folder = description[split]["annotations"]
        for name in os.listdir(folder):
            lines = open(os.path.join(folder, name), encoding="utf-8").read().splitlines()
            rows[name[:-4]] = np.array([line.split() for line in lines], float).reshape(-1, 5)
    return rows


COCO_NOTES = [
    "1 crowd regions left out",
    "1 images named in the annotations but not found",
    "1 annotations left out: their image is not in 'images'",
    "1 objects without a polygon, not in the masks",
]


@pytest.mark.parametrize(
    "source, write, extra, notes",
    [
        ("coco", write_coco, ["--masks"], COCO_NOTES),
        ("voc", write_voc, [], ["1 images named in the annotations but not found"]),
        ("darknet", write_darknet, ["--classes", "cat", "dog"], []),
    ],
)
def test_converted_annotations_keep_exact_boxes_and_train(tmp_path, capsys, source, write, extra, notes):
    images = write_images(tmp_path / "images")
    annotations = write(tmp_path / source if source != "coco" else tmp_path)
    out = tmp_path / "out"
    arguments = ["--annotations", str(annotations), "--images", str(images), "--out", str(out)]
    assert main(["data", "convert", "--from", source, *arguments, "--val-fraction", "0.3", *extra]) == 0
    printed = capsys.readouterr().out
    lines = {" ".join(line.split()) for line in printed.splitlines()}
    assert set(SUMMARY) <= lines, printed  # seeded: 30 % of three images validate
    for line in notes:
        assert line in printed
    description = yaml.safe_load((out / "data.yaml").read_text())
    assert description["classes"] == ["cat", "dog"]
    rows = read_labels(description)
    assert sorted(rows) == sorted(EXPECTED)  # c.png kept as a negative; the missing image left out
    for stem, expected in EXPECTED.items():
        np.testing.assert_allclose(rows[stem], np.reshape(expected, (-1, 5)), atol=1e-7, err_msg=stem)
    assert len(os.listdir(description["validation"]["images"])) == 1
    # The same folder again is refused: nothing converted earlier is overwritten.
    assert main(["data", "convert", "--from", source, *arguments]) == 1
    assert "already exists" in capsys.readouterr().err
    if source != "coco":
        return  # masks come from COCO polygons; one writer writes every format, so one training run will do

    segment = yaml.safe_load((out / "segment.yaml").read_text())
    masks = {
        name: np.asarray(Image.open(os.path.join(segment[split]["masks"], name)))
        for split in ("train", "validation")
        for name in os.listdir(segment[split]["masks"])
    }
    dog = np.argwhere(masks["a.png"] == 2)  # its polygon, label 1 + the background
    assert (dog.min(0).tolist(), len(dog)) == ([4, 8], 16 * 8)
    assert set(np.unique(masks["a.png"])) == {1, 2}  # the cat around it
    assert set(np.unique(masks["b.png"])) == {0}  # the crowd region is not drawn; the other box has no polygon
    small = ["--epochs", "1", "--batch-size", "2", "--input-size", "32", "--model-size", "small"]
    assert main(["train", "detect", "--data", str(out / "data.yaml"), "--out", str(tmp_path / "run"), *small]) == 0


@pytest.fixture
def converted(tmp_path, capsys):
    """The COCO set above converted with masks and copied images, plus head-pose annotations: {kind: yaml}."""
    images = write_images(tmp_path / "images")
    arguments = ["--annotations", str(write_coco(tmp_path)), "--images", str(images), "--out", str(tmp_path / "set")]
    assert main(["data", "convert", "--from", "coco", *arguments, "--val-fraction", "0.3", "--masks", "--copy"]) == 0
    capsys.readouterr()
    folder = tmp_path / "set"
    headpose = {}
    for split in ("train", "validation"):  # the same images with head-pose annotations
        (folder / split / "poses").mkdir()
        for image in os.listdir(folder / split / "images"):
            (folder / split / "poses" / (image[:-4] + ".json")).write_text(pose([10.0, -20.0, 5.0]))
        headpose[split] = {"images": str(folder / split / "images"), "annotations": str(folder / split / "poses")}
    (folder / "headpose.yaml").write_text(yaml.safe_dump(headpose))
    return {kind: folder / f"{kind}.yaml" for kind in ("data", "segment", "headpose")}


def pose(angles, box=True):
    return json.dumps({**({"boxes": [[0.5, 0.5, 1, 1, 0]]} if box else {}), "angles": [angles]})


def rotated(path):
    with Image.open(path) as image:
        exif = image.getexif()
        exif[0x0112] = 6
        image.save(path, exif=exif)


LABEL, POSE = "train/labels/c.txt", "train/poses/c.json"
# (case, description checked, file under the set's folder, what is done to it, exit status, text of the report)
BROKEN = [
    ("clean", "data", None, None, 0, "0 problems, 0 warnings: ready to train"),
    ("label outside the image", "data", LABEL, "0 1.5 0.5 0.1 0.1\n", 1, "c.txt:1"),
    ("pixel units", "data", LABEL, "1 30 20 10 10\n", 1, "pixel"),
    ("unknown class", "data", LABEL, "2 0.5 0.5 0.1 0.1\n", 1, "c.txt:1"),
    ("malformed label", "data", LABEL, "0 0.5\n", 1, "label files training cannot read"),
    ("no label file", "data", LABEL, None, 1, "images without a label file"),
    ("image that does not decode", "data", "train/images/c.png", "not a picture", 1, "do not decode"),
    ("bitmap beside the images", "data", "train/images/d.bmp", "BM", 1, "training does not read"),
    ("EXIF-rotated photo", "data", "train/images/b.jpg", rotated, 0, "EXIF-rotated"),
    ("duplicate image", "data", "train/images/e.png", "c.png", 0, "duplicate images"),
    ("mask value beyond the classes", "segment", "train/masks/c.png", np.full((30, 30), 7, np.uint8), 1, "values 7"),
    ("mask of another size", "segment", "train/masks/c.png", np.zeros((5, 5), np.uint8), 1, "another size"),
    ("angle not a number", "headpose", POSE, pose([float("nan"), 0, 0]), 1, "must hold finite numbers"),
    ("pose without its box", "headpose", POSE, pose([0, 0, 0], box=False), 1, "no entry 'boxes'"),
    ("angle beyond the model", "headpose", POSE, pose([0, 120, 0]), 0, "outside"),
]
PLOTS = {
    "data": ["objects_per_class", "box_sizes", "box_centres", "objects_per_image"],
    "segment": ["pixels_per_class"],
    "headpose": ["angles"],
}


@pytest.mark.parametrize("case, kind, name, change, status, text", BROKEN, ids=[row[0] for row in BROKEN])
def test_data_check_names_each_problem_and_writes_its_plots(
    converted, tmp_path, capsys, case, kind, name, change, status, text
):
    folder = converted["data"].parent
    if name is not None:
        path = folder / name
        if change is None:
            path.unlink()
        elif callable(change):
            change(path)
        elif isinstance(change, np.ndarray):
            Image.fromarray(change).save(path)
        elif change == "c.png":  # the same bytes under another name, without a label: a duplicate
            path.write_bytes((folder / "train/images/c.png").read_bytes())
            (folder / "train/labels/e.txt").write_text("")
        else:
            path.write_text(change)
    out = tmp_path / "report"
    assert main(["data", "check", str(converted[kind]), "--out", str(out)]) == status
    printed = capsys.readouterr().out
    assert text in printed
    assert (out / "report.txt").read_text().splitlines()[-1] == printed.splitlines()[-2]  # the verdict
    for plot in PLOTS[kind]:
        assert Image.open(out / f"{plot}.png").size[0] > 100, plot


def image(name="a.png", id=1, width=64, height=32):
    return {"id": id, "file_name": name, "width": width, "height": height}


def coco(images=None, bbox=(0, 0, 8, 8), image_id=1):
    """A COCO file of one category, the images given (a.png) and one object on image ``image_id``."""
    annotations = [{"id": 1, "image_id": image_id, "category_id": 1, "bbox": list(bbox)}]
    return json.dumps(
        {"images": images or [image()], "annotations": annotations, "categories": [{"id": 1, "name": "cat"}]}
    )


# (case, format, annotation file or VOC file, exit status, text of the error or the summary)
BAD_ANNOTATIONS = [
    ("not JSON", "coco", "{", 1, "is not a JSON file"),
    ("box of three numbers", "coco", coco(bbox=[1, 2, 3]), 1, "'bbox' must be"),
    ("image without a size", "coco", coco(images=[{"id": 1, "file_name": "a.png"}]), 1, "needs positive 'width'"),
    ("list as image id", "coco", coco(image_id=[1]), 0, "1 annotations left out: their image is not in 'images'"),
    ("box outside the image", "coco", coco(bbox=[70, 0, 5, 5]), 0, "1 boxes of zero size or outside"),
    ("image of another size", "coco", coco([image(width=32)]), 0, "a.png: 64x32, annotated 32x32"),
    ("two images, one stem", "coco", coco([image(), image("a.jpg", 2)]), 1, "would share the label file a.txt"),
    ("VOC without file name", "voc", voc("", ""), 1, "<filename> is missing"),
    (
        "VOC box not a number",
        "voc",
        voc("<filename>a.png</filename>", "<object><name>cat</name><bndbox><xmin>x</xmin></bndbox></object>"),
        1,
        "<bndbox/xmin> must be a number",
    ),
]


@pytest.mark.parametrize(
    "case, source, content, status, text", BAD_ANNOTATIONS, ids=[row[0] for row in BAD_ANNOTATIONS]
)
def test_convert_names_what_is_wrong_in_the_annotations(tmp_path, capsys, case, source, content, status, text):
    images = tmp_path / "images"
    images.mkdir()
    for name in ("a.png", "a.jpg"):
        Image.new("RGB", (64, 32)).save(images / name)
    annotations = tmp_path / ("instances.json" if source == "coco" else "voc")
    if source == "voc":
        annotations.mkdir()
        (annotations / "a.xml").write_text(content)
    else:
        annotations.write_text(content)
    out = tmp_path / "out"
    arguments = ["--from", source, "--annotations", str(annotations), "--images", str(images), "--out", str(out)]
    assert main(["data", "convert", *arguments]) == status
    captured = capsys.readouterr()
    assert text in (captured.out if status == 0 else captured.err)
    assert (out / "data.yaml").is_file() == (status == 0)  # an error leaves no data description
