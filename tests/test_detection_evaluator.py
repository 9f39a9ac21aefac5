"""DetectionEvaluator and DetectionRunner: COCO agreement, operating-point metrics, decoding, outputs."""

import contextlib
import io
import os

import numpy as np
import pytest
import tensorflow as tf
from quillon.forgeline.evaluation.detection import (
    IOU_THRESHOLDS,
    DetectionEvaluator,
    DetectionRunner,
    box_iou,
    match_detections,
)
from quillon.validator.writers import TrainingTensorBoardWriter

NAMES = ["a", "b", "c"]
LABELS = ["background"] + NAMES
CLASS_COUNT = len(LABELS)


def tiny_model(training_outputs=0):
    """A model of 32 x 32 images with the reference detector's inference outputs (scores, distances)."""
    inputs = tf.keras.Input((32, 32, 3))
    features = tf.keras.layers.AveragePooling2D(8)(inputs)
    scores = tf.keras.layers.Conv2D(CLASS_COUNT, 1, activation="sigmoid")(features)
    distances = tf.keras.layers.Conv2D(4, 1, activation="softplus")(features)
    extra = [scores, distances][:training_outputs]
    return tf.keras.Model(inputs, extra + [scores, distances])


def record(gt_boxes, gt_labels, dt_boxes, dt_labels, dt_scores, image_path="img.png", size=(20, 30)):
    return {
        "gt_instance": {
            "image": np.zeros((*size, 3), np.uint8),
            "height": size[0],
            "width": size[1],
            "boxes": np.asarray(gt_boxes, np.float32).reshape(-1, 4),
            "labels": np.array(gt_labels),
            "image_path": image_path,
        },
        "dt_instance": {
            "boxes": np.asarray(dt_boxes, np.float32).reshape(-1, 4),
            "labels": np.array(dt_labels),
            "scores": np.asarray(dt_scores, np.float32),
        },
    }


def evaluate(evaluator, records):
    truth_values = [evaluator.single_evaluation(instances, 1, False) for instances in records][-1]
    return evaluator.conclude(truth_values, epoch=1)


def random_images(seed, count=8):
    """Images of 200 x 150 pixels with objects and detections of a few classes, ties included."""
    rng = np.random.default_rng(seed)
    result = []
    for index in range(count):
        objects = rng.integers(0, 6)
        corner = rng.uniform(0, 140, (objects, 2))
        gt = np.concatenate([corner, np.minimum(corner + rng.uniform(5, 60, (objects, 2)), [200, 150])], 1)
        gt_classes = rng.integers(0, 3, objects)
        found = rng.integers(0, 12)
        source = rng.integers(0, max(objects, 1), found)
        dt = (gt[source] if objects else rng.uniform(0, 100, (found, 4))) + rng.normal(0, 4, (found, 4))
        dt[:, 2:] = np.maximum(dt[:, 2:], dt[:, :2] + 1)
        dt_classes = np.where(rng.random(found) < 0.8, gt_classes[source] if objects else 0, rng.integers(0, 3, found))
        dt_scores = np.round(rng.random(found), 1)  # coarse scores, so ties happen
        result.append((f"{index}.png", 150, 200, gt, gt_classes, dt, dt_classes, dt_scores))
    return result


def one_class(name, height, width, gt, dt, scores):
    """An image of objects and detections of the first class, as ``random_images`` gives them."""
    return name, height, width, np.reshape(gt, (-1, 4)), [0] * len(gt), np.reshape(dt, (-1, 4)), [0] * len(dt), scores


