"""DetectionTrainer construction: run folder, config and label files, printed
lines, learning-rate reading, and how the C++-defined class behaves as an
ordinary Python class."""

import inspect
import json
import os
import pydoc

import pytest
import quillon.forgeline.trainer.detection as detection
import tensorflow as tf
from quillon.forgeline.callbacks import ForgelineTrainingCallback, TensorBoardLogger
from quillon.validator.writers import TrainingTensorBoardWriter

DetectionTrainer = detection.DetectionTrainer


def tiny_model():
    image = tf.keras.Input((8, 8, 3))
    features = tf.keras.layers.Conv2D(2, 1)(image)
    return tf.keras.Model(image, [features, features, features])


@pytest.fixture
def logger(tmp_path):
    return TensorBoardLogger(str(tmp_path / "logs"))


def build(tmp_path, logger, optimizer=None, **kwargs):
    kwargs.setdefault("checkpoint", str(tmp_path / "run"))
    return DetectionTrainer(
        tiny_model(), None, optimizer or tf.keras.optimizers.SGD(0.01), None, logger=logger, **kwargs
    )


def test_module_binds_its_globals_in_order():
    bound = [
        "TrainingTensorBoardWriter",
        "tqdm",
        "tf",
        "np",
        "json",
        "os",
        "time",
        "csv",
        "ForgelineTrainingCallback",
        "DetectionTrainer",
    ]
    names = [n for n in vars(detection) if not n.startswith("_")]
    # The strategy helpers it offers the jobs come after what it binds.
    assert names == [*bound, "is_chief", "in_scope"]


def test_constructor_writes_run_folder_and_prints_model_paths(tmp_path, logger, capsys):
    info = {"epochs": 3, "parameters": {"lr": 0.01}}
    run = tmp_path / "deep" / "run"
    trainer = build(tmp_path, logger, checkpoint=str(run), info=info, classes=["person", "car"])

    assert json.loads((run / "config.json").read_text()) == info
    assert (run / "config.json").read_text() == json.dumps(info, indent=4)
    assert (run / "labels.txt").read_text() == "person\ncar\n"
    assert sorted(os.listdir(run)) == ["config.json", "labels.txt"]  # no temporary files left
    assert capsys.readouterr().out.splitlines() == [
        f"\t - Saving best iteration checkpoint at : {os.path.join(str(run), 'best.h5')}",
        f"\t - Saving last iteration checkpoint at : {os.path.join(str(run), 'last.h5')}",
    ]
    assert list(vars(trainer)) == [
        "dvclive_output",
        "info",
        "model",
        "metric",
        "dataset",
        "optimizer",
        "loss",
        "logger",
        "evaluator",
        "val_messenger",
        "best_value",
        "iou",
        "classes",
        "display",
        "NCHW",
        "current_lr",
        "checkpoint",
        "best",
        "last",
        "summary_rows",
        "skip_validation_steps",
        "skip_initial_validation",
        "state_folder",
        "resumed",
        "ema_decay",
        "ema_warmup_steps",
    ]
    assert isinstance(trainer.val_messenger, TrainingTensorBoardWriter)
    assert trainer.val_messenger.writer is logger.writer
    assert trainer.best_value == 0.0 and isinstance(trainer.best_value, float)
    assert trainer.NCHW is False and trainer.summary_rows == [] and trainer.evaluator is None
    assert (trainer.metric, trainer.iou, trainer.skip_validation_steps) == ("acc", 0.5, 1)
    assert (trainer.ema_decay, trainer.ema_warmup_steps) == (None, 2000)


def test_empty_or_missing_classes_and_null_info(tmp_path, logger):
    build(tmp_path, logger, classes=[])
    assert (tmp_path / "run" / "config.json").read_text() == "null"
    assert not (tmp_path / "run" / "labels.txt").exists()
    build(tmp_path, logger, checkpoint=str(tmp_path / "other"))  # classes=None: no labels.txt, no failure
    assert not (tmp_path / "other" / "labels.txt").exists()


