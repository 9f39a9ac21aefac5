"""The evaluators: a model's validation pass for each task, as the trainers run it.

``detection`` (``DetectionEvaluator``: mAP, mAR, accuracy), ``segmentation``
(``SegmentationEvaluator``: pixel precision, recall, IoU) and ``headpose``
(``evaluate_attitude``: mean absolute angle errors). They draw to TensorBoard
through ``quillon.validator.writers``.
"""
