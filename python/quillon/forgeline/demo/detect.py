"""The detection demo: train the reference detector on the built-in shapes data.

``run_detection_demo(out)`` does what ``python -m quillon.forgeline.demo
detect`` does: it writes the shapes dataset to ``out/data`` (or reuses it),
trains with ``DetectionTrainer`` and validates after every epoch, leaving the
run folder ``out/run`` with config.json, labels.txt, best.h5, last.h5,
summary.csv, validation/ (results.txt and plots) and tensorboard/.

Under a tf.distribute ``strategy`` (see ``demo.scaling``) the model trains on
all its replicas; of several workers, only the chief writes the run folder.
"""

import os

import tensorflow as tf

from quillon.forgeline.callbacks import TensorBoardLogger
from quillon.forgeline.datasets.darknet import DarknetDatasetYaml
from quillon.forgeline.demo.defaults import DETECT
from quillon.forgeline.demo.data import generate_detection_dataset
from quillon.forgeline.demo.scaling import in_scope, is_chief, job_folders, start_epoch, steps_per_epoch
from quillon.forgeline.losses import DetectionLoss
from quillon.forgeline.models.detection import TRAINING_OUTPUTS, build_detection_model
from quillon.forgeline.trainer.detection import DetectionTrainer
from quillon.validator.detection import DetectionEvaluator

DEFAULT_EPOCHS = DETECT.DEFAULT_EPOCHS
DEFAULT_IMAGES = DETECT.DEFAULT_IMAGES
DEFAULT_BATCH_SIZE = DETECT.DEFAULT_BATCH_SIZE
DEFAULT_LEARNING_RATE = DETECT.DEFAULT_LEARNING_RATE
DEFAULT_INPUT_SIZE = DETECT.DEFAULT_INPUT_SIZE
AUGMENTATION = {"flip_lr": 0.5}
CHECKPOINT_METRIC = "map"  # the trainer keeps best.h5 by mAP@0.5
SUMMARY_METRIC = "mAP@0.5"


def run_detection_demo(out, epochs=DEFAULT_EPOCHS, seed=0, images=DEFAULT_IMAGES, batch_size=DEFAULT_BATCH_SIZE,
                       learning_rate=DEFAULT_LEARNING_RATE, input_size=DEFAULT_INPUT_SIZE, display=4, resume=False,
                       strategy=None, reduced_decode=True):
    """Trains the demo detector; returns {"run_folder", "best_epoch", "best_map"}.

    ``reduced_decode``: the dataset's option of decoding training JPEGs at the
    reduced scale the input size allows.

    ``images`` is the number of training images; the validation split gets a
    quarter as many (at least one). A run folder that already exists is
    never overwritten: that raises ``FileExistsError``.
    ``resume`` continues the stopped run in ``out/run`` from its last finished
    epoch (``epochs`` stays the number of the last epoch).
    """
    out, run_folder = job_folders(out, strategy, resume=resume)
    tf.keras.utils.set_random_seed(seed)

    data_file = generate_detection_dataset(
        os.path.join(out, "data"), seed=seed, train_images=images, validation_images=max(1, images // 4)
    )
    shape = [input_size, input_size, 3]
    dataset = DarknetDatasetYaml(data_file, shape=shape, letter_box=True, add_bkg_class=True,
                                 aug_cfg=dict(AUGMENTATION), reduced_decode=reduced_decode)
    classes = dataset.get_classes()

    with in_scope(strategy):
        model = build_detection_model(len(classes), input_shape=tuple(shape))
    steps = epochs * steps_per_epoch(dataset.get_num_train_samples(), batch_size, strategy)
    warmup = min(30, steps // 4)
    if warmup:
        schedule = tf.keras.optimizers.schedules.CosineDecay(
            0.0, decay_steps=steps - warmup, warmup_target=learning_rate, warmup_steps=warmup
        )
        schedule_text = f"linear warm-up over {warmup} steps, then cosine decay to 0 over {steps - warmup} steps"
    else:  # too few steps to warm up
        schedule = tf.keras.optimizers.schedules.CosineDecay(learning_rate, decay_steps=steps)
        schedule_text = f"cosine decay to 0 over {steps} steps"
    with in_scope(strategy):
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
    if strategy is not None:
        config["replicas"] = strategy.num_replicas_in_sync
    trainer = DetectionTrainer(
        model, dataset, optimizer, DetectionLoss(), logger=logger, checkpoint=run_folder, info=config,
        metric=CHECKPOINT_METRIC, classes=classes, display=display, skip_initial_validation=True,
    )
    start = start_epoch(trainer, out, resume)
    trainer.train(epochs, dataset.build_train_iterator(batch_size, strategy=strategy), dataset.build_val_iterator(),
                  evaluator,
                  start=start)
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
    if not is_chief(strategy):  # its scratch folder is no run
        return {**result, "run_folder": None}
    print(f"\nRun folder: {run_folder}")
    if best:
        print(f"Best {SUMMARY_METRIC}: {best[SUMMARY_METRIC]:.4f} at epoch {best['epoch']} "
              f"(model: {os.path.join(run_folder, 'best.h5')})")
    print(f"TensorBoard: tensorboard --logdir {os.path.join(run_folder, 'tensorboard')}")
    return result
