"""The head-pose job: train the reference attitude model on folders of images and pose annotations.

``train_headpose(folders, annotations, data, out)`` trains on an attitude
dataset's training pipeline in the shared run lifecycle (``runner``) with
``HeadPoseTrainer``, a ``DetectionTrainer`` whose validation pass measures the
mean absolute angle errors on the validation split after every epoch and keeps
best.h5 by the lowest mean error. The run folder ``out/run`` holds
config.json, best.h5 and last.h5 (inference models: angles only),
summary.csv (the errors of every pass), validation/results.txt and
validation/results.json (the last pass), tensorboard/ and state/.
"""

import csv
import io
import json
import math
import os

from quillon.forgeline.datasets.attitude import AttitudeDataset, AttitudeDatasetJson
from quillon.forgeline.evaluation.headpose import ANGLE_NAMES, evaluate_attitude, format_attitude_report
from quillon.forgeline.jobs.defaults import HEADPOSE
from quillon.forgeline.jobs.options import DEFAULT_MODEL_SIZE
from quillon.forgeline.jobs.runner import Task, best_pass, job_options, run_job
from quillon.forgeline.losses import AttitudeLoss
from quillon.forgeline.models.headpose import DEFAULT_ANGLE_RANGE, build_headpose_model
from quillon.forgeline.run_files import write_text_atomically
from quillon.forgeline.trainer.detection import DetectionTrainer

ANNOTATION_FORMATS = HEADPOSE.ANNOTATION_FORMATS
# Channels of the model's convolution stages for each --model-size.
MODEL_FILTERS = {"small": (8, 16, 32, 48), "medium": (16, 32, 64, 96), "large": (32, 64, 128, 192)}


def train_headpose(
    folders,
    annotations,
    data,
    out,
    epochs=HEADPOSE.DEFAULT_EPOCHS,
    seed=0,
    deterministic=False,
    ema_decay=None,
    batch_size=HEADPOSE.DEFAULT_BATCH_SIZE,
    learning_rate=HEADPOSE.DEFAULT_LEARNING_RATE,
    input_size=HEADPOSE.DEFAULT_INPUT_SIZE,
    model_size=DEFAULT_MODEL_SIZE,
    resume=False,
    weights=None,
    record=None,
    strategy=None,
    cache=None,
    cache_dir=None,
    reduced_decode=False,
    skip_images=(),
):
    """Trains the reference head-pose model; returns {"run_folder", "best_epoch", "mae", "baseline_mae", "count"}.

    ``folders`` holds "train_images", "train_annotations", "val_images",
    "val_annotations" (folder paths). annotations: "json" trains on
    ``AttitudeDatasetJson`` (the head cut out by its box, randomly
    mirrored), "mat" on ``AttitudeDataset`` (the whole image, MATLAB pose
    files). ``data`` is what config.json names as the data. "mae",
    "baseline_mae" and "count" are those of the validation pass best.h5
    holds (see ``evaluate_attitude``), errors in the annotations' unit.
    ``reduced_decode``: the dataset's option of decoding JPEGs at the reduced
    scale the input size allows. The other arguments are the detection
    job's (``detect.train_detection``).
    ``weights``: a model file or run folder to start from (``weights.start_from``).
    """
    if annotations not in ANNOTATION_FORMATS:
        raise ValueError(f"train_headpose: annotations must be one of {ANNOTATION_FORMATS}, got {annotations!r}")
    dataset_class = AttitudeDatasetJson if annotations == "json" else AttitudeDataset
    file_format = {} if annotations == "json" else {"file_extension": "mat"}

    def summarize(dataset, passes, run_folder):
        epoch, best = best_pass(passes, mean_error, lowest=True)
        if best is None:
            return {"best_epoch": None}, []
        model_file = os.path.join(run_folder, "best.h5")
        return {"best_epoch": epoch, **best}, [
            f"Best model (epoch {epoch}): {model_file}",
            format_attitude_report(best),
        ]

    task = Task(
        name="headpose",
        data=data,
        build_dataset=lambda shape: dataset_class(
            shape=shape,
            train_images=folders["train_images"],
            train_annotations=folders["train_annotations"],
            val_images=folders["val_images"],
            val_annotations=folders["val_annotations"],
            reduced_decode=reduced_decode,
            **file_format,
        ),
        build_model=lambda dataset, shape: build_headpose_model(
            shape, num_bins=dataset.num_bins, angle_range=DEFAULT_ANGLE_RANGE, filters=MODEL_FILTERS[model_size]
        ),
        build_loss=lambda dataset: AttitudeLoss(num_bins=dataset.num_bins, angle_range=DEFAULT_ANGLE_RANGE),
        build_evaluator=lambda model, dataset, loss: AngleErrorEvaluator(dataset),
        trainer=HeadPoseTrainer,
        metric=HeadPoseTrainer.METRIC,
        describe=lambda dataset: {
            "annotations": annotations,
            "angles": "pitch, yaw, roll in degrees",
            "num_bins": dataset.num_bins,
            "angle_range": list(DEFAULT_ANGLE_RANGE),
        },
        summarize=summarize,
        settings={"loss": "bin cross-entropy + 0.5 x angle error in bins", "reduced_decode": reduced_decode},
    )
    return run_job(task, out, **job_options(locals()))


