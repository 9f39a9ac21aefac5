"""The augmentations a detection dataset offers by name (its ``aug_cfg`` keys), importable without TensorFlow:
the ``train`` command declares one option per name before TensorFlow is loaded."""

# Done by the loading call on whole batches (affine transforms, mosaics of four samples).
GEOMETRIC_AUGMENTATIONS = ("mosaic", "affine")
# Image ops on single samples, in the order they are applied.
SAMPLE_AUGMENTATIONS = ("flip_lr", "flip_ud", "brightness", "contrast", "saturation", "hue")
AUGMENTATIONS = (*GEOMETRIC_AUGMENTATIONS, *SAMPLE_AUGMENTATIONS)
