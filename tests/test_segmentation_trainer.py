"""SegmentationTrainer: training step, whole-model checkpoints, mask validation and its metrics."""

import json
import sys

import numpy as np
import pytest
import quillon.forgeline.trainer.segmentation as segmentation
import tensorflow as tf
from quillon.forgeline.trainer.detection import DetectionTrainer
from quillon.forgeline.trainer.segmentation import SegmentationTrainer
from trainer_doubles import (
    SIZE,
    FakeBar,
    FakeLive,
    RecordingEvaluator,
    RecordingLoss,
    fake_mlflow_module,
    make_trainer,
    segmentation_metrics,
    segmentation_model,
    segmentation_validation_elements,
)

SUMMARY_HEADER = "epoch,mAP,mACC,mAR,Overall-ACC,Overall-AP,Overall-AR"


class SaveRecordingTrainer(SegmentationTrainer):
    def save_model(self, val):
        self.saved_scores = getattr(self, "saved_scores", []) + [val]


def mask_batches(count=2):
    rng = np.random.default_rng(0)
    images = rng.integers(0, 256, (count * 2, SIZE, SIZE, 3), dtype=np.uint8)
    masks = rng.integers(0, 3, (count * 2, SIZE, SIZE), dtype=np.int32)
    return tf.data.Dataset.from_tensor_slices((images, masks)).batch(2)


def test_module_and_constructor_follow_the_detection_trainer(tmp_path):
    names = [name for name in vars(segmentation) if not name.startswith("_")]
    assert names == ["DetectionTrainer", "tf", "np", "csv", "os", "SegmentationTrainer"]
    assert SegmentationTrainer.__bases__ == (DetectionTrainer,)

    options = dict(info={"a": [1, 2]}, metric="map", iou=0.3, display=2, skip_validation_steps=3)
    detection_trainer = make_trainer(DetectionTrainer, tmp_path / "det", model=object(), **options)
    segmentation_trainer = make_trainer(SegmentationTrainer, tmp_path / "seg", model=object(), **options)
    for folder in ("det", "seg"):
        assert json.loads((tmp_path / folder / "config.json").read_text()) == {"a": [1, 2]}
        assert (tmp_path / folder / "labels.txt").read_text() == "a\nb\nc\n"
    skip = {
        "model",
        "optimizer",
        "loss",
        "logger",
        "val_messenger",
        "checkpoint",
        "best",
        "last",
        "current_lr",
        "state_folder",
    }
    assert {k: v for k, v in vars(segmentation_trainer).items() if k not in skip} == {
        k: v for k, v in vars(detection_trainer).items() if k not in skip
    }
    with pytest.raises(AttributeError):  # logger defaults to None, which has no writer
        SegmentationTrainer(object(), None, tf.keras.optimizers.SGD(0.1), RecordingLoss(), checkpoint=str(tmp_path))


def test_train_step_hands_the_loss_the_model_output_as_returned(tmp_path):
    model = segmentation_model()
    loss = RecordingLoss()
    trainer = make_trainer(SegmentationTrainer, tmp_path, model=model, loss=loss)
    before = model.get_layer("mask").kernel.numpy().copy()

    losses = trainer.train_step(next(iter(mask_batches())))

    targets, predictions = loss.calls[-1]
    assert isinstance(targets, tuple) and len(targets) == 1 and targets[0].shape[1:] == (SIZE, SIZE)
    assert tf.is_tensor(predictions) and predictions.shape[1:] == (SIZE, SIZE, 3)
    assert float(losses["L2-loss"]) == 0.0
    assert not np.allclose(before, model.get_layer("mask").kernel.numpy())
    assert trainer.remove_training_outputs(None) is model
    assert trainer.remove_training_outputs(segmentation_model()) is model


def test_instance_records_pair_the_masks(tmp_path):
    trainer = make_trainer(SaveRecordingTrainer, tmp_path, model=object())
    evaluator = RecordingEvaluator(segmentation=True)
    elements = segmentation_validation_elements(2)

    metrics = trainer.run_validation_step(elements, evaluator, 3)

    assert metrics is evaluator.last_metrics
    (outer, gt, dt, _, epoch, _), (outer2, gt2, dt2, *_) = evaluator.records
    assert outer2 is outer and gt2 is not gt and dt2 is not dt
    assert outer == {"gt_instance": gt2, "dt_instance": dt2}
    assert list(gt) == ["image", "height", "width", "gt_mask", "labels", "image_path"]
    assert list(dt) == ["dt_mask", "labels"]
    np.testing.assert_array_equal(gt["image"], elements[0][0].numpy())
    np.testing.assert_array_equal(gt["gt_mask"], elements[0][1].numpy())
    assert (gt["height"], gt["width"], gt["image_path"], epoch) == (SIZE, SIZE, "mask-0.png", 3)
    assert gt["labels"] == [0, 3]
    assert dt["labels"] == sorted(set(np.unique(dt["dt_mask"]).tolist())) == [0, 2]
    assert trainer.saved_scores == [0.1]


