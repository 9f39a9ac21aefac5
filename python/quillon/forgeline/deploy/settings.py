"""Defaults and choices of predict and export, importable without TensorFlow (the command line reads them)."""

TASKS = ("detect", "segment", "headpose")
EXPORT_FORMATS = ("saved_model", "tflite", "onnx")

DEFAULT_BATCH_SIZE = 16
# Detection: the evaluator's operating point (its confidence threshold) and suppression.
DEFAULT_SCORE_THRESHOLD = 0.3
DEFAULT_NMS_IOU = 0.5
DEFAULT_MAX_DETECTIONS = 100
