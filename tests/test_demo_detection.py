"""The detection demo: built-in shapes data, reference detector and its loss, and the whole run."""

import csv
import filecmp
import glob
import os
import warnings

import numpy as np
import pytest
import tensorflow as tf
import yaml
from quillon.forgeline.demo import data
from quillon.forgeline.demo.__main__ import main
from quillon.forgeline.demo.data_headpose import generate_headpose_dataset
from quillon.forgeline.demo.data_segment import generate_segmentation_dataset
from quillon.forgeline.losses import DetectionLoss
from quillon.forgeline.models.detection import STRIDE, box_distances_from_logits, build_single_scale_detection_model
from trainer_doubles import SUMMARY_KEYS, assert_detection_run_files


def split_files(folder):
    return sorted(os.path.relpath(path, folder) for path in glob.glob(os.path.join(folder, "*", "*", "*")))


GENERATORS = [data.generate_detection_dataset, generate_segmentation_dataset, generate_headpose_dataset]


@pytest.mark.parametrize("generate", GENERATORS)
def test_a_seed_gives_the_same_samples_whatever_the_counts(tmp_path, generate):
    for folder, seed, count in (("a", 3, 3), ("more", 3, 5), ("other", 4, 3)):
        generate(tmp_path / folder, seed=seed, train_images=count, validation_images=2)
    files = split_files(tmp_path / "a")
    assert len(files) < len(split_files(tmp_path / "more")) and set(files) <= set(split_files(tmp_path / "more"))
    files = [name for name in files if not name.endswith(".mat")]  # a MATLAB file's header holds the time of writing
    for folder, same in (("more", True), ("other", False)):
        assert (
            all(filecmp.cmp(tmp_path / "a" / name, tmp_path / folder / name, shallow=False) for name in files) == same
        )


def test_generated_detection_dataset_is_well_formed(tmp_path):
    first = data.generate_detection_dataset(tmp_path / "a", seed=3, train_images=40, validation_images=4)
    files = split_files(tmp_path / "a")
    description = yaml.safe_load(open(first))
    assert description["type"] == "darknet" and description["classes"] == ["circle", "square", "triangle"]
    assert description["validation"]["images"] == str(tmp_path / "a" / "validation" / "images")
    assert {os.path.splitext(name)[1] for name in files} == {".png", ".jpg", ".txt"}
    rows = []
    empty = 0
    for label_file in glob.glob(str(tmp_path / "a" / "train" / "labels" / "*.txt")):
        lines = open(label_file).read().splitlines()
        empty += not lines
        rows += [[float(v) for v in line.split()] for line in lines]
    rows = np.array(rows)
    assert empty > 0 and rows.shape[1] == 5
    assert set(rows[:, 0]) == {0, 1, 2}
    # Boxes lie inside the image, up to the 6-decimal rounding of the file.
    for centre, size in [(rows[:, 1], rows[:, 3]), (rows[:, 2], rows[:, 4])]:
        assert (centre - size / 2 >= -1e-6).all() and (centre + size / 2 <= 1 + 1e-6).all() and (size > 0).all()


def test_boxes_cover_exactly_the_drawn_shapes(monkeypatch):
    monkeypatch.setattr(data, "_background", lambda rng, width, height: np.zeros((height, width, 3), np.uint8))
    for seed in range(40):
        image, objects = data.draw_shapes_image(np.random.default_rng(seed))
        drawn = np.asarray(image).any(axis=2)
        for _, (x1, y1, x2, y2) in objects:
            # Shapes lie at least 2 pixels apart, so a 1-pixel ring around the box is background.
            top, left = max(y1 - 1, 0), max(x1 - 1, 0)
            ys, xs = np.nonzero(drawn[top : y2 + 1, left : x2 + 1])
            assert (xs.min() + left, ys.min() + top, xs.max() + left + 1, ys.max() + top + 1) == (x1, y1, x2, y2)


@pytest.mark.parametrize("generate", GENERATORS)
def test_a_generated_folder_is_reused_where_it_lies_and_no_other_is_overwritten(tmp_path, generate):
    abandoned = tmp_path / ".moved-staging-999999999-abc"  # a killed generation's: no process has that id
    abandoned.mkdir()
    (abandoned / "0.png").write_bytes(b"half")
    running = f".moved-staging-{os.getpid()}-def"
    (tmp_path / running).mkdir()
    generate(tmp_path / "moved", seed=0, train_images=2, validation_images=1)
    os.rename(tmp_path / "moved", tmp_path / "here")
    images = {path: path.stat().st_mtime_ns for path in (tmp_path / "here").glob("*/images/*")}
    # Same parameters: reused as it is, described where it now lies.
    folders = generate(tmp_path / "here", seed=0, train_images=2, validation_images=1)
    described = folders if isinstance(folders, dict) else yaml.safe_load(open(folders))
    assert str(tmp_path / "here" / "train" / "images") in str(described) and "moved" not in str(described)
    assert {path: path.stat().st_mtime_ns for path in images} == images
    with pytest.raises(FileExistsError, match="was generated with"):
        generate(tmp_path / "here", seed=1, train_images=2, validation_images=1)
    (tmp_path / "mine").mkdir()
    (tmp_path / "mine" / "notes.txt").write_text("keep")
    with pytest.raises(FileExistsError, match="not a generated dataset"):
        generate(tmp_path / "mine")
    assert os.listdir(tmp_path / "mine") == ["notes.txt"]
    with pytest.raises(ValueError, match="train_images"):
        generate(tmp_path / "new", train_images=0)
    assert sorted(os.listdir(tmp_path)) == [running, "here", "mine"]  # no staging folder left but a running one


