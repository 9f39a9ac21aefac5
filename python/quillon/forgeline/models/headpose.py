"""A small head-pose (attitude) network: binned angles plus their expectation.

Each of pitch, yaw and roll is classified into ``num_bins`` equal bins over
``angle_range``; the predicted angle is the expectation of the bin centres
under the softmax of the bin logits. Classification gives a well-conditioned
gradient from the first step (every bin gets a probability, and a far-off
guess does not produce a huge regression gradient) while the expectation keeps
the output continuous, finer than a bin. The loss trains both
(``AttitudeLoss`` in ``quillon.forgeline.losses``).

The model has three outputs, in this order, so that it fits
``DetectionTrainer``: the trainer hands the loss ``tuple(model outputs)`` and
saves ``Model(input, outputs[2:])`` as its inference model:

  0. "bin_logits": float32 [batch, 3, num_bins], training only;
  1. "bin_probabilities": float32 [batch, 3, num_bins], the softmax of the
     logits, training only (for inspecting how sure the model is);
  2. "angles": float32 [batch, 3], pitch, yaw, roll in the units of
     ``angle_range``: the saved model's only output.
"""

import numpy as np
import tensorflow as tf

# Keras' default of 0.99 leaves the moving statistics far from the data after
# the few hundred steps of a short run, and inference then sees garbage.
BATCH_NORM_MOMENTUM = 0.9

# Three-degree bins from -99 to 99 degrees: the usual binning for head angles in degrees.
DEFAULT_NUM_BINS = 66
DEFAULT_ANGLE_RANGE = (-99.0, 99.0)


def bin_centres(num_bins=DEFAULT_NUM_BINS, angle_range=DEFAULT_ANGLE_RANGE):
    """Returns the float32 centres of the angle bins."""
    low, high = (float(value) for value in angle_range)
    if not high > low:
        raise ValueError(f"angle_range must be (low, high) with high > low, got {angle_range!r}")
    if isinstance(num_bins, bool) or not isinstance(num_bins, (int, np.integer)) or num_bins < 2:
        raise ValueError(f"num_bins must be an int of at least 2, got {num_bins!r}")
    width = (high - low) / num_bins
    return (low + width * (np.arange(num_bins) + 0.5)).astype(np.float32)


def build_headpose_model(
    input_shape, num_bins=DEFAULT_NUM_BINS, angle_range=DEFAULT_ANGLE_RANGE, weight_decay=1e-5, filters=(16, 32, 64, 96)
):
    """Returns the Keras model described in the module docstring.

    input_shape: (height, width, 3); the trainers feed images scaled to 0..1.
    num_bins, angle_range: the bins shared with ``AttitudeLoss``; angles
      outside the range are learned as the first or last bin.
    filters: channels of the convolution stages; each halves the image.
    """
    if len(input_shape) != 3 or input_shape[2] != 3:
        raise ValueError(f"build_headpose_model: input_shape must be (height, width, 3), got {input_shape!r}")
    if input_shape[0] < 16 or input_shape[1] < 16:
        raise ValueError(f"build_headpose_model: input must be at least 16x16, got {input_shape[0]}x{input_shape[1]}")
    centres = bin_centres(num_bins, angle_range)
    layers = tf.keras.layers
    regularizer = tf.keras.regularizers.l2(weight_decay) if weight_decay else None

    inputs = tf.keras.Input(shape=tuple(input_shape), name="image")
    x = inputs
    for channels in filters:
        x = layers.Conv2D(channels, 3, padding="same", use_bias=False, kernel_regularizer=regularizer)(x)
        x = layers.BatchNormalization(momentum=BATCH_NORM_MOMENTUM)(x)
        x = layers.ReLU()(x)
        x = layers.MaxPooling2D()(x)
    # Flatten, not global pooling: where the facial features sit is the signal.
    x = layers.Flatten()(x)
    x = layers.Dropout(0.2)(x)
    x = layers.Dense(128, activation="relu", kernel_regularizer=regularizer)(x)
    x = layers.Dense(3 * num_bins, kernel_regularizer=regularizer)(x)
    logits = layers.Reshape((3, num_bins), name="bin_logits")(x)
    probabilities = layers.Softmax(axis=-1, name="bin_probabilities")(logits)
    # The expectation over bin centres as a frozen Dense layer: built-in layers
    # only, so the saved .h5 loads without custom objects.
    expectation = layers.Dense(1, use_bias=False, trainable=False, name="bin_expectation")
    angles = layers.Reshape((3,), name="angles")(expectation(probabilities))
    expectation.set_weights([centres.reshape(num_bins, 1)])
    return tf.keras.Model(inputs, [logits, probabilities, angles], name="attitude")