def coco_stats(records):
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    def entry(image_id, box, cls):
        width, height = box[2] - box[0], box[3] - box[1]
        bbox = [box[0], box[1], width, height]
        return {"image_id": image_id, "category_id": int(cls) + 1, "bbox": bbox, "area": width * height, "iscrowd": 0}

    images, annotations, detections = [], [], []
    for image_id, (gt, gt_classes, dt, dt_classes, dt_scores) in enumerate(records, start=1):
        images.append({"id": image_id, "width": 200, "height": 150})
        annotations += [entry(image_id, box, cls) for box, cls in zip(gt, gt_classes)]
        found = zip(dt, dt_classes, dt_scores)
        detections += [entry(image_id, box, cls) | {"score": float(score)} for box, cls, score in found]
    for number, annotation in enumerate(annotations, start=1):
        annotation["id"] = number
    coco = COCO()
    coco.dataset = {
        "images": images,
        "annotations": annotations,
        "categories": [{"id": i + 1, "name": name} for i, name in enumerate(NAMES)],
    }
    with contextlib.redirect_stdout(io.StringIO()):
        coco.createIndex()
        evaluation = COCOeval(coco, coco.loadRes(detections), "bbox")
        evaluation.evaluate()
        evaluation.accumulate()
        evaluation.summarize()
    return evaluation.stats


# Images (name, height, width, objects, their classes, detections, theirs, scores) in pixels, in the order they arrive.
TALL = (413, 159)
AGREEMENT_CASES = {f"random {seed}": random_images(seed) for seed in range(6)} | {
    "IoU exactly 1/2": [one_class("tall.png", *TALL, [[118, 214, 130, 263]], [[118, 217, 125, 259]], [0.9])],
    "IoU exactly 4/5": [one_class("odd.png", 37, 53, [[3, 5, 13, 15]], [[3, 5, 13, 13]], [0.9])],
    "IoU 1/2 and 3/4 on two images": [
        one_class("b.png", *TALL, [[118, 214, 130, 263]], [[118, 217, 125, 259]], [0.8]),
        one_class("a.png", 97, 61, [[10, 10, 50, 30]], [[10, 10, 40, 30]], [0.7]),
    ],
    # The first detection overlaps both objects alike and takes the later one; the second gets the other.
    "tied IoUs": [
        one_class("tie.png", 32, 64, [[0, 0, 20, 20], [4, 0, 24, 20]], [[2, 0, 22, 20], [4, 0, 24, 20]], [0.9, 0.8])
    ],
    "tied scores, the object in the later name": [
        one_class("b.png", 60, 80, [[10, 10, 40, 40]], [[10, 10, 40, 40]], [0.5]),
        one_class("a.png", 60, 80, [], [[10, 10, 40, 40]], [0.5]),
    ],
    "tied scores, the object in the earlier name": [
        one_class("b.png", 60, 80, [], [[10, 10, 40, 40]], [0.5]),
        one_class("a.png", 60, 80, [[10, 10, 40, 40]], [[10, 10, 40, 40]], [0.5]),
    ],
}


# Each metric's place in COCOeval.stats.
COCO_STATS = {("mAP", "0.5"): 1, ("mAP", "0.75"): 2, ("mAP", "0.5:0.95"): 0, ("mAR", "0.5:0.95"): 8}


@pytest.mark.parametrize("case", AGREEMENT_CASES)
def test_map_and_mar_agree_with_pycocotools(case):
    images = AGREEMENT_CASES[case]
    evaluator = DetectionEvaluator(tiny_model(), labels=LABELS)
    instances = []
    for name, height, width, gt, gt_classes, dt, dt_classes, scores in images:
        scale = np.array([width, height, width, height], np.float64)
        # Images without objects arrive as one zero-area padding row labelled background.
        gt_rows, gt_names = (
            (gt / scale, [NAMES[c] for c in gt_classes]) if len(gt) else ([[0, 0, 0, 0]], ["background"])
        )
        dt_names = [NAMES[c] for c in dt_classes]
        instances.append(record(gt_rows, gt_names, dt / scale, dt_names, scores, name, (height, width)))
    metrics = evaluate(evaluator, instances)

    stats = coco_stats([image[3:] for image in sorted(images, key=lambda image: image[0])])  # ids by sorted name
    for (metric, thresholds), index in COCO_STATS.items():
        assert metrics[metric][thresholds] == pytest.approx(stats[index], abs=1e-6), (metric, thresholds)


