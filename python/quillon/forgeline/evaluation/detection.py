"""Detection evaluation: run a model on single images and score it.

``DetectionRunner`` turns one image into detections (letterbox, model,
peak decoding, non-maximum suppression: the shared
``quillon.forgeline.deploy.predictors.DetectionPredictor``). ``DetectionEvaluator`` matches
detections to ground truth image by image and concludes a validation pass
with the metrics the trainers log.

Metrics (see docs/evaluation.md). IoU thresholds t run over 0.50, 0.55, ...,
0.95; "0.5:0.95" is the mean over those ten. IoU is computed on boxes in
pixels of the image (normalised corners times its size, rounded to 1/100
pixel to undo the float32 rounding of the normalised values), so a box whose
pixel IoU is exactly a threshold reaches it, as in pycocotools.

  mAP@t   COCO average precision: per class, detections of all images sorted
          by score (equal scores by image name, then arrival, as pycocotools
          orders them by image id) are matched greedily to unmatched ground
          truth of their image and class with IoU >= t (highest IoU wins);
          precision is made
          non-increasing in recall and read at the 101 recall points
          0, 0.01, ..., 1. Mean over the classes that have ground truth.
  mAR@t   COCO average recall: per class, the share of ground-truth objects
          matched by any detection (at most 100 per image); mean over the
          classes that have ground truth.
  mACC@t  detection accuracy at the operating point: only detections with a
          score >= ``confidence_threshold`` count; per class
          TP / (TP + FP + FN) with the matching above; mean over the classes
          that have ground truth or operating-point detections.
  OP      overall precision at IoU 0.5 and the operating point, all classes
          pooled: TP / (TP + FP).
  OR      overall recall, likewise: TP / number of ground-truth objects.
  OA      overall accuracy, likewise: TP / (TP + FP + FN).

A ratio whose denominator is zero is reported as 0.
"""

import os

import numpy as np
import tensorflow as tf

from quillon.forgeline.deploy.predictors import BACKGROUND, DetectionPredictor, checked_labels
from quillon.forgeline.evaluation.passes import LabelledEvaluator
from quillon.forgeline.run_files import save_atomically
from quillon.validator.writers import class_palette, draw_boxes, figure_pixels

IOU_THRESHOLDS = np.linspace(0.5, 0.95, 10)
AT_IOU_05, AT_IOU_075 = 0, 5  # positions of IoU 0.5 and 0.75 in IOU_THRESHOLDS
RECALL_THRESHOLDS = np.linspace(0.0, 1.0, 101)
SCORE_THRESHOLDS = np.linspace(0.0, 1.0, 101)  # where the F1 plot reads its curves
# Pixel coordinates are rounded to this many decimals: more than the float32
# error of a normalised coordinate (below 0.005 pixel up to 80000 pixels).
PIXEL_DECIMALS = 2
DRAWN_IMAGE_SIZE = 320  # smallest long side of the images drawn to TensorBoard
GROUND_TRUTH_COLOR = (255, 255, 255)


class DetectionRunner(DetectionPredictor):
    """Runs a detection model on one image and decodes its detections.

    The batched ``DetectionPredictor`` (``quillon.forgeline.deploy.predictors``)
    does the work, so validation and ``predict`` decode alike: letterbox to
    the model input, 0..1 scaling as in training, the 3x3 local maxima of the
    score maps with a score >= ``score_threshold``, per-class non-maximum
    suppression at ``nms_iou``, at most ``max_detections`` by score.

    ``model`` is either the training model, whose first ``training_outputs``
    outputs are dropped (the runner then shares its layers and weights, so it
    always runs the current weights), or an inference model
    (``training_outputs=0``, e.g. a loaded best.h5). The remaining two outputs
    must be class scores [1, h, w, C] and box distances [1, h, w, 4] (left,
    top, right, bottom in input pixels from each cell centre), as the
    reference detector gives them.
    """

    def __init__(self, model, training_outputs=0, labels=None, score_threshold=0.05, nms_iou=0.5, max_detections=100):
        super().__init__(model, labels, score_threshold, nms_iou, max_detections, training_outputs)

    def run_single_instance(self, image):
        """Detects objects in one HxWx3 uint8 RGB image at its own size.

        Returns (boxes [K, 4] float32 corners x1, y1, x2, y2 normalised to the
        image size, class names [K] str, scores [K] float32), by score.
        """
        self.last_image = image
        boxes, classes, scores = self.predict([image])[0]
        return boxes, self.labels[classes], scores


