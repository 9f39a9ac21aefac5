"""What a validation pass adds on top of running the model on each image.

The reference detector (quillon.forgeline.models.detection, 320x320 input,
as built) and the reference evaluator (quillon.forgeline.evaluation.detection) go over
the same validation images (640x480, three objects each, from a Darknet
dataset's validation pipeline, held in memory so that decoding counts for
neither), measured in one run:

  pass     DetectionTrainer.run_validation_step: the runner on every image,
           the instance records, the evaluator's matching, 4 images drawn to
           TensorBoard, the metrics, and the checkpoint save (last.h5 and,
           as the score never drops below the best, best.h5);
  runner   evaluator.runner.run_single_instance on every image, alone.

Figure: pass / runner (target <= 1.1), in time per pass.

    PYTHONPATH=python python bench/validation_pass.py [--images 1000] [--rounds 3] [--quick]
"""

import contextlib
import io
import os
import tempfile

import common  # noqa: F401  (quiets TensorFlow first)
import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402
from quillon.forgeline.callbacks import TensorBoardLogger  # noqa: E402
from quillon.forgeline.datasets.darknet import DarknetDataset  # noqa: E402
from quillon.forgeline.evaluation.detection import DetectionEvaluator  # noqa: E402
from quillon.forgeline.losses import MultiLevelDetectionLoss  # noqa: E402
from quillon.forgeline.models.detection import TRAINING_OUTPUTS, build_detection_model  # noqa: E402
from quillon.forgeline.trainer.detection import DetectionTrainer  # noqa: E402

HEIGHT, WIDTH = 480, 640
INPUT = [320, 320, 3]
DISPLAY = 4


def main():
    args = common.arguments(__doc__, "images", 1000, "validation images", 3, (100, 1))

    tf.keras.utils.set_random_seed(0)
    with tempfile.TemporaryDirectory() as root:
        # One box of each class an image.
        description = common.write_darknet_files(
            root,
            args.images,
            3,
            lambda rng: [*rng.uniform(0.2, 0.8, 2), *rng.uniform(0.05, 0.3, 2)],
            height=HEIGHT,
            width=WIDTH,
            distinct=100,
        )
        dataset = DarknetDataset(description, INPUT)
        batches = list(dataset.build_val_iterator())

        model = build_detection_model(len(dataset.get_classes()), input_shape=tuple(INPUT))
        run_folder = os.path.join(root, "run")
        logger = TensorBoardLogger(os.path.join(run_folder, "tensorboard"))
        with contextlib.redirect_stdout(io.StringIO()):
            trainer = DetectionTrainer(
                model,
                dataset,
                tf.keras.optimizers.Adam(),
                MultiLevelDetectionLoss.for_model(model),
                logger=logger,
                checkpoint=run_folder,
                metric="map",
                classes=dataset.get_classes(),
                display=DISPLAY,
            )
        evaluator = DetectionEvaluator(model, training_outputs=TRAINING_OUTPUTS)
        evaluator(val_messenger=trainer.val_messenger, labels=trainer.classes)
        detections = []

        def validation_pass(loop=batches):
            with contextlib.redirect_stdout(io.StringIO()):  # the checkpoint lines
                trainer.run_validation_step(loop=loop, evaluator=evaluator, epoch=1)
            return len(loop)

        def runner_alone(loop=batches):
            detections.clear()
            for image, _, _ in loop:
                detections.append(len(evaluator.runner.run_single_instance(image.numpy()[0])[0]))
            return len(loop)

        # Warm-up (tracing, first saves) on a few images, not on whole passes.
        validation_pass(batches[:20])
        runner_alone(batches[:20])
        seconds, _ = common.best_of({"pass": validation_pass, "runner": runner_alone}, args.rounds, warmup=0)
        logger.close()

    common.results(
        f"validation pass: {len(batches)} images {WIDTH}x{HEIGHT}, model input {INPUT[1]}x{INPUT[0]}, "
        f"{np.mean(detections):.0f} detections per image, best of {args.rounds}",
        seconds,
        lambda name, time: f"{time:7.2f} s per pass   {1000 * time / len(batches):7.1f} ms per image",
        [("validation_pass/runner", "pass", "runner", "<=", 1.1)],
    )


if __name__ == "__main__":
    main()
