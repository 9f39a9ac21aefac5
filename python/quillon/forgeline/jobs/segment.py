"""The segmentation job: train the reference U-Net on folders of images and class-index masks.

``train_segmentation(folders, data, out)`` pairs the images with their masks
(``SegmentationDataset``) and trains with ``SegmentationTrainer`` in the
shared run lifecycle (``runner``), validating after every epoch and keeping
best.h5 by mean pixel precision ("mAP"); the run folder ``out/run`` holds
config.json, labels.txt, best.h5, last.h5, summary.csv, validation/
(results.txt, confusion matrix and sample overlays), tensorboard/ and state/.
"""

import os

import numpy as np
from PIL import Image

from quillon.forgeline.datasets.segmentation import SegmentationDataset
from quillon.forgeline.evaluation.segmentation import SegmentationEvaluator, metrics_from_confusion
from quillon.forgeline.jobs.defaults import SEGMENT
from quillon.forgeline.jobs.options import DEFAULT_MODEL_SIZE
from quillon.forgeline.jobs.runner import Task, job_options, run_job
from quillon.forgeline.losses import SegmentationLoss
from quillon.forgeline.models.segmentation import build_segmentation_model
from quillon.forgeline.trainer.segmentation import SegmentationTrainer

# Channels of the U-Net's levels, finest first, for each --model-size.
MODEL_FILTERS = {"small": (8, 16, 32), "medium": (16, 32, 64), "large": (32, 64, 128)}


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
    weights=None,
    record=None,
    strategy=None,
    cache=None,
    cache_dir=None,
    skip_images=(),
):
    """Trains the reference segmenter; returns {"run_folder", "best_epoch", "best_miou", "final_miou", "baseline_miou"}.

    ``folders`` holds "train_images", "train_masks", "val_images",
    "val_masks" (folder paths) and "classes" (class names, index = mask
    value, 0 the background); ``data`` is what config.json names as the
    data. ``flip`` mirrors training samples left-right half of the time.
    "baseline_miou" is the mean IoU of predicting the most frequent
    validation class everywhere. The other arguments are the detection
    job's (``detect.train_detection``); "best_epoch" and "best_miou" of a
    resumed run cover the epochs trained since resuming.
    ``weights``: a model file or run folder to start from (``weights.start_from``).
    """
    classes = folders["classes"]

    def summarize(dataset, passes, run_folder):
        if not passes:
            return dict.fromkeys(("best_epoch", "best_miou", "final_miou", "baseline_miou")), []
        baseline = most_frequent_class_miou(dataset.val_storage, len(classes))
        best_epoch, best = max(passes, key=lambda item: item[1]["mIoU"])
        entries = {
            "best_epoch": best_epoch,
            "best_miou": best["mIoU"],
            "final_miou": passes[-1][1]["mIoU"],
            "baseline_miou": baseline,
        }
        lines = [
            f"Mean IoU: {entries['final_miou']:.4f} after the last epoch, best {best['mIoU']:.4f} at epoch "
            f"{best_epoch}; predicting the most frequent class everywhere gives {baseline:.4f}",
            f"Per-class results: {os.path.join(run_folder, 'validation', 'results.txt')}",
        ]
        return entries, lines

    task = Task(
        name="segment",
        data=data,
        build_dataset=lambda shape: SegmentationDataset(
            shape,
            folders["train_images"],
            folders["train_masks"],
            folders["val_images"],
            folders["val_masks"],
            num_classes=len(classes),
            flip=flip,
        ),
        build_model=lambda dataset, shape: build_segmentation_model(
            shape, len(classes), filters=MODEL_FILTERS[model_size]
        ),
        build_loss=lambda dataset: SegmentationLoss(len(classes)),
        build_evaluator=lambda model, dataset, loss: SegmentationEvaluator(model, background=0, loss=loss),
        trainer=SegmentationTrainer,
        metric="map",  # best.h5 by mean pixel precision ("mAP")
        describe=lambda dataset: {"classes": classes},
        summarize=summarize,
        settings={"augmentation": {"flip_lr": 0.5 if flip else 0.0}, "loss": "cross-entropy + soft Dice"},
    )
    return run_job(task, out, **job_options(locals()))


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