def box_iou(boxes_a, boxes_b):
    """IoU matrix [A, B] of corner boxes x1, y1, x2, y2 (width x2 - x1, as COCO)."""
    a = np.asarray(boxes_a, dtype=np.float64).reshape(-1, 4)
    b = np.asarray(boxes_b, dtype=np.float64).reshape(-1, 4)
    inter_w = np.minimum(a[:, None, 2], b[None, :, 2]) - np.maximum(a[:, None, 0], b[None, :, 0])
    inter_h = np.minimum(a[:, None, 3], b[None, :, 3]) - np.maximum(a[:, None, 1], b[None, :, 1])
    intersection = np.maximum(inter_w, 0) * np.maximum(inter_h, 0)
    area_a = (a[:, 2] - a[:, 0]) * (a[:, 3] - a[:, 1])
    area_b = (b[:, 2] - b[:, 0]) * (b[:, 3] - b[:, 1])
    union = area_a[:, None] + area_b[None, :] - intersection
    return np.divide(intersection, union, out=np.zeros_like(intersection), where=union > 0)


def match_detections(detection_boxes, ground_truth_boxes, iou_thresholds=IOU_THRESHOLDS):
    """COCO matching of one image and class: matched flags [T, D] for detections sorted by score."""
    ious = box_iou(detection_boxes, ground_truth_boxes)
    matched = np.zeros((len(iou_thresholds), ious.shape[0]), dtype=bool)
    highest = ious.max(initial=0.0)
    for index, threshold in enumerate(iou_thresholds):
        if highest >= min(threshold, 1 - 1e-10):  # else nothing matches at this threshold
            matched[index] = _greedy_match(ious, threshold) >= 0
    return matched


def _greedy_match(ious, threshold):
    """The ground-truth index each detection (rows, by score) takes, or -1.

    Every detection in turn takes the still unmatched ground-truth box with the
    highest IoU, if that IoU reaches the threshold; of equal IoUs the last
    box, as pycocotools does.
    """
    taken = np.zeros(ious.shape[1], dtype=bool)
    assigned = np.full(ious.shape[0], -1, dtype=np.int64)
    if ious.shape[1] == 0:
        return assigned
    limit = min(threshold, 1 - 1e-10)
    # A detection with no IoU reaching the threshold takes nothing, so only
    # the others (few of an image's up to 100 detections) need the loop.
    for d in np.flatnonzero(ious.max(axis=1) >= limit):
        candidates = np.where(taken, -1.0, ious[d])
        best = len(candidates) - 1 - int(np.argmax(candidates[::-1]))
        if candidates[best] >= limit:
            taken[best] = True
            assigned[d] = best
    return assigned


def f1_at_thresholds(scores, matched, count, thresholds=SCORE_THRESHOLDS):
    """F1 of the detections scoring >= each threshold; ``scores`` descending, ``matched`` their flags at one IoU."""
    taken = np.searchsorted(-np.asarray(scores), -np.asarray(thresholds), side="right")
    true_positives = np.concatenate([[0], np.cumsum(matched)])[taken]
    return _ratio(2 * true_positives, taken + count)


def best_f1(scores, matched, count, fallback):
    """(score threshold, F1) where F1 peaks; ``scores`` descending, ``matched`` their flags at one IoU.

    The candidates are the detections' own scores ("score >= threshold"), so
    tied scores go in or out together; of equal F1s the higher threshold wins.
    ``fallback`` (with F1 0) when no detection is correct.
    """
    scores = np.asarray(scores)
    ends = np.flatnonzero(np.append(scores[1:] != scores[:-1], True)) if len(scores) else np.zeros(0, np.int64)
    true_positives = np.cumsum(matched)[ends] if len(ends) else np.zeros(0)
    f1 = _ratio(2 * true_positives, ends + 1 + count)
    if not len(f1) or f1.max() <= 0:
        return float(fallback), 0.0
    best = int(np.argmax(f1))
    return float(scores[ends[best]]), float(f1[best])


