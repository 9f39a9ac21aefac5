"""Evaluation of head-pose (attitude) models on an attitude dataset's validation split."""

import itertools

import numpy as np

from quillon.forgeline.deploy.predictors import scaled_input

ANGLE_NAMES = ("pitch", "yaw", "roll")


def evaluate_attitude(model, dataset, batch_size=32, seed=0):
    """Mean absolute error of pitch, yaw and roll over the validation split.

    model: the inference model saved by ``DetectionTrainer`` (one output,
      angles [batch, 3]) or the training model, whose last output is the
      angles; any callable ``model(images, training=False)`` will do. It gets
      images scaled to 0..1, as in training and ``predict``.
    dataset: an attitude dataset; its validation pipeline
      (``build_val_iterator``) yields the (image path, annotation path) pairs,
      which are loaded with the dataset's ``load_validation_instance``: the
      images as they are (the face cut out, for JSON datasets), decoded at
      full size, without the training loader's random blur or mirroring, so
      a ``predict`` run on the same images gives the same angles.
    seed: kept for callers; the pass draws no random numbers, so the same
      model and data always give the same figures.

    Returns {"mae": {"pitch", "yaw", "roll", "mean"}, "baseline_mae": {...},
    "count": n}, errors in the dataset's angle units. "baseline_mae" is the
    error of always predicting the mean validation angles: a model has
    learned something when it is well below that.
    """
    if isinstance(batch_size, bool) or not isinstance(batch_size, (int, np.integer)) or batch_size < 1:
        raise ValueError(f"evaluate_attitude: batch_size must be a positive int, got {batch_size!r}")
    samples = (dataset.load_validation_instance(pair) for pair in dataset.build_val_iterator().as_numpy_iterator())
    predictions, targets = [], []
    while batch := list(itertools.islice(samples, int(batch_size))):
        images, angles = zip(*batch)
        output = model(scaled_input(np.stack(images)), training=False)
        if isinstance(output, (list, tuple)):
            output = output[-1]
        output = np.asarray(output, np.float64)
        if output.ndim != 2 or output.shape[1] != 3 or output.shape[0] != len(images):
            raise ValueError(
                f"evaluate_attitude: the model must output angles [batch, 3], got shape {output.shape} for a batch "
                f"of {len(images)} images"
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
