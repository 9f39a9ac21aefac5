"""Tiny models and recording stand-ins for the trainers' collaborators."""

import glob
import os
import select
import signal
import subprocess
import sys
import time
import types

import numpy as np
import tensorflow as tf

SIZE = 16
CLASSES = ["a", "b", "c"]
# What a run folder of a task with classes holds, sorted.
RUN_FILES = ["best.h5", "config.json", "labels.txt", "last.h5", "state", "summary.csv", "tensorboard", "validation"]
# The summary.csv columns of a detection run after "epoch", in order.
SUMMARY_KEYS = [
    "mAP@0.5",
    "mAP@0.75",
    "mAP@0.5:0.95",
    "mACC@0.5",
    "mACC@0.75",
    "mACC@0.5:0.95",
    "mAR@0.5",
    "mAR@0.75",
    "mAR@0.5:0.95",
    "Overall-ACC",
    "Overall-AP",
    "Overall-AR",
]


def assert_detection_run_files(run, classes, more=()):
    """Checks that the finished detection run folder `run` holds its checkpoints, config, summary, validation
    results (and the files `more`), TensorBoard events, and labels.txt: the background, then `classes`."""
    for name in ("config.json", "labels.txt", "best.h5", "last.h5", "summary.csv", "validation/results.txt", *more):
        assert (run / name).is_file(), name
    assert glob.glob(str(run / "tensorboard" / "events.out.tfevents.*"))
    assert (run / "labels.txt").read_text() == "".join(f"{name}\n" for name in ["background", *classes])


def detection_model(regularizer=None, batch_norm=False):
    """Two training-only outputs first (one not image-shaped), then two image-shaped inference outputs."""
    inputs = tf.keras.Input((SIZE, SIZE, 3))
    features = tf.keras.layers.Conv2D(4, 3, padding="same", kernel_regularizer=regularizer, name="features")(inputs)
    if batch_norm:
        features = tf.keras.layers.BatchNormalization()(features)
    train_map = tf.keras.layers.Conv2D(2, 1, name="train_map")(features)
    train_vector = tf.keras.layers.GlobalAveragePooling2D(name="train_vector")(features)
    boxes = tf.keras.layers.Conv2D(4, 1, name="boxes")(features)
    scores = tf.keras.layers.Conv2D(3, 1, name="scores")(features)
    return tf.keras.Model(inputs, [train_map, train_vector, boxes, scores])


def segmentation_model():
    inputs = tf.keras.Input((SIZE, SIZE, 3))
    features = tf.keras.layers.Conv2D(4, 3, padding="same", name="features")(inputs)
    return tf.keras.Model(inputs, tf.keras.layers.Conv2D(3, 1, name="mask")(features))


def train_batches(count=2, batch_size=2, extra_targets=1):
    """(images, *targets) batches of uint8 images."""
    rng = np.random.default_rng(0)
    images = rng.integers(0, 256, (count * batch_size, SIZE, SIZE, 3), dtype=np.uint8)
    targets = tuple(np.full((count * batch_size, 4), i + 1, np.float32) for i in range(extra_targets))
    return tf.data.Dataset.from_tensor_slices((images,) + targets).batch(batch_size)


def validation_batches(count=3, labels=(1,)):
    """(image, boxes, names) batches of one image, as tensors."""
    rng = np.random.default_rng(1)
    batches = []
    for index in range(count):
        image = rng.integers(0, 256, (1, SIZE, SIZE, 3), dtype=np.uint8)
        boxes = np.array([[[1, 2, 3, 4, label] for label in labels]], np.float32)
        batches.append((tf.constant(image), tf.constant(boxes), tf.constant([f"image-{index}.jpg".encode()])))
    return batches


