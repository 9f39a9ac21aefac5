"""Batched inference of the three tasks: images in, decoded results out.

This is the one place where images become model input and model outputs
become results; the evaluators' runners, ``predict`` and the export check
use it.

- Detection: each image is letterboxed to the model input (grey padding,
  aspect kept) and scaled to 0..1, as the detection datasets and the trainer
  do. The candidates are, for a multi-level model, every point and class with
  a score >= ``score_threshold`` (for a single-scale model, the 3x3 local
  maxima of its score maps), boxed by the distances (left, top, right, bottom
  in input pixels from the point); the best ``CANDIDATES_PER_DETECTION`` x
  ``max_detections`` go through per-class non-maximum suppression at
  ``nms_iou``, at most ``max_detections`` are kept by score, and the boxes are
  mapped back to the original image (corners normalised to 0..1).
- Segmentation: each image is resized to the model input (bilinear, as the
  segmentation dataset does), the class logits are resized back to the image
  (bilinear) and the mask is their arg-max.
- Head pose: each image is resized to the model input (as the attitude
  datasets do); the result is pitch, yaw and roll.
"""

from typing import NamedTuple

import cv2
import numpy as np
import tensorflow as tf
from scipy.ndimage import maximum_filter

from quillon.forgeline.datasets.utils import letterbox
from quillon.forgeline.models.detection import model_points

BACKGROUND = "background"
LETTERBOX_PAD_VALUE = 114  # grey of the padding, as the datasets' letterbox
PEAK_WINDOW = 3
CANDIDATES_PER_DETECTION = 10  # peaks kept for suppression: this many times max_detections, best first


class Geometry(NamedTuple):
    """Where an original image sits in the letterboxed model input."""

    width: int
    height: int
    ratio_x: float
    ratio_y: float
    pad_x: int
    pad_y: int


class Detections(NamedTuple):
    """One image's detections, by descending score.

    boxes: float32 [K, 4] corners x1, y1, x2, y2 normalised to the image size;
    classes: int64 [K] indices into the model's score maps (the labels);
    scores: float32 [K].
    """

    boxes: np.ndarray
    classes: np.ndarray
    scores: np.ndarray


def checked_image(image, owner):
    """``image`` as an HxWx3 uint8 array, or a ValueError naming ``owner``."""
    image = np.asarray(image)
    if image.ndim != 3 or image.shape[2] != 3 or image.dtype != np.uint8 or 0 in image.shape:
        raise ValueError(
            f"{owner}: image must be an HxWx3 uint8 RGB array, got shape {image.shape} dtype {image.dtype}"
        )
    return image


def scaled_input(batch):
    """A uint8 image batch as the model takes it: float32 in 0..1, as the trainers' preprocess_input."""
    return tf.constant(batch, tf.float32) / 255.0


def float32_outputs(outputs):
    """A model's floating-point outputs as float32: a mixed-precision model returns half precision."""
    return tf.nest.map_structure(
        lambda output: tf.cast(output, tf.float32) if output.dtype.is_floating else output, outputs
    )


def letterbox_batch(images, input_height, input_width):
    """Letterboxes images to the model input; returns (uint8 batch [N, h, w, 3], [Geometry] per image)."""
    batch = np.empty((len(images), input_height, input_width, 3), np.uint8)
    geometry = []
    for index, image in enumerate(images):
        boxed, (ratio_x, ratio_y), (pad_x, pad_y) = letterbox(image, (input_height, input_width), auto=False)
        batch[index] = boxed
        geometry.append(Geometry(image.shape[1], image.shape[0], ratio_x, ratio_y, pad_x, pad_y))
    return batch, geometry


def resize_batch(images, input_height, input_width):
    """Resizes images to the model input (bilinear, aspect not kept); returns a uint8 batch [N, h, w, 3]."""
    batch = np.empty((len(images), input_height, input_width, 3), np.uint8)
    for index, image in enumerate(images):
        if image.shape[:2] == (input_height, input_width):
            batch[index] = image
        else:
            batch[index] = cv2.resize(image, (input_width, input_height), interpolation=cv2.INTER_LINEAR)
    return batch


def decode_detections(
    scores, distances, geometry, input_height, input_width, skip_first_class, score_threshold, nms_iou, max_detections
):
    """One image's detections from the score maps [h, w, C] and box distances [h, w, 4] of a single-scale model."""
    scores = np.array(scores)  # a copy: the background map is cleared below
    if skip_first_class:
        scores[..., 0] = 0.0
    peaks = scores == maximum_filter(scores, size=(PEAK_WINDOW, PEAK_WINDOW, 1), mode="constant")
    rows, cols, classes = np.nonzero(peaks & (scores >= score_threshold))
    stride_y = input_height / scores.shape[0]
    stride_x = input_width / scores.shape[1]
    points = np.stack([(cols + 0.5) * stride_x, (rows + 0.5) * stride_y], axis=1)
    candidates = scores[rows, cols, classes], classes, points, np.asarray(distances)[rows, cols]
    return _boxed_detections(*candidates, geometry, nms_iou, max_detections)


