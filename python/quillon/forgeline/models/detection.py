"""Reference detection model: a small anchor-free, single-scale detector.

One prediction per cell of a grid at ``STRIDE`` pixels of the input image
(CenterNet-like): a score per class that peaks at object centres, and the
distances from the cell centre to the four box edges (left, top, right,
bottom, FCOS-like), in input pixels.

Outputs, in this order:

    0  class_logits   [B, H/8, W/8, classes]  training only
    1  box_logits     [B, H/8, W/8, 4]        training only
    2  class_scores   [B, H/8, W/8, classes]  sigmoid(class_logits)
    3  box_distances  [B, H/8, W/8, 4]        box_distances_from_logits(box_logits)

The trainers drop the first two when they save the model, so
``keras.Model(model.input, model.outputs[2:])`` is the deployable model. It
is built from stock Keras layers only, so a saved file loads back with
``keras.models.load_model(path, compile=False)`` and no custom objects.
Inputs are RGB images scaled to 0..1.
"""

import tensorflow as tf

keras = tf.keras
layers = keras.layers

STRIDE = 8
# Box distances are softplus(logit) * BOX_DISTANCE_SCALE pixels, so typical
# objects (10 to 80 pixels across) need logits near 0 rather than large values.
BOX_DISTANCE_SCALE = 16.0
# Initial class score sigmoid(-2.19) = 0.1: few false peaks in the first steps.
CLASS_PRIOR_LOGIT = -2.19
TRAINING_OUTPUTS = 2


def box_distances_from_logits(box_logits):
    """The distances (l, t, r, b) in pixels that the model's last output holds."""
    return tf.nn.softplus(box_logits) * BOX_DISTANCE_SCALE


def build_detection_model(num_classes, input_shape=(128, 128, 3), width=32, weight_decay=5e-5, name="shapes_detector"):
    """Builds the detector for ``num_classes`` classes (one score map each).

    ``input_shape`` is (height, width, 3), both sides multiples of 32.
    ``width`` is the channel count of the first stage; later stages use
    multiples of it. ``weight_decay`` is the L2 factor on convolution kernels
    (it shows up in ``model.losses``).
    """
    if isinstance(num_classes, bool) or not isinstance(num_classes, int) or num_classes < 1:
        raise ValueError(f"build_detection_model: num_classes must be a positive int, got {num_classes!r}")
    if len(input_shape) != 3 or input_shape[2] != 3 or input_shape[0] % 32 or input_shape[1] % 32:
        raise ValueError(
            f"build_detection_model: input_shape must be (height, width, 3) with sides multiple of 32, "
            f"got {tuple(input_shape)}"
        )
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

    # Top-down path: telling a circle from a square at its centre takes the
    # context of the whole object, which the coarse maps carry.
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
