"""What DetectionTrainer.train adds on top of the training step itself.

The reference detector (quillon.forgeline.models.detection), MultiLevelDetectionLoss
and Adam train on the same in-memory batches (uint8 images and padded boxes,
batch 16), measured in one run:

  train      one epoch of DetectionTrainer.train: no evaluator, the
             TensorBoard logger (quillon.forgeline.callbacks.TensorBoardLogger),
             the progress bar, the end-of-epoch save of last.h5;
  bare       a plain loop calling the same compiled trainer.train_step over
             the same batches;
  fit        Keras model.fit for one epoch with the same model, loss,
             optimizer and data (a keras.Model whose train_step runs the same
             loss; its progress bar on).

Figures: train / bare (target <= 1.03) and train / fit (<= 1.0), in time per
epoch. The save of last.h5 (about 70 ms here) is a cost per epoch, spread
over the epoch's steps. Single epochs of the same step vary by a few per
cent on a 2-core machine, about as much as the differences measured: take
the figures as +-2 per cent.

    PYTHONPATH=python python bench/trainer_overhead.py [--steps 200] [--rounds 6] [--quick]
"""

import contextlib
import io
import sys
import tempfile

import common  # noqa: F401  (quiets TensorFlow first)
import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402
from quillon.forgeline.callbacks import ForgelineTrainingCallback, TensorBoardLogger  # noqa: E402
from quillon.forgeline.losses import MultiLevelDetectionLoss  # noqa: E402
from quillon.forgeline.models.detection import build_detection_model  # noqa: E402
from quillon.forgeline.trainer.detection import DetectionTrainer  # noqa: E402

SIZE = 128
BATCH = 16
CLASSES = ["background", "circle", "square", "triangle"]
BOXES_PER_IMAGE = 4


def in_memory_batches(steps):
    """A dataset of `steps` batches (uint8 images, float32 boxes [B, N, 5] in pixels), held in memory."""
    rng = np.random.default_rng(0)
    count = steps * BATCH
    images = rng.integers(0, 256, (count, SIZE, SIZE, 3), dtype=np.uint8)
    corners = np.sort(rng.uniform(0, SIZE, (count, BOXES_PER_IMAGE, 2, 2)), axis=2)  # x1 < x2, y1 < y2
    labels = rng.integers(1, len(CLASSES), (count, BOXES_PER_IMAGE, 1))
    boxes = np.concatenate([corners[:, :, 0, :], corners[:, :, 1, :], labels], axis=2).astype(np.float32)
    batches = tf.data.Dataset.from_tensor_slices((images, boxes)).batch(BATCH).cache()
    # With tf.data's autotuning on, TensorFlow now and then ran a whole epoch
    # of the model's steps a third slower (any of the three variants, on 2
    # cores): noise that would swamp the few per cent measured here.
    options = tf.data.Options()
    options.autotune.enabled = False
    return batches.with_options(options)


class FitModel(tf.keras.Model):
    """The detector under model.fit, stepping exactly as DetectionTrainer.train_step does."""

    def __init__(self, network, detection_loss):
        super().__init__()
        self.network = network
        self.detection_loss = detection_loss

    def call(self, images, training=False):
        return self.network(images, training=training)

    def train_step(self, data):
        images, boxes = data
        with tf.GradientTape() as tape:
            outputs = self.network(tf.cast(images, tf.float32) / 255.0, training=True)
            losses = self.detection_loss.compute_loss((boxes,), tuple(outputs))
            full_loss = losses["total-loss"] + tf.reduce_sum(self.network.losses)
        variables = self.network.trainable_variables
        self.optimizer.apply_gradients(zip(tape.gradient(full_loss, variables), variables))
        return {"loss": losses["total-loss"]}


def main():
    args = common.arguments(__doc__, "steps", 200, "training steps per epoch", 6, (30, 1))

    tf.keras.utils.set_random_seed(0)
    batches = in_memory_batches(args.steps)
    model = build_detection_model(len(CLASSES), input_shape=(SIZE, SIZE, 3))
    optimizer = tf.keras.optimizers.Adam(1e-3)
    loss = MultiLevelDetectionLoss.for_model(model)
    fit_model = FitModel(model, loss)
    fit_model.compile(optimizer=optimizer)
    callbacks = ForgelineTrainingCallback()

    with tempfile.TemporaryDirectory() as run_folder:
        logger = TensorBoardLogger(f"{run_folder}/tensorboard")
        with contextlib.redirect_stdout(io.StringIO()):  # the trainer's checkpoint lines
            trainer = DetectionTrainer(
                model, None, optimizer, loss, logger=logger, checkpoint=run_folder, classes=CLASSES
            )

        def train(data=batches):
            with contextlib.redirect_stdout(io.StringIO()):
                trainer.train(1, data, evaluator=None, callback_handler=callbacks)
            return len(data)

        def bare(data=batches):
            for batch in data:
                losses = trainer.train_step(batch)
            losses["total-loss"].numpy()  # the last step has finished
            return len(data)

        def fit(data=batches):
            # Keras draws its bar on stdout; ours draws on stderr.
            with contextlib.redirect_stdout(sys.stderr):
                fit_model.fit(data, epochs=1, verbose=1)
            return len(data)

        # Warm-up (tracing, the first save) on a few steps, not on whole epochs.
        for run in (train, bare, fit):
            run(batches.take(5))
        seconds, _ = common.best_of({"train": train, "bare": bare, "fit": fit}, args.rounds, warmup=0)
        logger.close()

    common.results(
        f"trainer overhead: reference detector {SIZE}x{SIZE}, batch {BATCH}, {args.steps} steps per epoch, "
        f"best of {args.rounds}",
        seconds,
        lambda name, time: f"{time:7.2f} s per epoch   {1000 * time / args.steps:7.1f} ms per step",
        [
            ("trainer_overhead/bare", "train", "bare", "<=", 1.03),
            ("trainer_overhead/fit", "train", "fit", "<=", 1.0),
        ],
    )


if __name__ == "__main__":
    main()
