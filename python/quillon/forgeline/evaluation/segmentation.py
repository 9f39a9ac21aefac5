"""Evaluator of semantic-segmentation models, for ``SegmentationTrainer``.

The trainer drives it once per validation pass:

    evaluator(val_messenger=writer, labels=classes)          # once per run
    mask = evaluator.runner.run_single_instance(image)      # per image
    truth = evaluator.single_evaluation(instance, epoch, add_image)
    metrics = evaluator.conclude(truth, epoch=epoch)        # after the pass
    evaluator.save_plots_disk(plots=evaluator.current_plots, path=folder)

Every pixel of every image is counted in one confusion matrix (rows: true
class, columns: predicted class); all metrics derive from it. See
``metrics_from_confusion`` for exactly what each value means.
"""

import os

import cv2
import numpy as np
import tensorflow as tf
from PIL import Image

from quillon.forgeline.deploy.predictors import float32_outputs
from quillon.forgeline.evaluation.passes import LabelledEvaluator
from quillon.forgeline.run_files import save_atomically
from quillon.validator.writers import class_palette, figure_pixels, legend_strip, title_strip

# Overlays are enlarged to at least this height so small images stay readable.
_OVERLAY_MIN_HEIGHT = 192
# How many drawn samples of a pass are kept in current_plots.
_MAX_SAMPLE_PLOTS = 8


class SegmentationRunner:
    """Runs a model on one image and returns its class mask.

    Holds a reference to the model, so it always runs the current weights
    (the trainer's model while it trains). Images are scaled to 0..1 exactly
    as the trainers' ``preprocess_input`` does.
    """

    def __init__(self, model):
        self.model = model
        self._logits = tf.function(lambda images: float32_outputs(model(images, training=False)), reduce_retracing=True)

    def run_single_instance(self, image):
        """image: uint8 H x W x 3. Returns the int32 H x W predicted class mask."""
        image = np.asarray(image)
        if image.ndim != 3 or image.shape[2] != 3:
            raise ValueError(f"SegmentationRunner: image must be H x W x 3, got shape {image.shape}")
        height, width = image.shape[:2]
        batch = tf.convert_to_tensor(image[np.newaxis], tf.float32) / 255.0
        logits = self._logits(batch)
        # What a validation loss needs, without running the model again.
        self.last_image, self.last_logits = image, logits
        if isinstance(logits, (list, tuple)):
            if len(logits) != 1:
                raise ValueError(
                    f"SegmentationRunner: the model must have one output (class logits), it has {len(logits)}"
                )
            logits = logits[0]
        if logits.shape.rank != 4 or logits.shape[-1] < 2:
            raise ValueError(
                "SegmentationRunner: the model output must be [batch, height, width, classes] with at least 2 "
                f"classes, got shape {logits.shape}"
            )
        if logits.shape[1] != height or logits.shape[2] != width:
            logits = tf.image.resize(logits, (height, width), method="bilinear")
        return tf.argmax(logits[0], axis=-1, output_type=tf.int32).numpy()


