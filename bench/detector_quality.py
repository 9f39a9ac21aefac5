"""Detection quality of the reference detector on photographs, per model size: COCO AP by object size.

Builds a Darknet data set from the photographs that scikit-learn and
matplotlib ship (scikit-image's too, when installed): backgrounds are random
crops of them at 640x480 with mirrored and tinted variants; on each, one to
eight objects of five classes (ellipse, rectangle, triangle, cross, ring)
filled with photograph texture and outlined, their longer side log-uniform
from 16 to 400 pixels (about four in ten under 32x32), some of the rectangles
thin bars. Then, for each model size, ``train_detection`` trains the detector
from scratch and its best model is scored on the validation images with
pycocotools (areas in the original 640x480 pixels: small under 32x32, large
over 96x96).

Printed per model size: AP (0.5:0.95), AP50, AP75, AP small, AP medium, AP
large, the recall of small objects at IoU 0.5 (any detection above the
evaluator's lowest score), the training wall and CPU time and the parameter count.
The AP numbers are compared across versions of the toolkit (run it on each
with the same options). One figure is measured in one run: the time of a
training step (batch 16, Adam, the model's loss) of the multi-level detector
against the single-scale one it replaced, per model size, best of
``--rounds`` rotating rounds (target <= 1.3).

    PYTHONPATH=python python bench/detector_quality.py                     # input 320, 30 epochs, all sizes
    PYTHONPATH=python python bench/detector_quality.py --steps-only        # just the step time figure
    PYTHONPATH=python python bench/detector_quality.py --input-size 192 --epochs 6 --train-images 200 \\
        --validation-images 60 --sizes small                               # a quick look
"""

import argparse
import contextlib
import io
import json
import os
import tempfile
import time

import common  # noqa: F401  (quiets TensorFlow first)
import matplotlib  # noqa: E402
import numpy as np  # noqa: E402
import sklearn  # noqa: E402
import yaml  # noqa: E402
from PIL import Image, ImageChops, ImageDraw, ImageFilter  # noqa: E402

CLASSES = ["ellipse", "rectangle", "triangle", "cross", "ring"]
WIDTH, HEIGHT = 640, 480
SMALLEST, LARGEST = 16, 400  # longer side of the objects, pixels
SMALL_AREA, LARGE_AREA = 32**2, 96**2  # COCO's size classes
SCORE_THRESHOLD = 0.01
STEP_TIME_TARGET = 1.3
STEP_BATCH = 16
STEPS_PER_ROUND = 5


def photographs():
    """The photographs the installed packages ship, as RGB arrays."""
    folders = [
        os.path.join(os.path.dirname(sklearn.__file__), "datasets", "images"),
        os.path.join(matplotlib.get_data_path(), "sample_data"),
    ]
    with contextlib.suppress(ImportError):
        import skimage

        folders.append(os.path.join(os.path.dirname(skimage.__file__), "data"))
    found = []
    for folder in folders:
        for name in sorted(os.listdir(folder)):
            if name.lower().endswith((".jpg", ".jpeg", ".png")):
                with Image.open(os.path.join(folder, name)) as image:
                    if min(image.size) >= 256:
                        found.append(np.asarray(image.convert("RGB")))
    return found


def random_crop(rng, photo, width, height):
    """A random crop of ``photo`` resized to width x height, maybe mirrored and tinted."""
    scale = rng.uniform(0.4, 1.0)
    crop_h = max(8, int(photo.shape[0] * scale))
    crop_w = min(photo.shape[1], max(8, int(crop_h * width / height)))
    top = rng.integers(0, photo.shape[0] - crop_h + 1)
    left = rng.integers(0, photo.shape[1] - crop_w + 1)
    image = Image.fromarray(photo[top : top + crop_h, left : left + crop_w]).resize((width, height))
    pixels = np.asarray(image).astype(np.float32)
    if rng.random() < 0.5:
        pixels = pixels[:, ::-1]
    pixels = pixels * rng.uniform(0.7, 1.3, 3)
    return np.clip(pixels, 0, 255).astype(np.uint8)


