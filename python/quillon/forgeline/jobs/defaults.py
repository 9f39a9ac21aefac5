"""The training jobs' defaults, importable without TensorFlow: the demo and the ``train`` command build their
options (and answer --help) from them, and each job function takes its DEFAULT_* values from here."""

from types import SimpleNamespace

# The detector's learning rate: 0.003 left it far from trained after 20 epochs (docs/jobs.md, "detect").
DETECT = SimpleNamespace(DEFAULT_EPOCHS=20, DEFAULT_BATCH_SIZE=16, DEFAULT_LEARNING_RATE=1.2e-2, DEFAULT_INPUT_SIZE=128)
SEGMENT = SimpleNamespace(DEFAULT_EPOCHS=20, DEFAULT_BATCH_SIZE=16, DEFAULT_LEARNING_RATE=3e-3, DEFAULT_INPUT_SIZE=64)
HEADPOSE = SimpleNamespace(
    DEFAULT_EPOCHS=20,
    DEFAULT_BATCH_SIZE=16,
    DEFAULT_LEARNING_RATE=3e-3,
    DEFAULT_INPUT_SIZE=64,
    ANNOTATION_FORMATS=("json", "mat"),
)
