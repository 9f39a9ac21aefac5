"""The validation pass of DetectionTrainer: instance records, display choice, checkpoint score."""

import numpy as np
import pytest
from quillon.forgeline.trainer.detection import DetectionTrainer
from trainer_doubles import SIZE, RecordingEvaluator, detection_metrics, make_trainer, validation_batches


class SaveRecordingTrainer(DetectionTrainer):
    """Records the scores offered to save_model instead of writing model files."""

    def save_model(self, val):
        self.saved_scores = getattr(self, "saved_scores", []) + [val]


def trainer_for(tmp_path, **options):
    return make_trainer(SaveRecordingTrainer, tmp_path, model=object(), **options)


def test_instance_records_pair_ground_truth_with_detections(tmp_path):
    trainer = trainer_for(tmp_path)
    evaluator = RecordingEvaluator()
    batches = validation_batches(2, labels=(2, 0))

    metrics = trainer.run_validation_step(batches, evaluator, 4)

    assert metrics is evaluator.last_metrics
    first, second = evaluator.records
    outer, gt, dt = first[:3]
    # The same three dictionaries are refilled for every image.
    assert second[0] is outer and second[1] is gt and second[2] is dt
    assert outer == {"gt_instance": gt, "dt_instance": dt}
    assert list(gt) == ["image", "height", "width", "boxes", "labels", "image_path"]
    assert list(dt) == ["boxes", "labels", "scores"]

    snapshot = first[5]["gt"]
    np.testing.assert_array_equal(snapshot["image"], batches[0][0].numpy()[0])
    assert (snapshot["height"], snapshot["width"]) == (SIZE, SIZE)
    np.testing.assert_array_equal(snapshot["boxes"], [[1, 2, 3, 4], [1, 2, 3, 4]])
    assert list(snapshot["labels"]) == ["c", "a"]
    assert snapshot["image_path"] == "image-0.jpg"
    assert second[5]["gt"]["image_path"] == "image-1.jpg"
    np.testing.assert_array_equal(first[5]["dt"]["scores"], [0.9])
    assert first[4] == 4 and evaluator.passes == [4]


@pytest.mark.parametrize(
    "display, expected",
    [(2, [True, True, False, False, False]), (-1, [True] * 5), (0, [False] * 5), (None, [False] * 5)],
)
def test_display_chooses_the_first_images_of_every_pass(tmp_path, display, expected):
    trainer = trainer_for(tmp_path, display=display)
    evaluator = RecordingEvaluator()
    for _ in range(2):  # each pass counts from the start again
        trainer.run_validation_step(validation_batches(5), evaluator, 1)
    flags = [record[3] for record in evaluator.records]
    assert flags == expected + expected


@pytest.mark.parametrize("metric, score", [("acc", 0.1), ("map", 0.2), ("mar", 0.3), ("mAP", 0.3)])
def test_checkpoint_score_follows_the_metric_option(tmp_path, metric, score):
    trainer = trainer_for(tmp_path, metric=metric)
    trainer.run_validation_step(validation_batches(1), RecordingEvaluator(), 1)
    assert trainer.saved_scores == [score]


def test_bad_validation_input_is_reported_clearly(tmp_path):
    trainer = trainer_for(tmp_path)
    with pytest.raises(ValueError, match="yielded nothing"):
        trainer.run_validation_step([], RecordingEvaluator(), 1)
    with pytest.raises(IndexError, match="class index 3, outside the 3 classes"):
        trainer.run_validation_step(validation_batches(1, labels=(3,)), RecordingEvaluator(), 1)
    image, boxes, _ = validation_batches(1)[0]
    with pytest.raises(ValueError, match=r"\(image, boxes, names\)"):
        trainer.run_validation_step([(image, boxes)], RecordingEvaluator(), 1)

    class MissingScore(RecordingEvaluator):
        def conclude(self, truth_values, epoch):
            metrics = detection_metrics(0.1)
            del metrics["mACC"]["0.5"]
            return metrics

    with pytest.raises(ValueError, match="'mACC' value for the IoU threshold '0.5'"):
        trainer.run_validation_step(validation_batches(1), MissingScore(), 1)
    assert not hasattr(trainer, "saved_scores")
