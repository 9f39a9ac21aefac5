"""Head-pose job: built-in data, model, loss, evaluation helper, the trainer and the demo command."""

import csv
import json
import os

import numpy as np
import pytest
import scipy.io
import tensorflow as tf
from quillon.forgeline.datasets.attitude import AttitudeDataset, AttitudeDatasetJson
from quillon.forgeline.demo.__main__ import main as demo_main
from quillon.forgeline.demo.data_headpose import generate_headpose_dataset, rotation_matrix
from quillon.forgeline.evaluation.headpose import evaluate_attitude
from quillon.forgeline.jobs.headpose import HeadPoseTrainer
from quillon.forgeline.losses import AttitudeLoss
from quillon.forgeline.models.headpose import bin_centres, build_headpose_model
from trainer_doubles import RUN_FILES, make_trainer


@pytest.fixture(scope="module")
def heads(tmp_path_factory):
    return generate_headpose_dataset(
        tmp_path_factory.mktemp("heads") / "data", seed=5, train_images=4, validation_images=6, size=48
    )


def stems(folder):
    return sorted(os.path.splitext(name)[0] for name in os.listdir(folder))


def attitude_dataset(heads, annotations="mat", shape=(32, 32)):
    """The built-in heads as AttitudeDataset (MATLAB files) or AttitudeDatasetJson."""
    folders = dict(
        shape=[shape[0], shape[1], 3],
        train_images=heads["train_images"],
        train_annotations=heads[f"train_{annotations}"],
        val_images=heads["val_images"],
        val_annotations=heads[f"val_{annotations}"],
    )
    if annotations == "json":
        return AttitudeDatasetJson(**folders)
    return AttitudeDataset(**folders, file_extension="mat")


class TestBuiltInData:
    def test_both_annotation_forms_describe_the_same_heads(self, heads):
        for split in ("train", "val"):
            assert stems(heads[f"{split}_images"]) == stems(heads[f"{split}_mat"]) == stems(heads[f"{split}_json"])
        for stem in stems(heads["val_images"]):
            mat = scipy.io.loadmat(os.path.join(heads["val_mat"], stem + ".mat"))
            with open(os.path.join(heads["val_json"], stem + ".json"), encoding="utf-8") as stream:
                annotation = json.load(stream)
            assert mat["Pose_Para"].shape == (1, 7) and mat["pt2d"].shape[0] == 2
            np.testing.assert_allclose(mat["Pose_Para"][0, :3], annotation["angles"][0])
            ((cx, cy, w, h, _),) = annotation["boxes"]
            assert 0 <= cx - w / 2 and cx + w / 2 <= 1 and 0 <= cy - h / 2 and cy + h / 2 <= 1
            # The eyes, the base of the nose and the mouth corners lie inside the head box.
            x, y = mat["pt2d"][:, [0, 1, 2, 4, 5]] / 48
            assert np.all((abs(x - cx) <= w / 2) & (abs(y - cy) <= h / 2))

    @pytest.mark.parametrize("pitch, yaw, roll", [(10, 40, -20), (-25, -55, 30)])
    def test_a_mirrored_head_has_negated_yaw_and_roll(self, pitch, yaw, roll):
        # The JSON loader mirrors crops and negates yaw and roll; the rendering must agree.
        mirror = np.diag([-1.0, 1.0, 1.0])
        np.testing.assert_allclose(
            mirror @ rotation_matrix(pitch, yaw, roll) @ mirror, rotation_matrix(pitch, -yaw, -roll), atol=1e-12
        )


