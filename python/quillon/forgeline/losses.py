"""Base interface of the losses the trainers optimise."""

import numpy as np
import tensorflow as tf

from quillon.forgeline.models import detection as reference_detector


class ForgelineLoss:
    """A training loss.

    Subclasses implement ``compute_loss(targets, predictions)``. It runs inside
    the trainer's ``tf.GradientTape`` in a ``tf.function``, so it must use
    TensorFlow ops only:

      targets: tuple of the batch elements that follow the images (for
        detection: the padded boxes tensor).
      predictions: the model outputs, as a tuple (segmentation: the output
        tensor as the model returns it).

    It returns a dict of scalar tensors with at least ``"total-loss"``, the
    value that gets differentiated; other entries are logged.
    """

    TOTAL_LOSS_KEY = "total-loss"

    def compute_loss(self, targets, predictions):
        raise NotImplementedError(
            f"{type(self).__name__} must implement compute_loss(targets, predictions) "
            f"returning a dict with a {self.TOTAL_LOSS_KEY!r} scalar tensor"
        )

    def __call__(self, targets, predictions):
        """Runs compute_loss and checks the result has the key the trainer needs.

        The check is plain Python, so inside a tf.function it costs nothing
        after tracing.
        """
        losses = self.compute_loss(targets, predictions)
        if not hasattr(losses, "keys"):
            raise TypeError(
                f"{type(self).__name__}.compute_loss must return a dict of losses, got {type(losses).__name__}"
            )
        if self.TOTAL_LOSS_KEY not in losses:
            raise KeyError(
                f"{type(self).__name__}.compute_loss returned keys {list(losses.keys())}, "
                f"missing {self.TOTAL_LOSS_KEY!r}"
            )
        return losses


class SegmentationLoss(ForgelineLoss):
    """Per-pixel cross-entropy plus soft Dice, for ``SegmentationTrainer``.

    targets: ``(masks,)``, int class indices [batch, height, width].
    predictions: the model output as the model returns it, per-pixel class
      logits [batch, height, width, num_classes] (``SegmentationTrainer``
      passes it unchanged).

    Cross-entropy alone is dominated by the background, which covers most
    pixels; the Dice term, averaged over the classes present in the batch,
    weighs every such class equally whatever its area, which is what mean IoU
    rewards. Returns "total-loss" = "cross-entropy" + dice_weight * "dice-loss".
    """

    def __init__(self, num_classes, dice_weight=1.0):
        if isinstance(num_classes, bool) or not isinstance(num_classes, int) or num_classes < 2:
            raise ValueError(f"SegmentationLoss: num_classes must be an int of at least 2, got {num_classes!r}")
        self.num_classes = num_classes
        self.dice_weight = float(dice_weight)

    def compute_loss(self, targets, predictions):
        if isinstance(predictions, (tuple, list)):
            raise TypeError(
                f"SegmentationLoss: predictions must be the logits tensor [batch, height, width, {self.num_classes}], "
                f"got a {type(predictions).__name__} of {len(predictions)} items (train with SegmentationTrainer, "
                "which passes the model output unchanged)"
            )
        logits = tf.cast(predictions, tf.float32)
        masks = tf.cast(targets[0], tf.int32)
        if masks.shape.rank == 4:
            masks = tf.squeeze(masks, axis=-1)
        cross_entropy = tf.reduce_mean(tf.nn.sparse_softmax_cross_entropy_with_logits(labels=masks, logits=logits))
        probabilities = tf.nn.softmax(logits, axis=-1)
        one_hot = tf.one_hot(masks, self.num_classes, dtype=tf.float32)
        intersection = tf.reduce_sum(probabilities * one_hot, axis=[0, 1, 2])
        sizes = tf.reduce_sum(probabilities, axis=[0, 1, 2]) + tf.reduce_sum(one_hot, axis=[0, 1, 2])
        dice = (2.0 * intersection + 1.0) / (sizes + 1.0)
        present = tf.cast(tf.reduce_sum(one_hot, axis=[0, 1, 2]) > 0, tf.float32)
        dice_loss = 1.0 - tf.reduce_sum(dice * present) / tf.maximum(tf.reduce_sum(present), 1.0)
        return {
            "total-loss": cross_entropy + self.dice_weight * dice_loss,
            "cross-entropy": cross_entropy,
            "dice-loss": dice_loss,
        }


