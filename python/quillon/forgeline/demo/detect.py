"""The detection demo: train the reference detector on the built-in shapes data.

``run_detection_demo(out)`` does what ``python -m quillon.forgeline.demo
detect`` does: it writes the shapes dataset to ``out/data`` (or reuses it)
and runs the detection job (``quillon.forgeline.jobs.detect``) on it, leaving
the run folder ``out/run`` with config.json, labels.txt, best.h5, last.h5,
summary.csv, validation/ (results.txt and plots) and tensorboard/.
"""

from quillon.forgeline.demo.data import generate_detection_dataset
from quillon.forgeline.demo.data_folder import claim_and_generate
from quillon.forgeline.demo.defaults import IMAGES
from quillon.forgeline.jobs.detect import train_detection

DEFAULT_IMAGES = IMAGES["detect"]


def run_detection_demo(out, seed=0, images=DEFAULT_IMAGES, resume=False, strategy=None, reduced_decode=True, **options):
    """Trains the demo detector; returns {"run_folder", "best_epoch", "best_map"}.

    ``images`` is the number of training images; the validation split gets a
    quarter as many (at least one). ``seed`` seeds the data and the job. A run
    folder that already exists is never overwritten: that raises
    ``FileExistsError``, before any data is written. ``resume``, ``strategy``
    and ``reduced_decode`` (here on by default) and the other ``options``
    (``epochs``, ``batch_size``, ``learning_rate``, ``input_size``,
    ``deterministic``, ``ema_decay``, ...) are the detection job's
    (``jobs.detect.train_detection``), whose defaults are the demo's.
    """
    out, _, data_file = claim_and_generate(out, strategy, resume, generate_detection_dataset, images, 4, seed=seed)
    return train_detection(
        data_file, out, seed=seed, resume=resume, strategy=strategy, reduced_decode=reduced_decode, **options
    )