def shape_mask(label, width, height):
    """The mask (mode "L") of an object of class ``label`` filling a width x height box."""
    mask = Image.new("L", (width, height), 0)
    draw = ImageDraw.Draw(mask)
    w, h = width - 1, height - 1
    if CLASSES[label] == "ellipse":
        draw.ellipse([0, 0, w, h], fill=255)
    elif CLASSES[label] == "rectangle":
        draw.rectangle([0, 0, w, h], fill=255)
    elif CLASSES[label] == "triangle":
        draw.polygon([(w / 2, 0), (w, h), (0, h)], fill=255)
    elif CLASSES[label] == "cross":
        draw.rectangle([w * 0.35, 0, w * 0.65, h], fill=255)
        draw.rectangle([0, h * 0.35, w, h * 0.65], fill=255)
    else:  # ring
        draw.ellipse([0, 0, w, h], fill=255)
        draw.ellipse([w * 0.3, h * 0.3, w * 0.7, h * 0.7], fill=0)
    return mask


def draw_image(rng, photos):
    """One 640x480 image and its objects [(label, x1, y1, x2, y2)] in pixels."""
    canvas = Image.fromarray(random_crop(rng, photos[rng.integers(len(photos))], WIDTH, HEIGHT))
    objects = []
    for _ in range(rng.integers(1, 9)):
        label = int(rng.integers(len(CLASSES)))
        longer = float(np.exp(rng.uniform(np.log(SMALLEST), np.log(LARGEST))))
        aspect = float(np.exp(rng.uniform(np.log(1 / 6), np.log(6)))) if CLASSES[label] == "rectangle" else 1.0
        aspect = aspect if aspect != 1.0 else float(np.exp(rng.uniform(np.log(0.6), np.log(1.6))))
        width = int(max(4, longer * min(1.0, aspect)))
        height = int(max(4, longer * min(1.0, 1 / aspect)))
        width, height = min(width, WIDTH - 2), min(height, HEIGHT - 2)
        for _ in range(20):
            x1, y1 = int(rng.integers(0, WIDTH - width)), int(rng.integers(0, HEIGHT - height))
            box = (x1, y1, x1 + width, y1 + height)
            if all(_overlap(box, other[1:]) < 0.3 for other in objects):
                break
        else:
            continue
        texture = Image.fromarray(random_crop(rng, photos[rng.integers(len(photos))], width, height))
        mask = shape_mask(label, width, height)
        # An outline two pixels wide, black, white or a primary or secondary colour.
        outline = Image.new("RGB", (width, height), tuple(int(v) for v in rng.choice([0, 255], 3)))
        edge = ImageChops.subtract(mask, mask.filter(ImageFilter.MinFilter(5)))
        canvas.paste(texture, (x1, y1), mask)
        canvas.paste(outline, (x1, y1), edge)
        objects.append((label, *box))
    return canvas, objects


def _overlap(a, b):
    """Intersection over the smaller area of two corner boxes."""
    w = min(a[2], b[2]) - max(a[0], b[0])
    h = min(a[3], b[3]) - max(a[1], b[1])
    if w <= 0 or h <= 0:
        return 0.0
    return w * h / min((a[2] - a[0]) * (a[3] - a[1]), (b[2] - b[0]) * (b[3] - b[1]))


def write_dataset(root, train_images, validation_images, seed):
    """Writes the data set and its data.yaml under ``root``; returns the description's path and the validation
    ground truth {file name: [(label, x1, y1, x2, y2)]}."""
    photos = photographs()
    description = {"type": "darknet", "classes": CLASSES}
    truth = {}
    for split, count in (("train", train_images), ("validation", validation_images)):
        images, labels = os.path.join(root, split, "images"), os.path.join(root, split, "labels")
        os.makedirs(images)
        os.makedirs(labels)
        description[split] = {"images": images, "annotations": labels}
        for index in range(count):
            rng = np.random.default_rng([seed, split == "train", index])
            image, objects = draw_image(rng, photos)
            name = f"{index:05d}.jpg"
            image.save(os.path.join(images, name), quality=90)
            with open(os.path.join(labels, f"{index:05d}.txt"), "w", encoding="utf-8") as stream:
                for label, x1, y1, x2, y2 in objects:
                    cx, cy = (x1 + x2) / 2 / WIDTH, (y1 + y2) / 2 / HEIGHT
                    stream.write(f"{label} {cx:.6f} {cy:.6f} {(x2 - x1) / WIDTH:.6f} {(y2 - y1) / HEIGHT:.6f}\n")
            if split == "validation":
                truth[name] = objects
    path = os.path.join(root, "data.yaml")
    with open(path, "w", encoding="utf-8") as stream:
        yaml.safe_dump(description, stream, sort_keys=False)
    return path, truth


