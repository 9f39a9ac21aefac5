"""The head-pose demo: train the reference attitude model on built-in synthetic heads.

``run_headpose_demo(out)`` does what ``python -m quillon.forgeline.demo
headpose`` does: it writes the dataset to ``out/data`` (or reuses it) and runs
the head-pose job (``quillon.forgeline.jobs.headpose``) on it: training with
``HeadPoseTrainer``, which measures the mean absolute angle errors on the
validation split after every epoch and keeps best.h5 by the lowest mean
error. The run folder ``out/run`` holds config.json, best.h5 and last.h5
(inference models: angles only), summary.csv, validation/results.txt and
validation/results.json, tensorboard/ and state/.
"""

from quillon.forgeline.demo.data_folder import claim_and_generate
from quillon.forgeline.demo.data_headpose import generate_headpose_dataset
from quillon.forgeline.demo.defaults import IMAGES
from quillon.forgeline.jobs.defaults import HEADPOSE
from quillon.forgeline.jobs.headpose import train_headpose

DEFAULT_IMAGES = IMAGES["headpose"]
DEFAULT_INPUT_SIZE = HEADPOSE.DEFAULT_INPUT_SIZE
ANNOTATION_FORMATS = HEADPOSE.ANNOTATION_FORMATS


def run_headpose_demo(
    out,
    seed=0,
    images=DEFAULT_IMAGES,
    input_size=DEFAULT_INPUT_SIZE,
    annotations="json",
    resume=False,
    strategy=None,
    reduced_decode=True,
    **options,
):
    """Trains the demo head-pose model; returns {"run_folder", "best_epoch", "mae", "baseline_mae", "count"}.

    annotations: "json" trains on ``AttitudeDatasetJson`` (the head cut out
      by its box, randomly mirrored), "mat" on ``AttitudeDataset`` (the whole
      image, MATLAB pose files).
    ``images`` is the number of training images; the validation split gets a
    quarter as many (at least one). ``seed`` seeds the data and the job.
    Errors are in degrees. A run folder that already exists is never
    overwritten: that raises ``FileExistsError``. ``resume``, ``strategy``,
    ``reduced_decode`` (here on by default; the generated images are PNG) and
    the other ``options`` (``epochs``, ``batch_size``, ``learning_rate``,
    ``deterministic``, ``ema_decay``, ...) are the head-pose job's
    (``jobs.headpose.train_headpose``), whose defaults are the demo's.
    """
    if annotations not in ANNOTATION_FORMATS:
        raise ValueError(f"run_headpose_demo: annotations must be one of {ANNOTATION_FORMATS}, got {annotations!r}")
    # Drawn half as large again as the model input, so the JSON crop of the head keeps its detail.
    out, data, generated = claim_and_generate(
        out, strategy, resume, generate_headpose_dataset, images, 4, seed=seed, size=input_size * 3 // 2
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
        data,
        out,
        seed=seed,
        input_size=input_size,
        resume=resume,
        strategy=strategy,
        reduced_decode=reduced_decode,
        **options,
    )
