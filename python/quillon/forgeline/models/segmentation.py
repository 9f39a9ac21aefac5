"""A small U-Net for semantic segmentation."""

import tensorflow as tf

# Keras' default of 0.99 leaves the moving statistics far from the data after
# the few hundred steps of a short run, and inference then sees garbage.
BATCH_NORM_MOMENTUM = 0.9


def build_segmentation_model(input_shape, num_classes, filters=(16, 32, 64), weight_decay=1e-5):
    """Returns a Keras model mapping images to per-pixel class logits.

    input_shape: (height, width, 3); the trainers feed images scaled to 0..1.
      Height and width must be multiples of 2 ** (len(filters) - 1), the
      number of times the encoder halves them.
    num_classes: classes including the background.
    filters: channels of each encoder level, finest first.

    The single output, "class_logits", is float32 [batch, height, width,
    num_classes] at the input size; argmax over the last axis gives the
    class mask. Kernel L2 terms (``weight_decay``) land in ``model.losses``.
    """
    if len(input_shape) != 3 or input_shape[2] != 3:
        raise ValueError(f"build_segmentation_model: input_shape must be (height, width, 3), got {input_shape!r}")
    if num_classes < 2:
        raise ValueError(f"build_segmentation_model: num_classes must be at least 2, got {num_classes}")
    factor = 2 ** (len(filters) - 1)
    if input_shape[0] % factor or input_shape[1] % factor:
        raise ValueError(
            f"build_segmentation_model: height and width must be multiples of {factor} for {len(filters)} levels, "
            f"got {input_shape[0]}x{input_shape[1]}"
        )
    layers = tf.keras.layers
    regularizer = tf.keras.regularizers.l2(weight_decay) if weight_decay else None

    def conv_block(x, channels):
        for _ in range(2):
            x = layers.Conv2D(channels, 3, padding="same", use_bias=False, kernel_regularizer=regularizer)(x)
            x = layers.BatchNormalization(momentum=BATCH_NORM_MOMENTUM)(x)
            x = layers.ReLU()(x)
        return x

    inputs = tf.keras.Input(shape=tuple(input_shape), name="image")
    x = inputs
    skips = []
    for level, channels in enumerate(filters):
        if level:
            x = layers.MaxPooling2D()(x)
        x = conv_block(x, channels)
        skips.append(x)
    for channels, skip in zip(reversed(filters[:-1]), reversed(skips[:-1])):
        x = layers.UpSampling2D()(x)
        x = layers.Concatenate()([x, skip])
        x = conv_block(x, channels)
    logits = layers.Conv2D(num_classes, 1, name="class_logits")(x)
    return tf.keras.Model(inputs, logits, name="segmenter")