def test_model_outputs():
    model = build_single_scale_detection_model(4, input_shape=(64, 64, 3))
    assert [tuple(output.shape) for output in model.outputs] == [(None, 8, 8, 4), (None, 8, 8, 4)] * 2
    class_logits, box_logits, class_scores, box_distances = model(tf.random.uniform((2, 64, 64, 3)))
    np.testing.assert_allclose(class_scores, tf.sigmoid(class_logits), atol=1e-6)
    np.testing.assert_allclose(box_distances, box_distances_from_logits(box_logits), rtol=1e-5)
    assert len(model.losses) > 0  # weight decay
    with pytest.raises(ValueError, match="multiple of 32"):
        build_single_scale_detection_model(4, input_shape=(48, 64, 3))


def ideal_predictions(boxes, grid=8, classes=4, wrong_cell=False):
    """Logits of a perfect model for one image's boxes: peaks at centre cells, exact distances inside."""
    class_logits = np.full((1, grid, grid, classes), -12.0, np.float32)
    box_logits = np.zeros((1, grid, grid, 4), np.float32)
    centres = (np.arange(grid) + 0.5) * STRIDE
    for x1, y1, x2, y2, label in boxes:
        if x2 <= x1:
            continue
        row, col = int((y1 + y2) / 2 // STRIDE), int((x1 + x2) / 2 // STRIDE)
        class_logits[0, row, col + wrong_cell, int(label)] = 12.0
        for r, cy in enumerate(centres):
            for c, cx in enumerate(centres):
                distances = np.array([cx - x1, cy - y1, x2 - cx, y2 - cy]) / 16.0
                if (distances > 0).all():
                    box_logits[0, r, c] = np.log(np.expm1(distances))  # inverse softplus
    return class_logits, box_logits


@pytest.mark.parametrize("dtype", [tf.float16, tf.bfloat16])
def test_loss_takes_the_half_precision_outputs_of_mixed_precision_models(dtype):
    boxes = np.array([[[4, 6, 30, 28, 1], [36, 34, 60, 62, 3]]], np.float32)
    predictions = tuple(tf.random.stateless_normal((1, 8, 8, 4), seed=(n, 0)) for n in range(2))
    full = DetectionLoss().compute_loss((boxes,), predictions)
    half = DetectionLoss().compute_loss((boxes,), tuple(tf.cast(p, dtype) for p in predictions))
    for key, value in half.items():
        assert value.dtype == tf.float32
        # Only the inputs were rounded to half precision; the loss itself is float32.
        assert float(value) == pytest.approx(float(full[key]), rel=2e-2), key


def test_loss_is_near_zero_for_a_perfect_prediction_and_ignores_padding():
    boxes = np.array([[[4, 6, 30, 28, 1], [36, 34, 60, 62, 3], [0, 0, 0, 0, 0]]], np.float32)
    loss = DetectionLoss()
    perfect = loss.compute_loss((boxes,), ideal_predictions(boxes[0]))
    assert float(perfect["heatmap-loss"]) < 1e-3 and float(perfect["box-loss"]) < 1e-3
    assert float(perfect["total-loss"]) == pytest.approx(
        float(perfect["heatmap-loss"]) + 2 * float(perfect["box-loss"])
    )

    shifted = loss.compute_loss((boxes,), ideal_predictions(boxes[0], wrong_cell=True))
    assert float(shifted["heatmap-loss"]) > 1.0
    wrong_class = boxes.copy()
    wrong_class[0, :2, 4] = [2, 1]
    assert float(loss.compute_loss((wrong_class,), ideal_predictions(boxes[0]))["heatmap-loss"]) > 1.0

    random = tuple(tf.random.normal((1, 8, 8, n)) for n in (4, 4))
    more_padding = np.concatenate([boxes, np.zeros((1, 3, 5), np.float32)], axis=1)
    for key, value in loss.compute_loss((boxes,), random).items():
        assert float(value) == pytest.approx(float(loss.compute_loss((more_padding,), random)[key]), rel=1e-6)


def test_loss_without_objects_has_finite_gradients_and_rejects_bad_labels():
    loss = DetectionLoss()
    logits = [tf.Variable(tf.random.normal((2, 8, 8, n))) for n in (4, 4)]
    with tf.GradientTape() as tape:
        result = loss.compute_loss((tf.zeros((2, 0, 5)),), tuple(logits))
    gradients = tape.gradient(result["total-loss"], logits)
    assert float(result["box-loss"]) == 0.0 and np.isfinite(float(result["total-loss"]))
    assert all(np.isfinite(g.numpy()).all() for g in gradients)

    with pytest.raises(tf.errors.InvalidArgumentError, match="number of class score maps"):
        loss.compute_loss((tf.constant([[[1, 1, 9, 9, 4]]], tf.float32),), (tf.zeros((1, 8, 8, 4)),) * 2)


def test_demo_trains_and_best_model_reproduces_its_validation(tmp_path, capsys, monkeypatch):
    from quillon.forgeline.datasets.darknet import DarknetDatasetYaml
    from quillon.forgeline.demo.detect import run_detection_demo
    from quillon.forgeline.evaluation.detection import DetectionEvaluator

    # Keep the detections of every validation image the trainer evaluates.
    seen = {}
    evaluate_one = DetectionEvaluator.single_evaluation

    def recording(self, instances, epoch, add_image):
        detections = instances["dt_instance"]
        seen[epoch, instances["gt_instance"]["image_path"]] = [
            np.array(detections[key]) for key in ("boxes", "labels", "scores")
        ]
        return evaluate_one(self, instances, epoch, add_image)

    monkeypatch.setattr(DetectionEvaluator, "single_evaluation", recording)
    result = run_detection_demo(tmp_path, epochs=2, images=24, batch_size=4, input_size=64)
    monkeypatch.undo()

    run = tmp_path / "run"
    assert_detection_run_files(
        run,
        ["circle", "square", "triangle"],
        more=["validation/precision_recall.png", "validation/confusion_matrix.png"],
    )
    rows = list(csv.DictReader(open(run / "summary.csv")))
    assert [row["epoch"] for row in rows] == ["1", "2"]
    best = [row for row in rows if float(row["mAP@0.5"]) == max(float(r["mAP@0.5"]) for r in rows)][-1]
    assert result["best_map"] == float(best["mAP@0.5"]) and result["best_epoch"] == int(best["epoch"])
    assert f"Run folder: {run}" in capsys.readouterr().out

    # best.h5 is the deployable model: on every validation image it finds what the
    # training model found at the best epoch, and so scores the same.
    model = tf.keras.models.load_model(run / "best.h5", compile=False)
    assert len(model.outputs) == 2
    dataset = DarknetDatasetYaml(
        str(tmp_path / "data" / "data.yaml"), shape=[64, 64, 3], letter_box=True, add_bkg_class=True, aug_cfg=None
    )
    evaluator = DetectionEvaluator(model, labels=dataset.get_classes())
    found = 0
    for image, _, name in dataset.build_val_iterator():
        boxes, labels, scores = evaluator.runner.run_single_instance(image.numpy()[0])
        then_boxes, then_labels, then_scores = seen[result["best_epoch"], name.numpy()[0].decode()]
        np.testing.assert_allclose(boxes, then_boxes, atol=1e-6)
        np.testing.assert_allclose(scores, then_scores, atol=1e-6)
        assert list(labels) == list(then_labels)
        found += len(boxes)
    assert found > 0, "with no detections the comparison would prove little"
    metrics = evaluator.evaluate(dataset.build_val_iterator())
    again = [metrics[key][threshold] for key in ("mAP", "mACC", "mAR") for threshold in ("0.5", "0.75", "0.5:0.95")]
    again += [metrics["OA"], metrics["OP"], metrics["OR"]]
    np.testing.assert_allclose(again, [float(best[column]) for column in SUMMARY_KEYS], atol=1e-6)

    with pytest.raises(FileExistsError, match="already holds a run"):
        run_detection_demo(tmp_path, epochs=1, images=24)


@pytest.mark.parametrize("arguments", [["detect", "--epochs", "0"], ["detect", "--images", "many"], []])
def test_command_line_rejects_bad_arguments(arguments, capsys):
    with pytest.raises(SystemExit) as exit_status:
        main(arguments)
    assert exit_status.value.code == 2
    assert "error" in capsys.readouterr().err


def test_a_job_shows_the_missing_mlflow_warning_once(monkeypatch):
    from quillon.forgeline.demo import detect

    def saving_three_times(out, **_):
        for _ in range(3):
            warnings.warn("MLFlow is not installed. Please install it to log artifacts", stacklevel=1)

    monkeypatch.setattr(detect, "run_detection_demo", saving_three_times)
    monkeypatch.setattr(warnings, "onceregistry", {})
    with warnings.catch_warnings(record=True) as shown:
        warnings.simplefilter("always")
        assert main(["detect"]) == 0
    assert len([w for w in shown if "MLFlow" in str(w.message)]) == 1