def segmentation_validation_elements(count=3):
    """(image, mask, path) elements, used whole (no batch dimension)."""
    rng = np.random.default_rng(2)
    elements = []
    for index in range(count):
        image = rng.integers(0, 256, (SIZE, SIZE, 3), dtype=np.uint8)
        mask = np.zeros((SIZE, SIZE), np.int32)
        mask[:4] = 3
        elements.append((tf.constant(image), tf.constant(mask), tf.constant(f"mask-{index}.png".encode())))
    return elements


class RecordingLoss:
    """Mean square of every prediction; records what it was given (at trace time)."""

    def __init__(self):
        self.calls = []

    def compute_loss(self, targets, predictions):
        self.calls.append((targets, predictions))
        total = tf.add_n([tf.reduce_mean(tf.square(p)) for p in tf.nest.flatten(predictions)])
        return {"total-loss": total, "box-loss": total * 0.5}


class RecordingLogger:
    writer = None  # the validator writer accepts None

    def __init__(self, events=None):
        self.calls = []
        self.events = events if events is not None else []

    def update_metrics(self, metrics, losses):
        self.calls.append((metrics, losses))
        self.events.append(("logger.update_metrics", dict(metrics)))


class RecordingCallbacks:
    def __init__(self, events):
        self.events = events

    def on_train_start(self, epochs):
        self.events.append(("on_train_start", {"epochs": epochs}))

    def on_evaluation_start(self):
        self.events.append(("on_evaluation_start", {}))

    def on_evaluaiton_end(self, metrics):
        self.events.append(("on_evaluaiton_end", {"metrics": metrics}))

    def on_epoch_start(self, epoch):
        self.events.append(("on_epoch_start", {"epoch": epoch}))

    def on_step_start(self, step):
        self.events.append(("on_step_start", {"step": step}))

    def on_step_end(self, losses, lr):
        self.events.append(("on_step_end", {"losses": losses, "lr": lr}))

    def on_model_save(self, model, /):
        self.events.append(("on_model_save", {"model": model}))

    def on_epoch_end(self, losses, metrics):
        self.events.append(("on_epoch_end", {"losses": losses, "metrics": metrics}))

    def on_train_end(self):
        self.events.append(("on_train_end", {}))


def detection_metrics(acc, map_=0.2, mar=0.3):
    def per_threshold(value):
        return {"0.5": value, "0.75": value / 2, "0.5:0.95": value / 4}

    return {
        "mAP": per_threshold(map_),
        "mAR": per_threshold(mar),
        "mACC": per_threshold(acc),
        "OP": 0.7,
        "OR": 0.8,
        "OA": 0.9,
    }


def segmentation_metrics(acc, map_=0.2, mar=0.3):
    return {"mAP": map_, "mAR": mar, "mACC": acc, "OP": 0.7, "OR": 0.8, "OA": 0.9}


class RecordingEvaluator:
    """Scripted evaluator: pass number k (from 0) reports `scores[k]` as mACC at 0.5 (or the plain mACC)."""

    def __init__(self, scores=(0.1, 0.2, 0.3, 0.4, 0.5, 0.6), events=None, segmentation=False):
        self.scores = list(scores)
        self.events = events if events is not None else []
        self.segmentation = segmentation
        self.runner = types.SimpleNamespace(run_single_instance=self._run_single_instance)
        self.configured = []
        self.records = []  # (outer, gt, dt, add_image, epoch, snapshot)
        self.passes = []  # epochs given to conclude
        self.plots_saved = []
        self.current_plots = {"confusion": "figure"}
        self.current_summary = "pass summary"

    def __call__(self, val_messenger, labels):
        self.configured.append((val_messenger, labels))

    def _run_single_instance(self, image):
        if self.segmentation:
            return np.where(image[..., 0] > 127, 2, 0).astype(np.int32)
        return np.array([[0.0, 0.0, 1.0, 1.0]]), np.array([1]), np.array([0.9])

    def single_evaluation(self, instances, epoch, add_image):
        gt, dt = instances["gt_instance"], instances["dt_instance"]
        self.records.append((instances, gt, dt, add_image, epoch, {"gt": dict(gt), "dt": dict(dt)}))
        return len(self.records)

    def conclude(self, truth_values, epoch):
        self.passes.append(epoch)
        self.events.append(("evaluator.conclude", {"epoch": epoch}))
        score = self.scores[len(self.passes) - 1]
        self.last_metrics = segmentation_metrics(score) if self.segmentation else detection_metrics(score)
        return self.last_metrics

    def save_plots_disk(self, plots, path):
        self.plots_saved.append((plots, path))
        self.events.append(("evaluator.save_plots_disk", {}))


