"""The head-pose job: train the reference attitude model on folders of images and pose annotations.

``train_headpose(folders, annotations, data, out)`` trains with
``DetectionTrainer`` on an attitude dataset's training pipeline, then loads
the saved ``last.h5`` and measures its mean absolute angle errors on the
validation split. The run folder ``out/run`` holds config.json, last.h5 (the
inference model: angles only) and best.h5 (the same model), validation/results.txt and
validation/results.json, tensorboard/ and state/.

The trainer's own validation pass expects detection data, so training runs
without an evaluator and the angles are measured once, after the last epoch.
"""

import json
import os
import shutil

import tensorflow as tf

from quillon.forgeline.callbacks import TensorBoardLogger, attach_console
from quillon.forgeline.datasets.attitude import AttitudeDataset, AttitudeDatasetJson
from quillon.forgeline.demo.defaults import HEADPOSE
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
from quillon.forgeline.losses import AttitudeLoss
from quillon.forgeline.models.headpose import DEFAULT_ANGLE_RANGE, build_headpose_model
from quillon.forgeline.run_files import save_atomically, write_text_atomically
from quillon.forgeline.trainer.detection import DetectionTrainer
from quillon.validator.headpose import evaluate_attitude, format_attitude_report

ANNOTATION_FORMATS = HEADPOSE.ANNOTATION_FORMATS
# Channels of the model's convolution stages for each --model-size.
MODEL_FILTERS = {"small": (8, 16, 32, 48), "medium": (16, 32, 64, 96), "large": (32, 64, 128, 192)}


def train_headpose(
    folders,
    annotations,
    data,
    out,
    epochs=HEADPOSE.DEFAULT_EPOCHS,
    seed=0,
    deterministic=False,
    ema_decay=None,
    batch_size=HEADPOSE.DEFAULT_BATCH_SIZE,
    learning_rate=HEADPOSE.DEFAULT_LEARNING_RATE,
    input_size=HEADPOSE.DEFAULT_INPUT_SIZE,
    model_size=DEFAULT_MODEL_SIZE,
    resume=False,
    record=None,
    strategy=None,
    reduced_decode=False,
):
    """Trains the reference head-pose model; returns {"run_folder", "mae", "baseline_mae", "count"}.

    ``folders`` holds "train_images", "train_annotations", "val_images",
    "val_annotations" (folder paths). annotations: "json" trains on
    ``AttitudeDatasetJson`` (the head cut out by its box, randomly
    mirrored), "mat" on ``AttitudeDataset`` (the whole image, MATLAB pose
    files). ``data`` is what config.json names as the data; ``record`` holds
    more entries for it (the ``train`` command's options). Errors are in the
    annotations' unit. A run folder that already exists is never
    overwritten: that raises ``FileExistsError``. ``resume`` continues the
    stopped run in ``out/run`` from its last finished epoch (``epochs``
    stays the number of the last epoch). Under a tf.distribute ``strategy``
    (``quillon.forgeline.jobs.scaling``) the model trains on all its replicas;
    of several workers, only the chief writes the run folder and measures the
    angles. ``reduced_decode``: the dataset's option of decoding JPEGs at the
    reduced scale the input size allows.
    ``deterministic``: TensorFlow's op determinism on, so that the same seed
    repeats the run bit for bit on the same machine (slower).
    ``ema_decay``: validate and save a moving average of the weights with
    this decay (see ``scaling.average_weights``); None keeps none.
    """
    if annotations not in ANNOTATION_FORMATS:
        raise ValueError(f"train_headpose: annotations must be one of {ANNOTATION_FORMATS}, got {annotations!r}")
    out, run_folder = job_folders(out, strategy, resume=resume)
    seed_job(seed, deterministic)

    shape = [input_size, input_size, 3]
    if annotations == "json":
        dataset = AttitudeDatasetJson(
            shape=shape,
            train_images=folders["train_images"],
            train_annotations=folders["train_annotations"],
            val_images=folders["val_images"],
            val_annotations=folders["val_annotations"],
            reduced_decode=reduced_decode,
        )
    else:
        dataset = AttitudeDataset(
            shape=shape,
            train_images=folders["train_images"],
            train_annotations=folders["train_annotations"],
            val_images=folders["val_images"],
            val_annotations=folders["val_annotations"],
            file_extension="mat",
            reduced_decode=reduced_decode,
        )

    with in_scope(strategy):
        model = build_headpose_model(
            tuple(shape), num_bins=dataset.num_bins, angle_range=DEFAULT_ANGLE_RANGE, filters=MODEL_FILTERS[model_size]
        )
    steps = epochs * steps_per_epoch(dataset.get_num_train_samples(), batch_size, strategy)
    optimizer, warmup = warmup_cosine_adam(learning_rate, steps, strategy)
    logger = TensorBoardLogger(os.path.join(run_folder, "tensorboard"))
    config = {
        "task": "headpose",
        "data": data,
        "annotations": annotations,
        "input_shape": shape,
        "angles": "pitch, yaw, roll in degrees",
        "num_bins": dataset.num_bins,
        "angle_range": list(DEFAULT_ANGLE_RANGE),
        "epochs": epochs,
        "batch_size": batch_size,
        "learning_rate": learning_rate,
        "schedule": f"linear warm-up over {warmup} steps, then cosine decay to 0",
        "loss": "bin cross-entropy + 0.5 x angle error in bins",
        "seed": seed,
        "deterministic": deterministic,
        "ema_decay": ema_decay,
        "reduced_decode": reduced_decode,
        "train_images": dataset.get_num_train_samples(),
        "validation_images": len(dataset.val_storage),
        **(record or {}),
    }
    if strategy is not None:
        config["replicas"] = strategy.num_replicas_in_sync
    trainer = DetectionTrainer(
        model,
        dataset,
        optimizer,
        AttitudeLoss(num_bins=dataset.num_bins, angle_range=DEFAULT_ANGLE_RANGE),
        logger=logger,
        checkpoint=run_folder,
        info=config,
        classes=[],
        display=0,
    )
    average_weights(trainer, ema_decay, steps)
    start = start_epoch(trainer, out, resume)
    trainer.train(
        epochs,
        dataset.build_train_iterator(batch_size, strategy=strategy),
        None,
        None,
        start=start,
        callback_handler=attach_console(trainer),
    )
    if not is_chief(strategy):  # it saved no model; its scratch folder is no run
        return {"run_folder": None}
    logger.flush()
    # Nothing validates during training, so the last epoch's model is the best
    # this run knows: best.h5, which the trainer announced, holds it.
    save_atomically(trainer.best, lambda temporary: shutil.copyfile(trainer.last, temporary))

    # Measure the file a user gets, not the in-memory model.
    saved = tf.keras.models.load_model(trainer.last, compile=False)
    results = evaluate_attitude(saved, dataset, seed=seed)
    report = format_attitude_report(results)
    validation_folder = os.path.join(run_folder, "validation")
    _write_text(os.path.join(validation_folder, "results.txt"), report + "\n")
    _write_text(os.path.join(validation_folder, "results.json"), json.dumps(results, indent=2) + "\n")

    print(f"\n{report}\n\nRun folder: {run_folder}")
    print(f"TensorBoard: tensorboard --logdir {os.path.join(run_folder, 'tensorboard')}")
    return {"run_folder": run_folder, **results}


def _write_text(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    write_text_atomically(path, text)
