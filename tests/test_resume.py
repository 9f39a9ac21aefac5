"""Training state of a run: a stopped run resumed goes on exactly as if never stopped."""

import csv
import json
import os
import shutil
import textwrap
from pathlib import Path

import numpy as np
import pytest
import tensorflow as tf
from quillon.forgeline.callbacks import TensorBoardLogger
from quillon.forgeline.trainer.detection import DetectionTrainer
from quillon.forgeline.trainer.segmentation import SegmentationTrainer
from tensorflow.python.framework import config as tf_config
from test_collaborators import read_summaries
from trainer_doubles import (
    RecordingEvaluator,
    detection_model,
    make_trainer,
    segmentation_model,
    segmentation_validation_elements,
    stop_then_kill,
    train_batches,
    validation_batches,
)

# Validation scores by epoch: epoch 3 scores below the best of epochs 1-2, so
# a resumed run that forgot the best score would replace best.h5 with it.
SCORES = {1: 0.5, 2: 0.9, 3: 0.3, 4: 0.95}


class ScoredByEpoch(RecordingEvaluator):
    def conclude(self, truth_values, epoch):
        self.scores = [SCORES.get(epoch, 0.0)] * (len(self.passes) + 1)
        return super().conclude(truth_values, epoch)


def adam():
    schedule = tf.keras.optimizers.schedules.CosineDecay(0.05, decay_steps=20)
    return tf.keras.optimizers.Adam(schedule)


def run(folder, epochs, resume=False, model_seed=1, trainer_class=DetectionTrainer, ema_decay=None):
    """Trains a fresh trainer in `folder` up to `epochs` (with weight averaging when `ema_decay` is set)."""
    tf.keras.utils.set_random_seed(model_seed)
    segmentation = trainer_class is SegmentationTrainer
    model = segmentation_model() if segmentation else detection_model(tf.keras.regularizers.L2(1e-3))
    logger = TensorBoardLogger(os.path.join(folder, "tensorboard"), write_every=1)
    # A resumed trainer is built as a fresh one, initial validation on: resume() must skip it (its restored
    # model was validated before the stop); a validation at epoch 0 would show in the validation steps.
    trainer = make_trainer(
        trainer_class,
        folder,
        model=model,
        optimizer=adam(),
        logger=logger,
        metric="acc",
        skip_initial_validation=not resume,
    )
    trainer.ema_decay, trainer.ema_warmup_steps = ema_decay, 4
    start = trainer.resume() if resume else 1
    batches = train_batches(count=3, extra_targets=0 if segmentation else 1)
    if segmentation:
        batches = batches.map(lambda images: (images, tf.zeros(tf.shape(images)[:3], tf.int32)))
    validation = segmentation_validation_elements(1) if segmentation else validation_batches(1)
    trainer.train(epochs, batches, validation, ScoredByEpoch(segmentation=segmentation), start=start)
    logger.close()
    return trainer


@pytest.fixture
def deterministic_ops():
    tf.config.experimental.enable_op_determinism()
    yield
    tf_config.disable_op_determinism()


def summary_rows(folder):
    with open(os.path.join(folder, "summary.csv"), newline="") as stream:
        return list(csv.reader(stream))


def saved_weights(path):
    return tf.keras.models.load_model(path, compile=False).get_weights()