@pytest.mark.parametrize(
    "display, expected",
    [(2, [True, True, False, False, False]), (-1, [True] * 5), (0, [False] * 5), (None, [False] * 5)],
)
def test_display_choice(tmp_path, display, expected):
    trainer = make_trainer(SaveRecordingTrainer, tmp_path, model=object(), display=display)
    evaluator = RecordingEvaluator(segmentation=True)
    trainer.run_validation_step(segmentation_validation_elements(5), evaluator, 1)
    assert [record[3] for record in evaluator.records] == expected


@pytest.mark.parametrize("metric, score", [("acc", 0.1), ("map", 0.2), ("mAP", 0.3), ("iou", 0.3)])
def test_checkpoint_score_follows_the_metric_option(tmp_path, metric, score):
    trainer = make_trainer(SaveRecordingTrainer, tmp_path, model=object(), metric=metric)
    trainer.run_validation_step(segmentation_validation_elements(1), RecordingEvaluator(segmentation=True), 1)
    assert trainer.saved_scores == [score]


def test_bad_validation_input_is_reported_clearly(tmp_path):
    trainer = make_trainer(SaveRecordingTrainer, tmp_path, model=object())
    with pytest.raises(ValueError, match="yielded nothing"):
        trainer.run_validation_step(iter([]), RecordingEvaluator(segmentation=True), 1)
    image, mask, _ = segmentation_validation_elements(1)[0]
    with pytest.raises(ValueError, match=r"\(image, mask, path\)"):
        trainer.run_validation_step([(image, mask)], RecordingEvaluator(segmentation=True), 1)
    with pytest.raises(ValueError, match="height x width x channels"):
        trainer.run_validation_step([(image[None], mask, tf.constant(b"x"))], RecordingEvaluator(segmentation=True), 1)


def test_metrics_go_out_under_single_value_names(tmp_path, monkeypatch):
    mlflow = fake_mlflow_module(active=True)
    monkeypatch.setitem(sys.modules, "mlflow", mlflow)
    trainer = make_trainer(SegmentationTrainer, tmp_path, model=object(), optimizer=tf.keras.optimizers.SGD(0.5))
    live = FakeLive("dir", True, "html")
    for epoch, acc in enumerate((0.1, 0.2, 0.4)):
        trainer.update_metrics(segmentation_metrics(acc), epoch=epoch, live=live if epoch == 2 else None)

    assert [(name, plot) for _, name, _, plot in live.calls] == [
        ("mACC 0.50", False),
        ("mAP 0.50", False),
        ("mAR 0.50", False),
        ("Overall ACC", True),
        ("Overall AP", True),
        ("Overall AR", True),
        ("Learning Rate", True),
    ]
    values, step = mlflow.logged_metrics[-1]
    assert list(values) == [
        "mAP 0.50",
        "mACC 0.50",
        "mAR 0.50",
        "Overall ACC",
        "Overall AP",
        "Overall AR",
        "learning-rate",
    ]
    assert step == 2 and float(values["learning-rate"]) == 0.5
    assert [list(summary) for _, summary in trainer.logger.events] == [
        ["mAP", "mACC", "mAR", "Overall-ACC", "Overall-AP", "Overall-AR"]
    ] * 3
    lines = (tmp_path / "summary.csv").read_text().splitlines()
    assert lines == [
        SUMMARY_HEADER,
        "0,0.2,0.1,0.3,0.9,0.7,0.8",
        "1,0.2,0.2,0.3,0.9,0.7,0.8",
        "2,0.2,0.4,0.3,0.9,0.7,0.8",
    ]


def test_two_epochs_through_the_inherited_loop_save_the_whole_model(tmp_path, monkeypatch):
    import quillon.forgeline.trainer.detection as detection

    monkeypatch.setattr(detection, "tqdm", FakeBar)
    monkeypatch.setitem(sys.modules, "mlflow", None)
    model = segmentation_model()
    trainer = make_trainer(SegmentationTrainer, tmp_path, model=model, display=1)
    evaluator = RecordingEvaluator(segmentation=True)

    trainer.train(2, mask_batches(), segmentation_validation_elements(2), evaluator)

    assert evaluator.passes == [0, 1, 2]
    assert [record[3] for record in evaluator.records] == [True, False] * 3
    lines = (tmp_path / "summary.csv").read_text().splitlines()
    assert lines[0] == SUMMARY_HEADER and [line.split(",")[0] for line in lines[1:]] == ["0", "1", "2"]
    image = np.random.default_rng(4).random((1, SIZE, SIZE, 3), np.float32)
    for name in ("best.h5", "last.h5"):
        saved = tf.keras.models.load_model(tmp_path / name, compile=False)
        assert len(saved.outputs) == 1
        np.testing.assert_allclose(saved(image), model(image), rtol=1e-5, atol=1e-6)