def coco_scores(truth, detections):
    """pycocotools' AP figures and the recall of small objects at IoU 0.5."""
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    images, annotations, results = [], [], []
    small, small_found = 0, 0
    for image_id, (name, objects) in enumerate(sorted(truth.items()), 1):
        images.append({"id": image_id, "file_name": name, "width": WIDTH, "height": HEIGHT})
        boxes, classes, scores = detections[name]
        for label, x1, y1, x2, y2 in objects:
            area = (x2 - x1) * (y2 - y1)
            annotations.append(
                {
                    "id": len(annotations) + 1,
                    "image_id": image_id,
                    "category_id": label,
                    "bbox": [x1, y1, x2 - x1, y2 - y1],
                    "area": area,
                    "iscrowd": 0,
                }
            )
            if area < SMALL_AREA:
                small += 1
                same = boxes[classes == label]
                if len(same):
                    iw = (np.minimum(same[:, 2], x2) - np.maximum(same[:, 0], x1)).clip(0)
                    ih = (np.minimum(same[:, 3], y2) - np.maximum(same[:, 1], y1)).clip(0)
                    areas = (same[:, 2] - same[:, 0]) * (same[:, 3] - same[:, 1])
                    small_found += bool(((iw * ih) / (areas + area - iw * ih) >= 0.5).any())
        for (x1, y1, x2, y2), label, score in zip(boxes, classes, scores):
            results.append(
                {
                    "image_id": image_id,
                    "category_id": int(label),
                    "bbox": [float(x1), float(y1), float(x2 - x1), float(y2 - y1)],
                    "score": float(score),
                }
            )
    ground = COCO()
    ground.dataset = {
        "images": images,
        "annotations": annotations,
        "categories": [{"id": i, "name": name} for i, name in enumerate(CLASSES)],
    }
    with contextlib.redirect_stdout(io.StringIO()):
        ground.createIndex()
        found = ground.loadRes(results) if results else COCO()
        evaluation = COCOeval(ground, found, "bbox")
        evaluation.evaluate()
        evaluation.accumulate()
        evaluation.summarize()
    names = ("AP", "AP50", "AP75", "APs", "APm", "APl")
    scores = {name: max(0.0, float(value)) for name, value in zip(names, evaluation.stats[:6])}
    scores["recall_small@0.5"] = small_found / max(small, 1)
    return scores


def detect_all(run_folder, images_folder):
    """{file name: (pixel boxes [K, 4], class indices among CLASSES [K], scores [K])} of the run's best model."""
    from quillon.forgeline.deploy.predictors import DetectionPredictor
    from quillon.forgeline.deploy.runs import load_run

    run = load_run(run_folder)
    predictor = DetectionPredictor(run.model, run.labels, score_threshold=SCORE_THRESHOLD)
    found = {}
    for name in sorted(os.listdir(images_folder)):
        image = np.asarray(Image.open(os.path.join(images_folder, name)).convert("RGB"))
        detections = predictor.predict([image])[0]
        offset = 1 if run.labels[0] == "background" else 0
        found[name] = (
            detections.boxes * [WIDTH, HEIGHT, WIDTH, HEIGHT],
            detections.classes - offset,
            detections.scores,
        )
    return found, run.model.count_params()


