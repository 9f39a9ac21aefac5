"""Model files of a detection run: best/last saving, inference and channels-first export, crash safety."""

import csv
import os
import sys
import textwrap

import numpy as np
import pytest
import tensorflow as tf
from quillon.forgeline.trainer.detection import DetectionTrainer
from trainer_doubles import (
    SIZE,
    RecordingEvaluator,
    detection_model,
    make_trainer,
    stop_then_kill,
    train_batches,
    validation_batches,
)

SUMMARY_HEADER = (
    "epoch,mAP@0.5,mAP@0.75,mAP@0.5:0.95,mACC@0.5,mACC@0.75,mACC@0.5:0.95,"
    "mAR@0.5,mAR@0.75,mAR@0.5:0.95,Overall-ACC,Overall-AP,Overall-AR"
)


def load(path):
    return tf.keras.models.load_model(path, compile=False)


def test_save_model_keeps_the_best_and_rewrites_the_last(tmp_path, capsys):
    trainer = make_trainer(DetectionTrainer, tmp_path)
    best, last = tmp_path / "best.h5", tmp_path / "last.h5"

    trainer.save_model(0.0)
    assert "\t - [INFO] Saving model with improved acc from 0.0 to 0.0\n" in capsys.readouterr().out
    best_inode, last_inode = best.stat().st_ino, last.stat().st_ino

    trainer.save_model(-1.0)
    assert capsys.readouterr().out.endswith("\t - [INFO] No improvement in acc from 0.0 to -1.0 \n")
    assert best.stat().st_ino == best_inode  # untouched
    assert last.stat().st_ino != last_inode  # replaced
    assert trainer.best_value == 0.0

    trainer.save_model(0.0)  # equal to the best: saved again
    assert best.stat().st_ino != best_inode
    assert sorted(os.listdir(tmp_path)) == ["best.h5", "config.json", "labels.txt", "last.h5"]

    saved = load(best)
    assert [tuple(o.shape) for o in saved.outputs] == [(None, SIZE, SIZE, 4), (None, SIZE, SIZE, 3)]


@pytest.mark.parametrize(
    "written, temporary, save",
    [
        ("last.h5", ".last.partial.h5", lambda trainer: trainer.save_model(0.9)),
        (os.path.join("state", "state.json"), os.path.join("state", ".state.partial.json"), lambda t: t.save_state(2)),
    ],
)
def test_a_full_disk_is_one_line_naming_the_file_and_the_run_stays_resumable(tmp_path, written, temporary, save):
    trainer = make_trainer(DetectionTrainer, tmp_path, optimizer=tf.keras.optimizers.Adam(0.1))
    trainer.state_folder = str(tmp_path / "state")
    trainer.optimizer.build(trainer.model.trainable_variables)
    trainer.save_model(0.5)
    trainer.save_state(1)
    before = {name: (tmp_path / name).read_bytes() for name in ("last.h5", "best.h5", "state/state.json")}
    files = sorted(os.listdir(tmp_path / "state"))
    os.symlink("/dev/full", tmp_path / temporary)  # every write there fails as on a full disk

    with pytest.raises(OSError, match=f"^the disk is full: {tmp_path / written} could not be written") as raised:
        save(trainer)
    assert "\n" not in str(raised.value)
    assert {name: (tmp_path / name).read_bytes() for name in before} == before
    assert sorted(os.listdir(tmp_path / "state")) == files  # nothing of the failed save is left
    resumed = make_trainer(DetectionTrainer, tmp_path, optimizer=tf.keras.optimizers.Adam(0.1))
    resumed.state_folder = str(tmp_path / "state")
    assert resumed.resume() == 2


def test_models_are_logged_to_an_active_mlflow_run(tmp_path, recwarn, monkeypatch):
    mlflow = pytest.importorskip("mlflow")
    from mlflow.tracking import MlflowClient

    monkeypatch.setenv("MLFLOW_ALLOW_FILE_STORE", "true")
    mlflow.set_tracking_uri(f"file:{tmp_path / 'mlruns'}")
    trainer = make_trainer(DetectionTrainer, tmp_path / "run")
    with mlflow.start_run() as run:
        trainer.save_model(0.5)
        trainer.save_model(0.1)
    artifacts = sorted(a.path for a in MlflowClient().list_artifacts(run.info.run_id))
    assert artifacts == ["best.h5", "last.h5"]
    trainer.save_model(0.7)  # no active run: nothing logged, nothing raised
    assert not [w for w in recwarn if "MLFlow" in str(w.message)]


def test_missing_mlflow_warns_once_per_save(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "mlflow", None)
    trainer = make_trainer(DetectionTrainer, tmp_path)
    with pytest.warns(UserWarning, match="MLFlow is not installed. Please install it to log artifacts") as warned:
        trainer.save_model(0.5)
    assert len([w for w in warned if "MLFlow" in str(w.message)]) == 1
    assert (tmp_path / "best.h5").exists()