def decode_point_detections(
    scores, distances, points, geometry, skip_first_class, score_threshold, nms_iou, max_detections
):
    """One image's detections from the flattened outputs of a multi-level model: scores [N, C], distances [N, 4]
    at ``points`` [N, 2+] (x, y in input pixels). Every (point, class) with a score >= ``score_threshold`` is a
    candidate."""
    scores = np.asarray(scores)
    eligible = scores >= score_threshold
    if skip_first_class:
        eligible[:, 0] = False
    indices, classes = np.nonzero(eligible)
    found = scores[indices, classes]
    candidates = found, classes, np.asarray(points)[indices, :2], np.asarray(distances)[indices]
    return _boxed_detections(*candidates, geometry, nms_iou, max_detections)


def _boxed_detections(scores, classes, points, distances, geometry, nms_iou, max_detections):
    """The best candidates boxed around their points, back in the original image, after suppression."""
    order = np.argsort(-scores, kind="stable")[: CANDIDATES_PER_DETECTION * max_detections]
    scores, classes, points, distances = scores[order], classes[order], points[order], distances[order]
    centre_x, centre_y = points[:, 0], points[:, 1]
    left, top, right, bottom = distances.T
    # Letterboxed input pixels back to the original image, normalised.
    g = geometry
    boxes = np.stack(
        [
            (centre_x - left - g.pad_x) / g.ratio_x / g.width,
            (centre_y - top - g.pad_y) / g.ratio_y / g.height,
            (centre_x + right - g.pad_x) / g.ratio_x / g.width,
            (centre_y + bottom - g.pad_y) / g.ratio_y / g.height,
        ],
        axis=1,
    ).clip(0.0, 1.0)
    keep = class_wise_nms(boxes, scores, classes, nms_iou)[:max_detections]
    return Detections(
        boxes[keep].astype(np.float32).reshape(-1, 4),
        classes[keep].astype(np.int64),
        scores[keep].astype(np.float32),
    )


def class_wise_nms(boxes, scores, classes, iou_threshold):
    """Indices kept by per-class non-maximum suppression, by descending score."""
    if len(boxes) == 0:
        return np.zeros(0, dtype=np.int64)
    corner_size = np.concatenate([boxes[:, :2], boxes[:, 2:] - boxes[:, :2]], axis=1)  # OpenCV's x, y, w, h
    keep = np.asarray(
        cv2.dnn.NMSBoxesBatched(corner_size.tolist(), scores.tolist(), classes.tolist(), 0.0, iou_threshold),
        dtype=np.int64,
    ).reshape(-1)
    return keep[np.argsort(-scores[keep], kind="stable")]


def checked_labels(labels, owner):
    if not isinstance(labels, (list, tuple, np.ndarray)) or len(labels) == 0:
        raise ValueError(f"{owner}: labels must be a non-empty list of class names, got {labels!r}")
    names = [str(label) for label in labels]
    if len(set(names)) != len(names):
        raise ValueError(f"{owner}: labels must be unique, got {names}")
    return names


def fixed_input_size(model, owner):
    """(height, width) of a model taking channels-last RGB images of a fixed size, or a ValueError."""
    shape = tuple(model.input.shape)
    if len(shape) != 4 or shape[1] is None or shape[2] is None or shape[3] != 3:
        raise ValueError(
            f"{owner}: the model must take channels-last images (batch, height, width, 3) of a fixed size, "
            f"got input shape {shape}"
        )
    return int(shape[1]), int(shape[2])


