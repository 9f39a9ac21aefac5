"""The detection demo: train the reference detector on the built-in shapes data.

``run_detection_demo(out)`` does what ``python -m quillon.forgeline.demo
detect`` does: it writes the shapes dataset to ``out/data`` (or reuses it)
and runs the detection job (``quillon.forgeline.jobs.detect``) on it, leaving
the run folder ``out/run`` with config.json, labels.txt, best.h5, last.h5,
summary.csv, validation/ (results.txt and plots) and tensorboard/.
"""

import os

from quillon.forgeline.demo.data import generate_detection_dataset
from quillon.forgeline.demo.defaults import DETECT
from quillon.forgeline.jobs.detect import train_detection
from quillon.forgeline.jobs.options import DEFAULT_DETECTION_AUGMENTATION
from quillon.forgeline.jobs.scaling import claim_run_folder

DEFAULT_EPOCHS = DETECT.DEFAULT_EPOCHS
DEFAULT_IMAGES = DETECT.DEFAULT_IMAGES
DEFAULT_BATCH_SIZE = DETECT.DEFAULT_BATCH_SIZE
DEFAULT_LEARNING_RATE = DETECT.DEFAULT_LEARNING_RATE
DEFAULT_INPUT_SIZE = DETECT.DEFAULT_INPUT_SIZE
AUGMENTATION = DEFAULT_DETECTION_AUGMENTATION


def run_detection_demo(
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
    reduced_decode=True,
):
    """Trains the demo detector; returns {"run_folder", "best_epoch", "best_map"}.

    ``images`` is the number of training images; the validation split gets a
    quarter as many (at least one). A run folder that already exists is
    never overwritten: that raises ``FileExistsError``, before any data is written.
    ``resume`` continues the stopped run in ``out/run`` from its last finished
    epoch (``epochs`` stays the number of the last epoch).
    Under a tf.distribute ``strategy`` (``jobs.scaling``) the job trains on
    all its replicas; of several workers, only the chief writes the run folder.
    ``reduced_decode``: the dataset's option of decoding training JPEGs at the
    reduced scale the input size allows.
    ``deterministic``: TensorFlow's op determinism on, so that the same seed
    repeats the run bit for bit on the same machine (slower).
    ``ema_decay``: the job's moving average of the weights (None: none).
    """
    out = claim_run_folder(out, strategy, resume=resume)
    data_file = generate_detection_dataset(
        os.path.join(out, "data"), seed=seed, train_images=images, validation_images=max(1, images // 4)
    )
    return train_detection(
        data_file,
        out,
        epochs=epochs,
        seed=seed,
        deterministic=deterministic,
        ema_decay=ema_decay,
        batch_size=batch_size,
        learning_rate=learning_rate,
        input_size=input_size,
        augmentation=AUGMENTATION,
        display=display,
        resume=resume,
        strategy=strategy,
        reduced_decode=reduced_decode,
    )