def test_inference_and_channels_first_models_compute_what_the_training_model_does(tmp_path):
    model = detection_model()
    trainer = make_trainer(DetectionTrainer, tmp_path, model=model)
    image = np.random.default_rng(0).random((1, SIZE, SIZE, 3), np.float32)
    expected = model(image)

    inference = trainer.remove_training_outputs()  # of the trainer's model by default
    assert [o.shape[-1] for o in inference.outputs] == [4, 3]
    np.testing.assert_allclose(inference(image)[1], expected[3], rtol=1e-6)
    with pytest.raises(ValueError, match="has 2 outputs"):
        trainer.remove_training_outputs(tf.keras.Model(model.input, model.outputs[:2]))

    converted = trainer.to_nchw(model)  # every output in its place
    assert tuple(converted.input.shape) == (None, 3, SIZE, SIZE)
    assert [tuple(o.shape) for o in converted.outputs] == [
        (None, 2, SIZE, SIZE),
        (None, 4),
        (None, 4, SIZE, SIZE),
        (None, 3, SIZE, SIZE),
    ]
    actual = converted(np.transpose(image, (0, 3, 1, 2)))
    np.testing.assert_allclose(actual[1], expected[1], rtol=1e-6)
    np.testing.assert_allclose(np.transpose(actual[3], (0, 2, 3, 1)), expected[3], rtol=1e-5, atol=1e-6)
    assert len(trainer.to_nchw(tf.keras.Model(model.input, model.outputs[2])).outputs) == 1


def test_channels_first_training_saves_channels_first_inference_models(tmp_path):
    model = detection_model()
    trainer = make_trainer(DetectionTrainer, tmp_path, model=model)
    trainer.NCHW = True
    trainer.train(1, train_batches(), validation_batches(1), RecordingEvaluator())

    image = np.random.default_rng(3).random((1, SIZE, SIZE, 3), np.float32)
    expected = [o.numpy() for o in trainer.remove_training_outputs()(image)]
    for name in ("best.h5", "last.h5"):
        saved = load(tmp_path / name)
        assert tuple(saved.input.shape) == (None, 3, SIZE, SIZE)
        outputs = saved(np.transpose(image, (0, 3, 1, 2)))
        assert len(outputs) == 2
        for actual, wanted in zip(outputs, expected):
            np.testing.assert_allclose(np.transpose(actual, (0, 2, 3, 1)), wanted, rtol=1e-5, atol=1e-6)


SAVING_CHILD = textwrap.dedent("""
    import os
    import sys
    sys.modules["mlflow"] = None  # keeps the child's start-up short
    parent = sys.stdout
    sys.stdout = open(os.devnull, "w")  # the trainer's status lines would fill the pipe
    from quillon.forgeline.trainer.detection import DetectionTrainer
    from trainer_doubles import detection_metrics, make_trainer

    trainer = make_trainer(DetectionTrainer, sys.argv[1])
    trainer.save_model(0.0)
    trainer.update_metrics(detection_metrics(0.0), epoch=0)
    print("ready", file=parent, flush=True)
    step = 1
    while True:
        trainer.save_model(float(step))
        trainer.update_metrics(detection_metrics(step / 1000), epoch=step)
        step += 1
""")


def checked_summary_rows(folder):
    """Checks that every run file is complete; returns the number of summary rows."""
    for name in ("best.h5", "last.h5"):
        assert len(load(folder / name).outputs) == 2
    with open(folder / "summary.csv", newline="") as f:
        lines = f.read().splitlines()
    assert lines[0] == SUMMARY_HEADER
    rows = list(csv.reader(lines[1:]))
    assert rows and all(len(row) == 13 for row in rows)
    assert [int(row[0]) for row in rows] == list(range(len(rows)))
    return len(rows)


def test_killing_a_run_during_saves_leaves_complete_files(tmp_path):
    delays = (0.02, 0.07, 0.13, 0.05, 0.11, 0.03, 0.17)
    stop_then_kill(SAVING_CHILD, tmp_path, delays, lambda index: checked_summary_rows(tmp_path), last_delay=0.09)
    assert checked_summary_rows(tmp_path) > 2  # it kept saving between the stops


def test_a_new_trainer_removes_what_killed_saves_left(tmp_path):
    leftovers = [
        tmp_path / ".last.partial.h5",
        tmp_path / ".summary.partial.csv",
        tmp_path / "validation" / ".confusion_matrix.partial.png",
    ]
    kept = [tmp_path / "notes.partial.txt", tmp_path / "validation" / "results.txt"]
    (tmp_path / "validation").mkdir()
    for path in leftovers + kept:
        path.write_text("x")
    make_trainer(DetectionTrainer, tmp_path)
    assert [path.exists() for path in leftovers + kept] == [False] * len(leftovers) + [True] * len(kept)


@pytest.mark.parametrize("interruption", [OSError("disk full"), KeyboardInterrupt(), SystemExit(1)])
def test_an_interrupted_save_leaves_the_previous_files_and_no_temporary(tmp_path, interruption):
    class InterruptedSave(DetectionTrainer):
        def remove_training_outputs(self, model=None):
            class HalfWritten:
                def save(self, path):
                    with open(path, "wb") as f:
                        f.write(b"truncated")
                    raise interruption

            return HalfWritten()

    trainer = make_trainer(DetectionTrainer, tmp_path)
    trainer.save_model(0.5)
    before = {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path)}
    trainer.__class__ = InterruptedSave
    with pytest.raises(type(interruption)):
        trainer.save_model(0.9)
    assert {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path)} == before
    assert trainer.best_value == 0.5
