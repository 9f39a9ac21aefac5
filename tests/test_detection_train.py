"""The epoch loop of DetectionTrainer.train: hooks, progress bars, validation schedule, DVCLive."""

import json
import math
import os
import runpy
import sys

import numpy as np
import pytest
import quillon.forgeline.trainer.detection as detection
import tensorflow as tf
from quillon.forgeline.callbacks import ForgelineTrainingCallback
from quillon.forgeline.trainer.detection import DetectionTrainer
from trainer_doubles import (
    CLASSES,
    FakeBar,
    FakeLive,
    RecordingCallbacks,
    RecordingEvaluator,
    RecordingLogger,
    detection_model,
    fake_dvclive_module,
    make_trainer,
    train_batches,
    validation_batches,
)

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "examples", "train_detection_minimal.py")


class SaveRecordingTrainer(DetectionTrainer):
    def save_model(self, val):
        self.events.append(("save_model", {"val": val}))
        super().save_model(val)


@pytest.fixture
def quiet(monkeypatch):
    """Progress bars recorded instead of drawn; no MLflow."""
    FakeBar.bars = []
    monkeypatch.setattr(detection, "tqdm", FakeBar)
    monkeypatch.setitem(sys.modules, "mlflow", None)


def test_one_epoch_with_validation_calls_everything_in_order(tmp_path, quiet, monkeypatch, capsys):
    events = []
    monkeypatch.setitem(sys.modules, "dvclive", fake_dvclive_module(events))
    for variable in ("DVC_REPORT", "CI"):  # the report format depends on them; CI sets CI
        monkeypatch.delenv(variable, raising=False)
    trainer = make_trainer(SaveRecordingTrainer, tmp_path, info={"run": 1}, dvclive_output=str(tmp_path / "live"))
    trainer.events = events
    trainer.logger.events = events
    evaluator = RecordingEvaluator(events=events)
    callbacks = RecordingCallbacks(events)

    trainer.train(1, train_batches(count=2), validation_batches(1), evaluator, callback_handler=callbacks)

    names = [name for name, _ in events if name != "live.log_metric"]
    validation = [
        "on_evaluation_start",
        "evaluator.conclude",
        "save_model",
        "on_evaluaiton_end",
        "logger.update_metrics",
        "evaluator.save_plots_disk",
    ]
    step = ["on_step_start", "on_step_end", "logger.update_metrics"]
    assert names == (
        ["live.log_params", "on_train_start"]
        + validation
        + ["on_epoch_start"]
        + step * 2
        + validation
        + ["save_model", "on_model_save", "live.next_step", "on_epoch_end", "live.end", "on_train_end"]
    )
    assert len([name for name, _ in events if name == "live.log_metric"]) == 2 * 13
    assert [bar.settings["desc"] for bar in FakeBar.bars] == ["Running Validation", "Epoch 1", "Running Validation"]
    for bar in FakeBar.bars:
        assert {k: v for k, v in bar.settings.items() if k != "desc"} == {
            "leave": True,
            "colour": "green",
            "bar_format": "{l_bar}{bar:15}{r_bar}{bar:-15b}",
        }

    arguments = {}
    for name, args in events:
        arguments.setdefault(name, []).append(args)
    assert arguments["on_train_start"] == [{"epochs": 1}]
    assert arguments["on_epoch_start"] == [{"epoch": 1}]
    assert arguments["on_step_start"] == [{"step": 0}, {"step": 1}]
    assert [a["val"] for a in arguments["save_model"]] == [0.1, 0.2, -1.0]
    assert arguments["on_model_save"] == [{"model": trainer.model}]
    last_step = arguments["on_step_end"][-1]
    assert last_step["lr"] is trainer.current_lr
    assert isinstance(last_step["losses"]["step-time (seconds)"], float)
    assert last_step["losses"]["learning-rate"] is trainer.current_lr
    assert arguments["on_evaluaiton_end"][-1]["metrics"] is evaluator.last_metrics
    epoch_end = arguments["on_epoch_end"][0]
    assert epoch_end["losses"] is last_step["losses"] and epoch_end["metrics"] is evaluator.last_metrics
    assert FakeBar.bars[1].postfixes[-1]["values"].startswith("loss: ")
    assert "   lr: 0.010000 step-time: " in FakeBar.bars[1].postfixes[-1]["values"]

    assert evaluator.configured == [(trainer.val_messenger, CLASSES)]
    assert evaluator.passes == [0, 1]
    assert evaluator.plots_saved[-1] == (evaluator.current_plots, str(tmp_path / "validation"))
    assert (tmp_path / "validation" / "results.txt").read_text() == "pass summary"
    assert len((tmp_path / "summary.csv").read_text().splitlines()) == 3
    # The per-step logger call gets no metrics; the validation one gets the last step's losses.
    assert trainer.logger.calls[-1][1] is last_step["losses"]
    assert trainer.logger.calls[-2] == ({}, last_step["losses"])
    live = FakeLive.sessions[0]
    assert live.args == {"dir": str(tmp_path / "live"), "save_dvc_exp": True, "report": "html"}
    assert live.calls[0] == ("log_params", {"run": 1})
    assert "\t - [INFO] Ending DVCLive session\n" in capsys.readouterr().out


