"""From a trained run to a deployed model.

``predictors``: batched inference of the three tasks (the evaluators' runners
use it too); ``predict``: images, folders or globs in, drawn images, label
files and JSON out; ``export``: SavedModel, TF Lite and ONNX files with named
outputs and a JSON description for deployers. ``python -m quillon.forgeline
predict|export`` runs the last two.
"""
