"""Head-pose annotation files get the same verdict from the up-front check as from the loader."""

import json

import numpy as np
import pytest
import scipy.io
import yaml
from PIL import Image
from quillon.forgeline.datasets.attitude import AttitudeDataset, AttitudeDatasetJson
from quillon.forgeline.jobs.descriptions import read_headpose_description

POSE, PT2D = [[10.0, -20.0, 5.0, 0.1, 0.2, 0.3, 1.0]], np.zeros((2, 68))
FACE = {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [[10.0, -20.0, 5.0]]}

# (case, annotation kind, file content: MATLAB variables, JSON object or raw text, loads)
FILES = [
    ("clean MATLAB", "mat", {"Pose_Para": POSE, "pt2d": PT2D}, True),
    ("no pt2d", "mat", {"Pose_Para": POSE}, False),
    ("Pose_Para too short", "mat", {"Pose_Para": [[1.0, 2.0]], "pt2d": PT2D}, False),
    ("Pose_Para of text", "mat", {"Pose_Para": "pitch yaw roll", "pt2d": PT2D}, False),
    ("not a MATLAB file", "mat", "Pose_Para = 1 2 3", False),
    ("clean JSON", "json", FACE, True),
    ("no boxes", "json", {"angles": FACE["angles"]}, False),
    ("box of four values", "json", {**FACE, "boxes": [[0.5, 0.5, 0.5, 0.5]]}, False),
    ("angle not a number", "json", {**FACE, "angles": [["ten", 0, 0]]}, False),
    ("no box listed: the whole image", "json", {"boxes": [], "angles": []}, True),
    ("box thinner than a pixel", "json", {**FACE, "boxes": [[0.505, 0.5, 0.004, 0.5, 0]]}, False),
]


@pytest.mark.parametrize("case, kind, content, loads", FILES, ids=[row[0] for row in FILES])
def test_the_check_refuses_what_the_loader_refuses(tmp_path, case, kind, content, loads):
    split = {"images": str(tmp_path / "images"), "annotations": str(tmp_path / "annotations")}
    for folder in split.values():
        (tmp_path / folder).mkdir()
    Image.fromarray(np.full((40, 60, 3), 128, np.uint8)).save(tmp_path / "images" / "face.png")
    annotation = tmp_path / "annotations" / f"face.{kind}"
    if kind == "mat" and isinstance(content, dict):
        scipy.io.savemat(annotation, content)
    else:
        annotation.write_text(content if isinstance(content, str) else json.dumps(content))
    (tmp_path / "data.yaml").write_text(yaml.safe_dump({"train": split, "validation": split}))
    verdicts = []
    try:
        read_headpose_description(str(tmp_path / "data.yaml"), kind)
        verdicts.append(None)
    except ValueError as error:
        verdicts.append(str(error))
    folders = {"train_images": split["images"], "train_annotations": split["annotations"]}
    folders.update(val_images=split["images"], val_annotations=split["annotations"])
    dataset = (AttitudeDatasetJson if kind == "json" else AttitudeDataset)(shape=[16, 16], **folders)
    try:
        image, angles = dataset._load_instance(dataset.train_storage[0])
        verdicts.append(None)
    except Exception as error:  # whatever the loader raises, it names the file
        verdicts.append(str(error))
    assert [verdict is None for verdict in verdicts] == [loads, loads]
    assert loads or all(str(annotation) in verdict for verdict in verdicts)