@pytest.mark.parametrize(
    "start, skip_initial_validation, epochs_run, validated",
    [
        (3, True, [3, 4, 5], [4]),  # every second epoch by number, not by count from start
        (6, False, [], [0]),  # past the last epoch: only the initial validation, and the train hooks
    ],
)
def test_epoch_numbers_decide_validation(tmp_path, quiet, start, skip_initial_validation, epochs_run, validated):
    events = []
    trainer = make_trainer(
        DetectionTrainer, tmp_path, skip_validation_steps=2, skip_initial_validation=skip_initial_validation
    )
    evaluator = RecordingEvaluator()
    trainer.train(
        5,
        train_batches(count=1),
        validation_batches(1),
        evaluator,
        start=start,
        callback_handler=RecordingCallbacks(events),
    )
    assert [args["epoch"] for name, args in events if name == "on_epoch_start"] == epochs_run
    assert evaluator.passes == validated
    assert [name for name, _ in events if name.startswith("on_train")] == ["on_train_start", "on_train_end"]


def test_training_without_evaluator_saves_only_the_last_model(tmp_path, quiet, monkeypatch):
    class PlainRateOptimizer:
        """An optimizer whose learning rate is a plain number."""

        def __init__(self):
            self.inner = tf.keras.optimizers.SGD(0.05)
            self.lr = 0.05
            self.iterations = 0

        def apply_gradients(self, grads_and_vars):
            return self.inner.apply_gradients(grads_and_vars)

    monkeypatch.setitem(sys.modules, "dvclive", None)
    trainer = make_trainer(DetectionTrainer, tmp_path, optimizer=PlainRateOptimizer())
    trainer.train(2, train_batches(count=1))  # the shared default callback handler

    assert sorted(os.listdir(tmp_path)) == ["config.json", "labels.txt", "last.h5", "validation"]
    assert os.listdir(tmp_path / "validation") == []
    assert trainer.current_lr == 0.05
    assert "   lr: 0.050000 step-time: " in FakeBar.bars[-1].postfixes[-1]["values"]


@pytest.mark.parametrize(
    "dvc_report, ci, expected",
    [
        (None, "true", "md"),
        (None, "false", "html"),
        (None, "0", "html"),
        (None, None, "html"),
        ("none", "true", "none"),
    ],
)
def test_dvclive_report_format_follows_the_environment(tmp_path, quiet, monkeypatch, dvc_report, ci, expected):
    monkeypatch.setitem(sys.modules, "dvclive", fake_dvclive_module())
    for name, value in (("DVC_REPORT", dvc_report), ("CI", ci)):
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    trainer = make_trainer(DetectionTrainer, tmp_path, model=object(), dvclive_output="live")
    trainer.train(0)
    (live,) = FakeLive.sessions
    assert live.args["report"] == expected
    assert live.calls == [("end",)]  # info=None: no parameters to log