class DetectionTruthValues:
    """What one validation pass has seen so far, per class: the running truth values.

    For every class: the number of ground-truth objects, and for each image
    (with its name, which orders detections of equal score) the scores of its
    detections (descending) with their matched flags at every IoU threshold.
    Boxes are in pixels. Plus a class-agnostic confusion matrix at IoU 0.5 of
    the operating-point detections: rows are true classes and a last
    "background" row (detections of nothing), columns predicted classes and a
    last "background" column (missed objects).
    """

    def __init__(self, num_classes, confidence_threshold, max_detections=100):
        self.num_classes = num_classes
        self.confidence_threshold = confidence_threshold
        self.max_detections = max_detections
        self.num_images = 0
        self.num_ground_truth = np.zeros(num_classes, dtype=np.int64)
        self.scores = [[] for _ in range(num_classes)]
        self.matched = [[] for _ in range(num_classes)]
        self.image_names = [[] for _ in range(num_classes)]
        self.confusion = np.zeros((num_classes + 1, num_classes + 1), dtype=np.int64)

    def add_image(self, gt_boxes, gt_classes, dt_boxes, dt_classes, dt_scores, name=""):
        """Adds the image ``name``: boxes are corner arrays in pixels, classes integer indices."""
        self.num_images += 1
        for cls in np.union1d(gt_classes, dt_classes).astype(np.int64):
            gt = gt_boxes[gt_classes == cls]
            order = np.flatnonzero(dt_classes == cls)
            order = order[np.argsort(-dt_scores[order], kind="mergesort")][: self.max_detections]
            self.num_ground_truth[cls] += len(gt)
            self.scores[cls].append(dt_scores[order])
            self.matched[cls].append(match_detections(dt_boxes[order], gt))
            self.image_names[cls].append(name)
        self._add_to_confusion(gt_boxes, gt_classes, dt_boxes, dt_classes, dt_scores)

    def _add_to_confusion(self, gt_boxes, gt_classes, dt_boxes, dt_classes, dt_scores):
        """Counts the operating-point detections of one image into the confusion matrix.

        The diagonal is the results table's matching (each class on its own,
        by score, IoU >= 0.5), so it holds exactly the table's true positives;
        the detections and objects left over are then matched across classes
        (confusions), and what still has no partner goes to "background".
        """
        background = self.num_classes
        kept = np.flatnonzero(dt_scores >= self.confidence_threshold)
        kept = kept[np.argsort(-dt_scores[kept], kind="mergesort")]
        dt_done = np.zeros(len(kept), dtype=bool)
        gt_done = np.zeros(len(gt_boxes), dtype=bool)
        for cls in np.union1d(gt_classes, dt_classes[kept]).astype(np.int64):
            own_dt = np.flatnonzero(dt_classes[kept] == cls)
            own_gt = np.flatnonzero(gt_classes == cls)
            assigned = _greedy_match(box_iou(dt_boxes[kept[own_dt]], gt_boxes[own_gt]), 0.5)
            dt_done[own_dt[assigned >= 0]] = True
            gt_done[own_gt[assigned[assigned >= 0]]] = True
            self.confusion[cls, cls] += int((assigned >= 0).sum())
        rest_dt, rest_gt = np.flatnonzero(~dt_done), np.flatnonzero(~gt_done)
        assigned = _greedy_match(box_iou(dt_boxes[kept[rest_dt]], gt_boxes[rest_gt]), 0.5)
        for d, g in zip(kept[rest_dt], assigned):
            self.confusion[gt_classes[rest_gt[g]] if g >= 0 else background, dt_classes[d]] += 1
        for g in np.setdiff1d(rest_gt, rest_gt[assigned[assigned >= 0]]):
            self.confusion[gt_classes[g], background] += 1

    def ranked(self, cls=None):
        """Scores of all detections of a class (all classes when None), descending, with their matched flags [T, D]."""
        parts = [
            (self.image_names[c][i], self.scores[c][i], self.matched[c][i])
            for c in (range(self.num_classes) if cls is None else [cls])
            for i in range(len(self.image_names[c]))
        ]
        # Images by name (a stable sort: equal names keep their arrival order),
        # so that equal scores rank the same whatever order the images came in.
        parts.sort(key=lambda part: part[0])
        scores = np.concatenate([np.zeros(0)] + [part[1] for part in parts])
        matched = np.concatenate([np.zeros((len(IOU_THRESHOLDS), 0), bool)] + [part[2] for part in parts], axis=1)
        order = np.argsort(-scores, kind="mergesort")
        return scores[order], matched[:, order]

    def class_statistics(self, cls):
        """Precision [T, R] at the recall points, recall [T], and operating-point TP and FP [T]."""
        scores, matched = self.ranked(cls)
        operating = scores >= self.confidence_threshold
        true_positives = matched[:, operating].sum(axis=1)
        false_positives = operating.sum() - true_positives

        count = self.num_ground_truth[cls]
        precision = np.zeros((len(IOU_THRESHOLDS), len(RECALL_THRESHOLDS)))
        recall = np.zeros(len(IOU_THRESHOLDS))
        if count == 0 or matched.shape[1] == 0:
            return precision, recall, true_positives, false_positives
        tp = np.cumsum(matched, axis=1, dtype=np.float64)
        fp = np.cumsum(~matched, axis=1, dtype=np.float64)
        for t in range(len(IOU_THRESHOLDS)):
            rc = tp[t] / count
            pr = tp[t] / (tp[t] + fp[t] + np.spacing(1))
            pr = np.maximum.accumulate(pr[::-1])[::-1]  # non-increasing in recall
            at = np.searchsorted(rc, RECALL_THRESHOLDS, side="left")
            valid = at < len(rc)
            precision[t, valid] = pr[at[valid]]
            recall[t] = rc[-1]
        return precision, recall, true_positives, false_positives


