"""The multi-level detector: every object gets positives, objects weigh alike, decoding, fine-tuning, backbones."""

import numpy as np
import pytest
import tensorflow as tf
from quillon.forgeline.deploy.predictors import decode_point_detections, letterbox_batch
from quillon.forgeline.jobs.options import BACKBONES as OPTION_BACKBONES
from quillon.forgeline.jobs.weights import load_matching_weights, start_from
from quillon.forgeline.losses import MultiLevelDetectionLoss, assign_points
from quillon.forgeline.models.detection import (
    BACKBONES,
    STRIDES,
    build_detection_model,
    detection_points,
    level_distance_scale,
    model_points,
)
from quillon.forgeline.models.segmentation import build_segmentation_model

SIZE = 256
POINTS = detection_points((SIZE, SIZE))


@pytest.mark.parametrize(
    "name, boxes, stride",
    [
        ("small", [[100, 100, 110, 110]], 8),
        ("tiny, between points", [[9, 9, 11, 11]], 8),
        ("thin vertical", [[50, 20, 54, 60]], 8),
        ("thin horizontal bar", [[20, 200, 120, 206]], 16),
        ("large", [[10, 10, 250, 230]], 32),
        ("medium", [[30, 40, 130, 120]], 16),
        ("at the image edge", [[0, 0, 12, 12], [246, 250, 256, 256]], 8),
        ("nested: small inside large at one level", [[60, 60, 120, 120], [84, 84, 96, 96]], 8),
        ("same centre, different levels", [[28, 28, 228, 228], [120, 120, 136, 136]], None),
        ("crowd of small ones side by side", [[x, 100, x + 8, 108] for x in range(40, 120, 8)], 8),
    ],
)
def test_every_object_gets_positive_points_on_its_level(name, boxes, stride):
    rows = np.array([[*box, 1] for box in boxes] + [[0, 0, 0, 0, 0]], np.float32)[np.newaxis]
    positive, assigned, per_object = (t.numpy()[0] for t in assign_points(tf.constant(rows), POINTS, STRIDES))
    for index, box in enumerate(boxes):
        mine = positive & (assigned == index)
        assert mine.any(), f"{name}: object {index} has no positive point"
        assert per_object[mine].sum() == pytest.approx(1.0), name  # the object weighs 1 whatever its size
        if stride is not None:
            assert set(POINTS[mine, 2]) == {stride}, name
        # Its positives are around it: no further than a stride outside the box.
        x, y, s = POINTS[mine].T
        assert ((x > box[0] - s) & (x < box[2] + s) & (y > box[1] - s) & (y < box[3] + s)).all(), name
    assert not (positive & (assigned == len(boxes))).any(), f"{name}: the padding row got points"


def perfect_logits(boxes, classes=3):
    """Training outputs whose boxes are exact at every point inside a box and whose scores are 0 elsewhere."""
    class_logits = np.full((1, len(POINTS), classes), -12.0, np.float32)
    box_logits = np.zeros((1, len(POINTS), 4), np.float32)
    x, y, s = POINTS.T
    for x1, y1, x2, y2, label in boxes:
        inside = (x > x1) & (x < x2) & (y > y1) & (y < y2)
        distances = np.stack([x - x1, y - y1, x2 - x, y2 - y], axis=1)[inside] / level_distance_scale(s[inside, None])
        box_logits[0, inside] = np.log(np.expm1(distances))  # inverse softplus
        class_logits[0, inside, int(label)] = 12.0
    return class_logits, box_logits


def test_loss_weighs_a_small_and_a_large_object_alike():
    small, large = [100, 100, 124, 124, 1], [8, 8, 88, 88, 2]  # 9 and about 25 positive points
    boxes = np.array([[small, large]], np.float32)
    loss = MultiLevelDetectionLoss(POINTS)
    class_logits, box_logits = perfect_logits(boxes[0])
    perfect = loss((boxes,), (class_logits, box_logits))
    assert float(perfect["box-loss"]) < 1e-4

    errors = {}
    for index, box in enumerate((small, large)):
        x, y, _ = POINTS.T
        inside = (x > box[0]) & (x < box[2]) & (y > box[1]) & (y < box[3])
        wrong = box_logits.copy()
        wrong[0, inside] += 1.0  # every distance of this object's points too long
        errors[index] = float(loss((boxes,), (class_logits, wrong))["box-loss"])
    assert errors[0] > 0.05 and errors[1] > 0.05
    # Before, the box loss was averaged over points: the large object weighed three times the small one.
    assert errors[0] == pytest.approx(errors[1], rel=0.35)

    # With every logit 0 each (point, class) term of the class loss is 0.25 log 2 whatever its target: the
    # weights of the positive points, shared out per object, still add up to one per positive point.
    positives = int(tf.reduce_sum(tf.cast(assign_points(tf.constant(boxes), POINTS, STRIDES)[0], tf.int32)))
    flat = MultiLevelDetectionLoss(POINTS, quality=False)((boxes,), (np.zeros_like(class_logits), box_logits))
    assert float(flat["class-loss"]) == pytest.approx(len(POINTS) * 3 * 0.25 * np.log(2) / positives, rel=1e-5)