def test_bad_training_options_fail_before_anything_runs(tmp_path, quiet, monkeypatch):
    events = []
    trainer = make_trainer(DetectionTrainer, tmp_path, model=object(), skip_validation_steps=0)
    with pytest.raises(ValueError, match="skip_validation_steps must be 1 or more"):
        trainer.train(1, [], [], RecordingEvaluator(), callback_handler=RecordingCallbacks(events))
    assert events == [] and not (tmp_path / "validation").exists()

    monkeypatch.setitem(sys.modules, "dvclive", None)
    trainer = make_trainer(DetectionTrainer, tmp_path, model=object(), dvclive_output="live")
    with pytest.raises(ImportError, match="dvclive"):
        trainer.train(0, callback_handler=RecordingCallbacks(events))
    assert events == []


def test_minimal_example_runs_three_epochs(tmp_path, quiet):
    trainer, evaluator = runpy.run_path(EXAMPLE)["main"](str(tmp_path))
    assert trainer.best_value == pytest.approx(0.3)
    # display=1: only the first image of every pass is drawn; the box class 1 is "dog".
    assert [record[3] for record in evaluator.records[:4]] == [True, False, False, False]
    assert evaluator.records[0][2] == ["dog"]


def optimizers_with_a_schedule():
    schedule = tf.keras.optimizers.schedules.ExponentialDecay(0.1, decay_steps=1, decay_rate=0.5)
    kinds = {"adam": lambda: tf.keras.optimizers.Adam(schedule)}
    legacy = getattr(tf.keras.optimizers, "legacy", None)
    if os.environ.get("TF_USE_LEGACY_KERAS") == "1" and legacy is not None:
        kinds["legacy adam"] = lambda: legacy.Adam(schedule)
    return schedule, kinds


@pytest.mark.parametrize("kind", sorted(optimizers_with_a_schedule()[1]))
def test_every_step_reports_the_rate_of_the_schedule_at_the_iteration_count(tmp_path, quiet, kind):
    schedule, kinds = optimizers_with_a_schedule()
    optimizer = kinds[kind]()

    class Rates(RecordingCallbacks):
        def on_step_end(self, losses, lr):
            reported.append((int(optimizer.iterations.numpy()), float(lr), float(trainer.current_lr)))

    reported = []
    logger = RecordingLogger()
    trainer = make_trainer(DetectionTrainer, tmp_path, optimizer=optimizer, logger=logger)
    trainer.train(2, train_batches(count=2), callback_handler=Rates([]))
    logged = [float(losses["learning-rate"]) for _, losses in logger.calls]
    assert [row[0] for row in reported] == [1, 2, 3, 4] and len(logged) == 4
    for (iterations, *rates), logged_rate in zip(reported, logged):
        assert rates + [logged_rate] == pytest.approx([float(schedule(iterations))] * 3), iterations


def two_output_model():
    model = detection_model()
    return tf.keras.Model(model.input, model.outputs[:2])


def plain_function_loss(targets, predictions):
    return {"total-loss": tf.constant(0.0)}


@pytest.mark.parametrize(
    "options, when, error, message",
    [
        (
            {"logger": "out"},
            "construction",
            AttributeError,
            r"logger must be the toolkit's TensorBoard logger .*got 'out' \(str\)",
        ),
        (
            {"optimizer": "adam"},
            "construction",
            AttributeError,
            r"optimizer must be a Keras optimizer .*got 'adam' \(str\)",
        ),
        (
            {"loss": plain_function_loss},
            "first step",
            AttributeError,
            r"loss must be one of the toolkit's losses .*\(function\)",
        ),
        (
            {"model": two_output_model},
            "train",
            ValueError,
            r"the model has 2 outputs; expected two training-only outputs",
        ),
    ],
)
def test_mistaken_collaborators_are_named(tmp_path, quiet, options, when, error, message):
    options = {key: value() if value is two_output_model else value for key, value in options.items()}
    events = []
    with pytest.raises(error, match=message):
        trainer = make_trainer(DetectionTrainer, tmp_path, **options)
        assert when != "construction"
        trainer.train(
            1,
            train_batches(),
            validation_batches(1),
            RecordingEvaluator(events=events),
            callback_handler=RecordingCallbacks(events),
        )
    # A model that cannot be saved is refused before the initial validation and any step.
    assert ("on_step_start", {"step": 0}) not in events or when == "first step"
    assert when != "train" or events == []


