"""Head-pose annotation files get the same verdict from the up-front check as from the loader."""

import json

import numpy as np
import pytest
import scipy.io
import yaml
from PIL import Image
from quillon.forgeline.datasets.attitude import AttitudeDataset, AttitudeDatasetJson
from quillon.forgeline.jobs.descriptions import read_headpose_description

POSE = [[10.0, -20.0, 5.0, 0.1, 0.2, 0.3, 1.0]]
FACE = {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [[10.0, -20.0, 5.0]]}


def _mat(**variables):
    return lambda path: scipy.io.savemat(path, variables)


def _json(content):
    return lambda path: path.write_text(json.dumps(content))


# (case, annotation kind, writes the broken file, loads)
FILES = [
    ("clean MATLAB", "mat", _mat(Pose_Para=POSE, pt2d=np.zeros((2, 68))), True),
    ("no pt2d", "mat", _mat(Pose_Para=POSE), False),
    ("Pose_Para too short", "mat", _mat(Pose_Para=[[1.0, 2.0]], pt2d=np.zeros((2, 68))), False),
    ("Pose_Para of text", "mat", _mat(Pose_Para="pitch yaw roll", pt2d=np.zeros((2, 68))), False),
    ("not a MATLAB file", "mat", lambda path: path.write_text("Pose_Para = 1 2 3"), False),
    ("clean JSON", "json", _json(FACE), True),
    ("no boxes", "json", _json({"angles": FACE["angles"]}), False),
    ("box of four values", "json", _json({**FACE, "boxes": [[0.5, 0.5, 0.5, 0.5]]}), False),
    ("angle not a number", "json", _json({**FACE, "angles": [["ten", 0, 0]]}), False),
    (
        "infinite angle",
        "json",
        lambda path: path.write_text('{"boxes": [[0.5, 0.5, 1, 1, 0]], "angles": [[1e39, 0, 0]]}'),
        False,
    ),
    ("no box listed: the whole image", "json", _json({"boxes": [], "angles": []}), True),
    ("box outside the image", "json", _json({**FACE, "boxes": [[2.0, 2.0, 0.2, 0.2, 0]]}), False),
    ("box thinner than a pixel", "json", _json({**FACE, "boxes": [[0.505, 0.5, 0.004, 0.5, 0]]}), False),
]


@pytest.mark.parametrize("case, kind, write, loads", FILES, ids=[row[0] for row in FILES])
def test_the_check_refuses_what_the_loader_refuses(tmp_path, case, kind, write, loads):
    for folder in ("images", "annotations"):
        (tmp_path / folder).mkdir()
    Image.fromarray(np.full((40, 60, 3), 128, np.uint8)).save(tmp_path / "images" / "face.png")
    annotation = tmp_path / "annotations" / f"face.{kind}"
    write(annotation)
    split = {"images": str(tmp_path / "images"), "annotations": str(tmp_path / "annotations")}
    description = tmp_path / "data.yaml"
    description.write_text(yaml.safe_dump({"train": split, "validation": split}))

    try:
        read_headpose_description(str(description), kind)
        checked = None
    except ValueError as error:
        checked = str(error)
    dataset_class = AttitudeDatasetJson if kind == "json" else AttitudeDataset
    dataset = dataset_class(
        shape=[16, 16],
        train_images=split["images"],
        train_annotations=split["annotations"],
        val_images=split["images"],
        val_annotations=split["annotations"],
    )
    try:
        image, angles = dataset._load_instance(dataset.train_storage[0])
        loaded = None
    except Exception as error:  # whatever the loader raises, it must name the file
        loaded = str(error)

    assert (checked is None, loaded is None) == (loads, loads)
    if not loads:
        assert str(annotation) in checked and str(annotation) in loaded
    else:
        assert image.shape == (16, 16, 3) and angles.shape == (3,)
