"""A trained run (or a model file) with what predict and export need to know about it."""

import json
import os
from typing import NamedTuple

import tensorflow as tf

from quillon.forgeline.deploy.settings import TASKS

MODEL_FILES = ("best.h5", "last.h5")  # looked for in this order in a run folder


class Run(NamedTuple):
    """model: the loaded Keras inference model; task: one of TASKS; labels: class names
    in output order (labels.txt, else config.json "classes"), None when the run has none."""

    model: object
    model_path: str
    folder: str
    task: str
    labels: list
    config: dict


def load_run(run_or_model, task=None):
    """Loads a run folder (its best.h5, else last.h5) or a model file and the run files beside it.

    The task comes from ``task``, else config.json's "task", else the model's
    outputs (two: detection; one image-shaped: segmentation; one [batch, 3]:
    head pose).
    """
    model_path = model_file(run_or_model)
    folder = os.path.dirname(os.path.abspath(model_path))
    config = _read_config(os.path.join(folder, "config.json"))
    model = load_model_file(model_path)

    task = task or config.get("task") or _task_from_outputs(model, model_path)
    if task not in TASKS:
        raise ValueError(
            f"{model_path}: unknown task {task!r} (the task argument or config.json); expected one of {TASKS}"
        )
    return Run(model, model_path, folder, task, _read_labels(folder, config), config)


def model_file(run_or_model):
    """The model file a run folder (its best.h5, else last.h5) or a model file path names."""
    path = os.fspath(run_or_model)
    if os.path.isdir(path):
        found = [os.path.join(path, name) for name in MODEL_FILES if os.path.isfile(os.path.join(path, name))]
        if not found:
            raise FileNotFoundError(f"{path}: no {' or '.join(MODEL_FILES)} in this run folder")
        return found[0]
    if os.path.isfile(path):
        return path
    raise FileNotFoundError(f"{path}: no such run folder or model file")


def load_model_file(model_path):
    """The Keras model in ``model_path``, or a ValueError naming the file."""
    try:
        return tf.keras.models.load_model(model_path, compile=False)
    except (OSError, ValueError, TypeError) as error:
        raise ValueError(f"{model_path}: not a Keras model file this TensorFlow can load: {error}") from error


def _read_config(path):
    if not os.path.isfile(path):
        return {}
    try:
        with open(path, encoding="utf-8") as stream:
            config = json.load(stream)
    except (OSError, ValueError) as error:
        raise ValueError(f"{path}: cannot read the run configuration: {error}") from error
    if not isinstance(config, dict):
        raise ValueError(f"{path}: the run configuration must be a JSON object, got {type(config).__name__}")
    return config


def _read_labels(folder, config):
    path = os.path.join(folder, "labels.txt")
    if os.path.isfile(path):
        with open(path, encoding="utf-8") as stream:
            labels = [line.strip() for line in stream if line.strip()]
        if labels:
            return labels
    classes = config.get("classes")
    return [str(name) for name in classes] if isinstance(classes, list) and classes else None


def _task_from_outputs(model, model_path):
    shapes = [tuple(output.shape) for output in model.outputs]
    if len(shapes) == 2:
        return "detect"
    if len(shapes) == 1 and len(shapes[0]) == 4:
        return "segment"
    if len(shapes) == 1 and shapes[0][1:] == (3,):
        return "headpose"
    raise ValueError(
        f"{model_path}: cannot tell the task from the model outputs {shapes} and there is no config.json with a "
        f'"task" beside it; pass the task ({", ".join(TASKS)})'
    )