class SegmentationEvaluator(LabelledEvaluator):
    """Accumulates pixel statistics over a validation pass and reports metrics.

    model: the Keras model being trained; ``runner`` runs it.
    labels: class names, index = mask value; may also be given (and is
      usually given by the trainer) through ``evaluator(labels=...)``.
    background: the background class index, left out of the overall
      precision and recall ("OP", "OR"); None when there is no background.
    loss: the training loss, or None; with it, each image's loss is computed
      from the logits of the run that predicted its mask, and ``conclude``
      reports their mean as metrics["loss"] ("validation/total-loss").
    """

    def __init__(self, model, labels=None, background=0, loss=None):
        self.runner = SegmentationRunner(model)
        self.loss = loss
        self._loss_total = tf.function(
            lambda masks, logits: loss((masks,), logits)["total-loss"], reduce_retracing=True, autograph=False
        )
        self._losses = []
        self.val_messenger = None
        self.labels = None
        self.background = background
        self.current_summary = ""
        self.current_plots = {}
        self._confusion = None
        self._samples = {}
        if labels is not None:
            self._set_labels(labels)

    def _set_labels(self, labels):
        if isinstance(labels, (str, bytes)) or not hasattr(labels, "__len__") or len(labels) < 2:
            raise ValueError(f"SegmentationEvaluator: labels must list at least 2 class names, got {labels!r}")
        if self.background is not None and not 0 <= self.background < len(labels):
            raise ValueError(
                f"SegmentationEvaluator: background class {self.background} is not one of the {len(labels)} labels"
            )
        self.labels = [str(label) for label in labels]
        self._reset()

    def _reset(self):
        self._confusion = np.zeros((len(self.labels), len(self.labels)), np.int64)
        self._samples = {}
        self._losses = []

    def single_evaluation(self, instance, epoch, add_image):
        """Counts one image's pixels; returns the running confusion matrix (a copy).

        instance["gt_instance"] holds "image", "gt_mask" and "image_path";
        instance["dt_instance"] holds "dt_mask". Nothing of ``instance`` is
        kept: the trainer reuses the dictionary for the next image. When
        ``add_image`` is true, the image, its true mask and the prediction are
        drawn side by side to the writer (and kept for ``current_plots``).
        """
        if self.labels is None:
            raise RuntimeError("SegmentationEvaluator: call evaluator(labels=[...]) before single_evaluation")
        truth, detection = instance["gt_instance"], instance["dt_instance"]
        path = truth.get("image_path", "<unnamed image>")
        gt_mask = self._checked_mask(truth["gt_mask"], "true", path)
        dt_mask = self._checked_mask(detection["dt_mask"], "predicted", path)
        if gt_mask.shape != dt_mask.shape:
            raise ValueError(
                f"SegmentationEvaluator: {path}: the predicted mask is {dt_mask.shape} but the true mask is {gt_mask.shape}"
            )
        classes = len(self.labels)
        counts = np.bincount(gt_mask.ravel() * classes + dt_mask.ravel(), minlength=classes * classes)
        self._confusion += counts.reshape(classes, classes)
        if add_image:
            self._draw_sample(truth["image"], gt_mask, dt_mask, path, epoch)
        if self.loss is not None and getattr(self.runner, "last_image", None) is truth["image"]:
            logits = self.runner.last_logits
            if tuple(logits.shape[1:3]) != gt_mask.shape:
                size = (int(logits.shape[2]), int(logits.shape[1]))
                gt_mask = cv2.resize(gt_mask.astype(np.int32), size, interpolation=cv2.INTER_NEAREST)
            self._losses.append(float(self._loss_total(tf.constant(gt_mask[np.newaxis], tf.int32), logits)))
        return self._confusion.copy()

    def _checked_mask(self, mask, which, path):
        mask = np.asarray(mask)
        if mask.ndim == 3 and mask.shape[2] == 1:
            mask = mask[:, :, 0]
        if mask.ndim != 2 or not (np.issubdtype(mask.dtype, np.integer) or mask.dtype == np.bool_):
            raise ValueError(
                f"SegmentationEvaluator: {path}: the {which} mask must be an H x W integer array, "
                f"got shape {mask.shape} dtype {mask.dtype}"
            )
        mask = mask.astype(np.int64)
        if mask.size and (mask.min() < 0 or mask.max() >= len(self.labels)):
            bad = sorted(set(np.unique(mask).tolist()) - set(range(len(self.labels))))
            raise ValueError(
                f"SegmentationEvaluator: {path}: the {which} mask holds values {bad} outside the "
                f"{len(self.labels)} classes 0..{len(self.labels) - 1}"
            )
        return mask

    def _draw_sample(self, image, gt_mask, dt_mask, path, epoch):
        overlay = draw_segmentation_overlay(
            image, gt_mask, dt_mask, len(self.labels), self.background, labels=self.labels
        )
        file_name = os.path.basename(str(path))
        if len(self._samples) < _MAX_SAMPLE_PLOTS:
            self._samples["sample_" + os.path.splitext(file_name)[0]] = overlay
        if self.val_messenger is not None:
            self.val_messenger.add_image(f"validation/images/{file_name}", overlay, epoch)

    def conclude(self, truth_values, epoch=0):
        """Turns a pass's confusion matrix into the metrics; readies the next pass.

        Returns {"mAP", "mAR", "mACC", "OP", "OR", "OA", "mIoU"} as floats
        (see ``metrics_from_confusion``). Sets ``current_summary`` (a per-class
        table) and ``current_plots`` (confusion matrix and drawn samples, RGB
        arrays), and sends them and the mean IoU to the writer.
        """
        if self.labels is None:
            raise RuntimeError("SegmentationEvaluator: call evaluator(labels=[...]) before conclude")
        confusion = np.asarray(truth_values)
        classes = len(self.labels)
        if confusion.shape != (classes, classes):
            raise ValueError(
                f"SegmentationEvaluator.conclude: truth_values must be the {classes} x {classes} confusion matrix "
                f"returned by single_evaluation, got shape {confusion.shape}"
            )
        if confusion.sum() == 0:
            raise ValueError("SegmentationEvaluator.conclude: no pixel was evaluated in this pass")
        metrics, per_class = metrics_from_confusion(confusion, self.background)
        if self._losses:
            metrics["loss"] = float(np.mean(self._losses))
        self.current_summary = format_summary(self.labels, confusion, metrics, per_class, epoch)
        self.current_plots = {"confusion_matrix": render_confusion_matrix(confusion, self.labels)}
        self.current_plots.update(self._samples)
        if self.val_messenger is not None:
            self.val_messenger.add_image("validation/confusion_matrix", self.current_plots["confusion_matrix"], epoch)
            self.val_messenger.add_scalar("validation/mIoU", metrics["mIoU"], epoch)
            if "loss" in metrics:
                self.val_messenger.add_scalar("validation/total-loss", metrics["loss"], epoch)
            self.val_messenger.add_text("validation/summary", "```\n" + self.current_summary + "```", epoch)
        self._reset()
        return metrics

    def save_plots_disk(self, plots=None, path="."):
        """Writes each plot as ``<path>/<name>.png`` (RGB arrays, e.g. ``current_plots``)."""
        plots = self.current_plots if plots is None else plots
        os.makedirs(path, exist_ok=True)
        for name, image in plots.items():
            if not isinstance(name, str) or not name or os.sep in name or (os.altsep and os.altsep in name):
                raise ValueError(f"SegmentationEvaluator.save_plots_disk: plot name {name!r} is not a plain file name")
            picture = Image.fromarray(np.asarray(image, np.uint8))
            save_atomically(os.path.join(path, name + ".png"), lambda temporary: picture.save(temporary, format="PNG"))

    def evaluate(self, val_ds, epoch=0):
        """Runs a whole validation pass as ``SegmentationTrainer`` does; returns the metrics.

        ``val_ds`` yields unbatched (image, mask, path) elements, as
        ``SegmentationDataset.build_val_iterator()`` builds them. Handy to
        score a saved model.
        """
        truth_values = None
        for image, mask, path in val_ds:
            image = np.asarray(image)
            dt_mask = self.runner.run_single_instance(image)
            instance = {
                "gt_instance": {
                    "image": image,
                    "height": image.shape[0],
                    "width": image.shape[1],
                    "gt_mask": np.asarray(mask),
                    "labels": list(np.unique(mask)),
                    "image_path": _text(np.asarray(path).item()),
                },
                "dt_instance": {"dt_mask": dt_mask, "labels": list(np.unique(dt_mask))},
            }
            truth_values = self.single_evaluation(instance, epoch, False)
        if truth_values is None:
            raise ValueError("SegmentationEvaluator.evaluate: the validation pipeline yielded no element")
        return self.conclude(truth_values, epoch=epoch)