def test_constructing_twice_rewrites_both_files(tmp_path, logger):
    build(tmp_path, logger, info={"a": 1}, classes=["a", "b", "c"])
    build(tmp_path, logger, info={"a": 2}, classes=["x"])
    assert json.loads((tmp_path / "run" / "config.json").read_text()) == {"a": 2}
    assert (tmp_path / "run" / "labels.txt").read_text() == "x\n"


def test_failures_propagate_without_partial_files(tmp_path, logger):
    with pytest.raises(AttributeError):
        DetectionTrainer(tiny_model(), None, tf.keras.optimizers.SGD(0.1), None, checkpoint=str(tmp_path / "r"))
    assert not (tmp_path / "r").exists()  # the logger is read before anything is written
    with pytest.raises(TypeError):
        build(tmp_path, logger, info={"not json": object()})
    assert not (tmp_path / "run" / "config.json").exists()
    assert os.listdir(tmp_path / "run") == []


def test_learning_rate_is_read_from_the_optimizer(tmp_path, logger):
    schedule = tf.keras.optimizers.schedules.ExponentialDecay(0.1, decay_steps=1, decay_rate=0.5)
    trainer = build(tmp_path, logger, optimizer=tf.keras.optimizers.SGD(schedule))
    assert float(trainer.current_lr) == pytest.approx(0.1)  # the schedule at iteration 0
    trainer = build(tmp_path, logger, optimizer=tf.keras.optimizers.SGD(0.25))
    assert float(trainer.current_lr) == pytest.approx(0.25)


def test_python_subclass_overrides_and_calls_super(tmp_path, logger):
    calls = []

    class MyTrainer(DetectionTrainer):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.extra = "set after the base constructor"

        def remove_training_outputs(self, model=None):
            calls.append(model)
            return super().remove_training_outputs(model)

    class Deeper(MyTrainer):
        pass

    trainer = Deeper(
        tiny_model(), None, tf.keras.optimizers.SGD(0.1), None, logger=logger, checkpoint=str(tmp_path / "run")
    )
    assert trainer.extra == "set after the base constructor"
    trainer.NCHW = True
    trainer.anything = [1, 2]
    assert trainer.NCHW is True and trainer.anything == [1, 2]
    assert isinstance(trainer, DetectionTrainer)
    inference = trainer.remove_training_outputs()
    assert calls == [None] and len(inference.outputs) == 1


def test_signatures_defaults_and_help():
    assert DetectionTrainer.__module__ == "quillon.forgeline.trainer.detection"
    assert "Training pipeline for object-detection models" in DetectionTrainer.__doc__
    assert list(vars(DetectionTrainer))[2:11] == [
        "__init__",
        "preprocess_input",
        "train_step",
        "remove_training_outputs",
        "to_nchw",
        "save_model",
        "update_metrics",
        "run_validation_step",
        "train",
    ]
    # Graph-compiled methods keep a signature inspect can read.
    signature = inspect.signature(DetectionTrainer.preprocess_input.python_function)
    assert list(signature.parameters) == ["self", "x"]
    assert signature.parameters["x"].annotation is tf.Tensor
    assert "train(self" in DetectionTrainer.train.__doc__
    text = pydoc.render_doc(DetectionTrainer, renderer=pydoc.plaintext)
    for method in ("preprocess_input", "train_step", "save_model", "update_metrics", "run_validation_step", "train"):
        assert method in text


def test_shared_default_objects():
    # One callback handler, created with the class, is the default of every call.
    default_handler = DetectionTrainer.train.__doc__
    assert "callback_handler: object = <quillon.forgeline.callbacks.ForgelineTrainingCallback" in default_handler
    assert issubclass(detection.ForgelineTrainingCallback, ForgelineTrainingCallback)


def test_dict_arguments_are_checked_exactly(tmp_path, logger):
    trainer = build(tmp_path, logger)

    class MyDict(dict):
        pass

    for bad, name in (([], "list"), (MyDict(), "MyDict"), ("x", "str")):
        with pytest.raises(TypeError, match=rf"Argument 'metrics' has incorrect type \(expected dict, got {name}\)"):
            trainer.update_metrics(bad)
    with pytest.raises(TypeError, match=r"Argument 'losses' has incorrect type \(expected dict, got tuple\)"):
        trainer.update_metrics({}, ())
