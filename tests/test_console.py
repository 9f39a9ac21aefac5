"""What a user reads: the console of a job, the threshold predict takes, one class numbering, TensorBoard; a job
repeats bit for bit."""

import glob
import json
import os
import re
import subprocess
import sys

import h5py
import numpy as np
import pytest
import quillon
import tensorflow as tf
from quillon.forgeline.__main__ import main
from quillon.forgeline.evaluation.detection import DetectionTruthValues, best_f1
from test_train_command import write_darknet_data

# Every kind of augmentation and op determinism: a second run of these options repeats the first bit for bit.
JOB = "--epochs 2 --input-size 32 --batch-size 1 --model-size small --mosaic 1 --affine 0.5 --hue 0.5 --deterministic"


def train_in_a_child(data, out):
    """A detection job run as a user runs it (op determinism is for the whole process); its console."""
    command = [sys.executable, "-m", "quillon.forgeline", "train", "detect", "--data", str(data), "--out", str(out)]
    environment = {key: value for key, value in os.environ.items() if key != "TF_CPP_MIN_LOG_LEVEL"}
    # The child imports the package this test imports (the installed one, or the tree's under PYTHONPATH).
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(quillon.__file__)))
    environment["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, environment.get("PYTHONPATH")]))
    done = subprocess.run(command + JOB.split(), capture_output=True, text=True, env=environment, timeout=600)
    assert done.returncode == 0, done.stderr
    return done.stdout + done.stderr


@pytest.fixture(scope="module")
def job(tmp_path_factory):
    """A two-epoch detection job; its console (stdout and stderr) and run folder."""
    root = tmp_path_factory.mktemp("job")
    return train_in_a_child(write_darknet_data(root / "data"), root / "out"), root / "out" / "run"


def saved_weights(path):
    arrays = {}
    with h5py.File(path) as saved:
        saved.visititems(lambda name, item: arrays.update({name: item[()]}) if isinstance(item, h5py.Dataset) else None)
    return arrays


def test_deterministic_runs_repeat_bit_for_bit(job, tmp_path):
    _, run = job
    train_in_a_child(run.parent.parent / "data" / "data.yaml", tmp_path / "again")
    first, second = saved_weights(run / "last.h5"), saved_weights(tmp_path / "again" / "run" / "last.h5")
    assert first.keys() == second.keys() and len(first) > 10
    for name, array in first.items():
        np.testing.assert_array_equal(array, second[name], err_msg=name)


def test_a_job_shows_epochs_and_validation_lines_without_chatter_and_in_tensorboard(job):
    console, run = job
    for chatter in ("absl::InitializeLog", "I0000", "E0000", "cuInit", "oneDNN", "\x1b["):
        assert chatter not in console
    assert re.search(r"Epoch 1/2: +\d+%\|.*\| 2/2 \[\d\d:\d\d<\d\d:\d\d", console)
    assert re.search(r"Epoch 2/2: 100%\|.*\| 2/2 \[", console)
    lines = [line for line in console.splitlines() if line.startswith("Validation, epoch")]
    assert [line.split(":")[0] for line in lines] == ["Validation, epoch 1/2", "Validation, epoch 2/2"]
    assert all(
        re.search(r"loss \d+\.\d{3} +mAP@0\.5 \d\.\d{3} .*\(best mAP@0\.5 \d\.\d{3} at epoch \d\)", line)
        for line in lines
    )
    # The prescribed trainer lines stay as they are.
    assert f"\t - Saving best iteration checkpoint at : {run / 'best.h5'}" in console

    steps = {}
    for events in glob.glob(str(run / "tensorboard" / "*")):
        for event in tf.compat.v1.train.summary_iterator(events):
            for value in event.summary.value:
                steps.setdefault(value.tag, []).append(event.step)
    for tag in ("total-loss", "precision_recall", "f1_threshold", "confusion_matrix"):
        assert steps[f"validation/{tag}"] == [1, 2], tag
    assert "train/total-loss" in steps


def test_predict_takes_the_recorded_threshold_unless_one_is_given_and_numbers_classes_alike(job, tmp_path, capsys):
    _, run = job
    recorded = json.loads((run / "thresholds.json").read_text())
    assert recorded["model"] == "best.h5" and 0 <= recorded["f1"] <= 1
    images = str(run.parent.parent / "data" / "validation" / "images")
    for folder, option, threshold, source in (
        ("recorded", [], recorded["score_threshold"], "where F1 at IoU 0.5 peaked"),
        ("all", ["--score-threshold", "0.0"], 0.0, "given"),  # every detection: the classes are checked on these
    ):
        out = tmp_path / folder
        assert main(["predict", str(run), images, "--out", str(out), *option]) == 0
        assert f"predict: score threshold {threshold:.4g} ({source}" in capsys.readouterr().out

    names = (out / "classes.txt").read_text().split()
    assert names == ["circle", "square"]
    records = json.loads((out / "predictions.json").read_text())
    assert records
    for stem in {record["image_id"] for record in records}:
        mine = [record for record in records if record["image_id"] == stem]
        rows = np.loadtxt(out / "labels" / f"{stem}.txt", ndmin=2)
        assert [names[int(cls)] for cls in rows[:, 0]] == [record["category_name"] for record in mine]
        assert [names[record["category_id"]] for record in mine] == [record["category_name"] for record in mine]
    assert main(["export", str(run), "--format", "saved_model", "--out", str(tmp_path / "export")]) == 0
    exported = json.loads((tmp_path / "export" / "best_saved_model.json").read_text())
    assert exported["classes"] == names


@pytest.mark.parametrize(
    "scores, matched, count, expected",
    [
        ([0.9, 0.8, 0.7, 0.6], [1, 0, 1, 0], 2, (0.7, 0.8)),  # peaks after the second hit
        ([0.9, 0.9, 0.5], [1, 0, 0], 1, (0.9, 2 / 3)),  # tied scores go in together: the miss counts
        ([0.9, 0.4], [1, 1], 4, (0.4, 4 / 6)),
        ([0.9], [0], 1, (0.3, 0.0)),  # nothing right: the fallback
        ([], [], 0, (0.3, 0.0)),
    ],
)
def test_best_f1_threshold(scores, matched, count, expected):
    threshold, f1 = best_f1(np.array(scores), np.array(matched, bool), count, fallback=0.3)
    assert (threshold, f1) == pytest.approx(expected)


def test_confusion_matrix_diagonal_is_the_results_tables_true_positives():
    # Matched across classes, the confident "b" detection would take the "a"
    # object first; the results table matches each class on its own.
    truth = DetectionTruthValues(num_classes=2, confidence_threshold=0.3)
    gt = np.array([[0.1, 0.1, 0.5, 0.5], [0.2, 0.2, 0.6, 0.6]])
    dt = np.array([[0.1, 0.1, 0.5, 0.5], [0.12, 0.12, 0.52, 0.52], [0.8, 0.8, 0.9, 0.9]])
    truth.add_image(gt, np.array([0, 1]), dt, np.array([1, 0, 0]), np.array([0.9, 0.8, 0.7]))
    table = [truth.class_statistics(cls)[2][0] for cls in range(2)]  # true positives at IoU 0.5
    np.testing.assert_array_equal(np.diag(truth.confusion)[:2], table)
    np.testing.assert_array_equal(truth.confusion.sum(axis=1)[:2], [1, 1])  # every object once
    np.testing.assert_array_equal(truth.confusion.sum(axis=0)[:2], [2, 1])  # every detection once
