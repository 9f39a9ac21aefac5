# Signatures of the extension module quillon.forgeline.datasets.attitude, for
# editors and type checkers (tests/test_stubs.py keeps them in step). A method
# a subclass defines again with its base's signature is stated on the base.
from typing import Any

import tensorflow as tf

class AttitudeDataset:
    """Core functionalities for loading and iterating on attitude datasets."""

    def __init__(
        self,
        shape: list[int] | None = None,
        train_images: str | None = None,
        train_annotations: str | None = None,
        val_images: str | None = None,
        val_annotations: str | None = None,
        num_bins: int = 66,
        file_extension: str = "mat",
        reduced_decode: bool = False,
        cache: str | None = None,
        cache_dir: str | None = None,
    ) -> None: ...
    def read_annotations(self, annotations_path: str | None = None) -> tuple[Any, Any]: ...
    def tf_load_instance(self, data: Any) -> Any: ...
    def tf_augment(self, image: Any, angles: Any) -> Any: ...
    def build_train_iterator(
        self, batch_size: int, prefetch: int = 10, *, strategy: tf.distribute.Strategy | None = None
    ) -> Any: ...
    def build_val_iterator(self, batch_size: int = 1, prefetch: int = 10) -> tf.data.Dataset: ...
    def get_num_train_samples(self) -> int: ...
    def load_validation_instance(self, data: Any) -> tuple[Any, ...]: ...

class AttitudeDatasetYaml(AttitudeDataset):
    def __init__(
        self,
        shape: list[int] | None = None,
        info_file: str | None = None,
        num_bins: int = 3,
        reduced_decode: bool = False,
        cache: str | None = None,
        cache_dir: str | None = None,
    ) -> None: ...

class AttitudeAndDetectDataset(AttitudeDataset):
    """Extends the attitude dataset to detection plus attitude."""

    def __init__(
        self,
        shape: list[int] | None = None,
        train_images: str | None = None,
        train_annotations: str | None = None,
        val_images: str | None = None,
        val_annotations: str | None = None,
        classes: list[str] | None = None,
        add_bkg_class: bool = True,
        reduced_decode: bool = False,
        cache: str | None = None,
        cache_dir: str | None = None,
    ) -> None: ...
    def get_classes(self) -> list[str]: ...
    def tf_augment(self, image: Any, bboxes: Any = None, angles: Any = None) -> Any: ...

class AttitudeDatasetJson(AttitudeDataset):
    def __init__(
        self,
        shape: list[int] | None = None,
        train_images: str | None = None,
        train_annotations: str | None = None,
        val_images: str | None = None,
        val_annotations: str | None = None,
        reduced_decode: bool = False,
        cache: str | None = None,
        cache_dir: str | None = None,
    ) -> None: ...

class AttitudeAndDetectDatasetYaml(AttitudeAndDetectDataset):
    def __init__(
        self,
        shape: list[int] | None = None,
        info_file: str | None = None,
        add_bkg_class: bool = True,
        reduced_decode: bool = False,
        cache: str | None = None,
        cache_dir: str | None = None,
    ) -> None: ...

class AttitudeDatasetJsonYaml(AttitudeDatasetJson):
    def __init__(
        self,
        shape: list[int] | None = None,
        info_file: str | None = None,
        reduced_decode: bool = False,
        cache: str | None = None,
        cache_dir: str | None = None,
    ) -> None: ...

def read_mat_annotation(path: str | bytes) -> tuple[Any, Any]:
    """Reads a MATLAB pose file as the loader does: float32 (pitch, yaw, roll) of ``Pose_Para`` and ``pt2d``; errors name the file."""

def read_json_annotation(path: str | bytes, image_size: tuple[int, int] | None = None) -> tuple[Any, Any]:
    """Reads a JSON pose file as the loader does: float32 angles of the first face and its box row (None: no face listed).

    With ``image_size`` (width, height) the first box must also hold a pixel of the image; errors name the file.
    """
