# Signatures of the extension module quillon.forgeline.trainer.detection, for
# editors and type checkers (tests/test_stubs.py keeps them in step).
from contextlib import AbstractContextManager
from typing import Any

import tensorflow as tf

from quillon.forgeline.callbacks import ForgelineTrainingCallback

class DetectionTrainer:
    """Training pipeline for object-detection models."""

    dvclive_output: str | None
    info: Any
    model: Any
    metric: str
    dataset: Any
    optimizer: Any
    loss: Any
    logger: Any
    evaluator: Any
    val_messenger: Any
    best_value: float
    iou: float
    classes: list[str] | None
    display: int | None
    NCHW: bool
    current_lr: Any
    checkpoint: str
    best: str
    last: str
    summary_rows: list[dict[str, Any]]
    skip_validation_steps: int
    skip_initial_validation: bool
    state_folder: str | None
    resumed: bool
    ema_decay: float | None
    ema_warmup_steps: float
    detailed_progress: bool
    def __init__(
        self,
        model: Any,
        dataset: Any,
        optimizer: Any,
        loss: Any,
        logger: Any = "out",
        checkpoint: str = "out",
        info: Any = None,
        metric: str = "acc",
        iou: float = 0.5,
        classes: list[str] | None = None,
        display: int | None = None,
        dvclive_output: str | None = None,
        skip_validation_steps: int = 1,
        skip_initial_validation: bool = False,
    ) -> None: ...
    def preprocess_input(self, x: tf.Tensor) -> tf.Tensor: ...
    def train_step(self, data: Any) -> dict[str, Any]: ...
    def remove_training_outputs(self, model: Any = None) -> Any: ...
    def to_nchw(self, model: Any) -> Any: ...
    def save_model(self, val: float) -> None: ...
    def update_metrics(
        self, metrics: dict[str, Any] = ..., losses: dict[str, Any] = ..., epoch: int = 0, live: Any = None
    ) -> None: ...
    def run_validation_step(self, loop: Any, evaluator: Any, epoch: int) -> dict[str, Any]: ...
    def train(
        self,
        epochs: int,
        train_ds: Any = None,
        val_ds: Any = None,
        evaluator: Any = None,
        start: int = 1,
        callback_handler: ForgelineTrainingCallback = ...,
    ) -> None: ...
    def save_state(self, epoch: int) -> None: ...
    def resume(self) -> int: ...

def is_chief(strategy: tf.distribute.Strategy | None) -> bool:
    """Whether a process training under ``strategy`` writes the run: without a strategy, or as its chief."""

def in_scope(strategy: tf.distribute.Strategy | None) -> AbstractContextManager[Any]:
    """The context to build a model and its optimizer in: ``strategy.scope()``, or one doing nothing for None."""