class AttitudeLoss(ForgelineLoss):
    """Binned classification plus expectation regression for head angles.

    targets: ``(angles,)``, float [batch, 3]: pitch, yaw, roll.
    predictions: the outputs of ``build_headpose_model`` as a tuple
      (``DetectionTrainer`` passes ``tuple(model outputs)``): bin logits
      [batch, 3, num_bins], bin probabilities (unused here), angles [batch, 3].

    "bin-loss" is the cross-entropy of each angle's bin (angles outside
    ``angle_range`` fall into the first or last bin); "angle-loss" is the mean
    absolute error of the predicted angles measured in bins, so that both
    terms have the same scale whatever the angle unit. Returns "total-loss" =
    "bin-loss" + regression_weight * "angle-loss".
    """

    def __init__(self, num_bins=66, angle_range=(-99.0, 99.0), regression_weight=0.5):
        low, high = (float(value) for value in angle_range)
        if not high > low:
            raise ValueError(f"AttitudeLoss: angle_range must be (low, high) with high > low, got {angle_range!r}")
        if isinstance(num_bins, bool) or not isinstance(num_bins, int) or num_bins < 2:
            raise ValueError(f"AttitudeLoss: num_bins must be an int of at least 2, got {num_bins!r}")
        self.num_bins = num_bins
        self.low = low
        self.bin_width = (high - low) / num_bins
        self.regression_weight = float(regression_weight)

    def compute_loss(self, targets, predictions):
        if not isinstance(predictions, (tuple, list)) or len(predictions) != 3:
            raise TypeError(
                "AttitudeLoss: predictions must be the 3 model outputs (bin logits, bin probabilities, angles), "
                f"got {type(predictions).__name__}"
                + (f" of {len(predictions)} items" if isinstance(predictions, (tuple, list)) else "")
            )
        logits, _, predicted = predictions
        angles = tf.cast(targets[0], tf.float32)
        bins = tf.cast(tf.floor((angles - self.low) / self.bin_width), tf.int32)
        bins = tf.clip_by_value(bins, 0, self.num_bins - 1)
        bin_loss = tf.reduce_mean(
            tf.nn.sparse_softmax_cross_entropy_with_logits(labels=bins, logits=tf.cast(logits, tf.float32))
        )
        angle_loss = tf.reduce_mean(tf.abs(tf.cast(predicted, tf.float32) - angles)) / self.bin_width
        return {
            "total-loss": bin_loss + self.regression_weight * angle_loss,
            "bin-loss": bin_loss,
            "angle-loss": angle_loss,
        }