def metrics_from_confusion(confusion, background=0):
    """Computes the pass metrics from a confusion matrix (rows true, columns predicted).

    For class c: TP = pixels of class c predicted c; "true" = pixels of class
    c; "predicted" = pixels predicted c; N = all pixels.

      precision_c = TP / predicted      recall_c = TP / true
      accuracy_c  = pixels on which "is c" and "predicted c" agree, / N
                    (one-vs-rest pixel accuracy; high for rare classes)
      IoU_c       = TP / (true + predicted - TP)

    A class counts as present when it has true or predicted pixels.

      "mAP"  mean precision over present classes (a present class never
             predicted scores 0)
      "mAR"  mean recall over classes with true pixels
      "mACC" mean accuracy_c over present classes
      "mIoU" mean IoU over present classes
      "OA"   correct pixels / N
      "OP"   of the pixels predicted as a non-background class, the share
             whose class is right
      "OR"   of the non-background pixels, the share predicted as their class
             ("OP" and "OR" count every class when ``background`` is None,
             and then both equal "OA")

    A ratio whose denominator is 0 is 1.0 when its other side is empty too
    (nothing to find and nothing claimed) and 0.0 otherwise.

    Returns (metrics dict of floats, per-class dict of arrays "precision",
    "recall", "accuracy", "iou", "present").
    """
    confusion = np.asarray(confusion, np.float64)
    total = confusion.sum()
    true_positive = np.diag(confusion)
    true = confusion.sum(axis=1)
    predicted = confusion.sum(axis=0)
    present = (true > 0) | (predicted > 0)
    precision = _ratio(true_positive, predicted, true)
    recall = _ratio(true_positive, true, predicted)
    accuracy = (total - true - predicted + 2.0 * true_positive) / total
    iou = _ratio(true_positive, true + predicted - true_positive, true + predicted)
    foreground = np.ones(len(confusion), bool)
    if background is not None:
        foreground[background] = False
    metrics = {
        "mAP": float(precision[present].mean()),
        "mAR": float(recall[true > 0].mean()) if (true > 0).any() else 0.0,
        "mACC": float(accuracy[present].mean()),
        "OP": float(_ratio(true_positive[foreground].sum(), predicted[foreground].sum(), true[foreground].sum())),
        "OR": float(_ratio(true_positive[foreground].sum(), true[foreground].sum(), predicted[foreground].sum())),
        "OA": float(true_positive.sum() / total),
        "mIoU": float(iou[present].mean()),
    }
    per_class = {"precision": precision, "recall": recall, "accuracy": accuracy, "iou": iou, "present": present}
    return metrics, per_class