@pytest.mark.parametrize(
    "trainer_class, ema_decay",
    [(DetectionTrainer, None), (SegmentationTrainer, None), (DetectionTrainer, 0.9)],
    ids=["detection", "segmentation", "detection with weight averages"],
)
def test_a_resumed_run_ends_as_an_uninterrupted_one(tmp_path, deterministic_ops, capsys, trainer_class, ema_decay):
    whole, stopped = str(tmp_path / "whole"), str(tmp_path / "stopped")
    uninterrupted = run(whole, 4, trainer_class=trainer_class, ema_decay=ema_decay)
    run(stopped, 2, trainer_class=trainer_class, ema_decay=ema_decay)
    best_before = (tmp_path / "stopped" / "best.h5").read_bytes()
    # Other initial weights: everything must come from the state.
    resumed = run(stopped, 4, resume=True, model_seed=7, trainer_class=trainer_class, ema_decay=ema_decay)
    assert f"Resuming the run in {stopped} at epoch 3" in capsys.readouterr().out

    trained = [trainer.model.weights + trainer.optimizer.variables for trainer in (uninterrupted, resumed)]
    for expected, actual in zip(*trained, strict=True):
        np.testing.assert_allclose(actual.numpy(), expected.numpy(), rtol=1e-6, atol=1e-7, err_msg=actual.path)
    assert int(resumed.optimizer.iterations.numpy()) == 12
    # The saved models hold the averages, when the run keeps them: those of the state and the steps after it.
    for name in ("best.h5", "last.h5"):
        for expected, actual in zip(
            saved_weights(os.path.join(whole, name)), saved_weights(os.path.join(stopped, name))
        ):
            np.testing.assert_allclose(actual, expected, rtol=1e-6, atol=1e-7, err_msg=name)
    assert summary_rows(stopped) == summary_rows(whole)
    assert [row[0] for row in summary_rows(stopped)[1:]] == ["1", "2", "3", "4"]
    # Epoch 3 scored below the best before the stop, epoch 4 above it.
    assert resumed.best_value == uninterrupted.best_value == 0.95
    assert (tmp_path / "stopped" / "best.h5").read_bytes() != best_before

    # TensorBoard steps go on where they stopped: no step is logged twice.
    validation_tag = "validation/mACC" if trainer_class is SegmentationTrainer else "validation/mACC@0.5"
    for tag, expected in (("train/total-loss", list(range(12))), (validation_tag, [1, 2, 3, 4])):
        steps = [step for name, step, _, _ in read_summaries(os.path.join(stopped, "tensorboard")) if name == tag]
        whole_steps = [step for name, step, _, _ in read_summaries(os.path.join(whole, "tensorboard")) if name == tag]
        assert sorted(steps) == whole_steps == expected, tag
    assert sorted(os.listdir(os.path.join(stopped, "state")))[-1] == "state.json"
    # state.json and one checkpoint's two files and its copy of best.h5
    assert len(os.listdir(os.path.join(stopped, "state"))) == 4


@pytest.fixture(scope="module")
def two_epochs(tmp_path_factory):
    """A detection run stopped after two epochs, trained once for the tests that copy it."""
    folder = tmp_path_factory.mktemp("two-epochs")
    run(str(folder), 2)
    return folder


@pytest.fixture
def stopped_run(tmp_path, two_epochs):
    """A copy of the stopped run in `tmp_path`, for a test to resume or spoil."""
    shutil.copytree(two_epochs, tmp_path, dirs_exist_ok=True)
    return str(tmp_path)


def test_best_model_is_kept_when_resumed_epochs_do_not_beat_it(tmp_path, stopped_run):
    best_before = (tmp_path / "best.h5").read_bytes()
    resumed = run(stopped_run, 3, resume=True)
    assert resumed.best_value == 0.9
    assert (tmp_path / "best.h5").read_bytes() == best_before


def folder_contents(folder):
    return {str(path.relative_to(folder)): path.read_bytes() for path in Path(folder).rglob("*") if path.is_file()}


def drop_checkpoint_data(folder):
    for path in Path(folder, "state").glob("*.data-*"):
        path.unlink()


def with_epoch(value):
    return lambda state: state.write_text(json.dumps(dict(json.loads(state.read_text()), epoch=value)))


UNUSABLE = r"state\.json is not a usable training state"
NOT_LOADED = r"state[/\\]epoch-2-\w+ cannot be loaded"