@pytest.mark.parametrize(
    "metric, warns", [("acc", False), ("map", False), ("mar", False), ("mAP", True), ("iou", True)]
)
def test_unknown_metric_names_warn_once_at_construction(tmp_path, recwarn, metric, warns):
    make_trainer(DetectionTrainer, tmp_path, metric=metric)
    warned = [str(w.message) for w in recwarn if "recognised names" in str(w.message)]
    assert len(warned) == warns and all(repr(metric) in text and "selects mAR" in text for text in warned)


def test_a_new_trainer_on_an_earlier_run_warns_and_points_to_resuming(tmp_path, recwarn):
    make_trainer(DetectionTrainer, tmp_path)
    make_trainer(DetectionTrainer, tmp_path)  # config files only: nothing to lose
    assert not [w for w in recwarn if "already holds a run" in str(w.message)]
    make_trainer(DetectionTrainer, tmp_path).save_model(0.5)
    with pytest.warns(UserWarning, match=r"already holds a run .*call trainer\.resume\(\) before train\(\)"):
        make_trainer(DetectionTrainer, tmp_path)


def test_validation_summaries_are_logged_at_their_epoch(tmp_path, quiet):
    from quillon.forgeline.callbacks import TensorBoardLogger
    from test_collaborators import read_summaries

    logger = TensorBoardLogger(str(tmp_path / "logs"))
    trainer = make_trainer(DetectionTrainer, tmp_path / "run", logger=logger, skip_validation_steps=2)
    trainer.train(4, train_batches(count=1), validation_batches(1), RecordingEvaluator())
    logger.close()
    steps = [step for tag, step, _, _ in read_summaries(tmp_path / "logs") if tag == "validation/mACC@0.5"]
    assert steps == [0, 2, 4]


def test_early_stopping_ends_the_run_cleanly_after_patience_validations(tmp_path, quiet, monkeypatch):
    from quillon.forgeline.callbacks import CallbackList, EarlyStopping

    monkeypatch.setitem(sys.modules, "dvclive", fake_dvclive_module())
    events = []

    class Recorded(RecordingCallbacks, ForgelineTrainingCallback):
        pass

    stopping = EarlyStopping(patience=2, metric="acc", min_delta=0.01)
    trainer = make_trainer(
        DetectionTrainer, tmp_path, metric="acc", dvclive_output="live", skip_initial_validation=True
    )
    # mACC by epoch: 0.5, 0.6 (best), 0.605 (within min_delta), 0.58: the second validation without improvement.
    evaluator = RecordingEvaluator(scores=(0.5, 0.6, 0.605, 0.58, 0.9, 0.95))
    trainer.train(
        6,
        train_batches(count=1),
        validation_batches(1),
        evaluator,
        callback_handler=CallbackList([stopping, Recorded(events)]),
    )

    assert [row["epoch"] for row in trainer.summary_rows] == [1, 2, 3, 4]
    assert stopping.stop_training and stopping.best == 0.6
    assert [name for name, _ in events][-2:] == ["on_epoch_end", "on_train_end"]
    assert FakeLive.sessions[0].calls[-1] == ("end",)
    assert json.loads((tmp_path / "state" / "state.json").read_text())["epoch"] == 4
    with pytest.raises(ValueError, match="patience must be a positive integer"):
        EarlyStopping(patience=0)