def _ratio(numerator, denominator, other_side):
    numerator, denominator, other_side = (
        np.asarray(value, np.float64) for value in (numerator, denominator, other_side)
    )
    empty = np.where(other_side > 0, 0.0, 1.0)
    return np.where(denominator > 0, numerator / np.maximum(denominator, 1.0), empty)


def format_summary(labels, confusion, metrics, per_class, epoch):
    """Per-class table of the pass as plain text."""
    width = max(12, max(len(label) for label in labels) + 2)
    true_pixels = np.asarray(confusion).sum(axis=1)
    lines = [
        f"Segmentation validation, epoch {epoch}: {int(np.asarray(confusion).sum())} pixels",
        "",
        f"{'class':<{width}}{'pixels':>10}{'precision':>11}{'recall':>9}{'accuracy':>10}{'IoU':>8}",
    ]
    for index, label in enumerate(labels):
        if not per_class["present"][index]:
            lines.append(f"{label:<{width}}{0:>10}{'(absent: not in truth nor prediction)':>38}")
            continue
        lines.append(
            f"{label:<{width}}{int(true_pixels[index]):>10}{per_class['precision'][index]:>11.4f}"
            f"{per_class['recall'][index]:>9.4f}{per_class['accuracy'][index]:>10.4f}{per_class['iou'][index]:>8.4f}"
        )
    lines += [
        "",
        f"mean IoU (mIoU)       {metrics['mIoU']:.4f}",
        f"mean precision (mAP)  {metrics['mAP']:.4f}",
        f"mean recall (mAR)     {metrics['mAR']:.4f}",
        f"mean accuracy (mACC)  {metrics['mACC']:.4f}",
        f"overall precision (OP) {metrics['OP']:.4f}   overall recall (OR) {metrics['OR']:.4f}   "
        f"pixel accuracy (OA) {metrics['OA']:.4f}",
    ]
    return "\n".join(lines) + "\n"


