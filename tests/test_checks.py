"""Up-front data checks read files by the loaders' own rules: a file they pass trains, one they refuse would not."""

import numpy as np
import pytest
import yaml
from PIL import Image
from quillon.forgeline.datasets.checks import darknet_label_problems
from quillon.forgeline.datasets.darknet import DarknetDatasetYaml
from quillon.forgeline.jobs.descriptions import check_detection_description


def darknet_data(root, label_bytes, classes=("a", "b")):
    """A description whose train and validation splits hold one image, labelled by ``label_bytes``."""
    description = {"type": "darknet", "classes": list(classes)}
    for split in ("train", "validation"):
        images, labels = root / split / "images", root / split / "labels"
        images.mkdir(parents=True)
        labels.mkdir(parents=True)
        Image.fromarray(np.zeros((40, 48, 3), np.uint8)).save(images / "0.png")
        (labels / "0.txt").write_bytes(label_bytes)
        description[split] = {"images": str(images), "annotations": str(labels)}
    (root / "data.yaml").write_text(yaml.safe_dump(description))
    return root / "data.yaml", description["train"]


def verdict(action):
    try:
        action()
    except ValueError as error:
        return f"refused: {error}"
    return "accepted"


@pytest.mark.parametrize(
    "label_bytes, accepted",
    [
        (b"0 inf 0.5 0.1 0.1\n", False),
        (b"0 nan 0.5 0.1 0.1\n", False),
        (b"0 0.5 0.5 0.1 1_0\n", False),
        (b"# caf\xe9 (Latin-1)\n0 0.5 0.5 0.1 0.1\n", True),
        (b"\xef\xbb\xbf0 0.5 0.5 0.1 0.1\n", True),
        (b"0.5 0.5 0.5 0.1 0.1\n", False),
        (b"2 0.5 0.5 0.1 0.1\n", False),
        (b"0 0.5 0.5 0.1\n", False),
        (b"+1 .5 .5 1e-1 0.1 # note\n\n", True),
    ],
)
def test_check_and_loader_give_the_same_verdict(tmp_path, label_bytes, accepted):
    data, train = darknet_data(tmp_path, label_bytes)
    check = verdict(lambda: check_detection_description(str(data)))
    dataset = DarknetDatasetYaml(str(data), [32, 32, 3])
    sample = [f"{train['images']}/0.png", f"{train['annotations']}/0.txt"]
    loader = verdict(lambda: dataset.load_instance(np.array([path.encode() for path in sample], dtype=object)))
    assert (check == "accepted") == (loader == "accepted") == accepted, (check, loader)
    for message in (check, loader):
        assert message == "accepted" or "0.txt: line 1" in message or "0.txt:1:" in message, message


@pytest.mark.parametrize(
    "text, problems",
    [
        ("0 0.5 0.5 0.2 0.2\n1 1.005 0 1 1\n", []),
        ("0 245 130 60 40\n", [":1: box 245 130 60 40 lies outside [0, 1]; these look like pixel units"]),
        ("# header\n1 0.5 1.2 0.2 0.2\n", [":2: box 0.5 1.2 0.2 0.2 lies outside [0, 1]"]),
        ("0 0.5 0.5 0 0.2\n0 0.5 0.5 0.2 -0\n", [":1: box 0.5 0.5 0 0.2 has zero size", ":2: box"]),
        ("0.5 0.5 0.5 0.2 0.2\n", [":1: class 0.5 is not one of the 2 classes (0..1)"]),
        ("-1 0.5 0.5 0.2 0.2\n2 0.5 0.5 0.2 0.2\n", [":1: class -1 is not", ":2: class 2 is not"]),
    ],
)
def test_label_problems_name_file_line_and_fault(tmp_path, text, problems):
    path = tmp_path / "labels.txt"
    path.write_text(text)
    found = darknet_label_problems(str(path), 2)
    assert len(found) == len(problems), found
    for message, expected in zip(found, problems):
        assert message.startswith(str(path) + expected), message
