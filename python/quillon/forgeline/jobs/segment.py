"""The segmentation job: train the reference U-Net on folders of images and class-index masks.

``train_segmentation(folders, data, out)`` pairs the images with their masks
(``SegmentationDataset``), trains with ``SegmentationTrainer`` and validates
after every epoch, leaving the run folder ``out/run`` with config.json,
labels.txt, best.h5, last.h5, summary.csv, validation/ (results.txt,
confusion matrix and sample overlays), tensorboard/ and state/.
"""

import os

import numpy as np
from PIL import Image

from quillon.forgeline.callbacks import CallbackList, ForgelineTrainingCallback, TensorBoardLogger, attach_console
from quillon.forgeline.datasets.segmentation import SegmentationDataset
from quillon.forgeline.demo.defaults import SEGMENT
from quillon.forgeline.jobs.options import DEFAULT_MODEL_SIZE
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
from quillon.forgeline.losses import SegmentationLoss
from quillon.forgeline.models.segmentation import build_segmentation_model
from quillon.forgeline.trainer.segmentation import SegmentationTrainer
from quillon.validator.segmentation import SegmentationEvaluator, metrics_from_confusion

# Channels of the U-Net's levels, finest first, for each --model-size.
MODEL_FILTERS = {"small": (8, 16, 32), "medium": (16, 32, 64), "large": (32, 64, 128)}
CHECKPOINT_METRIC = "map"  # the trainer keeps best.h5 by mean pixel precision ("mAP")


class MetricsHistory(ForgelineTrainingCallback):
    """Keeps every validation pass's metrics as (epoch, metrics) pairs."""

    def __init__(self):
        self.epoch = 0
        self.passes = []

    def on_epoch_start(self, epoch):
        self.epoch = epoch

    def on_evaluaiton_end(self, metrics):
        self.passes.append((self.epoch, dict(metrics)))


def train_segmentation(
    folders,
    data,
    out,
    epochs=SEGMENT.DEFAULT_EPOCHS,
    seed=0,
    deterministic=False,
    ema_decay=None,
    batch_size=SEGMENT.DEFAULT_BATCH_SIZE,
    learning_rate=SEGMENT.DEFAULT_LEARNING_RATE,
    input_size=SEGMENT.DEFAULT_INPUT_SIZE,
    model_size=DEFAULT_MODEL_SIZE,
    flip=True,
    display=4,
    resume=False,
    record=None,
    strategy=None,
):
    """Trains the reference segmenter; returns {"run_folder", "best_epoch", "best_miou", "final_miou", "baseline_miou"}.

    ``folders`` holds "train_images", "train_masks", "val_images",
    "val_masks" (folder paths) and "classes" (class names, index = mask
    value, 0 the background); ``data`` is what config.json names as the
    data. ``flip`` mirrors training samples left-right half of the time.
    "baseline_miou" is the mean IoU of predicting the most frequent
    validation class everywhere. ``record`` holds more entries for
    config.json (the ``train`` command's options). A run folder that already
    exists is never overwritten: that raises ``FileExistsError``. ``resume``
    continues the stopped run in ``out/run`` from its last finished epoch
    (``epochs`` stays the number of the last epoch). "best_epoch" and
    "best_miou" then cover the epochs trained since resuming. Under a
    tf.distribute ``strategy`` (``quillon.forgeline.jobs.scaling``) the model
    trains on all its replicas; of several workers, only the chief writes the
    run folder.
    ``deterministic``: TensorFlow's op determinism on, so that the same seed
    repeats the run bit for bit on the same machine (slower).
    ``ema_decay``: validate and save a moving average of the weights with
    this decay (see ``scaling.average_weights``); None keeps none.
    """
    out, run_folder = job_folders(out, strategy, resume=resume)
    seed_job(seed, deterministic)
    classes = folders["classes"]
    shape = [input_size, input_size, 3]
    dataset = SegmentationDataset(
        shape,
        folders["train_images"],
        folders["train_masks"],
        folders["val_images"],
        folders["val_masks"],
        num_classes=len(classes),
        flip=flip,
    )

    with in_scope(strategy):
        model = build_segmentation_model(tuple(shape), len(classes), filters=MODEL_FILTERS[model_size])
    steps = epochs * steps_per_epoch(dataset.get_num_train_samples(), batch_size, strategy)
    optimizer, warmup = warmup_cosine_adam(learning_rate, steps, strategy)
    logger = TensorBoardLogger(os.path.join(run_folder, "tensorboard"))
    loss = SegmentationLoss(len(classes))
    evaluator = SegmentationEvaluator(model, background=0, loss=loss)
    config = {
        "task": "segment",
        "data": data,
        "classes": classes,
        "input_shape": shape,
        "epochs": epochs,
        "batch_size": batch_size,
        "learning_rate": learning_rate,
        "schedule": f"linear warm-up over {warmup} steps, then cosine decay to 0",
        "augmentation": {"flip_lr": 0.5 if flip else 0.0},
        "loss": "cross-entropy + soft Dice",
        "seed": seed,
        "deterministic": deterministic,
        "ema_decay": ema_decay,
        "train_images": dataset.get_num_train_samples(),
        "validation_images": dataset.get_num_val_samples(),
        **(record or {}),
    }
    if strategy is not None:
        config["replicas"] = strategy.num_replicas_in_sync
    trainer = SegmentationTrainer(
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
    history = MetricsHistory()
    average_weights(trainer, ema_decay, steps)
    start = start_epoch(trainer, out, resume)
    trainer.train(
        epochs,
        dataset.build_train_iterator(batch_size, strategy=strategy),
        dataset.build_val_iterator(),
        evaluator,
        start=start,
        callback_handler=CallbackList([history, attach_console(trainer, evaluator, "mIoU")]),
    )
    logger.flush()
    if not is_chief(strategy):  # it validated nothing; its scratch folder is no run
        return {"run_folder": None, "best_epoch": None, "best_miou": None, "final_miou": None, "baseline_miou": None}

    baseline = most_frequent_class_miou(dataset.val_storage, len(classes))
    best_epoch, best = max(history.passes, key=lambda item: item[1]["mIoU"], default=(None, None))
    result = {
        "run_folder": run_folder,
        "best_epoch": best_epoch,
        "best_miou": best["mIoU"] if best else None,
        "final_miou": history.passes[-1][1]["mIoU"] if history.passes else None,
        "baseline_miou": baseline,
    }
    print(f"\nRun folder: {run_folder}")
    if best:
        print(
            f"Mean IoU: {result['final_miou']:.4f} after the last epoch, best {best['mIoU']:.4f} at epoch {best_epoch}; "
            f"predicting the most frequent class everywhere gives {baseline:.4f}"
        )
        print(f"Per-class results: {os.path.join(run_folder, 'validation', 'results.txt')}")
    print(f"TensorBoard: tensorboard --logdir {os.path.join(run_folder, 'tensorboard')}")
    return result


def most_frequent_class_miou(storage, num_classes):
    """Mean IoU of a model that predicts the most frequent class of the masks everywhere."""
    counts = np.zeros(num_classes, np.int64)
    for _, mask_path in storage:
        with Image.open(mask_path) as mask:
            counts += np.bincount(np.asarray(mask).ravel(), minlength=num_classes)[:num_classes]
    confusion = np.zeros((num_classes, num_classes), np.int64)
    confusion[:, int(np.argmax(counts))] = counts
    metrics, _ = metrics_from_confusion(confusion, background=0)
    return metrics["mIoU"]