def greedy_matches(ious, threshold):
    """Each detection in turn takes the unmatched box of highest IoU (the last of ties) if it reaches the threshold."""
    taken, matched = set(), []
    for row in ious:
        free = [(iou, index) for index, iou in enumerate(row) if index not in taken]
        iou, index = max(free, default=(-1.0, -1))
        matched.append(iou >= min(threshold, 1 - 1e-10))
        if matched[-1]:
            taken.add(index)
    return matched


@pytest.mark.parametrize("seed", range(4))
def test_matching_of_many_detections_follows_the_greedy_rule(seed):
    # As many detections as the runner gives, most of them far from any object; some duplicates tie.
    rng = np.random.default_rng(seed)
    corner = rng.uniform(0, 80, (5, 2))
    ground_truth = np.concatenate([corner, corner + rng.uniform(5, 30, (5, 2))], 1)
    detections = np.concatenate(
        [rng.uniform(0, 100, (100, 4)), ground_truth[rng.integers(0, 5, 40)] + rng.normal(0, 3, (40, 4))]
    )
    detections[:, 2:] = np.maximum(detections[:, 2:], detections[:, :2] + 1)
    detections[-1] = detections[-2]
    matched = match_detections(detections, ground_truth)
    ious = box_iou(detections, ground_truth)
    expected = [greedy_matches(ious, threshold) for threshold in IOU_THRESHOLDS]
    assert matched.tolist() == expected and matched[0].sum() >= 3


def test_operating_point_metrics_and_confusion():
    evaluator = DetectionEvaluator(tiny_model(), labels=LABELS, confidence_threshold=0.5)
    records = [
        # a found; b found as c (an FP of c and a missed b); a low-score extra under the threshold.
        record(
            [[0.1, 0.1, 0.3, 0.3], [0.5, 0.5, 0.9, 0.9]],
            ["a", "b"],
            [[0.1, 0.1, 0.3, 0.3], [0.5, 0.5, 0.9, 0.9], [0.6, 0.1, 0.7, 0.2]],
            ["a", "c", "a"],
            [0.9, 0.8, 0.2],
        ),
        # a missed; a detection of nothing.
        record([[0.1, 0.1, 0.2, 0.2]], ["a"], [[0.6, 0.6, 0.8, 0.8]], ["b"], [0.7]),
    ]
    truth_values = [evaluator.single_evaluation(instances, 1, False) for instances in records][-1]
    # Rows: true a, b, c, nothing; columns: predicted a, b, c, nothing.
    np.testing.assert_array_equal(truth_values.confusion, [[1, 0, 0, 1], [0, 0, 1, 0], [0, 0, 0, 0], [0, 1, 0, 0]])
    metrics = evaluator.conclude(truth_values, epoch=1)
    # At IoU 0.5: TP 1 (a), FP 2 (c, b), FN 2 (a, b).
    assert metrics["OP"] == pytest.approx(1 / 3)
    assert metrics["OR"] == pytest.approx(1 / 3)
    assert metrics["OA"] == pytest.approx(1 / 5)
    # Per class: a 1/(1+0+1), b 0/(0+1+1), c 0/(0+1+0): mean over the three.
    assert metrics["mACC"]["0.5"] == pytest.approx(0.5 / 3)
    # AP of b is 0 (its only detection is wrong); a's best detection finds one of two a's,
    # so a has precision 1 up to recall 0.5: 51 of the 101 recall points.
    assert metrics["mAP"]["0.5"] == pytest.approx((51 / 101 + 0.0) / 2)
    assert metrics["mAR"]["0.5"] == pytest.approx((0.5 + 0.0) / 2)


