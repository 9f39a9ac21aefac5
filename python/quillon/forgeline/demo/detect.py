"""The detection demo: train the reference detector on the built-in shapes data.

``run_detection_demo(out)`` does what ``python -m quillon.forgeline.demo
detect`` does: it writes the shapes dataset to ``out/data`` (or reuses it),
trains with ``DetectionTrainer`` and validates after every epoch, leaving the
run folder ``out/run`` with config.json, labels.txt, best.h5, last.h5,
summary.csv, validation/ (results.txt and plots) and tensorboard/.
"""

import math
import os

import tensorflow as tf

from quillon.forgeline.callbacks import TensorBoardLogger
from quillon.forgeline.datasets.darknet import DarknetDatasetYaml
from quillon.forgeline.demo.data_folder import new_run_folder
from quillon.forgeline.demo.data import generate_detection_dataset
from quillon.forgeline.losses import DetectionLoss
from quillon.forgeline.models.detection import TRAINING_OUTPUTS, build_detection_model
from quillon.forgeline.trainer.detection import DetectionTrainer
from quillon.validator.detection import DetectionEvaluator

DEFAULT_EPOCHS = 20
DEFAULT_IMAGES = 400
DEFAULT_BATCH_SIZE = 16
DEFAULT_LEARNING_RATE = 3e-3
DEFAULT_INPUT_SIZE = 128
AUGMENTATION = {"flip_lr": 0.5}
CHECKPOINT_METRIC = "map"  # the trainer keeps best.h5 by mAP@0.5
SUMMARY_METRIC = "mAP@0.5"


def run_detection_demo(out, epochs=DEFAULT_EPOCHS, seed=0, images=DEFAULT_IMAGES, batch_size=DEFAULT_BATCH_SIZE,
                       learning_rate=DEFAULT_LEARNING_RATE, input_size=DEFAULT_INPUT_SIZE, display=4,
                       reduced_decode=True):
    """Trains the demo detector; returns {"run_folder", "best_epoch", "best_map"}.

    ``reduced_decode``: the dataset's option of decoding training JPEGs at the
    reduced scale the input size allows.

    ``images`` is the number of training images; the validation split gets a
    quarter as many (at least one). A run folder that already exists is
    never overwritten: that raises ``FileExistsError``.
    """
    out, run_folder = new_run_folder(out)
    tf.keras.utils.set_random_seed(seed)

    data_file = generate_detection_dataset(
        os.path.join(out, "data"), seed=seed, train_images=images, validation_images=max(1, images // 4)
    )
    shape = [input_size, input_size, 3]
    dataset = DarknetDatasetYaml(data_file, shape=shape, letter_box=True, add_bkg_class=True,
                                 aug_cfg=dict(AUGMENTATION), reduced_decode=reduced_decode)
    classes = dataset.get_classes()

    model = build_detection_model(len(classes), input_shape=tuple(shape))
    steps = epochs * math.ceil(dataset.get_num_train_samples() / batch_size)
    warmup = min(30, steps // 4)
    if warmup:
        schedule = tf.keras.optimizers.schedules.CosineDecay(
            0.0, decay_steps=steps - warmup, warmup_target=learning_rate, warmup_steps=warmup
        )
        schedule_text = f"linear warm-up over {warmup} steps, then cosine decay to 0 over {steps - warmup} steps"
    else:  # too few steps to warm up
        schedule = tf.keras.optimizers.schedules.CosineDecay(learning_rate, decay_steps=steps)
        schedule_text = f"cosine decay to 0 over {steps} steps"
    optimizer = tf.keras.optimizers.Adam(learning_rate=schedule)
    logger = TensorBoardLogger(os.path.join(run_folder, "tensorboard"))
    evaluator = DetectionEvaluator(model, training_outputs=TRAINING_OUTPUTS)
    config = {
        "task": "detect",
        "data": data_file,
        "classes": classes,
        "input_shape": shape,
        "epochs": epochs,
        "batch_size": batch_size,
        "learning_rate": learning_rate,
        "schedule": schedule_text,
        "augmentation": AUGMENTATION,
        "seed": seed,
        "reduced_decode": reduced_decode,
        "train_images": dataset.get_num_train_samples(),
        "validation_images": dataset.get_num_val_samples(),
    }
    trainer = DetectionTrainer(
        model, dataset, optimizer, DetectionLoss(), logger=logger, checkpoint=run_folder, info=config,
        metric=CHECKPOINT_METRIC, classes=classes, display=display, skip_initial_validation=True,
    )
    trainer.train(epochs, dataset.build_train_iterator(batch_size), dataset.build_val_iterator(), evaluator)
    logger.flush()

    # best.h5 holds the last epoch that reached the best score (ties replace it).
    best = None
    for row in trainer.summary_rows:
        if best is None or row[SUMMARY_METRIC] >= best[SUMMARY_METRIC]:
            best = row
    result = {
        "run_folder": run_folder,
        "best_epoch": best["epoch"] if best else None,
        "best_map": best[SUMMARY_METRIC] if best else None,
    }
    print(f"\nRun folder: {run_folder}")
    if best:
        print(f"Best {SUMMARY_METRIC}: {best[SUMMARY_METRIC]:.4f} at epoch {best['epoch']} "
              f"(model: {os.path.join(run_folder, 'best.h5')})")
    print(f"TensorBoard: tensorboard --logdir {os.path.join(run_folder, 'tensorboard')}")
    return result
