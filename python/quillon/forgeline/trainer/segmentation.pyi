# Signatures of the extension module quillon.forgeline.trainer.segmentation,
# for editors and type checkers (tests/test_stubs.py keeps them in step). The
# methods it defines again with DetectionTrainer's signature are stated there.
from typing import Any

from quillon.forgeline.trainer.detection import DetectionTrainer

class SegmentationTrainer(DetectionTrainer):
    """Training pipeline for segmentation that combines all the tools of the toolkit."""

    def __init__(
        self,
        model: Any,
        dataset: Any,
        optimizer: Any,
        loss: Any,
        logger: Any = None,
        checkpoint: str | None = None,
        info: Any = None,
        metric: str = "acc",
        iou: float = 0.5,
        classes: list[str] | None = None,
        display: int | None = None,
        dvclive_output: str | None = None,
        skip_validation_steps: int = 1,
        skip_initial_validation: bool = False,
    ) -> None: ...
    def remove_training_outputs(self, model: Any) -> Any: ...
