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
        xml = f"<annotation><filename>{name}</filename><size><width>{width}</width><height>{height}</height>"
        (folder / (os.path.splitext(name)[0] + ".xml")).write_text(f"{xml}</size>{objects}</annotation>")
    return folder


def read_labels(description):
    rows = {}
    for split in ("train", "validation"):
        folder = description[split]["annotations"]
        for name in os.listdir(folder):
            lines = open(os.path.join(folder, name), encoding="utf-8").read().splitlines()
            rows[name[:-4]] = np.array([line.split() for line in lines], float).reshape(-1, 5)
    return rows


@pytest.mark.parametrize(
    "source, write, extra, summary",
    [
        (
            "coco",
            write_coco,
            ["--masks"],
            [
                "1 crowd regions",
                "1 images named in the annotations but not found",
                "1 annotations naming an image",
                "2 objects without a polygon",
            ],
        ),
        ("voc", write_voc, [], ["1 images named in the annotations but not found"]),
    ],
)
def test_converted_annotations_keep_exact_boxes_and_train(tmp_path, capsys, source, write, extra, summary):
    images = write_images(tmp_path / "images")
    annotations = write(tmp_path / "voc" if source == "voc" else tmp_path)
    out = tmp_path / "out"
    arguments = ["--annotations", str(annotations), "--images", str(images), "--out", str(out)]
    assert main(["data", "convert", "--from", source, *arguments, "--val-fraction", "0.3", *extra]) == 0
    printed = capsys.readouterr().out
    for line in summary:
        assert line in printed
    description = yaml.safe_load((out / "data.yaml").read_text())
    assert description["classes"] == ["cat", "dog"]
    rows = read_labels(description)
    assert sorted(rows) == sorted(EXPECTED)  # c.png kept as a negative; the missing image left out
    for stem, expected in EXPECTED.items():
        np.testing.assert_allclose(rows[stem], np.reshape(expected, (-1, 5)), atol=1e-7, err_msg=stem)
    assert len(os.listdir(description["validation"]["images"])) == 1  # seeded: 30 % of three images
    if "--masks" in extra:
        segment = yaml.safe_load((out / "segment.yaml").read_text())
        masks = {
            name: np.asarray(Image.open(os.path.join(segment[split]["masks"], name)))
            for split in ("train", "validation")
            for name in os.listdir(segment[split]["masks"])
        }
        assert np.argwhere(masks["a.png"] == 2).min(0).tolist() == [4, 8]  # the dog's polygon, label 1 + background
        assert set(np.unique(masks["b.png"])) == {0}  # the crowd region is not drawn; the other box has no polygon

    # The same folder again is refused: nothing converted earlier is overwritten.
    assert main(["data", "convert", "--from", source, *arguments]) == 1
    assert "already exists" in capsys.readouterr().err

    small = ["--epochs", "1", "--batch-size", "2", "--input-size", "32", "--model-size", "small"]
    assert main(["train", "detect", "--data", str(out / "data.yaml"), "--out", str(tmp_path / "run"), *small]) == 0
    capsys.readouterr()
