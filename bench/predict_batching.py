"""What batching buys predict, end to end and in the model alone.

The reference detector (quillon.forgeline.models.detection, 320x320 input,
as built, untrained) and 640x480 photo-like JPEGs, in one run:

  predict/batched   deploy.predict.predict over the folder, --batch-size 16:
                    reading (threads), letterbox, model, decoding, drawn
                    images, label files and the JSON (the run loaded once);
  predict/single    the same with --batch-size 1;
  model/batched     DetectionPredictor.predict on images held in memory, 16 at a time;
  model/single      the same, one at a time (what the evaluator's runner does).

Figures: batched / single speed ratios (target >= 1: batching must not cost).

    PYTHONPATH=python python bench/predict_batching.py [--images 256] [--rounds 3] [--quick]
"""

import contextlib
import io
import json
import os
import tempfile

import common
import tensorflow as tf  # noqa: E402
from quillon.forgeline.deploy.predict import predict, read_image  # noqa: E402
from quillon.forgeline.deploy.predictors import DetectionPredictor  # noqa: E402
from quillon.forgeline.deploy.runs import load_run  # noqa: E402
from quillon.forgeline.models.detection import build_detection_model  # noqa: E402

HEIGHT, WIDTH = 480, 640
INPUT = (320, 320, 3)
LABELS = ["background", "circle", "square", "triangle"]
BATCH = 16


def main():
    args = common.arguments(__doc__, "images", 256, "images predicted per round", 3, (32, 1))
    tf.keras.utils.set_random_seed(0)
    with tempfile.TemporaryDirectory() as root:
        images = os.path.join(root, "images")
        common.write_jpegs(images, args.images, HEIGHT, WIDTH, distinct=32)
        run = os.path.join(root, "run")
        os.makedirs(run)
        network = build_detection_model(len(LABELS), INPUT)
        model = tf.keras.Model(network.input, network.outputs[2:])
        model.save(os.path.join(run, "best.h5"))
        with open(os.path.join(run, "labels.txt"), "w") as stream:
            stream.write("\n".join(LABELS) + "\n")
        with open(os.path.join(run, "config.json"), "w") as stream:
            json.dump({"task": "detect"}, stream)

        loaded = load_run(run)  # the model is loaded once: the rounds time the images

        def command(batch_size):
            def go():
                with contextlib.redirect_stdout(io.StringIO()):
                    return predict(
                        loaded,
                        images,
                        os.path.join(root, f"out{batch_size}"),
                        batch_size=batch_size,
                        progress=False,
                        exist_ok=True,
                    )["predicted"]

            return go

        pixels = [read_image(os.path.join(images, name)) for name in sorted(os.listdir(images))]
        predictor = DetectionPredictor(model, LABELS, score_threshold=0.3)

        def in_memory(batch_size):
            def go():
                return sum(
                    len(predictor.predict(pixels[i : i + batch_size])) for i in range(0, len(pixels), batch_size)
                )

            return go

        seconds, work = common.best_of(
            {
                "predict/batched": command(BATCH),
                "predict/single": command(1),
                "model/batched": in_memory(BATCH),
                "model/single": in_memory(1),
            },
            args.rounds,
        )
        for name, value in seconds.items():
            common.say(f"{name}: {work[name] / value:.1f} images/s")
        for kind in ("predict", "model"):
            common.report(f"predict_batching/{kind}", seconds[f"{kind}/single"] / seconds[f"{kind}/batched"], ">=", 1)


if __name__ == "__main__":
    main()