def test_padding_is_ignored_and_inputs_are_copied():
    evaluator = DetectionEvaluator(tiny_model(), labels=LABELS)
    reused = record([[0.1, 0.1, 0.4, 0.4], [0, 0, 0, 0]], ["a", "background"], [[0.1, 0.1, 0.4, 0.4]], ["a"], [0.9])
    truth_values = evaluator.single_evaluation(reused, 0, False)
    # The trainer overwrites the same arrays for the next image.
    reused["gt_instance"]["boxes"][:] = 0
    reused["dt_instance"]["boxes"][:] = 0.5
    reused["dt_instance"]["scores"][:] = 0.0
    metrics = evaluator.conclude(truth_values, epoch=0)
    assert metrics["mAP"]["0.5"] == pytest.approx(1.0)
    assert metrics["OA"] == pytest.approx(1.0)

    # conclude starts a new pass: an empty image with a false detection gives zeros, not the old result.
    empty = record([[0, 0, 0, 0]], ["background"], [[0.2, 0.2, 0.5, 0.5]], ["b"], [0.9])
    metrics = evaluate(evaluator, [empty])
    assert metrics["mAP"]["0.5"] == 0.0 and metrics["OP"] == 0.0 and metrics["OA"] == 0.0
    assert metrics["mACC"]["0.5"] == 0.0  # b has a detection, so it counts


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda r: r["gt_instance"].update(labels=np.array(["zebra"])), "zebra"),
        (lambda r: r["gt_instance"].update(labels=np.array(["background"])), "background"),
        (lambda r: r["dt_instance"].update(scores=np.array([0.5, 0.5])), "2 detection scores for 1 boxes"),
        (lambda r: r["dt_instance"].update(boxes=np.zeros((1, 5))), "N x 4"),
    ],
)
def test_bad_instances_name_the_image(change, message):
    evaluator = DetectionEvaluator(tiny_model(), labels=LABELS)
    bad = record([[0.1, 0.1, 0.4, 0.4]], ["a"], [[0.1, 0.1, 0.4, 0.4]], ["a"], [0.9], image_path="cat.jpg")
    change(bad)
    with pytest.raises(ValueError, match=message) as error:
        evaluator.single_evaluation(bad, 0, False)
    assert "cat.jpg" in str(error.value)


def fixed_runner(scores, distances):
    """A runner whose model output is replaced by the given maps (decoding is what is tested)."""
    runner = DetectionRunner(tiny_model(), labels=LABELS)
    runner._predict = lambda images: (tf.constant(scores[np.newaxis]), tf.constant(distances[np.newaxis]))
    return runner


def test_runner_decodes_peaks_to_original_image_coordinates():
    scores = np.zeros((4, 4, 4), np.float32)
    distances = np.full((4, 4, 4), 4.0, np.float32)
    scores[1, 2, 1] = 0.9  # a, centre of cell (row 1, col 2) = (20, 12) in input pixels
    scores[1, 1, 1] = 0.5  # beside the peak: not a local maximum
    scores[3, 0, 3] = 0.3  # c
    scores[3, 3, 0] = 0.99  # background is never reported
    scores[0, 0, 2] = 0.01  # under the score threshold
    runner = fixed_runner(scores, distances)
    # 64 x 32 (width x height) letterboxed into 32 x 32: ratio 0.5, 8 rows of padding on top.
    boxes, classes, found_scores = runner.run_single_instance(np.zeros((32, 64, 3), np.uint8))
    assert list(classes) == ["a", "c"]
    np.testing.assert_allclose(found_scores, [0.9, 0.3])
    # a: x 16..24 -> 32..48 of 64; y 8..16 -> (8-8)/0.5=0..16 of 32.
    np.testing.assert_allclose(boxes[0], [0.5, 0.0, 0.75, 0.5], atol=1e-6)
    # c: centre (4, 28): x 0..8 -> 0..16; y 24..32 -> 32..48, clipped to the image.
    np.testing.assert_allclose(boxes[1], [0.0, 1.0, 0.25, 1.0], atol=1e-6)
    assert boxes.dtype == np.float32 and found_scores.dtype == np.float32