def mean_error(results):
    """A head-pose pass's score: the mean absolute error of the three angles (lowest best)."""
    return results["mae"]["mean"]


class HeadPoseTrainer(DetectionTrainer):
    """``DetectionTrainer`` for head-pose models: its validation pass measures the angle errors with an
    ``AngleErrorEvaluator``, best.h5 keeps the model with the lowest mean error and summary.csv holds one row
    of errors ("MAE-pitch", "MAE-yaw", "MAE-roll", "MAE-mean") per pass."""

    METRIC = "mean angle error"
    best_is_lowest = True  # save_model's scores are errors

    def __init__(self, *args, metric=METRIC, **kwargs):
        # The trainer knows the detection metrics by name; this one only names the messages.
        super().__init__(*args, metric="map", **kwargs)
        self.metric = metric
        self.best_value = math.inf

    def run_validation_step(self, loop, evaluator, epoch):
        """Measures the model's angle errors on the validation split, saves it by the mean error and returns
        the errors (``evaluate_attitude``'s result)."""
        # The evaluator reads the validation split itself; the bar shows the images it measured.
        results = evaluator.evaluate(self.model, epoch)
        loop.update(results["count"])
        loop.close()
        self.save_model(mean_error(results))
        return results

    def update_metrics(self, metrics={}, losses={}, epoch=0, live=None):  # noqa: B006 (the trainer's signature)
        """Logs one pass's errors: DVCLive (when ``live`` is given), an active MLflow run, the logger, and a new
        summary.csv row."""
        summary = {f"MAE-{name}": float(metrics["mae"][name]) for name in (*ANGLE_NAMES, "mean")}
        if live is not None:
            for name, value in summary.items():
                live.log_metric(name, value)
        try:
            import mlflow
        except ImportError:
            mlflow = None
        if mlflow is not None and mlflow.active_run():
            mlflow.log_metrics(summary, step=epoch)
        if hasattr(self.logger, "validation_step"):
            self.logger.validation_step = epoch
        self.logger.update_metrics(summary, losses)
        self.summary_rows.append({"epoch": epoch, **summary})
        text = io.StringIO()
        writer = csv.DictWriter(text, fieldnames=["epoch", *summary])
        writer.writeheader()
        writer.writerows(self.summary_rows)
        try:
            write_text_atomically(os.path.join(self.checkpoint, "summary.csv"), text.getvalue(), newline="")
        except PermissionError:
            print(
                "\t - [WARNING]: Error writing evaluation summary. Please close the file to allow Forgeline to "
                "write metrics"
            )


class AngleErrorEvaluator:
    """The evaluator ``HeadPoseTrainer`` validates with: ``evaluate_attitude`` on ``dataset``'s validation split
    (the images as they are), the report as ``current_summary`` (validation/results.txt) and the figures as
    validation/results.json."""

    def __init__(self, dataset):
        self.dataset = dataset
        self.val_messenger = None
        self.results = None
        self.current_summary = ""
        self.current_plots = {}

    def __call__(self, val_messenger=None, labels=None):
        """Sets the report writer (the trainer's call at the start of training); head poses have no labels."""
        self.val_messenger = val_messenger
        return self

    def evaluate(self, model, epoch=0):
        """One validation pass of ``model``; returns ``evaluate_attitude``'s result."""
        self.results = evaluate_attitude(model, self.dataset)
        self.current_summary = format_attitude_report(self.results) + "\n"
        if self.val_messenger is not None:
            self.val_messenger.add_text("validation/summary", "```\n" + self.current_summary + "```", epoch)
        return self.results

    def save_plots_disk(self, plots=None, path="."):
        """Writes the last pass's figures to ``path``/results.json (head poses have no plots)."""
        os.makedirs(path, exist_ok=True)
        write_text_atomically(os.path.join(path, "results.json"), json.dumps(self.results, indent=2) + "\n")
