"""The segmentation demo: train the reference U-Net on the built-in shapes masks.

``run_segmentation_demo(out)`` does what ``python -m quillon.forgeline.demo
segment`` does: it writes the dataset to ``out/data`` (or reuses it) and runs
the segmentation job (``quillon.forgeline.jobs.segment``) on it, leaving the
run folder ``out/run`` with config.json, labels.txt, best.h5, last.h5,
summary.csv, validation/ (results.txt, confusion matrix and sample overlays)
and tensorboard/.
"""

from quillon.forgeline.demo.data_folder import claim_and_generate
from quillon.forgeline.demo.data_segment import generate_segmentation_dataset
from quillon.forgeline.demo.defaults import IMAGES
from quillon.forgeline.jobs.defaults import SEGMENT
from quillon.forgeline.jobs.segment import train_segmentation

DEFAULT_IMAGES = IMAGES["segment"]
DEFAULT_INPUT_SIZE = SEGMENT.DEFAULT_INPUT_SIZE


def run_segmentation_demo(
    out, seed=0, images=DEFAULT_IMAGES, input_size=DEFAULT_INPUT_SIZE, resume=False, strategy=None, **options
):
    """Trains the demo segmenter; returns {"run_folder", "best_epoch", "best_miou", "final_miou", "baseline_miou"}.

    ``images`` is the number of training images; the validation split gets a
    sixth as many (at least one), drawn at ``input_size``. ``seed`` seeds the
    data and the job. "baseline_miou" is the mean IoU of predicting the most
    frequent validation class everywhere. A run folder that already exists is
    never overwritten: that raises ``FileExistsError``. ``resume``,
    ``strategy`` and the other ``options`` (``epochs``, ``batch_size``,
    ``learning_rate``, ``deterministic``, ``ema_decay``, ...) are the
    segmentation job's (``jobs.segment.train_segmentation``), whose defaults
    are the demo's; "best_epoch" and "best_miou" of a resumed run cover the
    epochs trained since resuming.
    """
    out, data, folders = claim_and_generate(
        out, strategy, resume, generate_segmentation_dataset, images, 6, seed=seed, size=input_size
    )
    return train_segmentation(
        folders, data, out, seed=seed, input_size=input_size, resume=resume, strategy=strategy, **options
    )
