"""What training under a tf.distribute strategy costs, and what two replicas give.

The reference detector (quillon.forgeline.models.detection), MultiLevelDetectionLoss
and Adam train with DetectionTrainer.train on the same in-memory batches
(uint8 images and padded boxes, global batch 16), measured in one run:

  one        no strategy: today's single-device step;
  mirrored1  MirroredStrategy over one device: the distributed path (the
             dataset distributed by the trainer, strategy.run, the reduced
             loss dictionary, the end-of-epoch averaging of the batch-norm
             statistics) at one replica;
  mirrored2  MirroredStrategy over two logical CPU devices: two replicas of
             8 images each per step.

Figures: mirrored1 / one in time per epoch (target <= 1.05), and the
throughput of mirrored2 against one (informative: on a CPU, the two logical
devices share the same cores, so this shows the cost of splitting a step,
not a speed-up; on GPUs each replica has a device of its own).

    PYTHONPATH=python python bench/distributed_overhead.py [--steps 100] [--rounds 4] [--quick]
"""

import contextlib
import io
import tempfile

import common  # noqa: F401  (quiets TensorFlow first)
import tensorflow as tf  # noqa: E402

# Two logical CPU devices, before TensorFlow's first operation.
_CPU = tf.config.list_physical_devices("CPU")[0]
tf.config.set_logical_device_configuration(_CPU, [tf.config.LogicalDeviceConfiguration()] * 2)

from quillon.forgeline.callbacks import ForgelineTrainingCallback, TensorBoardLogger  # noqa: E402
from quillon.forgeline.losses import MultiLevelDetectionLoss  # noqa: E402
from quillon.forgeline.models.detection import build_detection_model  # noqa: E402
from quillon.forgeline.trainer.detection import DetectionTrainer  # noqa: E402
from trainer_overhead import BATCH, CLASSES, SIZE, in_memory_batches  # noqa: E402


def main():
    args = common.arguments(__doc__, "steps", 100, "training steps per epoch", 4, (20, 1))

    batches = in_memory_batches(args.steps)
    strategies = {
        "one": None,
        "mirrored1": tf.distribute.MirroredStrategy(["/cpu:0"]),
        "mirrored2": tf.distribute.MirroredStrategy(["/cpu:0", "/cpu:1"]),
    }
    callbacks = ForgelineTrainingCallback()
    with tempfile.TemporaryDirectory() as folder:
        runs, loggers = {}, []
        for name, strategy in strategies.items():
            tf.keras.utils.set_random_seed(0)
            with strategy.scope() if strategy else contextlib.nullcontext():
                model = build_detection_model(len(CLASSES), input_shape=(SIZE, SIZE, 3))
                optimizer = tf.keras.optimizers.Adam(1e-3)
            logger = TensorBoardLogger(f"{folder}/{name}/tensorboard")
            loggers.append(logger)
            with contextlib.redirect_stdout(io.StringIO()):  # the trainer's checkpoint lines
                trainer = DetectionTrainer(
                    model,
                    None,
                    optimizer,
                    MultiLevelDetectionLoss.for_model(model),
                    logger=logger,
                    checkpoint=f"{folder}/{name}",
                    classes=CLASSES,
                )

            def train(data=batches, trainer=trainer):
                with contextlib.redirect_stdout(io.StringIO()):
                    trainer.train(1, data, evaluator=None, callback_handler=callbacks)
                return len(data)

            runs[name] = train
            train(batches.take(5))  # warm-up: tracing, the first save
        seconds, _ = common.best_of(runs, args.rounds, warmup=0)
        for logger in loggers:
            logger.close()

    common.results(
        f"distributed overhead: reference detector {SIZE}x{SIZE}, global batch {BATCH}, {args.steps} steps per "
        f"epoch, best of {args.rounds}, {common.cores()} cores",
        seconds,
        lambda name, time: f"{time:7.2f} s per epoch   {BATCH * args.steps / time:7.1f} images/s",
        [("distributed_overhead/one_replica", "mirrored1", "one", "<=", 1.05)],
    )
    common.say(
        f"two replicas on two logical CPU devices: {seconds['one'] / seconds['mirrored2']:.3f} x the "
        "throughput of one device (informative)"
    )


if __name__ == "__main__":
    main()
