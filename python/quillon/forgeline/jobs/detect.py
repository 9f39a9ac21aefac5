"""The detection job: train the reference detector on a Darknet data description.

``train_detection(data_file, out)`` builds a ``DarknetDatasetYaml`` from the
description and trains the reference detector with ``DetectionTrainer`` in
the shared run lifecycle (``runner``), validating after every epoch and
keeping best.h5 by mAP@0.5; the run folder ``out/run`` holds config.json,
labels.txt, best.h5, last.h5, summary.csv, validation/ (results.txt and
plots), tensorboard/ and state/.
"""

import os

from quillon.forgeline.callbacks import checkpoint_score
from quillon.forgeline.datasets.darknet import DarknetDatasetYaml
from quillon.forgeline.evaluation.detection import DetectionEvaluator
from quillon.forgeline.jobs.defaults import DETECT
from quillon.forgeline.jobs.options import DEFAULT_DETECTION_AUGMENTATION, DEFAULT_MODEL_SIZE
from quillon.forgeline.jobs.runner import Task, best_pass, job_options, run_job
from quillon.forgeline.losses import MultiLevelDetectionLoss
from quillon.forgeline.models.detection import MODEL_WIDTHS, TRAINING_OUTPUTS, build_detection_model, detection_points
from quillon.forgeline.trainer.detection import DetectionTrainer


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
    weights=None,
    backbone=None,
    backbone_weights=None,
    record=None,
    strategy=None,
    cache=None,
    cache_dir=None,
    reduced_decode=False,
    skip_images=(),
):
    """Trains the reference detector on the Darknet description ``data_file``; returns {"run_folder", "best_epoch",
    "best_map"}.

    ``augmentation`` maps the dataset's augmentations to their frequencies
    (default ``DEFAULT_DETECTION_AUGMENTATION``). ``display``: validation
    images drawn to TensorBoard per pass. ``record`` holds more entries for
    config.json (the ``train`` command's options). A run folder that already
    exists is never overwritten: that raises ``FileExistsError``. ``resume``
    continues the stopped run in ``out/run`` from its last finished epoch
    (``epochs`` stays the number of the last epoch); "best_epoch" and
    "best_map" then cover the epochs trained since resuming.
    Under a tf.distribute ``strategy`` (``quillon.forgeline.jobs.scaling``) the
    model trains on all its replicas; of several workers, only the chief writes
    the run folder. ``reduced_decode``: the dataset's option of decoding training
    JPEGs at the reduced scale the input size allows.
    ``deterministic``: TensorFlow's op determinism on, so that the same seed
    repeats the run bit for bit on the same machine (slower).
    ``ema_decay``: validate and save a moving average of the weights with
    this decay (see ``scaling.average_weights``); None keeps none.
    ``cache``: "ram" or "disk" keeps the decoded training images for the
    epochs after the first (in ``cache_dir``, by default the run folder's
    cache/); None decodes them every epoch.
    ``weights``: a model file or run folder to start from
    (``weights.start_from``). ``backbone``, ``backbone_weights``: see
    ``models.detection.build_detection_model``. ``skip_images``: image files
    left out of the data (the ``train`` command's check found them undecodable).
    """
    augmentation = dict(DEFAULT_DETECTION_AUGMENTATION if augmentation is None else augmentation)

    def summarize(dataset, passes, run_folder):
        epoch, best = best_pass(passes, lambda metrics: checkpoint_score(metrics, "map"))
        entries = {"best_epoch": epoch, "best_map": checkpoint_score(best, "map") if best else None}
        lines = []
        if best:
            model_file = os.path.join(run_folder, "best.h5")
            lines.append(f"Best mAP@0.5: {entries['best_map']:.4f} at epoch {epoch} (model: {model_file})")
        return entries, lines

    task = Task(
        name="detect",
        data=data_file,
        build_dataset=lambda shape: DarknetDatasetYaml(
            data_file,
            shape=shape,
            letter_box=True,
            add_bkg_class=True,
            aug_cfg=dict(augmentation),
            reduced_decode=reduced_decode,
        ),
        build_model=lambda dataset, shape: build_detection_model(
            len(dataset.get_classes()),
            shape,
            MODEL_WIDTHS[model_size],
            backbone=backbone,
            backbone_weights=backbone_weights,
        ),
        build_loss=lambda dataset: MultiLevelDetectionLoss(detection_points((input_size, input_size))),
        build_evaluator=lambda model, dataset, loss: DetectionEvaluator(
            model, training_outputs=TRAINING_OUTPUTS, loss=loss
        ),
        trainer=DetectionTrainer,
        metric="map",  # best.h5 by mAP@0.5
        describe=lambda dataset: {"classes": dataset.get_classes()},
        summarize=summarize,
        settings={"augmentation": augmentation, "reduced_decode": reduced_decode},
    )
    return run_job(task, out, **job_options(locals()))