class DetectionPredictor:
    """Runs a detection model on batches of images and decodes its detections.

    ``model`` is either the training model, whose first ``training_outputs``
    outputs are dropped (the predictor then shares its layers and weights, so
    it always runs the current weights), or an inference model
    (``training_outputs=0``, e.g. a loaded best.h5). The remaining two outputs
    must be class scores and box distances, as the reference detectors give
    them: flattened over the levels of a multi-level model ([B, N, C] and
    [B, N, 4], at the points of ``model_points``), or the maps of a
    single-scale one ([B, h, w, C] and [B, h, w, 4]). ``labels`` names the C
    classes; a leading "background" class is never reported.
    """

    def __init__(self, model, labels=None, score_threshold=0.05, nms_iou=0.5, max_detections=100, training_outputs=0):
        owner = type(self).__name__
        outputs = model.outputs[training_outputs:]
        if len(outputs) != 2:
            raise ValueError(
                f"{owner}: expected 2 inference outputs (class scores, box distances) after "
                f"{training_outputs} training outputs, the model has {len(model.outputs)} outputs"
            )
        network = model
        if training_outputs:
            model = tf.keras.Model(model.input, outputs)
        self.model = model
        self.input_height, self.input_width = fixed_input_size(model, owner)
        self.points = model_points(model)
        self.score_threshold = float(score_threshold)
        self.nms_iou = float(nms_iou)
        self.max_detections = int(max_detections)
        self.labels = None
        if labels is not None:
            self.set_labels(labels)
        # One traced graph per batch size; the weights are read at each call.
        # It returns every output, the training ones too: see last_outputs.
        self._predict = tf.function(lambda images: float32_outputs(network(images, training=False)), autograph=False)
        self.last_outputs = None
        self.last_geometry = None

    def set_labels(self, labels):
        """Class names in score-map order; a leading "background" map is never reported."""
        self.labels = np.array(checked_labels(labels, type(self).__name__))

    def predict(self, images):
        """Detects objects in HxWx3 uint8 RGB images of any sizes, all in one model call.

        Returns one ``Detections`` per image.
        """
        owner = type(self).__name__
        if self.labels is None:
            raise RuntimeError(
                f"{owner}: class labels are not set; pass labels=... (the evaluator: call it with labels=...)"
            )
        images = [checked_image(image, owner) for image in images]
        if not images:
            return []
        batch, geometry = letterbox_batch(images, self.input_height, self.input_width)
        # The outputs of the last call and where its images sit in the input:
        # what a validation loss needs, without running the model again.
        self.last_outputs, self.last_geometry = self._predict(scaled_input(batch)), geometry
        scores, distances = (np.asarray(output) for output in self.last_outputs[-2:])
        if scores.shape[-1] != len(self.labels):
            raise ValueError(
                f"{owner}: the model has {scores.shape[-1]} class score maps but {len(self.labels)} labels"
            )
        skip_background = self.labels[0] == BACKGROUND
        if self.points is not None:
            return [
                decode_point_detections(
                    scores[index],
                    distances[index],
                    self.points,
                    geometry[index],
                    skip_background,
                    self.score_threshold,
                    self.nms_iou,
                    self.max_detections,
                )
                for index in range(len(images))
            ]
        return [
            decode_detections(
                scores[index],
                distances[index],
                geometry[index],
                self.input_height,
                self.input_width,
                skip_background,
                self.score_threshold,
                self.nms_iou,
                self.max_detections,
            )
            for index in range(len(images))
        ]


class SegmentationPredictor:
    """Runs a segmentation model (one output: class logits [B, h, w, C]) on batches of images.

    ``predict`` returns one int32 class mask per image, at the image's own size.
    """

    def __init__(self, model, labels=None):
        owner = type(self).__name__
        if len(model.outputs) != 1 or len(model.outputs[0].shape) != 4:
            raise ValueError(f"{owner}: the model must have one output, class logits [batch, height, width, classes]")
        self.model = model
        self.input_height, self.input_width = fixed_input_size(model, owner)
        self.labels = None if labels is None else checked_labels(labels, owner)
        self._predict = tf.function(lambda images: float32_outputs(self.model(images, training=False)), autograph=False)

    def predict(self, images):
        images = [checked_image(image, type(self).__name__) for image in images]
        if not images:
            return []
        logits = self._predict(scaled_input(resize_batch(images, self.input_height, self.input_width)))
        masks = []
        for index, image in enumerate(images):
            single = logits[index]
            if tuple(single.shape[:2]) != image.shape[:2]:
                single = tf.image.resize(single, image.shape[:2], method="bilinear")
            masks.append(tf.argmax(single, axis=-1, output_type=tf.int32).numpy())
        return masks


class HeadposePredictor:
    """Runs a head-pose model (last output: angles [B, 3]) on batches of images.

    ``predict`` returns float32 [N, 3]: pitch, yaw, roll of each image, in the
    model's angle unit.
    """

    ANGLE_NAMES = ("pitch", "yaw", "roll")

    def __init__(self, model):
        owner = type(self).__name__
        if tuple(model.outputs[-1].shape[1:]) != (3,):
            raise ValueError(
                f"{owner}: the model's last output must be angles [batch, 3], got {model.outputs[-1].shape}"
            )
        self.model = model
        self.input_height, self.input_width = fixed_input_size(model, owner)
        self._predict = tf.function(lambda images: float32_outputs(self.model(images, training=False)), autograph=False)

    def predict(self, images):
        images = [checked_image(image, type(self).__name__) for image in images]
        if not images:
            return np.zeros((0, 3), np.float32)
        angles = self._predict(scaled_input(resize_batch(images, self.input_height, self.input_width)))
        if isinstance(angles, (list, tuple)):
            angles = angles[-1]
        return np.asarray(angles, np.float32)