class TestModelAndLoss:
    def test_outputs_fit_the_detection_trainer_and_the_saved_model_loads(self, tmp_path):
        model = build_headpose_model((32, 32, 3), num_bins=10, angle_range=(-50, 50))
        assert model.output_names == ["bin_logits", "bin_probabilities", "angles"]
        images = tf.random.uniform((2, 32, 32, 3))
        logits, probabilities, angles = model(images, training=False)
        assert logits.shape == probabilities.shape == (2, 3, 10) and angles.shape == (2, 3)
        np.testing.assert_allclose(
            # Bin centres of +-50 cancel in float32: an absolute tolerance as well.
            angles,
            np.sum(probabilities.numpy() * bin_centres(10, (-50, 50)), axis=-1),
            rtol=1e-5,
            atol=1e-4,
        )
        inference = tf.keras.Model(model.input, model.outputs[2:])  # what DetectionTrainer saves
        inference.save(str(tmp_path / "m.h5"))
        loaded = tf.keras.models.load_model(str(tmp_path / "m.h5"), compile=False)
        np.testing.assert_allclose(np.asarray(loaded(images, training=False)), angles, rtol=1e-5, atol=1e-4)

    def test_bins_cover_the_range_and_clip_outside_it(self):
        loss = AttitudeLoss(num_bins=4, angle_range=(-40, 40))  # bins of 20
        angles = tf.constant([[-40.0, -0.1, 0.0], [39.9, 95.0, -95.0]])
        right_bins = tf.one_hot([[0, 1, 2], [3, 3, 0]], 4) * 20.0
        centres = bin_centres(4, (-40, 40))
        predicted = tf.constant(centres[[[0, 1, 2], [3, 3, 0]]])
        values = loss.compute_loss((angles,), (right_bins, None, predicted))
        assert float(values["bin-loss"]) < 1e-6
        # The angle term is the mean error in bin widths.
        expected = np.abs(predicted.numpy() - angles.numpy()).mean() / 20.0
        assert float(values["angle-loss"]) == pytest.approx(expected, rel=1e-5)
        assert float(values["total-loss"]) == pytest.approx(float(values["bin-loss"]) + 0.5 * expected, rel=1e-5)
        wrong = loss.compute_loss((angles,), (tf.roll(right_bins, 1, axis=-1), None, predicted))
        assert float(wrong["bin-loss"]) > 10.0

    def test_a_single_output_is_refused(self):
        with pytest.raises(TypeError, match="3 model outputs"):
            AttitudeLoss().compute_loss((tf.zeros((4, 3)),), tuple(tf.zeros((4, 3))))
        with pytest.raises(ValueError, match="angle_range"):
            AttitudeLoss(angle_range=(10, -10))


class TestEvaluateAttitude:
    @pytest.mark.parametrize("annotations", ["json", "mat"])
    def test_validation_sees_the_images_as_predict_does(self, heads, monkeypatch, annotations):
        """No training blur or mirroring, whatever the random draws, and no draw from the caller's generator; for
        whole images, predict's own figures; a training model (angles last) scores as its inference model."""
        from PIL import Image
        from quillon.forgeline.deploy.predictors import HeadposePredictor

        dataset = attitude_dataset(heads, annotations)
        inputs = tf.keras.Input((32, 32, 3))
        angles = tf.keras.layers.Dense(3, kernel_initializer=tf.constant_initializer(np.diag([90.0, 180.0, 60.0])))
        angles_layer = angles(tf.keras.layers.GlobalAveragePooling2D()(inputs))
        model = tf.keras.Model(inputs, angles_layer)
        angles.bias.assign([0.0, 30.0, -20.0])  # a mirrored sample (yaw and roll negated) would score otherwise

        figures = []
        for draw in (0.0, 0.999):  # below every augmentation's probability, then above
            monkeypatch.setattr(np.random, "random_sample", lambda draw=draw: draw)
            monkeypatch.setattr(np.random, "random", lambda draw=draw: draw)
            figures.append(evaluate_attitude(model, dataset, batch_size=4))
        monkeypatch.undo()
        _, key, position, *_ = np.random.get_state()
        figures.append(evaluate_attitude(model, dataset, batch_size=4))
        _, key_after, position_after, *_ = np.random.get_state()
        assert np.array_equal(key_after, key) and position_after == position  # the caller's generator is left as it was
        assert figures[0] == figures[1] == figures[2]
        training = tf.keras.Model(inputs, [inputs, angles_layer])  # a training model's angles come last
        assert evaluate_attitude(training, dataset, batch_size=4) == figures[0]
        with pytest.raises(ValueError, match=r"angles \[batch, 3\]"):
            evaluate_attitude(lambda images, training: tf.zeros((1, 2)), dataset)

        names = stems(heads["val_images"])
        truth = np.array(
            [scipy.io.loadmat(os.path.join(heads["val_mat"], n + ".mat"))["Pose_Para"][0, :3] for n in names]
        )
        baseline = np.abs(truth - truth.mean(axis=0)).mean(axis=0)
        assert figures[0]["count"] == 6
        assert [figures[0]["baseline_mae"][name] for name in ("pitch", "yaw", "roll")] == pytest.approx(baseline)
        if annotations == "mat":
            images = [
                np.asarray(Image.open(os.path.join(heads["val_images"], n + ".png")).convert("RGB")) for n in names
            ]
            errors = np.abs(HeadposePredictor(model).predict(images) - truth).mean(axis=0)
            assert [figures[0]["mae"][name] for name in ("pitch", "yaw", "roll", "mean")] == pytest.approx(
                [*errors, errors.mean()], rel=1e-5
            )