class DetectionLoss(ForgelineLoss):
    """Loss of the single-scale detector (``build_single_scale_detection_model``).

    ``targets`` is ``(boxes,)``: float32 [B, N, 5] rows x1, y1, x2, y2, label,
    corners in pixels of the model input. Rows of zero area are padding, not
    objects. The label is the index of the object's score map (with a
    "background" class first, real labels start at 1 and map 0 stays empty).

    ``predictions`` is the tuple of all model outputs; the loss reads the two
    training outputs, class logits [B, h, w, C] and box logits [B, h, w, 4].

    Returns:
      "heatmap-loss": penalty-reduced focal loss (CenterNet) between the class
        scores and a heat map holding, per class, a Gaussian around the cell of
        each object's centre (1 at that cell; width one sixth of the box size);
        summed and divided by the number of centre cells.
      "box-loss": 1 - GIoU between the predicted and the true box at every cell
        whose centre lies inside an object and whose heat value for it is at
        least 0.3, weighted by that heat value.
      "total-loss": heatmap-loss + box_weight * box-loss.
    """

    def __init__(self, stride=None, box_weight=2.0, focal_alpha=2.0, focal_beta=4.0, min_box_heat=0.3):
        self.stride = float(stride if stride is not None else reference_detector.STRIDE)
        self.box_weight = float(box_weight)
        self.focal_alpha = float(focal_alpha)
        self.focal_beta = float(focal_beta)
        self.min_box_heat = float(min_box_heat)
        self._box_distances = reference_detector.box_distances_from_logits

    def compute_loss(self, targets, predictions):
        # Computed in float32 whatever the model's precision (mixed_float16 and
        # mixed_bfloat16 policies give half-precision outputs).
        boxes = tf.cast(targets[0], tf.float32)
        # One padding row more, so that a batch with no rows at all still works.
        boxes = tf.pad(boxes, [[0, 0], [0, 1], [0, 0]])
        class_logits = tf.cast(predictions[0], tf.float32)
        box_logits = tf.cast(predictions[1], tf.float32)
        num_classes = tf.shape(class_logits)[-1]

        heat, assigned_heat, assigned_box = self._targets(boxes, tf.shape(class_logits), num_classes)
        heatmap_loss = self._focal_loss(class_logits, heat)

        cell_x, cell_y = self._cell_centres(tf.shape(class_logits))
        target_distances = _edge_distances(cell_x, cell_y, assigned_box)
        inside = tf.reduce_all(target_distances > 0.0, axis=-1)
        weight = tf.where(inside & (assigned_heat >= self.min_box_heat), assigned_heat, 0.0)
        # Cells without an object get a dummy unit box so that no NaN reaches
        # the gradient through the masked-out branch.
        target_distances = tf.where(weight[..., tf.newaxis] > 0.0, target_distances, 1.0)
        giou = _giou_from_distances(self._box_distances(box_logits), target_distances)
        box_loss = tf.reduce_sum(weight * (1.0 - giou)) / tf.maximum(tf.reduce_sum(weight), 1e-6)

        return {
            "total-loss": heatmap_loss + self.box_weight * box_loss,
            "heatmap-loss": heatmap_loss,
            "box-loss": box_loss,
        }

    def _cell_centres(self, grid_shape):
        """Pixel centres of the grid cells, as x [1, 1, w] and y [1, h, 1]."""
        xs = (tf.range(grid_shape[2], dtype=tf.float32) + 0.5) * self.stride
        ys = (tf.range(grid_shape[1], dtype=tf.float32) + 0.5) * self.stride
        return xs[tf.newaxis, tf.newaxis, :], ys[tf.newaxis, :, tf.newaxis]

    def _targets(self, boxes, grid_shape, num_classes):
        """Heat map [B, h, w, C], and per cell the strongest object's heat [B, h, w] and box [B, h, w, 4]."""
        x1, y1, x2, y2, label = tf.unstack(boxes, num=5, axis=-1)  # each [B, N]
        is_object = _is_object(boxes)
        labels = tf.cast(label, tf.int32)
        check_labels(boxes, num_classes)

        grid_h, grid_w = grid_shape[1], grid_shape[2]
        centre_col = tf.clip_by_value(tf.floor((x1 + x2) / 2 / self.stride), 0.0, tf.cast(grid_w - 1, tf.float32))
        centre_row = tf.clip_by_value(tf.floor((y1 + y2) / 2 / self.stride), 0.0, tf.cast(grid_h - 1, tf.float32))
        sigma_x = tf.maximum((x2 - x1) / self.stride / 6.0, 0.3)
        sigma_y = tf.maximum((y2 - y1) / self.stride / 6.0, 0.3)

        cols = tf.range(grid_w, dtype=tf.float32)[tf.newaxis, tf.newaxis, tf.newaxis, :]
        rows = tf.range(grid_h, dtype=tf.float32)[tf.newaxis, tf.newaxis, :, tf.newaxis]

        def expand(t):  # [B, N] -> [B, N, 1, 1]
            return t[:, :, tf.newaxis, tf.newaxis]

        gaussian = tf.exp(
            -tf.square(cols - expand(centre_col)) / (2.0 * tf.square(expand(sigma_x)))
            - tf.square(rows - expand(centre_row)) / (2.0 * tf.square(expand(sigma_y)))
        )
        gaussian = gaussian * expand(tf.cast(is_object, tf.float32))  # [B, N, h, w]

        one_hot = tf.one_hot(tf.where(is_object, labels, 0), num_classes)
        one_hot = one_hot * tf.cast(is_object, tf.float32)[..., tf.newaxis]  # [B, N, C]
        heat = tf.reduce_max(gaussian[..., tf.newaxis] * one_hot[:, :, tf.newaxis, tf.newaxis, :], axis=1)

        strongest = tf.argmax(gaussian, axis=1, output_type=tf.int32)  # [B, h, w]
        assigned_heat = tf.reduce_max(gaussian, axis=1)
        assigned_box = tf.gather(boxes[..., :4], strongest, batch_dims=1)  # [B, h, w, 4]
        return tf.maximum(heat, 0.0), tf.maximum(assigned_heat, 0.0), assigned_box

    def _focal_loss(self, logits, heat):
        positive = tf.cast(tf.equal(heat, 1.0), tf.float32)
        probability = tf.sigmoid(logits)
        positive_loss = -tf.pow(1.0 - probability, self.focal_alpha) * tf.math.log_sigmoid(logits) * positive
        negative_loss = (
            -tf.pow(1.0 - heat, self.focal_beta)
            * tf.pow(probability, self.focal_alpha)
            * tf.math.log_sigmoid(-logits)
            * (1.0 - positive)
        )
        count = tf.maximum(tf.reduce_sum(positive), 1.0)
        return (tf.reduce_sum(positive_loss) + tf.reduce_sum(negative_loss)) / count