@pytest.mark.parametrize(
    "scores, stops_after",
    [
        ((0.5, 0.6, 0.605, 0.58, 0.9), 4),  # 0.605 is within min_delta of the best
        ((0.5, 0.4, 0.6, 0.55, 0.9), None),  # the improvement at 0.6 starts the count again
        ((0.5, 0.4, 0.6, 0.55, 0.5), 5),
        ((0.5, 0.6, 0.7, 0.8, 0.9), None),
    ],
)
def test_early_stopping_counts_validations_since_the_last_improvement(scores, stops_after):
    from quillon.forgeline.callbacks import EarlyStopping

    stopping = EarlyStopping(patience=2, metric="map", min_delta=0.01)
    stopped = None
    for validation, score in enumerate(scores, 1):
        stopping.on_evaluaiton_end({"mAP": {"0.5": score}})
        if stopping.stop_training and stopped is None:
            stopped = validation
    assert stopped == stops_after


@pytest.mark.parametrize("policy", ["mixed_float16", "mixed_bfloat16"])
@pytest.mark.parametrize("task", ["detection", "segmentation"])
def test_mixed_precision_models_train_validate_and_save_in_float32(tmp_path, quiet, policy, task):
    from quillon.forgeline.evaluation.detection import DetectionEvaluator
    from quillon.forgeline.evaluation.segmentation import SegmentationEvaluator
    from quillon.forgeline.trainer.segmentation import SegmentationTrainer
    from trainer_doubles import segmentation_model, segmentation_validation_elements

    mixed_precision = tf.keras.mixed_precision
    mixed_precision.set_global_policy(policy)
    tf.keras.utils.set_random_seed(0)
    try:
        optimizer = tf.keras.optimizers.SGD(0.05)
        if policy == "mixed_float16":  # half-precision gradients need the loss scaled up
            optimizer = mixed_precision.LossScaleOptimizer(optimizer)
        if task == "detection":
            model = detection_model()
            # Class scores before box distances, as the evaluator reads them.
            model = tf.keras.Model(model.input, [model.outputs[i] for i in (0, 1, 3, 2)])
            trainer_class, evaluator = DetectionTrainer, DetectionEvaluator(model, training_outputs=2)
            batches, validation = train_batches(count=2), validation_batches(2)
        else:
            model = segmentation_model()
            trainer_class, evaluator = SegmentationTrainer, SegmentationEvaluator(model)
            batches = train_batches(count=2, extra_targets=0).map(lambda x: (x, tf.zeros(tf.shape(x)[:3], tf.int32)))
            # Mask values within the model's three classes.
            validation = [
                (image, tf.minimum(mask, 2), path) for image, mask, path in segmentation_validation_elements(2)
            ]
        # Computed in half precision.
        assert {tf.as_dtype(output.dtype).name for output in model.outputs} == {policy.split("_")[1]}
        results = []
        run_single_instance = evaluator.runner.run_single_instance
        evaluator.runner.run_single_instance = lambda image: results.append(run_single_instance(image)) or results[-1]
        logger = RecordingLogger()
        trainer = make_trainer(trainer_class, tmp_path, model=model, optimizer=optimizer, logger=logger)
        trainer.train(3, batches, validation, evaluator)
    finally:
        mixed_precision.set_global_policy("float32")

    totals = [float(losses["total-loss"]) for metrics, losses in logger.calls if not metrics]  # the steps'
    assert len(totals) == 6 and all(map(math.isfinite, totals)) and totals[-1] < 0.8 * totals[0], totals
    assert len(trainer.summary_rows) == 4
    assert all(math.isfinite(value) for row in trainer.summary_rows for value in row.values())
    for result in results:  # detection: boxes, class names, scores; segmentation: the class mask
        dtypes = [result[0].dtype, result[2].dtype] if task == "detection" else [result.dtype]
        assert dtypes == ([np.float32] * 2 if task == "detection" else [np.int32])
    for name in ("best.h5", "last.h5"):
        saved = tf.keras.models.load_model(tmp_path / name, compile=False)
        assert len(saved.outputs) == (2 if task == "detection" else 1)
        assert {tf.as_dtype(weight.dtype).name for weight in saved.weights} == {"float32"}
        outputs = tf.nest.flatten(saved(np.zeros((1, 16, 16, 3), np.float32)))
        assert [output.dtype for output in outputs] == [tf.float32] * len(saved.outputs), name
