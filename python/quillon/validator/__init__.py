"""Evaluation helpers and TensorBoard drawing."""
