"""The head-pose demo: train the reference attitude model on built-in synthetic heads.

``run_headpose_demo(out)`` does what ``python -m quillon.forgeline.demo
headpose`` does: it writes the dataset to ``out/data`` (or reuses it) and runs
the head-pose job (``quillon.forgeline.jobs.headpose``) on it: training with
``DetectionTrainer``, then measuring the saved ``last.h5``'s mean absolute
angle errors on the validation split. The run folder ``out/run`` holds
config.json, last.h5 (the inference model: angles only),
validation/results.txt and validation/results.json, and tensorboard/.
"""

import os

from quillon.forgeline.demo.data_headpose import generate_headpose_dataset
from quillon.forgeline.demo.defaults import HEADPOSE
from quillon.forgeline.jobs.headpose import train_headpose
from quillon.forgeline.jobs.scaling import claim_run_folder

DEFAULT_EPOCHS = HEADPOSE.DEFAULT_EPOCHS
DEFAULT_IMAGES = HEADPOSE.DEFAULT_IMAGES
DEFAULT_BATCH_SIZE = HEADPOSE.DEFAULT_BATCH_SIZE
DEFAULT_LEARNING_RATE = HEADPOSE.DEFAULT_LEARNING_RATE
DEFAULT_INPUT_SIZE = HEADPOSE.DEFAULT_INPUT_SIZE
ANNOTATION_FORMATS = HEADPOSE.ANNOTATION_FORMATS


def run_headpose_demo(
    out,
    epochs=DEFAULT_EPOCHS,
    seed=0,
    deterministic=False,
    ema_decay=None,
    images=DEFAULT_IMAGES,
    batch_size=DEFAULT_BATCH_SIZE,
    learning_rate=DEFAULT_LEARNING_RATE,
    input_size=DEFAULT_INPUT_SIZE,
    annotations="json",
    resume=False,
    strategy=None,
    reduced_decode=True,
):
    """Trains the demo head-pose model; returns {"run_folder", "mae", "baseline_mae", "count"}.

    annotations: "json" trains on ``AttitudeDatasetJson`` (the head cut out
      by its box, randomly mirrored), "mat" on ``AttitudeDataset`` (the whole
      image, MATLAB pose files).
    ``images`` is the number of training images; the validation split gets a
    quarter as many (at least one). Errors are in degrees. A run folder that
    already exists is never overwritten: that raises ``FileExistsError``.
    ``resume`` continues the stopped run in ``out/run`` from its last finished
    epoch (``epochs`` stays the number of the last epoch).
    Under a tf.distribute ``strategy`` (``jobs.scaling``) the job trains on
    all its replicas; of several workers, only the chief writes the run folder.
    ``reduced_decode``: the dataset's option of decoding JPEGs at the reduced
    scale the input size allows (the generated images are PNG).
    ``deterministic``: TensorFlow's op determinism on, so that the same seed
    repeats the run bit for bit on the same machine (slower).
    ``ema_decay``: the job's moving average of the weights (None: none).
    """
    if annotations not in ANNOTATION_FORMATS:
        raise ValueError(f"run_headpose_demo: annotations must be one of {ANNOTATION_FORMATS}, got {annotations!r}")
    out = claim_run_folder(out, strategy, resume=resume)
    # Drawn half as large again as the model input, so the JSON crop of the head keeps its detail.
    generated = generate_headpose_dataset(
        os.path.join(out, "data"),
        seed=seed,
        train_images=images,
        validation_images=max(1, images // 4),
        size=input_size * 3 // 2,
    )
    folders = {
        "train_images": generated["train_images"],
        "train_annotations": generated[f"train_{annotations}"],
        "val_images": generated["val_images"],
        "val_annotations": generated[f"val_{annotations}"],
    }
    return train_headpose(
        folders,
        annotations,
        os.path.dirname(os.path.dirname(folders["train_images"])),
        out,
        epochs=epochs,
        seed=seed,
        deterministic=deterministic,
        ema_decay=ema_decay,
        batch_size=batch_size,
        learning_rate=learning_rate,
        input_size=input_size,
        resume=resume,
        strategy=strategy,
        reduced_decode=reduced_decode,
    )