class DetectionEvaluator(LabelledEvaluator):
    """Scores detections against ground truth over a validation pass.

    The trainer configures it with ``evaluator(val_messenger=..., labels=...)``,
    then per image calls ``runner.run_single_instance(image)`` and
    ``single_evaluation(instances, epoch, add_image)``, and finally
    ``conclude(truth_values, epoch=epoch)``, which returns the metrics and
    starts a new pass. See the module docstring for the metrics.

    ``model`` and ``training_outputs`` go to the ``DetectionRunner``. Only
    detections with a score >= ``confidence_threshold`` count for mACC, OP,
    OR, OA, the confusion matrix and the drawn images; AP and AR use all.

    With ``loss`` (the training loss) and the training model
    (``training_outputs`` > 0), each image's loss is computed from the
    outputs of the run that detected its objects, and ``conclude`` reports
    their mean as metrics["loss"] (and the scalar "validation/total-loss").
    ``conclude`` also sets ``current_thresholds``: the score threshold where
    F1 at IoU 0.5 peaks, over all classes and per class.
    """

    def __init__(
        self,
        model,
        training_outputs=0,
        labels=None,
        val_messenger=None,
        score_threshold=0.05,
        confidence_threshold=0.3,
        nms_iou=0.5,
        max_detections=100,
        loss=None,
    ):
        self.runner = DetectionRunner(model, training_outputs, None, score_threshold, nms_iou, max_detections)
        self.loss = loss
        self._loss_total = tf.function(
            lambda targets, outputs: loss(targets, outputs)["total-loss"], reduce_retracing=True, autograph=False
        )
        self._losses = []
        self.training_outputs = int(training_outputs)
        self.confidence_threshold = float(confidence_threshold)
        self.max_detections = int(max_detections)
        self.val_messenger = val_messenger
        self.labels = None
        self.class_names = []
        self.current_summary = ""
        self.current_plots = {}
        self.current_thresholds = {}
        self._truth_values = None
        if labels is not None:
            self._set_labels(labels)

    def _set_labels(self, labels):
        self.labels = checked_labels(labels, "DetectionEvaluator")
        self.class_names = self.labels[1:] if self.labels[0] == BACKGROUND else list(self.labels)
        self.runner.set_labels(self.labels)
        self._truth_values = self._new_truth_values()
        self._losses = []

    def _new_truth_values(self):
        return DetectionTruthValues(len(self.class_names), self.confidence_threshold, self.max_detections)

    def single_evaluation(self, instances, epoch, add_image):
        """Adds one image's ground truth and detections; returns the running truth values.

        ``instances["gt_instance"]`` holds "image", "boxes" (normalised
        corners), "labels" (class names) and "image_path";
        ``instances["dt_instance"]`` holds "boxes", "labels", "scores". Ground
        truth rows of zero area are padding, not objects. Nothing of
        ``instances`` is kept: the caller may reuse its arrays.
        """
        if self._truth_values is None:
            raise RuntimeError("DetectionEvaluator: class labels are not set; call evaluator(labels=...) first")
        gt, dt = instances["gt_instance"], instances["dt_instance"]
        where = gt.get("image_path", "?")
        height, width = np.shape(gt["image"])[:2]
        to_pixels = np.array([width, height, width, height], dtype=np.float64)
        gt_boxes = _boxes_array(gt["boxes"], "ground-truth", where) * to_pixels
        gt_classes = self._class_indices(gt["labels"], len(gt_boxes), "ground-truth", where)
        is_object = (gt_boxes[:, 2] > gt_boxes[:, 0]) & (gt_boxes[:, 3] > gt_boxes[:, 1])
        gt_boxes, gt_classes = gt_boxes[is_object], gt_classes[is_object]
        dt_boxes = _boxes_array(dt["boxes"], "detection", where) * to_pixels
        dt_classes = self._class_indices(dt["labels"], len(dt_boxes), "detection", where)
        dt_scores = np.array(dt["scores"], dtype=np.float64).reshape(-1)
        if len(dt_scores) != len(dt_boxes):
            raise ValueError(
                f"DetectionEvaluator: {where}: {len(dt_scores)} detection scores for {len(dt_boxes)} boxes"
            )
        if (gt_classes < 0).any() or (dt_classes < 0).any():
            raise ValueError(f"DetectionEvaluator: {where}: a box of non-zero area is labelled {BACKGROUND!r}")

        gt_boxes, dt_boxes = np.round(gt_boxes, PIXEL_DECIMALS), np.round(dt_boxes, PIXEL_DECIMALS)
        self._truth_values.add_image(gt_boxes, gt_classes, dt_boxes, dt_classes, dt_scores, str(where))
        if self.loss is not None and self.training_outputs and getattr(self.runner, "last_image", None) is gt["image"]:
            self._losses.append(self._validation_loss(gt_boxes, gt_classes))
        if add_image and self.val_messenger is not None:
            self._draw(gt["image"], where, gt_boxes, dt_boxes, dt_classes, dt_scores, epoch)
        return self._truth_values

    def _validation_loss(self, gt_boxes, gt_classes):
        """The training loss of the image the runner just ran, from the outputs of that run.

        The ground truth goes where the letterbox put the image in the model
        input, with the labels numbered as the score maps are.
        """
        geometry = self.runner.last_geometry[0]
        scale = np.array([geometry.ratio_x, geometry.ratio_y] * 2)  # the boxes are in pixels of the image
        offset = np.array([geometry.pad_x, geometry.pad_y] * 2)
        first_class = int(self.labels[0] == BACKGROUND)
        rows = np.concatenate([gt_boxes * scale + offset, (gt_classes + first_class)[:, None]], axis=1)
        targets = (tf.constant(rows[np.newaxis], tf.float32),)
        return float(self._loss_total(targets, tuple(self.runner.last_outputs)))

    def _class_indices(self, labels, count, kind, where):
        labels = np.asarray(labels).reshape(-1)
        if labels.dtype.kind == "U":  # the runner's class names: one conversion for the whole array
            names = labels.tolist()
        else:
            names = [label.decode() if isinstance(label, bytes) else str(label) for label in labels]
        if len(names) != count:
            raise ValueError(f"DetectionEvaluator: {where}: {len(names)} {kind} labels for {count} boxes")
        index = {name: i for i, name in enumerate(self.class_names)}
        # Padding rows carry the first label, which may be "background"; they
        # are dropped before use, any other box labelled so is refused.
        index.setdefault(BACKGROUND, -1)
        unknown = sorted(set(names) - set(index))
        if unknown:
            raise ValueError(
                f"DetectionEvaluator: {where}: {kind} label(s) {unknown} are not among the classes {self.class_names}"
            )
        return np.array([index[name] for name in names], dtype=np.int64)

    def _draw(self, image, where, gt_boxes, dt_boxes, dt_classes, dt_scores, epoch):
        """Logs the image with ground truth (white) and operating-point detections (class colours, with class and score)."""
        image = np.asarray(image)
        # Label text is drawn at a fixed size: enlarge small images so it stays readable.
        zoom = max(1, int(np.ceil(DRAWN_IMAGE_SIZE / max(image.shape[:2]))))
        if zoom > 1:
            image = np.repeat(np.repeat(image, zoom, axis=0), zoom, axis=1)
        canvas = draw_boxes(image, gt_boxes * zoom, None, color=GROUND_TRUTH_COLOR)
        shown = dt_scores >= self.confidence_threshold
        names = np.array(self.class_names)
        colors = class_palette(len(names))[dt_classes[shown]]
        canvas = draw_boxes(canvas, dt_boxes[shown] * zoom, names[dt_classes[shown]], dt_scores[shown], color=colors)
        self.val_messenger.add_image(f"validation/images/{os.path.basename(str(where))}", canvas, step=epoch)

    def conclude(self, truth_values, epoch=0):
        """Returns the metrics of the pass, fills current_summary and current_plots, and starts a new pass."""
        if not isinstance(truth_values, DetectionTruthValues):
            raise TypeError(
                f"DetectionEvaluator.conclude: truth_values must be what single_evaluation returned, "
                f"got {type(truth_values).__name__}"
            )
        names = self.class_names
        num_t = len(IOU_THRESHOLDS)
        precision = np.zeros((len(names), num_t, len(RECALL_THRESHOLDS)))
        recall = np.zeros((len(names), num_t))
        tp = np.zeros((len(names), num_t))
        fp = np.zeros((len(names), num_t))
        for cls in range(len(names)):
            precision[cls], recall[cls], tp[cls], fp[cls] = truth_values.class_statistics(cls)
        gt_count = truth_values.num_ground_truth.astype(np.float64)
        fn = gt_count[:, None] - tp

        with_gt = gt_count > 0
        seen = with_gt | (tp + fp > 0).any(axis=1)
        ap = precision.mean(axis=2)  # [classes, T]
        accuracy = _ratio(tp, tp + fp + fn)
        per_threshold = {
            "mAP": _mean_over(ap, with_gt),
            "mAR": _mean_over(recall, with_gt),
            "mACC": _mean_over(accuracy, seen),
        }
        metrics = {
            name: {"0.5": float(values[AT_IOU_05]), "0.75": float(values[AT_IOU_075]), "0.5:0.95": float(values.mean())}
            for name, values in per_threshold.items()
        }
        total_tp, total_fp, total_fn = (counts[:, AT_IOU_05].sum() for counts in (tp, fp, fn))
        metrics["OP"] = float(_ratio(total_tp, total_tp + total_fp))
        metrics["OR"] = float(_ratio(total_tp, total_tp + total_fn))
        metrics["OA"] = float(_ratio(total_tp, total_tp + total_fp + total_fn))
        if self._losses:
            metrics["loss"] = float(np.mean(self._losses))
            self._losses = []

        self.current_thresholds = self._best_f1_thresholds(truth_values, epoch)
        self.current_summary = self._summary_text(epoch, truth_values, metrics, ap, recall, tp, fp, fn, accuracy)
        self.current_plots = {
            "precision_recall": _precision_recall_figure(names, precision[:, AT_IOU_05], ap[:, AT_IOU_05], with_gt),
            "f1_threshold": _f1_figure(names, truth_values, self.current_thresholds),
            "confusion_matrix": _confusion_figure(names, truth_values.confusion, self.confidence_threshold),
        }
        if self.val_messenger is not None:
            # Four blanks make TensorBoard show the table as preformatted text.
            preformatted = "\n".join("    " + line for line in self.current_summary.splitlines())
            self.val_messenger.add_text("validation/summary", preformatted, step=epoch)
            if "loss" in metrics:
                self.val_messenger.add_scalar("validation/total-loss", metrics["loss"], step=epoch)
            for name, figure in self.current_plots.items():
                self.val_messenger.add_image(f"validation/{name}", figure_pixels(figure), step=epoch)
        self._truth_values = self._new_truth_values()
        return metrics

    def _best_f1_thresholds(self, truth_values, epoch):
        """The score thresholds where F1 at IoU 0.5 peaks, over all classes and per class (what predict uses)."""
        fallback = self.confidence_threshold

        def peak(cls, count):
            scores, matched = truth_values.ranked(cls)
            threshold, f1 = best_f1(scores, matched[AT_IOU_05], count, fallback)
            return {"score_threshold": threshold, "f1": f1}

        counts = truth_values.num_ground_truth
        return {
            "epoch": int(epoch),
            "iou": float(IOU_THRESHOLDS[AT_IOU_05]),
            **peak(None, int(counts.sum())),
            "classes": {name: peak(cls, int(counts[cls])) for cls, name in enumerate(self.class_names)},
        }

    def _summary_text(self, epoch, truth_values, metrics, ap, recall, tp, fp, fn, accuracy):
        at5, at75 = AT_IOU_05, AT_IOU_075
        lines = [
            f"Validation at epoch {epoch}: {truth_values.num_images} images, "
            f"{int(truth_values.num_ground_truth.sum())} objects; "
            f"operating point: score >= {self.confidence_threshold:g}",
            "found, P@0.5, R@0.5 and ACC@0.5 count the detections at the operating point; AP and AR all of them; "
            "best F1 is the highest F1 at IoU 0.5 over score thresholds, reached at score >= 'at'",
            "",
            f"{'class':<16}{'objects':>8}{'found':>8}{'AP@0.5':>9}{'AP@0.75':>9}{'AP@.5:.95':>10}"
            f"{'AR@.5:.95':>10}{'P@0.5':>8}{'R@0.5':>8}{'ACC@0.5':>9}{'best F1':>9}{'at':>7}",
        ]
        thresholds = self.current_thresholds
        for cls, name in enumerate(self.class_names):
            found = tp[cls, at5] + fp[cls, at5]
            peak = thresholds["classes"][name]
            lines.append(
                f"{name[:15]:<16}{int(truth_values.num_ground_truth[cls]):>8}{int(found):>8}"
                f"{ap[cls, at5]:>9.3f}{ap[cls, at75]:>9.3f}{ap[cls].mean():>10.3f}{recall[cls].mean():>10.3f}"
                f"{_ratio(tp[cls, at5], found):>8.3f}{_ratio(tp[cls, at5], tp[cls, at5] + fn[cls, at5]):>8.3f}"
                f"{accuracy[cls, at5]:>9.3f}{peak['f1']:>9.3f}{peak['score_threshold']:>7.3f}"
            )
        lines.append("")
        lines.append(
            f"best F1 over all classes at IoU 0.5: {thresholds['f1']:.4f} at score >= "
            f"{thresholds['score_threshold']:.4f} (predict's default threshold for a model of this epoch)"
        )
        for name in ("mAP", "mAR", "mACC"):
            lines.append("   ".join(f"{name}@{key} {value:.4f}" for key, value in metrics[name].items()))
        lines.append(
            f"overall at IoU 0.5: precision {metrics['OP']:.4f}   recall {metrics['OR']:.4f}   "
            f"accuracy {metrics['OA']:.4f}"
        )
        return "\n".join(lines) + "\n"

    def save_plots_disk(self, plots=None, path=None):
        """Writes each plot as <path>/<name>.png (the trainer passes current_plots)."""
        if path is None:
            raise ValueError("DetectionEvaluator.save_plots_disk: path (the folder to write to) is required")
        plots = self.current_plots if plots is None else plots
        os.makedirs(path, exist_ok=True)
        for name, figure in plots.items():
            if not name or os.path.basename(name) != name:
                raise ValueError(f"DetectionEvaluator.save_plots_disk: plot name {name!r} is not a plain file name")
            save_atomically(
                os.path.join(path, f"{name}.png"), lambda temporary: figure.savefig(temporary, format="png")
            )

    def evaluate(self, val_ds, epoch=0):
        """Runs a whole validation pass over ``val_ds`` as the trainer does; returns the metrics.

        ``val_ds`` yields batches of one (image, boxes, name), as a dataset's
        ``build_val_iterator()`` builds them. Handy to score a saved model.
        """
        if self.labels is None:
            raise RuntimeError("DetectionEvaluator: class labels are not set; call evaluator(labels=...) first")
        truth_values = self._truth_values
        for image, boxes, names in val_ds:
            image, boxes = np.asarray(image)[0], np.asarray(boxes)[0]
            name = np.asarray(names)[0]
            dt_boxes, dt_labels, dt_scores = self.runner.run_single_instance(image)
            instances = {
                "gt_instance": {
                    "image": image,
                    "height": image.shape[0],
                    "width": image.shape[1],
                    "boxes": boxes[:, 0:4],
                    "labels": np.array([self.labels[int(row[0])] for row in boxes[:, 4:]]),
                    "image_path": name.decode() if isinstance(name, bytes) else str(name),
                },
                "dt_instance": {"boxes": dt_boxes, "labels": dt_labels, "scores": dt_scores},
            }
            truth_values = self.single_evaluation(instances, epoch, False)
        return self.conclude(truth_values, epoch=epoch)