def step_times(sizes, input_size, rounds):
    """Figure lines: a training step of the multi-level detector over one of the single-scale detector."""
    import tensorflow as tf

    try:
        from quillon.forgeline.losses import DetectionLoss, MultiLevelDetectionLoss
        from quillon.forgeline.models.detection import (
            MODEL_WIDTHS,
            build_detection_model,
            build_single_scale_detection_model,
            detection_points,
        )
    except ImportError:
        common.say("step time: skipped, this version of the toolkit has only the single-scale detector")
        return

    rng = np.random.default_rng(0)
    images = tf.constant(rng.random((STEP_BATCH, input_size, input_size, 3)), tf.float32)
    corners = rng.uniform(0, input_size, (STEP_BATCH, 8, 2, 2))
    corners.sort(axis=2)
    boxes = np.concatenate([corners.reshape(STEP_BATCH, 8, 4), rng.integers(1, 6, (STEP_BATCH, 8, 1))], axis=2)
    boxes = tf.constant(boxes, tf.float32)

    def stepper(model, loss):
        optimizer = tf.keras.optimizers.Adam(1e-3)

        @tf.function
        def step():
            with tf.GradientTape() as tape:
                total = loss((boxes,), tuple(model(images, training=True)))["total-loss"] + tf.add_n(model.losses)
            gradients = tape.gradient(total, model.trainable_variables)
            optimizer.apply_gradients(zip(gradients, model.trainable_variables))
            return total

        def run():
            for _ in range(STEPS_PER_ROUND):
                step()
            return STEPS_PER_ROUND

        return run

    shape = (input_size, input_size, 3)
    for size in sizes:
        width = MODEL_WIDTHS[size]
        runs = {
            "multi_level": stepper(
                build_detection_model(6, shape, width), MultiLevelDetectionLoss(detection_points(shape))
            ),
            "single_scale": stepper(build_single_scale_detection_model(6, shape, width), DetectionLoss()),
        }
        best, _ = common.best_of(runs, rounds)
        common.say(
            f"{size}: step {best['multi_level'] / STEPS_PER_ROUND * 1000:.0f} ms multi-level, "
            f"{best['single_scale'] / STEPS_PER_ROUND * 1000:.0f} ms single-scale (input {input_size}, batch {STEP_BATCH})"
        )
        common.report(
            f"detector_quality/step_time_{size}", best["multi_level"] / best["single_scale"], "<=", STEP_TIME_TARGET
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--input-size", type=int, default=320)
    parser.add_argument("--epochs", type=int, default=30)
    parser.add_argument("--train-images", type=int, default=600)
    parser.add_argument("--validation-images", type=int, default=150)
    parser.add_argument("--sizes", default="small,medium,large", help="model sizes, comma-separated")
    parser.add_argument("--batch-size", type=int, help="(default: the job's)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", help="keep the data and the runs in this folder (default: a temporary one)")
    parser.add_argument("--rounds", type=int, default=3, help="timed rounds of the step time figure")
    parser.add_argument("--steps-only", action="store_true", help="only the step time figure")
    args = parser.parse_args()
    sizes = args.sizes.split(",")
    step_times(sizes, args.input_size, args.rounds)
    if args.steps_only:
        return

    from quillon.forgeline.jobs.detect import train_detection

    with contextlib.ExitStack() as stack:
        root = args.out or stack.enter_context(tempfile.TemporaryDirectory())
        data_file, truth = write_dataset(os.path.join(root, "data"), args.train_images, args.validation_images, 7)
        areas = [(x2 - x1) * (y2 - y1) for objects in truth.values() for _, x1, y1, x2, y2 in objects]
        common.say(
            f"data: {args.train_images} training, {args.validation_images} validation images of {WIDTH}x{HEIGHT}; "
            f"validation objects {len(areas)}, small {np.mean(np.array(areas) < SMALL_AREA):.0%}, "
            f"large {np.mean(np.array(areas) > LARGE_AREA):.0%}; input {args.input_size}, {args.epochs} epochs"
        )
        rows = []
        for size in sizes:
            options = {"batch_size": args.batch_size} if args.batch_size else {}
            started, cpu_started = time.perf_counter(), time.process_time()
            with contextlib.redirect_stdout(io.StringIO()):
                result = train_detection(
                    data_file,
                    os.path.join(root, size),
                    epochs=args.epochs,
                    seed=args.seed,
                    input_size=args.input_size,
                    model_size=size,
                    display=0,
                    **options,
                )
            seconds, cpu_seconds = time.perf_counter() - started, time.process_time() - cpu_started
            detections, parameters = detect_all(
                result["run_folder"], os.path.join(root, "data", "validation", "images")
            )
            scores = coco_scores(truth, detections)
            rows.append(
                {
                    "size": size,
                    **scores,
                    "train_seconds": seconds,
                    "train_cpu_seconds": cpu_seconds,
                    "parameters": parameters,
                }
            )
            common.say(json.dumps(rows[-1]))
    header = f"{'size':8} {'AP':>6} {'AP50':>6} {'AP75':>6} {'APs':>6} {'APm':>6} {'APl':>6} {'R_s@.5':>7} {'train s':>8} {'cpu s':>7} {'params':>9}"
    common.say(header)
    for row in rows:
        common.say(
            f"{row['size']:8} {row['AP']:6.3f} {row['AP50']:6.3f} {row['AP75']:6.3f} {row['APs']:6.3f} "
            f"{row['APm']:6.3f} {row['APl']:6.3f} {row['recall_small@0.5']:7.3f} {row['train_seconds']:8.0f} "
            f"{row['train_cpu_seconds']:7.0f} "
            f"{row['parameters']:9,d}"
        )


if __name__ == "__main__":
    main()
