"""What the commands print while they work; importable without TensorFlow.

``quiet_tensorflow()`` imports TensorFlow with its start-up messages held
back; the commands call it before anything imports TensorFlow. The jobs'
validation lines are formatted here (``validation_line``) and printed by
``quillon.forgeline.callbacks.ValidationConsole``, which also records the
best model's score thresholds (``read_thresholds``).
"""

import contextlib
import json
import os
import sys
import tempfile

THRESHOLDS_FILE = "thresholds.json"  # in the run folder: the score thresholds of the model in best.h5

# The values of a validation line, in this order: (metrics key, IoU key of a per-threshold metric, shown name).
_LINE_VALUES = (
    ("loss", None, "loss"),
    ("mAP", "0.5", "mAP@0.5"),
    ("mAP", "0.5:0.95", "mAP@0.5:0.95"),
    ("mIoU", None, "mIoU"),
    ("mAR", "0.5", "mAR@0.5"),
    ("mACC", "0.5", "mACC@0.5"),
    ("OP", None, "precision"),
    ("OR", None, "recall"),
    ("OA", None, "accuracy"),
    ("mae", "mean", "mean angle error"),
)


def quiet_tensorflow():
    """Imports TensorFlow without the lines its native side prints while it starts.

    Those lines (CPU instructions, CUDA probing, even an "E" line about CUDA
    on a machine without a GPU) are written to the standard error file before
    TensorFlow's logging is set up, so the log level alone does not stop
    them: the file is held back while TensorFlow loads and probes its devices
    and replayed when that fails. Later native messages are silenced with
    TF_CPP_MIN_LOG_LEVEL=3: on a CPU even "E" lines are notes (oneDNN's
    int32 fallback), and a real failure reaches Python as an exception
    carrying its message. A user who sets TF_CPP_MIN_LOG_LEVEL sees
    everything that level lets through.
    """
    if "TF_CPP_MIN_LOG_LEVEL" in os.environ or "tensorflow" in sys.modules:
        return
    os.environ["TF_CPP_MIN_LOG_LEVEL"] = "3"
    with _standard_error_held_back():
        import tensorflow as tf

        tf.config.list_physical_devices()  # the device probe, which leaves the runtime unconfigured


class _ColourOnTerminal:
    """Stands in for the tqdm module: its bars are coloured only when standard error is a terminal."""

    @staticmethod
    def tqdm(*args, **options):
        import tqdm

        if not (sys.stderr is not None and sys.stderr.isatty()):
            options.pop("colour", None)
        return tqdm.tqdm(*args, **options)


def colour_only_on_terminal():
    """Keeps colour codes out of logs: the dataset module's loading bars are coloured only on a terminal.

    The module looks its ``tqdm`` up when it loads a dataset, so the one put
    here is the one it uses. (The jobs' trainers do the same by themselves.)
    """
    from quillon.forgeline.datasets import darknet

    darknet.tqdm = _ColourOnTerminal


@contextlib.contextmanager
def _standard_error_held_back():
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.flush()
    saved = os.dup(2)
    try:
        with tempfile.TemporaryFile() as held:
            os.dup2(held.fileno(), 2)
            try:
                yield
            except BaseException:
                os.dup2(saved, 2)
                held.seek(0)
                os.write(2, held.read())
                raise
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def validation_values(metrics):
    """The main values of a validation's metrics, as {shown name: value}, in the order of a validation line."""
    values = {}
    for key, at, name in _LINE_VALUES:
        value = metrics.get(key)
        if isinstance(value, dict):
            value = value.get(at)
        elif at is not None:  # one value for every IoU threshold: shown once, under its own name
            if at != "0.5":
                continue
            name = key
        if value is not None:
            values[name] = float(value)
    return values


def validation_line(epoch, epochs, values, best):
    """One line for one validation pass: its values to 3 decimals, then ``best`` (the best so far) in brackets."""
    shown = "   ".join(f"{name} {value:.3f}" for name, value in values.items())
    return f"Validation, epoch {epoch}/{epochs}: {shown}   ({best})"


def read_thresholds(folder):
    """The recorded thresholds of a run folder (see ``ValidationConsole``), or None when it has none."""
    path = os.path.join(folder, THRESHOLDS_FILE)
    if not os.path.isfile(path):
        return None
    try:
        with open(path, encoding="utf-8") as stream:
            thresholds = json.load(stream)
        threshold = float(thresholds["score_threshold"])
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise ValueError(f"{path}: not a thresholds file written by a training run: {error}") from error
    if not 0.0 <= threshold <= 1.0:
        raise ValueError(f"{path}: score_threshold {threshold} is not between 0 and 1")
    return thresholds