class MultiLevelDetectionLoss(ForgelineLoss):
    """Loss of the multi-level detector (``build_detection_model``).

    ``points``: float32 [N, 3], x, y and stride of each flattened output
    (``detection_points`` or ``model_points``; ``for_model`` reads them).
    ``targets`` is ``(boxes,)`` as for ``DetectionLoss``: float32 [B, M, 5]
    rows x1, y1, x2, y2, label in input pixels, zero-area rows padding.
    ``predictions``: all model outputs; the loss reads the two training
    outputs, class logits [B, N, C] and box logits [B, N, 4].

    Positives come from ``assign_points``. Every object weighs the same in the
    box loss whatever its size: each positive point counts 1 / (its object's
    positive points), and the sum is divided by the number of objects.

    Returns:
      "class-loss": quality focal loss (GFL): at a positive point the target of
        the object's class is the IoU of the predicted box with the true one
        (``quality=False``: 1), elsewhere 0; a positive point's terms are
        weighted like its box loss (rescaled to average 1), the sum is divided
        by the number of positive points.
      "box-loss": 1 - GIoU at the positive points, normalised per object.
      "total-loss": class-loss + box_weight * box-loss.
    """

    def __init__(self, points, box_weight=2.0, focal_gamma=2.0, quality=True, centre_radius=2.5):
        points = np.asarray(points, np.float32)
        if points.ndim != 2 or points.shape[1] != 3 or len(points) == 0:
            raise ValueError(f"MultiLevelDetectionLoss: points must be [N, 3] (x, y, stride), got shape {points.shape}")
        self.points = points
        self.strides = tuple(sorted({int(s) for s in points[:, 2]}))
        self.box_weight = float(box_weight)
        self.focal_gamma = float(focal_gamma)
        self.quality = bool(quality)
        self.centre_radius = float(centre_radius)

    @classmethod
    def for_model(cls, model, **options):
        """The loss for a multi-level detector, its points read from the model."""
        return cls(reference_detector.model_points(model), **options)

    def compute_loss(self, targets, predictions):
        boxes = tf.pad(tf.cast(targets[0], tf.float32), [[0, 0], [0, 1], [0, 0]])
        class_logits = tf.cast(predictions[0], tf.float32)
        box_logits = tf.cast(predictions[1], tf.float32)
        num_classes = tf.shape(class_logits)[-1]
        check_labels(boxes, num_classes)

        positive, assigned, per_object = assign_points(boxes, self.points, self.strides, self.centre_radius)
        positive_f = tf.cast(positive, tf.float32)  # [B, N]
        assigned_boxes = tf.gather(boxes, assigned, batch_dims=1)  # [B, N, 5]
        num_objects = tf.maximum(tf.reduce_sum(tf.cast(_is_object(boxes), tf.float32)), 1.0)
        num_positive = tf.maximum(tf.reduce_sum(positive_f), 1.0)

        x, y, stride = (tf.constant(self.points[:, i])[tf.newaxis] for i in range(3))
        target = _edge_distances(x, y, assigned_boxes)
        # A point outside a box narrower than its stride (the one it is given
        # anyway) gets a box just reaching it; other points a dummy unit box,
        # so that no NaN reaches the gradient through the masked-out branch.
        target = tf.where(positive[..., tf.newaxis], tf.maximum(target, 1.0), 1.0)
        predicted = tf.nn.softplus(box_logits) * (reference_detector.LEVEL_DISTANCE_FACTOR * stride)[..., tf.newaxis]
        giou, iou = _giou_from_distances(predicted, target, with_iou=True)
        box_loss = tf.reduce_sum(per_object * (1.0 - giou)) / num_objects

        quality = tf.stop_gradient(tf.maximum(iou, 0.0)) if self.quality else tf.ones_like(iou)
        labels = tf.cast(assigned_boxes[..., 4], tf.int32)
        class_target = tf.one_hot(labels, num_classes) * (quality * positive_f)[..., tf.newaxis]
        probability = tf.sigmoid(class_logits)
        focal = tf.nn.sigmoid_cross_entropy_with_logits(labels=class_target, logits=class_logits) * tf.pow(
            tf.abs(probability - class_target), self.focal_gamma
        )
        # Positives weighted per object like the box loss, rescaled to average 1.
        point_weight = tf.where(positive, per_object * num_positive / num_objects, 1.0)
        class_loss = tf.reduce_sum(focal * point_weight[..., tf.newaxis]) / num_positive
        return {
            "total-loss": class_loss + self.box_weight * box_loss,
            "class-loss": class_loss,
            "box-loss": box_loss,
        }