def test_loss_without_objects_is_finite_and_rejects_bad_labels():
    loss = MultiLevelDetectionLoss(POINTS)
    logits = [tf.Variable(tf.random.normal((2, len(POINTS), n))) for n in (3, 4)]
    with tf.GradientTape() as tape:
        result = loss((tf.zeros((2, 0, 5)),), tuple(logits))
    assert float(result["box-loss"]) == 0.0 and np.isfinite(float(result["total-loss"]))
    assert all(np.isfinite(g.numpy()).all() for g in tape.gradient(result["total-loss"], logits))
    with pytest.raises(tf.errors.InvalidArgumentError, match="number of class score maps"):
        loss((tf.constant([[[1, 1, 9, 9, 3]]], tf.float32),), tuple(logits))
    with pytest.raises(ValueError, match="points must be"):
        MultiLevelDetectionLoss(np.zeros((4, 2)))


def test_decoding_the_flattened_outputs_gives_the_boxes_back_in_the_image():
    image = np.zeros((300, 400, 3), np.uint8)  # letterboxed to 256: scale 0.64, 32 pixels of padding on top
    _, (geometry,) = letterbox_batch([image], SIZE, SIZE)
    truth = {1: [60, 80, 140, 150], 2: [300, 20, 312, 60]}  # image pixels: a medium object and a thin one
    scores = np.zeros((len(POINTS), 3), np.float32)
    distances = np.ones((len(POINTS), 4), np.float32)
    for label, (x1, y1, x2, y2) in truth.items():
        corners = np.array([x1, y1, x2, y2]) * 0.64 + [0, 32, 0, 32]
        centre = (corners[:2] + corners[2:]) / 2
        nearest = np.argmin(np.abs(POINTS[:, :2] - centre).sum(axis=1))
        x, y = POINTS[nearest, :2]
        scores[nearest, label] = 0.9 if label == 1 else 0.6
        distances[nearest] = [x - corners[0], y - corners[1], corners[2] - x, corners[3] - y]
    scores[5, 0] = 0.99  # the background class is never reported

    found = decode_point_detections(scores, distances, POINTS, geometry, True, 0.3, 0.5, 100)
    np.testing.assert_array_equal(found.classes, [1, 2])
    np.testing.assert_allclose(found.scores, [0.9, 0.6])
    np.testing.assert_allclose(found.boxes * [400, 300, 400, 300], [truth[1], truth[2]], atol=1e-3)


def test_fine_tuning_loads_the_matching_layers_and_a_new_class_count_all_but_the_class_outputs(tmp_path, capsys):
    source = build_detection_model(3, (64, 64, 3), width=8)
    run = tmp_path / "run"
    run.mkdir()
    tf.keras.Model(source.input, source.outputs[2:]).save(run / "best.h5")  # as the trainer saves it

    for classes, skipped in ((3, 0), (5, 3)):
        target = build_detection_model(classes, (64, 64, 3), width=8)
        loaded, total = load_matching_weights(target, run)
        assert (loaded, total) == (total - skipped, len([layer for layer in target.layers if layer.weights]))
        for layer in target.layers:
            if layer.weights and not layer.name.startswith("class_logits"):
                for mine, theirs in zip(layer.get_weights(), source.get_layer(layer.name).get_weights()):
                    np.testing.assert_array_equal(mine, theirs)
    start_from(target, str(run / "best.h5"))
    assert f"loaded {total - 3} of {total} layers" in capsys.readouterr().out

    # Models built without layer names of their own: Keras numbers them by the order they were made in.
    segmenter = build_segmentation_model((32, 32, 3), 3)
    segmenter.save(tmp_path / "segmenter.h5")
    other = build_segmentation_model((32, 32, 3), 4)
    loaded, total = load_matching_weights(other, tmp_path / "segmenter.h5")
    assert loaded == total - 1
    (tmp_path / "empty").mkdir()
    with pytest.raises(FileNotFoundError, match="no best.h5 or last.h5"):
        load_matching_weights(other, tmp_path / "empty")


def test_backbone_takes_a_weights_file_scales_the_input_itself_and_loads_back_from_h5(tmp_path):
    network = tf.keras.applications.EfficientNetV2B0(
        input_shape=(64, 64, 3), include_top=False, weights=None, include_preprocessing=True
    )
    path = str(tmp_path / "backbone.weights.h5")
    network.save_weights(path)
    model = build_detection_model(2, (64, 64, 3), width=8, backbone="efficientnetv2b0", backbone_weights=path)
    backbone = model.get_layer("backbone_efficientnetv2b0")
    image = np.random.default_rng(0).random((1, 64, 64, 3)).astype(np.float32)
    # The detector takes 0..1 and scales it to the 0..255 pixels the network wraps; its own weights are loaded.
    pixels = model.get_layer("backbone_pixels")(image)
    np.testing.assert_allclose(backbone(pixels)[-1], network(image * 255.0), atol=1e-4)

    # As the trainer saves it, and as predict and export load it.
    tf.keras.Model(model.input, model.outputs[2:]).save(tmp_path / "best.h5")
    loaded = tf.keras.models.load_model(tmp_path / "best.h5", compile=False)
    np.testing.assert_allclose(loaded(image)[1], model(image)[3], atol=1e-4)
    np.testing.assert_array_equal(model_points(loaded), detection_points((64, 64)))

    assert set(BACKBONES) == set(OPTION_BACKBONES)  # the train command's choices, declared without TensorFlow
    for backbone_name, weights, error, message in (
        ("nonet", None, ValueError, "backbone must be one of"),
        ("efficientnetv2b0", "x.npz", ValueError, "'imagenet' or the path of a .h5"),
        ("efficientnetv2b0", str(tmp_path / "none.h5"), FileNotFoundError, "no such file"),
    ):
        with pytest.raises(error, match=message):
            build_detection_model(2, (64, 64, 3), backbone=backbone_name, backbone_weights=weights)