@pytest.mark.parametrize(
    "spoil, model_width, error, message",
    [
        (lambda state: shutil.rmtree(state.parent), 4, FileNotFoundError, r"state\.json does not exist"),
        (lambda state: state.write_text('{"format": 1, "epoch": '), 4, ValueError, UNUSABLE),
        (with_epoch("two"), 4, ValueError, UNUSABLE + ": 'epoch' must be"),
        (lambda state: drop_checkpoint_data(state.parent.parent), 4, ValueError, NOT_LOADED),
        (lambda state: None, 5, ValueError, NOT_LOADED + " into this trainer's model"),
    ],
    ids=["no state", "corrupt json", "bad field", "missing checkpoint data", "other model"],
)
def test_refused_resumes_name_the_file_and_change_nothing(stopped_run, spoil, model_width, error, message):
    folder = stopped_run
    spoil(Path(folder, "state", "state.json"))

    inputs = tf.keras.Input((16, 16, 3))
    features = tf.keras.layers.Conv2D(model_width, 3, padding="same")(inputs)
    outputs = [tf.keras.layers.Conv2D(n, 1)(features) for n in (2, 2, 4, 3)]
    model = tf.keras.Model(inputs, outputs)
    optimizer = adam()
    trainer = make_trainer(DetectionTrainer, folder, model=model, optimizer=optimizer)
    files = folder_contents(folder)
    weights = [w.numpy() for w in model.weights]

    with pytest.raises(error, match=message):
        trainer.resume()
    assert folder_contents(folder) == files
    for before, after in zip(weights, model.weights):
        np.testing.assert_array_equal(after.numpy(), before)
    assert trainer.best_value == 0.0 and trainer.summary_rows == [] and not trainer.resumed
    assert int(optimizer.iterations.numpy()) == 0


def test_no_state_is_written_when_the_state_folder_is_none(tmp_path):
    trainer = make_trainer(DetectionTrainer, tmp_path)
    trainer.state_folder = None
    trainer.train(1, train_batches(), validation_batches(1), RecordingEvaluator())
    assert not (tmp_path / "state").exists()
    with pytest.raises(ValueError, match="state_folder is None"):
        trainer.resume()


STATE_WRITING_CHILD = textwrap.dedent("""
    import os
    import sys
    sys.modules["mlflow"] = None  # keeps the child's start-up short
    parent = sys.stdout
    sys.stdout = open(os.devnull, "w")  # the trainer's status lines would fill the pipe
    import tensorflow as tf
    from quillon.forgeline.trainer.detection import DetectionTrainer
    from trainer_doubles import make_trainer

    trainer = make_trainer(DetectionTrainer, sys.argv[1], optimizer=tf.keras.optimizers.Adam(0.1))
    trainer.optimizer.build(trainer.model.trainable_variables)
    epoch = 1
    while True:
        # Every value of epoch k's state is k: a state mixed from two epochs shows.
        for variable in trainer.model.variables + trainer.optimizer.variables:
            variable.assign(tf.fill(variable.shape, tf.cast(epoch, variable.dtype)))
        trainer.best_value = float(epoch)
        trainer.summary_rows.append({"epoch": epoch})
        trainer.save_model(-1.0)
        trainer.save_state(epoch)
        if epoch == 2:
            print("ready", file=parent, flush=True)
        epoch += 1
""")


def resumed_epoch(snapshot):
    """Resumes from a copy of a run folder; checks that state and files are whole; returns the epoch resumed."""
    trainer = make_trainer(DetectionTrainer, snapshot, optimizer=tf.keras.optimizers.Adam(0.1))
    start = trainer.resume()
    epoch = start - 1
    for variable in trainer.model.variables + trainer.optimizer.variables:
        assert np.all(variable.numpy() == epoch), variable.name
    assert trainer.best_value == epoch and trainer.summary_rows == [{"epoch": k} for k in range(1, start)]
    assert len(tf.keras.models.load_model(os.path.join(snapshot, "last.h5"), compile=False).outputs) == 2
    return epoch


def test_killing_a_run_while_it_saves_state_leaves_a_resumable_state(tmp_path):
    folder = tmp_path / "run"
    epochs = []

    def copy_and_resume(index):
        shutil.copytree(folder, tmp_path / f"stop-{index}", symlinks=True)
        epochs.append(resumed_epoch(str(tmp_path / f"stop-{index}")))

    stop_then_kill(STATE_WRITING_CHILD, folder, (0.01, 0.05, 0.02, 0.09, 0.03, 0.07, 0.04), copy_and_resume)
    epochs.append(resumed_epoch(str(folder)))
    assert epochs == sorted(epochs) and epochs[-1] > epochs[0] >= 2  # it kept saving between the stops


