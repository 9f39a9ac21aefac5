# Signatures of the extension module quillon.forgeline.datasets.augment, for
# editors and type checkers.
import numpy as np

def geometric_batch(
    images: np.ndarray | list[np.ndarray],
    boxes: list[np.ndarray],
    out: np.ndarray,
    *,
    seed: int,
    mosaic: float,
    affine: float,
    scale: tuple[float, float],
    translate: float,
    degrees: float,
    shear: float,
    min_size: float,
    min_visible: float,
    fill: int = 114,
) -> list[np.ndarray]:
    """Augments a batch: `images` (B x H x W x 3 uint8, or a list of B arrays H x W x 3) into `out`; returns the
    outputs' boxes (N x 5 float32)."""
