"""python -m quillon.forgeline train: own data in, complete run folder out; every mistake named before a write."""

import argparse
import json
import os
import re
import shutil

import numpy as np
import pytest
import yaml
from PIL import Image
from quillon.forgeline.__main__ import main
from trainer_doubles import assert_detection_run_files


def write_darknet_data(folder, classes=("circle", "square"), label=1):
    """Two training and two validation 48 x 40 images with one box each; returns the description's path."""
    description = {"type": "darknet", "classes": list(classes)}
    for split in ("train", "validation"):
        images, labels = folder / split / "images", folder / split / "labels"
        images.mkdir(parents=True)
        labels.mkdir(parents=True)
        for index in range(2):
            pixels = np.full((40, 48, 3), 30 * index, np.uint8)
            pixels[10:30, 12:36] = 220
            Image.fromarray(pixels).save(images / f"{index}.png")
            (labels / f"{index}.txt").write_text(f"{label} 0.5 0.5 0.5 0.5\n")
        description[split] = {"images": str(images), "annotations": str(labels)}
    path = folder / "data.yaml"
    path.write_text(yaml.safe_dump(description))
    return path


def write_yaml(path, content):
    path.write_text(content if isinstance(content, str) else yaml.safe_dump(content))
    return str(path)


def command(line, **values):
    """A command line as main takes it: ``line`` split at spaces, its {names} filled in from ``values``."""
    return [word.format(**values) for word in line.split()]


@pytest.fixture(scope="module")
def finished_run(tmp_path_factory):
    """A finished one-epoch run with options from a config file and the command line: (out folder, description)."""
    root = tmp_path_factory.mktemp("finished")
    data = write_darknet_data(root / "data")
    config = {"batch_size": 8, "learning_rate": 0.01, "model_size": "small", "ema_decay": 0.9}
    config = write_yaml(root / "run.yaml", {**config, "augmentation": {"flip_lr": 0.5, "hue": 0.2}})
    line = "train detect --data {data} --out {out} --config {config} --epochs 1 --input-size 32 --batch-size 2"
    assert main(command(line + " --flip-ud 0.3", data=data, out=root / "new", config=config)) == 0
    return root / "new", data


def test_train_detect_makes_a_run_that_its_config_repeats(finished_run, tmp_path, capsys):
    first, data = finished_run
    run = first / "run"
    assert_detection_run_files(run, ["circle", "square"], more=["state/state.json"])
    recorded = json.loads((run / "config.json").read_text())
    # The command line overrides the file (batch size), the file the defaults (learning rate, model size).
    expected = {"task": "detect", "data": str(data), "out": str(first), "epochs": 1, "batch_size": 2}
    expected |= {"learning_rate": 0.01, "model_size": "small", "input_size": 32, "seed": 0, "ema_decay": 0.9}
    expected["augmentation"] = {"flip_lr": 0.5, "hue": 0.2, "flip_ud": 0.3}
    assert {key: recorded[key] for key in expected} == expected
    assert json.loads((run / "state" / "state.json").read_text())["ema"]  # the averages were kept
    # One device and reduced JPEG decoding unless asked otherwise.
    assert (recorded["devices"], recorded["full_decode"], recorded["reduced_decode"]) == (None, False, True)

    # Fine-tuned from the first run: every layer matches.
    second = tmp_path / "second"
    line = "train detect --config {run}/config.json --out {second} --weights {run}"
    assert main(command(line, run=run, second=second)) == 0
    assert re.search(r"Weights: loaded (\d+) of \1 layers from .*best\.h5", capsys.readouterr().out)
    repeated = json.loads((second / "run" / "config.json").read_text())
    assert repeated == {**recorded, "out": str(second), "weights": str(run)}

    # The run folder is what predict takes.
    line = "predict {run} {data}/validation/images --out {tmp}/predict"
    assert main(command(line, run=run, data=data.parent, tmp=tmp_path)) == 0
    assert len(os.listdir(tmp_path / "predict" / "labels")) == 2


