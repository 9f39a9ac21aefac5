"""Reference detection models: anchor-free detectors on a feature pyramid.

Every model predicts, at the points of one or more grids over the input
image, a score per class and the distances from the point to the four box
edges (left, top, right, bottom, FCOS-like) in input pixels.

``build_detection_model`` builds the multi-level family: output grids at
strides 8, 16 and 32 (``STRIDES``) over a neck that carries detail up and
context down (a top-down path, then a bottom-up one), each level with a head
and a box distance scale of its own (softplus(logit) x 2 x stride). Its
outputs, in this order, are flattened over the levels (finest level first,
each level row by row), N = sum over levels of (H / s) x (W / s):

    0  class_logits   [B, N, classes]  training only
    1  box_logits     [B, N, 4]        training only
    2  class_scores   [B, N, classes]  sigmoid(class_logits)
    3  box_distances  [B, N, 4]        softplus(box_logits) x the level's scale

``detection_points`` gives the x, y (input pixels) and stride of each of the N
points. ``build_single_scale_detection_model`` builds the earlier single-level
detector (one grid at stride 8, outputs [B, H/8, W/8, ...]), whose run folders
still predict and export.

The trainers drop the training outputs when they save the model, so
``keras.Model(model.input, model.outputs[2:])`` is the deployable model.
Models are built from stock Keras layers only, so a saved file loads back with
``keras.models.load_model(path, compile=False)`` and no custom objects. Inputs
are RGB images scaled to 0..1.
"""

import re

import numpy as np
import tensorflow as tf

keras = tf.keras
layers = keras.layers

STRIDE = 8  # the single-scale detector's grid
STRIDES = (8, 16, 32)
# Single-scale box distances are softplus(logit) * BOX_DISTANCE_SCALE pixels,
# so typical objects (10 to 80 pixels across) need logits near 0.
BOX_DISTANCE_SCALE = 16.0
# Each level's distances are softplus(logit) x this factor x its stride: the
# objects a level is given (see losses.assign_levels) then need logits near 0 too.
LEVEL_DISTANCE_FACTOR = 2.0
# Initial class score sigmoid(-2.19) = 0.1 (single scale); 0.01 for the
# levels, whose points are mostly background (focal loss prior).
CLASS_PRIOR_LOGIT = -2.19
LEVEL_CLASS_PRIOR_LOGIT = -4.6
TRAINING_OUTPUTS = 2
# Channels of the first stage for each --model-size; later stages use multiples of it.
MODEL_WIDTHS = {"small": 16, "medium": 32, "large": 64}
# --backbone: Keras Applications networks, all taking RGB pixels in 0..255 (their
# own scaling to -1..1 is part of them; the model rescales its 0..1 input).
# EfficientNetV2 rather than MobileNetV3: MobileNetV3's hard-swish, built from
# operators on tensors, does not load back from the .h5 files the trainers write.
BACKBONES = {
    "efficientnetv2b0": "EfficientNetV2B0",
    "efficientnetv2b1": "EfficientNetV2B1",
    "efficientnetv2b2": "EfficientNetV2B2",
    "efficientnetv2b3": "EfficientNetV2B3",
    "efficientnetv2s": "EfficientNetV2S",
}  # keys as jobs.options.BACKBONES
_LEVEL_LAYER = re.compile(r"^box_distances_s(\d+)$")


def box_distances_from_logits(box_logits):
    """The distances (l, t, r, b) in pixels that the single-scale model's last output holds."""
    return tf.nn.softplus(box_logits) * BOX_DISTANCE_SCALE


def level_distance_scale(stride):
    return LEVEL_DISTANCE_FACTOR * stride