def _is_object(boxes):
    return (boxes[..., 2] > boxes[..., 0]) & (boxes[..., 3] > boxes[..., 1])


def check_labels(boxes, num_classes):
    """Asserts (in the graph) that the objects' labels index the model's class outputs."""
    labels = tf.boolean_mask(tf.cast(boxes[..., 4], tf.int32), _is_object(boxes))
    tf.debugging.assert_non_negative(labels, message="DetectionLoss: box label is negative")
    tf.debugging.assert_less(
        labels,
        num_classes,
        message="DetectionLoss: box label is not smaller than the number of class score maps of the model",
    )


def object_levels(boxes, strides):
    """The stride of the level each box [..., 4+] is given: the finest one whose 8 x stride reaches its longer side."""
    longer = tf.maximum(boxes[..., 2] - boxes[..., 0], boxes[..., 3] - boxes[..., 1])
    bounds = tf.constant([8.0 * s for s in strides[:-1]], tf.float32)
    index = tf.reduce_sum(tf.cast(longer[..., tf.newaxis] > bounds, tf.int32), axis=-1)
    return tf.gather(tf.constant(strides, tf.float32), index)


def assign_points(boxes, points, strides, centre_radius=2.5):
    """Which object each output point learns, so that every object gets positive points.

    boxes: float32 [B, M, 5+] (x1, y1, x2, y2, ...), zero-area rows padding;
    points: [N, 3] x, y, stride. An object is given to one level
    (``object_levels``); there its positives are the points inside the box
    (widened to one stride where it is thinner) within ``centre_radius``
    strides of its centre, and always the point nearest its centre. A
    point claimed by several objects learns the one for which it is the
    nearest point, else the smallest.

    Returns positive [B, N] bool, assigned [B, N] int32 (object index; 0
    where not positive) and per_object [B, N] float32: 1 / (number of
    positive points of the point's object), 0 where not positive.
    """
    x1, y1, x2, y2 = (boxes[..., i][..., tf.newaxis] for i in range(4))  # [B, M, 1]
    valid = _is_object(boxes)[..., tf.newaxis]
    level = object_levels(boxes, strides)[..., tf.newaxis]
    px, py, ps = (tf.constant(np.asarray(points, np.float32)[:, i])[tf.newaxis, tf.newaxis] for i in range(3))
    cx, cy = (x1 + x2) / 2.0, (y1 + y2) / 2.0
    on_level = tf.equal(ps, level) & valid
    # Inside the box, widened to a stride where it is thinner: a thin object gets a line of points.
    inside = (tf.abs(px - cx) < tf.maximum(x2 - x1, ps) / 2.0) & (tf.abs(py - cy) < tf.maximum(y2 - y1, ps) / 2.0)
    reach = centre_radius * ps
    near_centre = (tf.abs(px - cx) < reach) & (tf.abs(py - cy) < reach)
    distance = tf.square(px - cx) + tf.square(py - cy)
    nearest_index = tf.argmin(tf.where(on_level, distance, np.inf), axis=-1, output_type=tf.int32)  # [B, M]
    nearest = tf.cast(tf.one_hot(nearest_index, tf.shape(px)[-1]), tf.bool) & on_level
    candidate = (on_level & inside & near_centre) | nearest  # [B, M, N]

    area = (x2 - x1) * (y2 - y1)
    # Lower cost wins: an object's nearest point first, then the smallest object.
    cost = tf.where(candidate, area + tf.where(nearest, 0.0, 1e12), np.inf)
    assigned = tf.argmin(cost, axis=1, output_type=tf.int32)  # [B, N]
    positive = tf.reduce_any(candidate, axis=1)
    assigned = tf.where(positive, assigned, 0)
    owned = tf.one_hot(assigned, tf.shape(boxes)[1]) * tf.cast(positive, tf.float32)[..., tf.newaxis]  # [B, N, M]
    counts = tf.reduce_sum(owned, axis=1)  # [B, M]
    per_object = tf.where(positive, 1.0 / tf.maximum(tf.gather(counts, assigned, batch_dims=1), 1.0), 0.0)
    return positive, assigned, per_object


def _edge_distances(x, y, boxes):
    """Distances (l, t, r, b) from the points (x, y) to the edges of boxes [..., 4+] (x1, y1, x2, y2)."""
    return tf.stack([x - boxes[..., 0], y - boxes[..., 1], boxes[..., 2] - x, boxes[..., 3] - y], axis=-1)


def _giou_from_distances(predicted, target, with_iou=False):
    """Generalised IoU (and with ``with_iou`` the IoU too) of boxes given as distances (l, t, r, b) from one point."""
    pl, pt, pr, pb = tf.unstack(predicted, num=4, axis=-1)
    tl, tt, tr, tb = tf.unstack(target, num=4, axis=-1)
    predicted_area = (pl + pr) * (pt + pb)
    target_area = (tl + tr) * (tt + tb)
    intersection = (tf.minimum(pl, tl) + tf.minimum(pr, tr)) * (tf.minimum(pt, tt) + tf.minimum(pb, tb))
    union = predicted_area + target_area - intersection
    enclosing = (tf.maximum(pl, tl) + tf.maximum(pr, tr)) * (tf.maximum(pt, tt) + tf.maximum(pb, tb))
    iou = intersection / union
    giou = iou - (enclosing - union) / enclosing
    return (giou, iou) if with_iou else giou