def test_segment_and_headpose_train_on_their_documented_layouts(tmp_path):
    from quillon.forgeline.demo.data_headpose import generate_headpose_dataset
    from quillon.forgeline.demo.data_segment import generate_segmentation_dataset

    masks = generate_segmentation_dataset(str(tmp_path / "masks"), train_images=2, validation_images=1, size=16)
    segment = write_yaml(
        tmp_path / "segment.yaml",
        {
            "classes": masks["classes"],
            "train": {"images": masks["train_images"], "masks": masks["train_masks"]},
            "validation": {"images": masks["val_images"], "masks": masks["val_masks"]},
        },
    )
    heads = generate_headpose_dataset(str(tmp_path / "heads"), train_images=2, validation_images=1, size=32)
    headpose = write_yaml(
        tmp_path / "headpose.yaml",
        {
            "train": {"images": heads["train_images"], "annotations": heads["train_mat"]},
            "validation": {"images": heads["val_images"], "annotations": heads["val_mat"]},
        },
    )
    small = " --epochs 1 --batch-size 2 --input-size 16 --model-size small"
    segment_run = "train segment --data {data} --out {tmp}/s --no-flip --cache disk" + small
    assert main(command(segment_run, data=segment, tmp=tmp_path)) == 0
    headpose_run = "train headpose --data {data} --out {tmp}/h --annotations mat --full-decode --cache ram" + small
    assert main(command(headpose_run, data=headpose, tmp=tmp_path)) == 0
    segment_config = json.loads((tmp_path / "s" / "run" / "config.json").read_text())
    assert segment_config["flip"] is False and segment_config["augmentation"] == {"flip_lr": 0.0}
    assert (tmp_path / "s" / "run" / "best.h5").is_file()
    assert len(os.listdir(tmp_path / "s" / "run" / "cache")) == 2  # one entry per training sample
    headpose_config = json.loads((tmp_path / "h" / "run" / "config.json").read_text())
    assert headpose_config["annotations"] == "mat" and headpose_config["reduced_decode"] is False
    assert (tmp_path / "h" / "run" / "validation" / "results.json").is_file()


def non_image_jpg(data, count=1):
    """Ten more labelled images and ``count`` labelled files named .jpg that are no images, in the training split."""
    train = data.parent / "train"
    for index in range(10):
        Image.new("RGB", (48, 40), (40 * index % 255, 90, 160)).save(train / "images" / f"more{index}.png")
    for index in range(count):
        (train / "images" / f"notes{index}.jpg").write_text("meeting notes, saved with the wrong name\n")
    for stem in [f"more{index}" for index in range(10)] + [f"notes{index}" for index in range(count)]:
        (train / "labels" / f"{stem}.txt").write_text("0 0.5 0.5 0.5 0.5\n")


def label(data, text):
    (data.parent / "train" / "labels" / "1.txt").write_text(text)


def killed_before_first_state(out):
    """What a run killed in its first epoch leaves: the run folder without a training state."""
    (out / "run" / "tensorboard").mkdir(parents=True)
    (out / "run" / "config.json").write_text("{}")


def earlier_predictions(folder):
    (folder / "labels").mkdir(parents=True)
    (folder / "labels" / "old.txt").write_text("0 0.5 0.5 0.1 0.1\n")
    (folder / "predictions.json").write_text("[]")


def mistaken_files(tmp, data):
    """Descriptions and configs with one mistake each, beside ``data``, and a folder holding an earlier run."""
    write_darknet_data(tmp / "one_class", classes=["circle"], label=1)
    write_yaml(tmp / "broken.yaml", "type: darknet\nclasses: [a, b\n")
    write_yaml(tmp / "coco.yaml", {**yaml.safe_load(data.read_text()), "type": "coco"})
    nowhere = {"images": "/nowhere", "annotations": "/nowhere"}
    write_yaml(tmp / "nowhere.yaml", {**yaml.safe_load(data.read_text()), "validation": nowhere})
    write_yaml(tmp / "typo.yaml", {"epoch": 3})
    write_yaml(tmp / "zero.yaml", {"epochs": 0})
    write_yaml(tmp / "segment.yaml", {"task": "segment"})
    (tmp / "done" / "run").mkdir(parents=True)
    (tmp / "done" / "run" / "best.h5").write_text("earlier run")


SMALL_RUN = " --epochs 1 --input-size 32 --batch-size 2 --model-size small"
NEW = "train detect --out {tmp}/new --data "
# Resumes the copy of the finished run (see the fixture below).
RESUME = "train detect --data {run_data} --out {run} --resume"


def mistake(case, line, *messages, status=1, trains=False, prepare=None):
    """A case of the table below: ``prepare(tmp, data)`` is done first; without ``trains`` nothing may be written."""
    return pytest.param(prepare, line, status, trains, messages, id=case)