def _boxes_array(boxes, kind, where):
    array = np.array(boxes, dtype=np.float64)
    if array.size == 0:
        return array.reshape(0, 4)
    if array.ndim != 2 or array.shape[1] != 4:
        raise ValueError(f"DetectionEvaluator: {where}: {kind} boxes must be N x 4 corners, got shape {array.shape}")
    return array


def _ratio(numerator, denominator):
    numerator = np.asarray(numerator, dtype=np.float64)
    denominator = np.asarray(denominator, dtype=np.float64)
    return np.divide(
        numerator, denominator, out=np.zeros(np.broadcast(numerator, denominator).shape), where=denominator > 0
    )


def _mean_over(values, rows):
    """Mean over the selected rows of a [classes, T] table, per threshold; zeros when none."""
    if not rows.any():
        return np.zeros(values.shape[1])
    return values[rows].mean(axis=0)


def _precision_recall_figure(names, precision, ap, with_gt):
    from matplotlib.figure import Figure

    # The tight layout is worked out when the figure is drawn (saved), not
    # here: that takes a drawing of its own, paid in every validation pass.
    figure = Figure(figsize=(6, 5), dpi=100, layout="tight")
    axes = figure.add_subplot()
    for cls, name in enumerate(names):
        if with_gt[cls]:
            axes.plot(RECALL_THRESHOLDS, precision[cls], label=f"{name} (AP {ap[cls]:.3f})")
    axes.set(
        xlim=(0, 1),
        ylim=(0, 1.02),
        xlabel="recall",
        ylabel="precision",
        title="Precision-recall at IoU 0.5 (interpolated)",
    )
    axes.grid(alpha=0.3)
    if with_gt.any():
        axes.legend(loc="lower left")
    return figure