def test_demo_job_resumes_its_run_only_when_asked(tmp_path, monkeypatch, capsys):
    from quillon.forgeline.demo import detect
    from quillon.forgeline.demo.__main__ import main

    options = dict(images=8, batch_size=4, input_size=64, display=0)
    with pytest.raises(FileNotFoundError, match=r"no run to resume in .*state\.json does not exist"):
        detect.run_detection_demo(tmp_path, epochs=1, resume=True, **options)
    detect.run_detection_demo(tmp_path, epochs=1, **options)
    with pytest.raises(FileExistsError, match="already holds a run; resume it with --resume"):
        detect.run_detection_demo(tmp_path, epochs=2, **options)
    detect.run_detection_demo(tmp_path, epochs=2, resume=True, **options)
    assert [row[0] for row in summary_rows(tmp_path / "run")[1:]] == ["1", "2"]
    assert json.load(open(tmp_path / "run" / "state" / "state.json"))["epoch"] == 2
    # A resume that fails in the trainer leaves the stopped run's files as they were.
    config = (tmp_path / "run" / "config.json").read_bytes()
    drop_checkpoint_data(tmp_path / "run")
    with pytest.raises(ValueError, match="cannot be loaded"):
        detect.run_detection_demo(tmp_path, epochs=3, resume=True, **options)
    assert (tmp_path / "run" / "config.json").read_bytes() == config

    def interrupted(out, **_):
        raise KeyboardInterrupt

    monkeypatch.setattr(detect, "run_detection_demo", interrupted)
    assert main(["detect", "--out", str(tmp_path), "--epochs", "3"]) == 130
    assert f"--out {tmp_path} --epochs 3 --resume" in capsys.readouterr().err


def test_a_run_killed_between_its_summary_row_and_its_state_resumes_without_repeats(tmp_path):
    """The stopped run's epoch 3 beat the best score and logged its steps; the redone epoch 3 scores lower."""

    def train(epochs, scores, stop_before_state=None):
        tf.keras.utils.set_random_seed(1)
        logger = TensorBoardLogger(str(tmp_path / "tensorboard"), write_every=1)
        trainer = make_trainer(
            DetectionTrainer, str(tmp_path), model=detection_model(), optimizer=adam(), logger=logger, metric="acc"
        )
        trainer.skip_initial_validation = True
        start = trainer.resume() if stop_before_state is None else 1
        if stop_before_state is not None:
            save_state = trainer.save_state

            def stopping(epoch):
                if epoch == stop_before_state:
                    raise KeyboardInterrupt  # stands for the kill: summary.csv, best.h5 and events are written
                save_state(epoch)
                if epoch == stop_before_state - 1:
                    shutil.copyfile(tmp_path / "best.h5", tmp_path / "best-of-the-state.h5")

            trainer.save_state = stopping
        try:
            trainer.train(
                epochs,
                train_batches(count=3, extra_targets=1),
                validation_batches(1),
                RecordingEvaluator(scores),
                start=start,
            )
        except KeyboardInterrupt:
            pass
        logger.close()
        return trainer

    train(4, [0.5, 0.9, 0.99], stop_before_state=3)
    resumed = train(4, [0.3, 0.4])
    assert [row["epoch"] for row in resumed.summary_rows] == [1, 2, 3, 4] and resumed.best_value == 0.9
    assert (tmp_path / "best.h5").read_bytes() == (tmp_path / "best-of-the-state.h5").read_bytes()
    steps = {}
    for tag, step, _, _ in read_summaries(tmp_path / "tensorboard"):
        steps.setdefault(tag, []).append(step)
    assert steps["train/total-loss"] == list(range(12))
    assert all(sorted(set(found)) == sorted(found) for found in steps.values()), steps