def test_runner_suppresses_overlaps_within_a_class_only():
    scores = np.zeros((4, 4, 4), np.float32)
    distances = np.full((4, 4, 4), 12.0, np.float32)
    scores[1, 1, 1] = 0.9  # a: box 0..24 x 0..24
    scores[3, 1, 1] = 0.8  # a: box 0..24 x 16..32 (clipped), IoU 0.25 with the first
    scores[1, 1, 2] = 0.7  # b on the same spot as the first a
    runner = fixed_runner(scores, distances)
    # At most max_detections after suppression, not before it: the suppressed a leaves room for b.
    for nms_iou, max_detections, classes, expected_scores in (
        (0.3, 100, ["a", "a", "b"], [0.9, 0.8, 0.7]),
        (0.2, 100, ["a", "b"], [0.9, 0.7]),
        (0.2, 2, ["a", "b"], [0.9, 0.7]),
        (0.2, 1, ["a"], [0.9]),
    ):
        runner.nms_iou, runner.max_detections = nms_iou, max_detections
        _, found_classes, found_scores = runner.run_single_instance(np.zeros((32, 32, 3), np.uint8))
        assert list(found_classes) == classes, (nms_iou, max_detections)
        np.testing.assert_allclose(found_scores, expected_scores)


def test_runner_uses_the_current_weights_of_the_training_model():
    model = tiny_model(training_outputs=2)
    runner = DetectionRunner(model, training_outputs=2, labels=LABELS, score_threshold=0.0)
    image = np.full((32, 32, 3), 200, np.uint8)
    before = runner.run_single_instance(image)[2].max()
    for layer in model.layers:
        if isinstance(layer, tf.keras.layers.Conv2D) and layer.filters == len(LABELS):
            kernel, bias = layer.get_weights()
            layer.set_weights([kernel, bias + 3.0])
    assert runner.run_single_instance(image)[2].max() > before

    with pytest.raises(ValueError, match="2 inference outputs"):
        DetectionRunner(model, training_outputs=0)
    with pytest.raises(ValueError, match="HxWx3 uint8"):
        runner.run_single_instance(np.zeros((32, 32), np.uint8))
    with pytest.raises(RuntimeError, match="labels"):
        DetectionRunner(model, training_outputs=2).run_single_instance(image)


def test_conclude_reports_to_the_writer_and_plots_save(tmp_path):
    writer = tf.summary.create_file_writer(str(tmp_path / "logs"))
    evaluator = DetectionEvaluator(tiny_model())
    evaluator(val_messenger=TrainingTensorBoardWriter(writer), labels=LABELS)
    records = [
        record([[0.1, 0.1, 0.5, 0.5]], ["a"], [[0.1, 0.1, 0.5, 0.5]], ["a"], [0.9], image_path=f"/x/{i}.png")
        for i in range(2)
    ]
    truth_values = evaluator.single_evaluation(records[0], 3, True)
    truth_values = evaluator.single_evaluation(records[1], 3, False)
    evaluator.conclude(truth_values, epoch=3)
    writer.flush()

    tags = set()
    for event_file in os.listdir(tmp_path / "logs"):
        for event in tf.compat.v1.train.summary_iterator(str(tmp_path / "logs" / event_file)):
            tags.update(value.tag for value in event.summary.value)
    plots = {"validation/confusion_matrix", "validation/f1_threshold", "validation/precision_recall"}
    assert tags == {"validation/images/0.png", "validation/summary"} | plots

    evaluator.save_plots_disk(plots=evaluator.current_plots, path=str(tmp_path / "validation"))
    written = sorted(os.listdir(tmp_path / "validation"))
    assert written == ["confusion_matrix.png", "f1_threshold.png", "precision_recall.png"]
    assert all((tmp_path / "validation" / name).read_bytes()[:4] == b"\x89PNG" for name in written)
    with pytest.raises(ValueError, match="plain file name"):
        evaluator.save_plots_disk(plots={"../x": evaluator.current_plots["confusion_matrix"]}, path=str(tmp_path))