def _f1_figure(names, truth_values, thresholds):
    from matplotlib.figure import Figure

    figure = Figure(figsize=(6, 5), dpi=100, layout="tight")
    axes = figure.add_subplot()
    counts = truth_values.num_ground_truth
    for cls, name in [(cls, name) for cls, name in enumerate(names) if counts[cls] > 0] + [(None, "all classes")]:
        scores, matched = truth_values.ranked(cls)
        count = int(counts.sum() if cls is None else counts[cls])
        peak = thresholds if cls is None else thresholds["classes"][name]
        line = axes.plot(
            SCORE_THRESHOLDS,
            f1_at_thresholds(scores, matched[AT_IOU_05], count),
            label=f"{name} (best {peak['f1']:.3f} at {peak['score_threshold']:.3f})",
            **({"color": "black", "linewidth": 2.5} if cls is None else {}),
        )
        axes.plot([peak["score_threshold"]], [peak["f1"]], "o", color=line[0].get_color())
    axes.set(
        xlim=(0, 1), ylim=(0, 1.02), xlabel="score threshold", ylabel="F1", title="F1 at IoU 0.5 by score threshold"
    )
    axes.grid(alpha=0.3)
    axes.legend(loc="upper right", fontsize="small")  # F1 falls towards high thresholds: room there
    return figure


def _confusion_figure(names, confusion, confidence_threshold):
    from matplotlib.figure import Figure

    ticks = list(names) + [BACKGROUND]
    figure = Figure(figsize=(1.2 * len(ticks) + 2.5, 1.0 * len(ticks) + 2), dpi=100, layout="tight")
    axes = figure.add_subplot()
    image = axes.imshow(confusion, cmap="Blues")
    figure.colorbar(image, ax=axes)
    axes.set_xticks(range(len(ticks)), ticks, rotation=45, ha="right")
    axes.set_yticks(range(len(ticks)), ticks)
    axes.set(xlabel="predicted", ylabel="true", title=f"Confusion at IoU 0.5, score >= {confidence_threshold:g}")
    threshold = confusion.max() / 2 if confusion.size else 0
    for (row, col), count in np.ndenumerate(confusion):
        axes.text(col, row, str(count), ha="center", va="center", color="white" if count > threshold else "black")
    return figure