TRAIN = NEW + "{data}" + SMALL_RUN
MISTAKES = [
    mistake("no data file", NEW + "{tmp}/missing.yaml", "data description not found"),
    mistake("malformed YAML", NEW + "{tmp}/broken.yaml", "broken.yaml is not valid YAML"),
    mistake("not darknet", NEW + "{tmp}/coco.yaml", "'type' must be darknet"),
    mistake("missing folder", NEW + "{tmp}/nowhere.yaml", "'validation.images' folder does not exist"),
    mistake("label beyond the classes", NEW + "{tmp}/one_class/data.yaml", "class 1 is not one of the 1 classes"),
    mistake(
        "misspelt config key",
        NEW + "{data} --config {tmp}/typo.yaml",
        "unknown option 'epoch' for train detect (did you mean 'epochs'?",
    ),
    mistake("bad config value", NEW + "{data} --config {tmp}/zero.yaml", "'epochs' must be 1 or more"),
    mistake("config of another task", NEW + "{data} --config {tmp}/segment.yaml", "for the task 'segment'"),
    mistake("no --out", "train detect --data {data}", "--out is required"),
    mistake("input size", NEW + "{data} --input-size 40", "must be a multiple of 32"),
    mistake(
        "existing run", "train detect --data {data} --out {tmp}/done", "already holds a run; resume it with --resume"
    ),
    mistake(
        "labels in pixel units",
        TRAIN,
        "1.txt:1: box 245 130 60 40 lies outside [0, 1]; these look like pixel units",
        prepare=lambda tmp, data: label(data, "0 245 130 60 40\n"),
    ),
    mistake(
        "a box of zero size",
        TRAIN,
        "1.txt:1: box 0.5 0.5 0 0.2 has zero size",
        prepare=lambda tmp, data: label(data, "0 0.5 0.5 0 0.2\n"),
    ),
    mistake(
        "many files that are no images",
        TRAIN,
        "3 of the 15 train images cannot be decoded, more than the 10% that training leaves out",
        prepare=lambda tmp, data: non_image_jpg(data, count=3),
    ),
    mistake(  # one run trains on both: its notes come before the first epoch
        "a run killed before its first state, resumed on data with a file named .jpg that is no image",
        TRAIN + " --resume",
        "holds no training state (the run stopped before its first epoch ended): starting the run again",
        "1 train images cannot be decoded and are left out ({tmp}/data/train/images/notes0.jpg: not a PNG or JPEG",
        status=0,
        trains=True,
        prepare=lambda tmp, data: (killed_before_first_state(tmp / "new"), non_image_jpg(data)),
    ),
    mistake(
        "a changed model on resume",
        RESUME + SMALL_RUN.replace("small", "medium"),
        "--model-size 'medium' (the run has 'small')",
    ),
    mistake(
        "a changed backbone on resume",
        RESUME + SMALL_RUN + " --backbone efficientnetv2b0",
        "--backbone 'efficientnetv2b0' (the run has None)",
    ),
    mistake(
        "a finished run resumed",
        RESUME + SMALL_RUN,
        "has finished its 1 epochs; to train it further, resume it with --epochs greater than 1",
        status=0,
    ),
    mistake(
        "a misspelt option",
        NEW + "{data} --epcohs 2",
        "unrecognized arguments: --epcohs (did you mean --epochs?) 2",
        status=2,
    ),
    mistake(
        "an abbreviated option",
        NEW + "{data} --epoch 2",
        "unrecognized arguments: --epoch (did you mean --epochs?) 2",
        status=2,
    ),
    mistake(
        "a used predict folder",
        "predict {run}/run {tmp}/data/validation/images --out {tmp}/predicted",
        "already holds results (labels, predictions.json); give --exist-ok to replace them",
        prepare=lambda tmp, data: earlier_predictions(tmp / "predicted"),
    ),
]


@pytest.mark.parametrize("prepare, line, status, trains, messages", MISTAKES)
def test_a_users_mistakes_are_named_before_anything_is_written_and_runs_are_never_stranded(
    tmp_path, capsys, finished_run, prepare, line, status, trains, messages
):
    out, run_data = finished_run
    run = tmp_path / "finished"
    shutil.copytree(out, run)
    data = write_darknet_data(tmp_path / "data")
    mistaken_files(tmp_path, data)
    if prepare:
        prepare(tmp_path, data)
    before = {str(path): path.stat().st_mtime_ns for path in tmp_path.rglob("*")}
    try:
        done = main(command(line, tmp=tmp_path, data=data, run=run, run_data=run_data))
    except SystemExit as exit:  # the command line's own errors
        done = exit.code
    output = capsys.readouterr()
    assert done == status, output.err
    for message in messages:
        assert message.format(tmp=tmp_path) in (output.out if status == 0 else output.err)
    if trains:
        state = json.loads((tmp_path / "new" / "run" / "state" / "state.json").read_text())
        assert state["epoch"] == 1 and [row["epoch"] for row in state["summary_rows"]] == [1]
    else:
        assert {str(path): path.stat().st_mtime_ns for path in tmp_path.rglob("*")} == before


def test_every_option_has_help_and_an_implementation_and_the_commands_say_their_version(capsys):
    from quillon.forgeline.__main__ import build_parser
    from quillon.forgeline.datasets import core
    from quillon.forgeline.datasets.augmentation_names import GEOMETRIC_AUGMENTATIONS
    from quillon.forgeline.demo.__main__ import build_parser as build_demo_parser

    parsers = [build_parser(), build_demo_parser()]
    undocumented = []
    while parsers:
        parser = parsers.pop()
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                parsers.extend(action.choices.values())
            elif not action.help:
                undocumented.append(f"{parser.prog} {'/'.join(action.option_strings) or action.dest}")
    assert undocumented == []
    # Every augmentation the command offers is one the dataset implements.
    assert core.BaseDetectionDataset.SUPPORTED_AUGMENTATIONS == (*GEOMETRIC_AUGMENTATIONS, *core._AUGMENTATIONS)
    with pytest.raises(SystemExit):
        main(["--version"])
    assert capsys.readouterr().out.startswith("quillon-forgeline ")
