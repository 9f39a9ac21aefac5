"""Evaluation of head-pose (attitude) models on an attitude dataset's validation split."""

import contextlib

import numpy as np
import tensorflow as tf

ANGLE_NAMES = ("pitch", "yaw", "roll")


def evaluate_attitude(model, dataset, batch_size=32, seed=0):
    """Mean absolute error of pitch, yaw and roll over the validation split.

    model: the inference model saved by ``DetectionTrainer`` (one output,
      angles [batch, 3]) or the training model, whose last output is the
      angles. It gets images scaled to 0..1, as in training.
    dataset: an attitude dataset; its validation pipeline
      (``build_val_iterator``) yields the (image path, annotation path) pairs,
      which are loaded with the dataset's own loader (``tf_load_instance``),
      so images and angles are exactly what training sees. The loader's
      random choices (blur; the mirroring of JSON datasets, which also flips
      yaw and roll, so the pair stays right) are drawn from NumPy's global
      generator seeded with ``seed`` for the pass, and the generator's state
      is restored afterwards: the same model and data give the same figures.

    Returns {"mae": {"pitch", "yaw", "roll", "mean"}, "baseline_mae": {...},
    "count": n}, errors in the dataset's angle units. "baseline_mae" is the
    error of always predicting the mean validation angles: a model has
    learned something when it is well below that.
    """
    if isinstance(batch_size, bool) or not isinstance(batch_size, (int, np.integer)) or batch_size < 1:
        raise ValueError(f"evaluate_attitude: batch_size must be a positive int, got {batch_size!r}")
    pairs = dataset.build_val_iterator()
    predictions, targets = [], []
    with _seeded_numpy_random(seed):
        # No parallel map: the loader's random draws happen in a fixed order.
        for images, angles in pairs.map(dataset.tf_load_instance).batch(int(batch_size)):
            output = model(tf.cast(images, tf.float32) / 255.0, training=False)
            if isinstance(output, (list, tuple)):
                output = output[-1]
            output = np.asarray(output, np.float64)
            if output.ndim != 2 or output.shape[1] != 3 or output.shape[0] != angles.shape[0]:
                raise ValueError(
                    f"evaluate_attitude: the model must output angles [batch, 3], got shape {output.shape} for a batch "
                    f"of {angles.shape[0]} images"
                )
            predictions.append(output)
            targets.append(np.asarray(angles, np.float64).reshape(-1, 3))
    if not targets:
        raise ValueError("evaluate_attitude: the dataset's validation pipeline yielded no sample")
    predictions, targets = np.concatenate(predictions), np.concatenate(targets)
    return {
        "mae": _mean_absolute_errors(predictions, targets),
        "baseline_mae": _mean_absolute_errors(np.broadcast_to(targets.mean(axis=0), targets.shape), targets),
        "count": int(len(targets)),
    }


def format_attitude_report(results):
    """The results of ``evaluate_attitude`` as a small text table."""
    lines = [f"Head-pose validation: {results['count']} images, mean absolute error", ""]
    lines.append(f"{'':<8}{'model':>10}{'mean-angle baseline':>22}")
    for name in ANGLE_NAMES + ("mean",):
        lines.append(f"{name:<8}{results['mae'][name]:>10.3f}{results['baseline_mae'][name]:>22.3f}")
    return "\n".join(lines)


def _mean_absolute_errors(predictions, targets):
    errors = np.abs(predictions - targets).mean(axis=0)
    values = {name: float(error) for name, error in zip(ANGLE_NAMES, errors)}
    values["mean"] = float(errors.mean())
    return values


@contextlib.contextmanager
def _seeded_numpy_random(seed):
    state = np.random.get_state()
    np.random.seed(seed)
    try:
        yield
    finally:
        np.random.set_state(state)