class FakeLive:
    """Stands in for dvclive.Live and records every call."""

    sessions = []

    def __init__(self, dir, save_dvc_exp, report, events=None):
        self.args = {"dir": dir, "save_dvc_exp": save_dvc_exp, "report": report}
        self.calls = []
        self.events = events
        FakeLive.sessions.append(self)

    def _record(self, call):
        self.calls.append(call)
        if self.events is not None:
            self.events.append((f"live.{call[0]}", {}))

    def log_params(self, params):
        self._record(("log_params", params))

    def log_metric(self, name, val, plot=True):
        self._record(("log_metric", name, val, plot))

    def next_step(self):
        self._record(("next_step",))

    def end(self):
        self._record(("end",))


def fake_dvclive_module(events=None):
    module = types.ModuleType("dvclive")
    FakeLive.sessions = []
    module.Live = lambda dir, save_dvc_exp, report: FakeLive(dir, save_dvc_exp, report, events)
    return module


def fake_mlflow_module(active=True):
    module = types.ModuleType("mlflow")
    module.logged_metrics = []
    module.artifacts = []
    module.active_run = lambda: active
    module.log_metrics = lambda values, step=None: module.logged_metrics.append((values, step))
    module.log_artifact = lambda path: module.artifacts.append(path)
    return module


class FakeBar:
    """Stands in for tqdm: iterates its iterable and records settings and postfixes."""

    bars = []

    def __init__(self, iterable, **settings):
        self.iterable = iterable
        self.settings = settings
        self.postfixes = []
        FakeBar.bars.append(self)

    def __iter__(self):
        return iter(self.iterable)

    def set_postfix(self, **values):
        self.postfixes.append(values)


def make_trainer(trainer_class, folder, model=None, optimizer=None, loss=None, logger=None, **options):
    options.setdefault("classes", CLASSES)
    options.setdefault("display", 0)
    return trainer_class(
        model=model if model is not None else detection_model(),
        dataset=None,
        optimizer=optimizer if optimizer is not None else tf.keras.optimizers.SGD(0.01),
        loss=loss if loss is not None else RecordingLoss(),
        logger=logger if logger is not None else RecordingLogger(),
        checkpoint=str(folder),
        **options,
    )


def stop_then_kill(code, argument, delays, inspect, last_delay=0.0):
    """Runs the Python `code` in a child process (`argument` on its command line), which prints "ready" when it
    starts writing; after each of `delays` (seconds) stops it, calls `inspect(index)` and lets it go on; kills
    it (SIGKILL) `last_delay` seconds after the last stop.

    A stopped process has left on disk exactly what a kill at that moment would leave (SIGKILL runs no
    clean-up), so one child stopped at several moments and killed at the last stands for several kills.
    """
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), TF_CPP_MIN_LOG_LEVEL="3")
    child = subprocess.Popen(
        [sys.executable, "-c", code, str(argument)],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        env=environment,
        text=True,
    )
    try:
        ready, _, _ = select.select([child.stdout], [], [], 180)
        assert ready and child.stdout.readline().strip() == "ready", f"child ended with {child.poll()}"
        for index, delay in enumerate(delays):
            time.sleep(delay)
            child.send_signal(signal.SIGSTOP)
            inspect(index)
            child.send_signal(signal.SIGCONT)
        time.sleep(last_delay)
        child.send_signal(signal.SIGKILL)
        child.wait()
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
