"""The segmentation demo: train the reference U-Net on the built-in shapes masks.

``run_segmentation_demo(out)`` does what ``python -m quillon.forgeline.demo
segment`` does: it writes the dataset to ``out/data`` (or reuses it) and runs
the segmentation job (``quillon.forgeline.jobs.segment``) on it, leaving the
run folder ``out/run`` with config.json, labels.txt, best.h5, last.h5,
summary.csv, validation/ (results.txt, confusion matrix and sample overlays)
and tensorboard/.
"""

import os

from quillon.forgeline.demo.data_segment import generate_segmentation_dataset
from quillon.forgeline.demo.defaults import SEGMENT
from quillon.forgeline.jobs.scaling import claim_run_folder
from quillon.forgeline.jobs.segment import train_segmentation

DEFAULT_EPOCHS = SEGMENT.DEFAULT_EPOCHS
DEFAULT_IMAGES = SEGMENT.DEFAULT_IMAGES
DEFAULT_BATCH_SIZE = SEGMENT.DEFAULT_BATCH_SIZE
DEFAULT_LEARNING_RATE = SEGMENT.DEFAULT_LEARNING_RATE
DEFAULT_INPUT_SIZE = SEGMENT.DEFAULT_INPUT_SIZE


def run_segmentation_demo(
    out,
    epochs=DEFAULT_EPOCHS,
    seed=0,
    deterministic=False,
    ema_decay=None,
    images=DEFAULT_IMAGES,
    batch_size=DEFAULT_BATCH_SIZE,
    learning_rate=DEFAULT_LEARNING_RATE,
    input_size=DEFAULT_INPUT_SIZE,
    display=4,
    resume=False,
    strategy=None,
):
    """Trains the demo segmenter; returns {"run_folder", "best_epoch", "best_miou", "final_miou", "baseline_miou"}.

    ``images`` is the number of training images; the validation split gets a
    sixth as many (at least one). "baseline_miou" is the mean IoU of
    predicting the most frequent validation class everywhere. A run folder
    that already exists is never overwritten: that raises ``FileExistsError``.
    ``resume`` continues the stopped run in ``out/run`` from its last finished
    epoch (``epochs`` stays the number of the last epoch).
    "best_epoch" and "best_miou" then cover the epochs trained since resuming.
    Under a tf.distribute ``strategy`` (``jobs.scaling``) the job trains on
    all its replicas; of several workers, only the chief writes the run folder.
    ``deterministic``: TensorFlow's op determinism on, so that the same seed
    repeats the run bit for bit on the same machine (slower).
    ``ema_decay``: the job's moving average of the weights (None: none).
    """
    out = claim_run_folder(out, strategy, resume=resume)
    folders = generate_segmentation_dataset(
        os.path.join(out, "data"),
        seed=seed,
        train_images=images,
        validation_images=max(1, images // 6),
        size=input_size,
    )
    return train_segmentation(
        folders,
        os.path.dirname(os.path.dirname(folders["train_images"])),
        out,
        epochs=epochs,
        seed=seed,
        deterministic=deterministic,
        ema_decay=ema_decay,
        batch_size=batch_size,
        learning_rate=learning_rate,
        input_size=input_size,
        display=display,
        resume=resume,
        strategy=strategy,
    )
