"""Trains a tiny detection-shaped Keras model for three epochs with DetectionTrainer.

    python examples/train_detection_minimal.py [run folder]

after `pip install .` (in a development tree built with scripts/dev-build,
put PYTHONPATH=python in front).

The model has the layout the trainer expects: two training-only outputs first,
then the inference outputs (only those go into best.h5 and last.h5). The loss
and the evaluator are small stand-ins for the toolkit's own; the evaluator
records what the trainer hands it.
"""

import csv
import os
import sys
import tempfile

import numpy as np
import tensorflow as tf
from quillon.forgeline.callbacks import TensorBoardLogger
from quillon.forgeline.trainer.detection import DetectionTrainer

SIZE = 32
CLASSES = ["cat", "dog"]


def build_model():
    inputs = tf.keras.Input((SIZE, SIZE, 3))
    x = tf.keras.layers.Conv2D(
        8, 3, padding="same", activation="relu", kernel_regularizer=tf.keras.regularizers.l2(1e-4)
    )(inputs)
    x = tf.keras.layers.MaxPooling2D()(x)
    objectness_train = tf.keras.layers.Conv2D(1, 1, name="objectness_train")(x)
    boxes_train = tf.keras.layers.Conv2D(4, 1, name="boxes_train")(x)
    objectness = tf.keras.layers.Activation("sigmoid", name="objectness")(objectness_train)
    boxes = tf.keras.layers.Activation("sigmoid", name="boxes")(boxes_train)
    return tf.keras.Model(inputs, [objectness_train, boxes_train, objectness, boxes])


class CentreLoss:
    """Regresses every cell's box towards the image's first box; stands in for ForgelineLoss."""

    def compute_loss(self, targets, predictions):
        boxes = targets[0][:, 0, :4] / SIZE
        box_loss = tf.reduce_mean(tf.square(tf.sigmoid(predictions[1]) - boxes[:, None, None, :]))
        objectness_loss = tf.reduce_mean(tf.square(tf.sigmoid(predictions[0]) - 1.0))
        return {"total-loss": box_loss + objectness_loss, "box-loss": box_loss, "objectness-loss": objectness_loss}


class RecordingEvaluator:
    """Reports a fixed detection per image and metrics that grow with the epoch."""

    def __init__(self):
        self.runner = self
        self.records = []
        self.current_plots = {}
        self.current_summary = ""

    def __call__(self, val_messenger, labels):
        self.labels = labels

    def run_single_instance(self, image):
        return np.array([[0.25, 0.25, 0.75, 0.75]]), np.array(["cat"]), np.array([0.9])

    def single_evaluation(self, instances, epoch, add_image):
        gt = instances["gt_instance"]
        self.records.append((epoch, gt["image_path"], list(gt["labels"]), add_image))
        return len(self.records)

    def conclude(self, truth_values, epoch):
        value = epoch / 10
        per_threshold = {"0.5": value, "0.75": value / 2, "0.5:0.95": value / 4}
        self.current_summary = f"epoch {epoch}: {truth_values} images evaluated\n"
        return {
            "mAP": per_threshold,
            "mAR": per_threshold,
            "mACC": per_threshold,
            "OP": value,
            "OR": value,
            "OA": value,
        }

    def save_plots_disk(self, plots, path):
        pass


def datasets():
    rng = np.random.default_rng(0)
    images = rng.integers(0, 256, (16, SIZE, SIZE, 3), dtype=np.uint8)
    boxes = np.tile(np.array([[[8, 8, 24, 24, 1]]], np.float32), (16, 1, 1))
    train = tf.data.Dataset.from_tensor_slices((images, boxes)).batch(4)
    names = np.array([f"image-{i}.jpg".encode() for i in range(4)])
    # Validation boxes are normalised corners; the class column stays as it is.
    validation_boxes = boxes[:4].copy()
    validation_boxes[..., :4] /= SIZE
    validation = tf.data.Dataset.from_tensor_slices((images[:4], validation_boxes, names)).batch(1)
    return train, validation


def main(run_folder):
    model = build_model()
    trainer = DetectionTrainer(
        model=model,
        dataset=None,
        optimizer=tf.keras.optimizers.Adam(1e-3),
        loss=CentreLoss(),
        logger=TensorBoardLogger(os.path.join(run_folder, "logs")),
        checkpoint=run_folder,
        info={"model": "tiny", "input": [SIZE, SIZE, 3]},
        metric="map",
        classes=CLASSES,
        display=1,
    )
    train, validation = datasets()
    evaluator = RecordingEvaluator()
    trainer.train(3, train, validation, evaluator)

    for name in ("config.json", "labels.txt", "best.h5", "last.h5", os.path.join("validation", "results.txt")):
        assert os.path.isfile(os.path.join(run_folder, name)), name
    for name in ("best.h5", "last.h5"):
        saved = tf.keras.models.load_model(os.path.join(run_folder, name), compile=False)
        assert len(saved.outputs) == 2, name
    with open(os.path.join(run_folder, "summary.csv"), newline="") as f:
        rows = list(csv.DictReader(f))
    assert [row["epoch"] for row in rows] == ["0", "1", "2", "3"]  # before training, then every epoch
    return trainer, evaluator


if __name__ == "__main__":
    folder = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="forgeline-run-")
    main(folder)
    print(f"Run folder: {folder}")
    print(open(os.path.join(folder, "summary.csv")).read())