@pytest.mark.parametrize("annotations", ["json", "mat"])
def test_headpose_command_trains_and_writes_its_run_folder(tmp_path, annotations, capsys):
    out = tmp_path / "out"
    demo_main(f"headpose --epochs 1 --images 8 --batch-size 4 --annotations {annotations} --out {out}".split())
    run = out / "run"
    assert sorted(os.listdir(run)) == [name for name in RUN_FILES if name != "labels.txt"]
    config = json.loads((run / "config.json").read_text())
    assert config["annotations"] == annotations and config["train_images"] == 8
    results = json.loads((run / "validation" / "results.json").read_text())
    assert results["count"] == 2 and set(results["mae"]) == {"pitch", "yaw", "roll", "mean"}
    assert "mean absolute error" in (run / "validation" / "results.txt").read_text()
    assert "Head-pose validation: 2 images" in capsys.readouterr().out
    saved = tf.keras.models.load_model(str(run / "last.h5"), compile=False)
    assert saved(tf.zeros((1, 64, 64, 3))).shape == (1, 3)
    capsys.readouterr()
    assert demo_main(["headpose", "--epochs", "1", "--images", "8", "--out", str(out)]) == 1  # one line, no traceback
    assert "already holds a run" in capsys.readouterr().err


def test_headpose_trainer_keeps_the_lowest_error_and_a_row_per_pass(tmp_path):
    trainer = make_trainer(HeadPoseTrainer, tmp_path, classes=[])
    best = tmp_path / "best.h5"
    # (saved score, whether best.h5 is replaced): errors, lowest best; ties replace it; the loop's -1.0 never does.
    steps = [(5.0, True), (-1.0, False), (3.0, True), (4.0, False), (3.0, True), (float("nan"), False)]
    for score, replaced in steps:
        before = best.stat().st_mtime_ns if best.exists() else None
        trainer.save_model(score)
        assert (best.stat().st_mtime_ns != before) == replaced, score
    assert trainer.best_value == 3.0

    for epoch, mean in ((1, 6.0), (2, 2.0)):
        errors = {"pitch": mean, "yaw": mean, "roll": mean, "mean": mean}
        trainer.update_metrics({"mae": errors, "baseline_mae": errors, "count": 2}, epoch=epoch)
    rows = list(csv.DictReader((tmp_path / "summary.csv").open()))
    assert [(row["epoch"], row["MAE-mean"]) for row in rows] == [("1", "6.0"), ("2", "2.0")]
