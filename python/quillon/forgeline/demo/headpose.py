"""The head-pose demo: train the reference attitude model on built-in synthetic heads.

``run_headpose_demo(out)`` does what ``python -m quillon.forgeline.demo
headpose`` does: it writes the dataset to ``out/data`` (or reuses it), trains
with ``DetectionTrainer`` on an attitude dataset's training pipeline, then
loads the saved ``last.h5`` and measures its mean absolute angle errors on
the validation split. The run folder ``out/run`` holds config.json, last.h5
(the inference model: angles only), validation/results.txt and
validation/results.json, and tensorboard/.

The trainer's own validation pass expects detection data, so training runs
without an evaluator and the angles are measured once, after the last epoch.

Under a tf.distribute ``strategy`` (see ``demo.scaling``) the model trains on
all its replicas; of several workers, only the chief writes the run folder
and measures the angles.
"""

import json
import os

import tensorflow as tf

from quillon.forgeline.callbacks import TensorBoardLogger
from quillon.forgeline.datasets.attitude import AttitudeDataset, AttitudeDatasetJson
from quillon.forgeline.demo.defaults import HEADPOSE
from quillon.forgeline.demo.data_headpose import generate_headpose_dataset
from quillon.forgeline.demo.scaling import in_scope, is_chief, job_folders, start_epoch, steps_per_epoch
from quillon.forgeline.losses import AttitudeLoss
from quillon.forgeline.models.headpose import DEFAULT_ANGLE_RANGE, build_headpose_model
from quillon.forgeline.run_files import write_text_atomically
from quillon.forgeline.trainer.detection import DetectionTrainer
from quillon.validator.headpose import evaluate_attitude, format_attitude_report

DEFAULT_EPOCHS = HEADPOSE.DEFAULT_EPOCHS
DEFAULT_IMAGES = HEADPOSE.DEFAULT_IMAGES
DEFAULT_BATCH_SIZE = HEADPOSE.DEFAULT_BATCH_SIZE
DEFAULT_LEARNING_RATE = HEADPOSE.DEFAULT_LEARNING_RATE
DEFAULT_INPUT_SIZE = HEADPOSE.DEFAULT_INPUT_SIZE
ANNOTATION_FORMATS = HEADPOSE.ANNOTATION_FORMATS


def run_headpose_demo(out, epochs=DEFAULT_EPOCHS, seed=0, images=DEFAULT_IMAGES, batch_size=DEFAULT_BATCH_SIZE,
                      learning_rate=DEFAULT_LEARNING_RATE, input_size=DEFAULT_INPUT_SIZE, annotations="json",
                      resume=False, strategy=None, reduced_decode=True):
    """Trains the demo head-pose model; returns {"run_folder", "mae", "baseline_mae", "count"}.

    annotations: "json" trains on ``AttitudeDatasetJson`` (the head cut out
      by its box, randomly mirrored), "mat" on ``AttitudeDataset`` (the whole
      image, MATLAB pose files).
    ``reduced_decode``: the dataset's option of decoding JPEGs at the reduced
      scale the input size allows (the generated images are PNG).
    ``images`` is the number of training images; the validation split gets a
    quarter as many (at least one). Errors are in degrees. A run folder that
    already exists is never overwritten: that raises ``FileExistsError``.
    ``resume`` continues the stopped run in ``out/run`` from its last finished
    epoch (``epochs`` stays the number of the last epoch).
    """
    if annotations not in ANNOTATION_FORMATS:
        raise ValueError(f"run_headpose_demo: annotations must be one of {ANNOTATION_FORMATS}, got {annotations!r}")
    out, run_folder = job_folders(out, strategy, resume=resume)
    tf.keras.utils.set_random_seed(seed)

    # Drawn half as large again as the model input, so the JSON crop of the head keeps its detail.
    folders = generate_headpose_dataset(
        os.path.join(out, "data"), seed=seed, train_images=images, validation_images=max(1, images // 4),
        size=input_size * 3 // 2,
    )
    shape = [input_size, input_size, 3]
    if annotations == "json":
        dataset = AttitudeDatasetJson(
            shape=shape, train_images=folders["train_images"], train_annotations=folders["train_json"],
            val_images=folders["val_images"], val_annotations=folders["val_json"], reduced_decode=reduced_decode,
        )
    else:
        dataset = AttitudeDataset(
            shape=shape, train_images=folders["train_images"], train_annotations=folders["train_mat"],
            val_images=folders["val_images"], val_annotations=folders["val_mat"], file_extension="mat",
            reduced_decode=reduced_decode,
        )

    with in_scope(strategy):
        model = build_headpose_model(tuple(shape), num_bins=dataset.num_bins, angle_range=DEFAULT_ANGLE_RANGE)
    steps = epochs * steps_per_epoch(dataset.get_num_train_samples(), batch_size, strategy)
    warmup = min(30, steps // 4)
    schedule = tf.keras.optimizers.schedules.CosineDecay(
        initial_learning_rate=0.0, decay_steps=max(1, steps - warmup), warmup_target=learning_rate, warmup_steps=warmup
    )
    with in_scope(strategy):
        optimizer = tf.keras.optimizers.Adam(learning_rate=schedule)
    logger = TensorBoardLogger(os.path.join(run_folder, "tensorboard"))
    config = {
        "task": "headpose",
        "data": os.path.dirname(os.path.dirname(folders["train_images"])),
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
        "train_images": dataset.get_num_train_samples(),
        "validation_images": len(dataset.val_storage),
    }
    if strategy is not None:
        config["replicas"] = strategy.num_replicas_in_sync
    trainer = DetectionTrainer(
        model, dataset, optimizer, AttitudeLoss(num_bins=dataset.num_bins, angle_range=DEFAULT_ANGLE_RANGE),
        logger=logger, checkpoint=run_folder, info=config, classes=[], display=0,
    )
    start = start_epoch(trainer, out, resume)
    trainer.train(epochs, dataset.build_train_iterator(batch_size, strategy=strategy), None, None, start=start)
    logger.flush()
    if not is_chief(strategy):  # it saved no model; its scratch folder is no run
        return {"run_folder": None}

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