def draw_segmentation_overlay(image, gt_mask, dt_mask, num_classes, background=0, labels=None):
    """Returns the image, its true mask and its predicted mask side by side, titled, with a colour legend below.

    The masks are drawn in opaque class colours over a darkened copy of the
    image, so the classes stand out whatever the image's own colours; the
    background class stays uncoloured. ``labels`` name the classes in the
    legend (default "class k").
    """
    image = np.asarray(image)
    if image.ndim != 3 or image.shape[2] != 3:
        raise ValueError(f"draw_segmentation_overlay: image must be H x W x 3, got shape {image.shape}")
    if image.dtype != np.uint8:
        image = np.clip(image, 0, 255).astype(np.uint8)
    palette = class_palette(num_classes)
    darkened = (image.astype(np.float32) * 0.35).astype(np.uint8)
    panels = [image]
    for mask in (gt_mask, dt_mask):
        coloured = darkened.copy()
        painted = np.ones(mask.shape, bool) if background is None else mask != background
        coloured[painted] = palette[mask[painted]]
        panels.append(coloured)
    scale = max(1, -(-_OVERLAY_MIN_HEIGHT // image.shape[0]))
    gap = np.full((image.shape[0] * scale + title_strip("", 1).shape[0], 2, 3), 255, np.uint8)
    titled = []
    for title, panel in zip(("image", "true classes", "predicted classes"), panels):
        if scale > 1:
            panel = cv2.resize(panel, (panel.shape[1] * scale, panel.shape[0] * scale), interpolation=cv2.INTER_NEAREST)
        titled += [np.concatenate([title_strip(title, panel.shape[1]), panel]), gap]
    overlay = np.concatenate(titled[:-1], axis=1)
    names = list(labels) if labels is not None else [f"class {k}" for k in range(num_classes)]
    shown = [k for k in range(num_classes) if k != background]
    legend = legend_strip([names[k] for k in shown], palette[shown], overlay.shape[1])
    return np.concatenate([overlay, legend], axis=0)


def render_confusion_matrix(confusion, labels):
    """Draws the row-normalised confusion matrix; returns an RGB uint8 array."""
    from matplotlib.figure import Figure

    confusion = np.asarray(confusion, np.float64)
    rows = confusion.sum(axis=1, keepdims=True)
    shares = np.divide(confusion, rows, out=np.zeros_like(confusion), where=rows > 0)
    size = 2.0 + 0.5 * len(labels)
    figure = Figure(figsize=(size + 1.0, size), dpi=100)
    axes = figure.add_subplot()
    shown = axes.imshow(shares, cmap="Blues", vmin=0.0, vmax=1.0)
    figure.colorbar(shown, ax=axes, fraction=0.046, pad=0.04)
    ticks = np.arange(len(labels))
    axes.set_xticks(ticks, labels, rotation=45, ha="right")
    axes.set_yticks(ticks, labels)
    axes.set_xlabel("predicted class")
    axes.set_ylabel("true class")
    axes.set_title("Share of each true class's pixels")
    if len(labels) <= 20:
        for row in range(len(labels)):
            for column in range(len(labels)):
                colour = "white" if shares[row, column] > 0.5 else "black"
                axes.text(column, row, f"{shares[row, column]:.2f}", ha="center", va="center", color=colour, fontsize=8)
    figure.tight_layout()
    return figure_pixels(figure)


def _text(value):
    return value.decode("utf-8") if isinstance(value, bytes) else str(value)