def detection_points(input_shape, strides=STRIDES):
    """float32 [N, 3]: x, y (pixel centres of the grid cells, input pixels) and stride of each flattened output."""
    height, width = int(input_shape[0]), int(input_shape[1])
    points = []
    for stride in strides:
        ys, xs = np.meshgrid(np.arange(height // stride), np.arange(width // stride), indexing="ij")
        level = np.stack([(xs.ravel() + 0.5) * stride, (ys.ravel() + 0.5) * stride, np.full(xs.size, stride)], axis=1)
        points.append(level)
    return np.concatenate(points).astype(np.float32)


def model_points(model):
    """The points of a multi-level model (``detection_points``), None for a single-scale one.

    Reads the strides from the names of the per-level distance layers, so it
    works on a loaded inference model as on the training model.
    """
    if len(model.outputs[-1].shape) != 3:
        return None
    strides = sorted(int(m.group(1)) for m in (_LEVEL_LAYER.match(layer.name) for layer in model.layers) if m)
    points = detection_points(model.input.shape[1:3], strides)
    count = model.outputs[-1].shape[1]
    if not strides or len(points) != count:
        raise ValueError(
            f"{model.name}: cannot tell the points of its {count} flattened outputs: per-level layers "
            f"box_distances_s<stride> found for strides {strides}"
        )
    return points


def _check_arguments(owner, num_classes, input_shape):
    if isinstance(num_classes, bool) or not isinstance(num_classes, int) or num_classes < 1:
        raise ValueError(f"{owner}: num_classes must be a positive int, got {num_classes!r}")
    if len(input_shape) != 3 or input_shape[2] != 3 or input_shape[0] % 32 or input_shape[1] % 32:
        raise ValueError(
            f"{owner}: input_shape must be (height, width, 3) with sides multiple of 32, got {tuple(input_shape)}"
        )


class _Convs:
    """Named convolution blocks (Conv2D, BatchNormalization, ReLU): fixed layer names let --weights match
    layers between models built in different processes."""

    def __init__(self, weight_decay):
        self.regularizer = keras.regularizers.L2(weight_decay) if weight_decay else None
        self.count = 0

    def __call__(self, x, filters, stride=1, kernel=3):
        self.count += 1
        name = f"block{self.count}"
        x = layers.Conv2D(
            filters,
            kernel,
            strides=stride,
            padding="same",
            use_bias=False,
            kernel_regularizer=self.regularizer,
            name=f"{name}_conv",
        )(x)
        x = layers.BatchNormalization(momentum=0.9, name=f"{name}_bn")(x)
        return layers.ReLU(name=f"{name}_relu")(x)


def build_detection_model(
    num_classes,
    input_shape=(128, 128, 3),
    width=32,
    weight_decay=5e-5,
    name="detector",
    backbone=None,
    backbone_weights=None,
):
    """Builds the multi-level detector for ``num_classes`` classes (see the module doc).

    ``input_shape`` is (height, width, 3), both sides multiples of 32.
    ``width`` is the channel count of the first stage (neck and heads use
    twice it). ``weight_decay`` is the L2 factor on convolution kernels (in
    ``model.losses``). ``backbone``: None for the built-in one, else a key of
    ``BACKBONES`` (a Keras Applications network); ``backbone_weights``: None
    (random), "imagenet" (Keras downloads them) or the path of a weights file
    of that network.
    """
    _check_arguments("build_detection_model", num_classes, input_shape)
    conv = _Convs(weight_decay)
    inputs = keras.Input(shape=tuple(input_shape), name="image")
    if backbone is None:
        x = conv(inputs, width // 2, stride=2)  # 1/2
        x = conv(conv(x, width, stride=2), width)  # 1/4
        c3 = conv(conv(x, 2 * width, stride=2), 2 * width)  # 1/8
        c4 = conv(conv(c3, 4 * width, stride=2), 4 * width)  # 1/16
        c5 = conv(conv(c4, 4 * width, stride=2), 4 * width)  # 1/32
    else:
        c3, c4, c5 = application_features(inputs, backbone, backbone_weights)

    channels = 2 * width
    # Top-down: context of whole objects onto the fine levels.
    p5 = conv(c5, channels, kernel=1)
    p4 = conv(
        layers.Add(name="top_down_s16")([conv(c4, channels, kernel=1), layers.UpSampling2D(name="up_s32")(p5)]),
        channels,
    )
    p3 = conv(
        layers.Add(name="top_down_s8")([conv(c3, channels, kernel=1), layers.UpSampling2D(name="up_s16")(p4)]), channels
    )
    # Bottom-up: the detail of the fine levels onto the coarse ones.
    n4 = conv(layers.Add(name="bottom_up_s16")([p4, conv(p3, channels, stride=2)]), channels)
    n5 = conv(layers.Add(name="bottom_up_s32")([p5, conv(n4, channels, stride=2)]), channels)

    class_logits, box_logits, box_distances = [], [], []
    for stride, features in zip(STRIDES, (p3, n4, n5)):
        cls = layers.Conv2D(
            num_classes,
            1,
            bias_initializer=keras.initializers.Constant(LEVEL_CLASS_PRIOR_LOGIT),
            name=f"class_logits_s{stride}",
        )(conv(features, channels))
        box = layers.Conv2D(4, 1, name=f"box_logits_s{stride}")(conv(features, channels))
        distances = layers.Rescaling(level_distance_scale(stride), name=f"box_distances_s{stride}")(
            layers.Activation("softplus", name=f"softplus_s{stride}")(box)
        )
        class_logits.append(layers.Reshape((-1, num_classes), name=f"flat_class_logits_s{stride}")(cls))
        box_logits.append(layers.Reshape((-1, 4), name=f"flat_box_logits_s{stride}")(box))
        box_distances.append(layers.Reshape((-1, 4), name=f"flat_box_distances_s{stride}")(distances))
    class_logits = layers.Concatenate(axis=1, name="class_logits")(class_logits)
    box_logits = layers.Concatenate(axis=1, name="box_logits")(box_logits)
    class_scores = layers.Activation("sigmoid", name="class_scores")(class_logits)
    box_distances = layers.Concatenate(axis=1, name="box_distances")(box_distances)
    return keras.Model(inputs, [class_logits, box_logits, class_scores, box_distances], name=name)


def application_features(inputs, backbone, weights=None):
    """The stride 8, 16 and 32 features of a Keras Applications network (``BACKBONES``) on 0..1 ``inputs``."""
    if backbone not in BACKBONES:
        raise ValueError(f"backbone must be one of {sorted(BACKBONES)}, got {backbone!r}")
    if weights not in (None, "imagenet") and not str(weights).endswith(".h5"):
        raise ValueError(f"backbone weights must be 'imagenet' or the path of a .h5 weights file, got {weights!r}")
    if weights not in (None, "imagenet") and not tf.io.gfile.exists(weights):
        raise FileNotFoundError(f"backbone weights: no such file {weights!r}")
    height, width = inputs.shape[1:3]
    network = getattr(keras.applications, BACKBONES[backbone])(
        input_shape=(height, width, 3), include_top=False, weights=weights, include_preprocessing=True
    )
    # The last layer at each of the three resolutions is what that stride has to offer.
    taps = {}
    for layer in network.layers:
        shape = layer.output.shape
        if len(shape) == 4 and shape[1] and height % shape[1] == 0 and shape[1] * 8 <= height:
            taps[height // shape[1]] = layer.output
    missing = [s for s in STRIDES if s not in taps]
    if missing:
        raise ValueError(f"backbone {backbone}: no feature map at strides {missing}")
    features = keras.Model(network.input, [taps[s] for s in STRIDES], name=f"backbone_{backbone}")
    pixels = layers.Rescaling(255.0, name="backbone_pixels")(inputs)
    return features(pixels)


def build_single_scale_detection_model(
    num_classes, input_shape=(128, 128, 3), width=32, weight_decay=5e-5, name="shapes_detector"
):
    """Builds the single-scale detector: one grid at ``STRIDE``, outputs [B, H/8, W/8, ...].

    The same four outputs as the multi-level model, as score and distance maps
    (``DetectionLoss`` trains it). ``input_shape`` and ``width`` as there.
    """
    _check_arguments("build_single_scale_detection_model", num_classes, input_shape)
    regularizer = keras.regularizers.L2(weight_decay) if weight_decay else None

    def conv(x, filters, stride=1, kernel=3):
        x = layers.Conv2D(
            filters, kernel, strides=stride, padding="same", use_bias=False, kernel_regularizer=regularizer
        )(x)
        x = layers.BatchNormalization(momentum=0.9)(x)
        return layers.ReLU()(x)

    inputs = keras.Input(shape=tuple(input_shape), name="image")
    x = conv(inputs, width // 2, stride=2)  # 1/2
    x = conv(conv(x, width, stride=2), width)  # 1/4
    stride8 = conv(conv(x, 2 * width, stride=2), 2 * width)  # 1/8
    stride16 = conv(conv(stride8, 4 * width, stride=2), 4 * width)  # 1/16
    stride32 = conv(conv(stride16, 4 * width, stride=2), 4 * width)  # 1/32

    def add_upsampled(fine, coarse):
        return layers.Add()([conv(fine, 2 * width, kernel=1), layers.UpSampling2D()(coarse)])

    merged = add_upsampled(stride16, conv(stride32, 2 * width, kernel=1))
    merged = add_upsampled(stride8, conv(merged, 2 * width))
    features = conv(merged, 2 * width)

    class_logits = layers.Conv2D(
        num_classes, 1, bias_initializer=keras.initializers.Constant(CLASS_PRIOR_LOGIT), name="class_logits"
    )(conv(features, 2 * width))
    box_logits = layers.Conv2D(4, 1, name="box_logits")(conv(features, 2 * width))
    class_scores = layers.Activation("sigmoid", name="class_scores")(class_logits)
    box_distances = layers.Rescaling(BOX_DISTANCE_SCALE, name="box_distances")(
        layers.Activation("softplus")(box_logits)
    )
    return keras.Model(inputs, [class_logits, box_logits, class_scores, box_distances], name=name)
