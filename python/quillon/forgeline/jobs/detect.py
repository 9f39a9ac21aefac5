"""The detection job: train the reference detector on a Darknet data description.

``train_detection(data_file, out)`` builds a ``DarknetDatasetYaml`` from the
description, trains the reference detector with ``DetectionTrainer`` and
validates after every epoch, leaving the run folder ``out/run`` with
config.json, labels.txt, best.h5, last.h5, summary.csv, validation/
(results.txt and plots), tensorboard/ and state/.
"""

import os

from quillon.forgeline.callbacks import TensorBoardLogger, attach_console
from quillon.forgeline.datasets.darknet import DarknetDatasetYaml
from quillon.forgeline.demo.defaults import DETECT
from quillon.forgeline.jobs.options import DEFAULT_DETECTION_AUGMENTATION, DEFAULT_MODEL_SIZE
from quillon.forgeline.jobs.scaling import (
    average_weights,
    in_scope,
    is_chief,
    job_folders,
    seed_job,
    start_epoch,
    steps_per_epoch,
    warmup_cosine_adam,
)
from quillon.forgeline.losses import DetectionLoss
from quillon.forgeline.models.detection import TRAINING_OUTPUTS, build_detection_model
from quillon.forgeline.trainer.detection import DetectionTrainer
from quillon.validator.detection import DetectionEvaluator

# Channels of the detector's first stage for each --model-size.
MODEL_WIDTHS = {"small": 16, "medium": 32, "large": 64}
CHECKPOINT_METRIC = "map"  # the trainer keeps best.h5 by mAP@0.5
SUMMARY_METRIC = "mAP@0.5"


def train_detection(
    data_file,
    out,
    epochs=DETECT.DEFAULT_EPOCHS,
    seed=0,
    deterministic=False,
    ema_decay=None,
    batch_size=DETECT.DEFAULT_BATCH_SIZE,
    learning_rate=DETECT.DEFAULT_LEARNING_RATE,
    input_size=DETECT.DEFAULT_INPUT_SIZE,
    model_size=DEFAULT_MODEL_SIZE,
    augmentation=None,
    display=4,
    resume=False,
    record=None,
    strategy=None,
    reduced_decode=False,
):
    """Trains the reference detector on the Darknet description ``data_file``; returns {"run_folder", "best_epoch",
    "best_map"}.

    ``augmentation`` maps the dataset's augmentations to their frequencies
    (default ``DEFAULT_DETECTION_AUGMENTATION``). ``record`` holds more entries for
    config.json (the ``train`` command's options). A run folder that already
    exists is never overwritten: that raises ``FileExistsError``. ``resume``
    continues the stopped run in ``out/run`` from its last finished epoch
    (``epochs`` stays the number of the last epoch).
    Under a tf.distribute ``strategy`` (``quillon.forgeline.jobs.scaling``) the
    model trains on all its replicas; of several workers, only the chief writes
    the run folder. ``reduced_decode``: the dataset's option of decoding training
    JPEGs at the reduced scale the input size allows.
    ``deterministic``: TensorFlow's op determinism on, so that the same seed
    repeats the run bit for bit on the same machine (slower).
    ``ema_decay``: validate and save a moving average of the weights with
    this decay (see ``scaling.average_weights``); None keeps none.
    """
    out, run_folder = job_folders(out, strategy, resume=resume)
    seed_job(seed, deterministic)
    augmentation = dict(DEFAULT_DETECTION_AUGMENTATION if augmentation is None else augmentation)

    shape = [input_size, input_size, 3]
    dataset = DarknetDatasetYaml(
        data_file,
        shape=shape,
        letter_box=True,
        add_bkg_class=True,
        aug_cfg=dict(augmentation),
        reduced_decode=reduced_decode,
    )
    classes = dataset.get_classes()

    with in_scope(strategy):
        model = build_detection_model(len(classes), input_shape=tuple(shape), width=MODEL_WIDTHS[model_size])
    steps = epochs * steps_per_epoch(dataset.get_num_train_samples(), batch_size, strategy)
    optimizer, warmup = warmup_cosine_adam(learning_rate, steps, strategy)
    if warmup:
        schedule_text = f"linear warm-up over {warmup} steps, then cosine decay to 0 over {steps - warmup} steps"
    else:  # too few steps to warm up
        schedule_text = f"cosine decay to 0 over {steps} steps"
    logger = TensorBoardLogger(os.path.join(run_folder, "tensorboard"))
    loss = DetectionLoss()
    evaluator = DetectionEvaluator(model, training_outputs=TRAINING_OUTPUTS, loss=loss)
    config = {
        "task": "detect",
        "data": data_file,
        "classes": classes,
        "input_shape": shape,
        "epochs": epochs,
        "batch_size": batch_size,
        "learning_rate": learning_rate,
        "schedule": schedule_text,
        "augmentation": augmentation,
        "seed": seed,
        "deterministic": deterministic,
        "ema_decay": ema_decay,
        "reduced_decode": reduced_decode,
        "train_images": dataset.get_num_train_samples(),
        "validation_images": dataset.get_num_val_samples(),
        **(record or {}),
    }
    if strategy is not None:
        config["replicas"] = strategy.num_replicas_in_sync
    trainer = DetectionTrainer(
        model,
        dataset,
        optimizer,
        loss,
        logger=logger,
        checkpoint=run_folder,
        info=config,
        metric=CHECKPOINT_METRIC,
        classes=classes,
        display=display,
        skip_initial_validation=True,
    )
    average_weights(trainer, ema_decay, steps)
    start = start_epoch(trainer, out, resume)
    trainer.train(
        epochs,
        dataset.build_train_iterator(batch_size, strategy=strategy),
        dataset.build_val_iterator(),
        evaluator,
        start=start,
        callback_handler=attach_console(trainer, evaluator, SUMMARY_METRIC),
    )
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
        print(
            f"Best {SUMMARY_METRIC}: {best[SUMMARY_METRIC]:.4f} at epoch {best['epoch']} "
            f"(model: {os.path.join(run_folder, 'best.h5')})"
        )
    print(f"TensorBoard: tensorboard --logdir {os.path.join(run_folder, 'tensorboard')}")
    return result
