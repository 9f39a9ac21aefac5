# Signatures of the extension module quillon.forgeline.datasets.darknet, for
# editors and type checkers (tests/test_stubs.py keeps them in step).
from os import PathLike
from typing import Any

import tensorflow as tf

from quillon.forgeline.datasets.core import BaseDetectionDataset

class DarknetDatasetYaml(BaseDetectionDataset):
    """Darknet object-detection dataset described by a YAML file."""

    def __init__(
        self,
        info_file: str | None = None,
        shape: list[int] | None = None,
        letter_box: bool = True,
        add_bkg_class: bool = True,
        aug_cfg: dict[str, float] | None = None,
        reduced_decode: bool = False,
        cache: str | None = None,
        cache_dir: str | None = None,
    ) -> None: ...
    def validate_info_file_content(self, info_dataset: dict[str, Any] | None = None) -> None: ...
    def load_instance(self, data: Any, training: bool = True) -> tuple[Any, ...]: ...
    def load_storage(self) -> None: ...
    def label_files_with_clipped_boxes(self, storage: Any) -> list[str]: ...
    def build_and_load_base_iterator(self, storage: Any, shuffle: bool = True) -> tf.data.Dataset: ...

class DarknetDataset(DarknetDatasetYaml):
    """Darknet object-detection dataset built from an already-loaded description."""

    def __init__(
        self,
        info_dataset: dict[str, Any] | None = None,
        shape: list[int] | None = None,
        letter_box: bool = True,
        add_bkg_class: bool = True,
        aug_cfg: dict[str, float] | None = None,
        reduced_decode: bool = False,
        cache: str | None = None,
        cache_dir: str | None = None,
    ) -> None: ...
    def validate_info_file(self, info_file: Any) -> Any: ...

def pair_samples(images_folder: str, annotations_folder: str, suffix: str) -> tuple[list[list[str]], list[str]]:
    """Pairs each image of a folder with ``annotations_folder/<stem><suffix>`` where that exists, as the datasets do."""

def read_darknet_labels(path: str | PathLike[str], line_numbers: bool = False) -> Any:
    """Reads a Darknet label file by the loader's rules: float64 rows ``class cx cy w h`` (and line numbers)."""
