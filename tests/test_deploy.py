"""predict and export: the evaluator's detections from a folder, exported outputs by name, the deployer's recipe."""

import json
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest
import tensorflow as tf
from PIL import Image
from quillon.forgeline.__main__ import main
from quillon.forgeline.datasets.darknet import DarknetDatasetYaml
from quillon.forgeline.demo.data import generate_detection_dataset
from quillon.forgeline.deploy.export import export, load_exported
from quillon.forgeline.deploy.predict import predict, read_image
from quillon.forgeline.deploy.predictors import DetectionPredictor
from quillon.forgeline.evaluation.detection import DetectionEvaluator
from quillon.forgeline.evaluation.segmentation import SegmentationEvaluator
from quillon.forgeline.models.detection import build_detection_model, build_single_scale_detection_model
from quillon.forgeline.models.headpose import build_headpose_model
from quillon.forgeline.models.segmentation import build_segmentation_model

SIZE = 64
LABELS = ["background", "circle", "square", "triangle"]  # four classes: both outputs [B, ..., 4]
DOCS = os.path.join(os.path.dirname(__file__), os.pardir, "docs", "deploy.md")


def save_run(folder, model, task, labels=None):
    os.makedirs(folder, exist_ok=True)
    model.save(os.path.join(folder, "best.h5"))
    if labels:
        with open(os.path.join(folder, "labels.txt"), "w") as stream:
            stream.write("\n".join(labels) + "\n")
    with open(os.path.join(folder, "config.json"), "w") as stream:
        json.dump({"task": task, "input_shape": [SIZE, SIZE, 3]}, stream)
    return folder


@pytest.fixture(scope="module", params=["multi_level", "single_scale"])
def demo(tmp_path_factory, request):
    """The demo's shapes data and an untrained detector's run (scores ~0.1 give plenty of detections): the
    multi-level detector, and the single-scale one of runs trained before it."""
    root = tmp_path_factory.mktemp("demo")
    data_file = generate_detection_dataset(str(root / "data"), seed=0, train_images=1, validation_images=6)
    tf.keras.utils.set_random_seed(1)
    if request.param == "multi_level":
        network = build_detection_model(len(LABELS), (SIZE, SIZE, 3), width=8)
        for layer in network.layers:
            if layer.name.startswith("class_logits_s"):
                layer.bias.assign(tf.fill(layer.bias.shape, -2.2))
    else:
        network = build_single_scale_detection_model(len(LABELS), (SIZE, SIZE, 3), width=8)
    run = save_run(str(root / "run"), tf.keras.Model(network.input, network.outputs[2:]), "detect", LABELS)
    model = tf.keras.models.load_model(os.path.join(run, "best.h5"), compile=False)
    return {
        "root": root,
        "data_file": data_file,
        "run": run,
        "model": model,
        "images": str(root / "data" / "validation" / "images"),
    }


def docs_recipe():
    """The numpy decoding example of docs/deploy.md, run as written."""
    with open(DOCS, encoding="utf-8") as stream:
        blocks = re.findall(r"```python\n(.*?)```", stream.read(), re.S)
    namespace = {}
    exec(next(block for block in blocks if "def decode_detections" in block), namespace)
    return namespace["preprocess"], namespace["decode_detections"]


def test_predict_gives_the_evaluators_detections_batched_or_not_and_skips_a_corrupt_image(demo, tmp_path, capsys):
    dataset = DarknetDatasetYaml(
        demo["data_file"], shape=[SIZE, SIZE, 3], letter_box=True, add_bkg_class=True, aug_cfg=None
    )
    runner = DetectionEvaluator(demo["model"], labels=dataset.get_classes()).runner
    expected = {}
    for image, _, name in dataset.build_val_iterator():
        image = image.numpy()[0]
        expected[os.path.basename(name.numpy()[0].decode())] = (image.shape, runner.run_single_instance(image))
    assert sum(len(found[0]) for _, found in expected.values()) > 10

    source = tmp_path / "source"
    shutil.copytree(demo["images"], source)
    (source / "corrupt.jpg").write_bytes(b"not an image")
    summary = predict(
        demo["run"], str(source), str(tmp_path / "one"), batch_size=1, score_threshold=0.05, progress=False
    )
    assert summary["predicted"] == 6 and list(summary["skipped"]) == [str(source / "corrupt.jpg")]
    assert (
        main(
            [
                "predict",
                demo["run"],
                str(source / "*.*"),
                "--out",
                str(tmp_path / "four"),
                "--batch-size",
                "4",
                "--score-threshold",
                "0.05",
            ]
        )
        == 0
    )
    assert "corrupt.jpg" in capsys.readouterr().err

    class_names = LABELS[1:]
    for out in ("one", "four"):
        records = json.loads((tmp_path / out / "predictions.json").read_text())
        for name, ((height, width, _), (boxes, labels, scores)) in expected.items():
            stem = os.path.splitext(name)[0]
            mine = [r for r in records if r["file_name"] == name]
            assert [class_names[r["category_id"]] for r in mine] == list(labels)
            np.testing.assert_allclose([r["score"] for r in mine], scores, atol=1e-6)
            corners = np.array([r["bbox"] for r in mine]).reshape(-1, 4)
            corners[:, 2:] += corners[:, :2]
            np.testing.assert_allclose(corners / [width, height, width, height], boxes, atol=1e-6)
            rows = np.loadtxt(tmp_path / out / "labels" / f"{stem}.txt", ndmin=2).reshape(-1, 5)
            np.testing.assert_array_equal(rows[:, 0], [class_names.index(label) for label in labels])
            np.testing.assert_allclose(rows[:, 1:3], (boxes[:, :2] + boxes[:, 2:]) / 2, atol=1e-6)
            np.testing.assert_allclose(rows[:, 3:], boxes[:, 2:] - boxes[:, :2], atol=1e-6)
            assert read_image(tmp_path / out / "images" / name).shape == (height, width, 3)
        assert not (tmp_path / out / "labels" / "corrupt.txt").exists()


@pytest.mark.parametrize(
    "format, nchw, half",
    [
        ("saved_model", False, False),
        ("tflite", False, False),
        ("onnx", False, False),
        ("onnx", True, True),
    ],
)
def test_exported_outputs_by_name_match_keras_and_the_recipe_decodes_like_predict(demo, tmp_path, format, nchw, half):
    if format == "onnx":
        pytest.importorskip("tf2onnx")
        pytest.importorskip("onnxruntime")
    result = export(demo["run"], format, out=str(tmp_path), nchw=nchw, half=half)
    with open(result["metadata"]) as stream:
        meta = json.load(stream)
    # Numbered as predict's outputs: the first real class is 0.
    assert meta["classes"] == LABELS[1:] and meta["input"]["layout"] == ("NCHW" if nchw else "NHWC")
    run_exported = load_exported(result["path"], format)
    preprocess, decode_detections = docs_recipe()
    meta["decoding"]["score_threshold"] = 0.05  # the untrained model's scores are low
    predictor = DetectionPredictor(demo["model"], LABELS, score_threshold=0.05)
    tolerance = 2e-2 if half else 1e-4

    found = 0
    for name in sorted(os.listdir(demo["images"]))[:3]:
        image = read_image(os.path.join(demo["images"], name))
        batch = preprocess(image, meta)
        assert batch.shape == ((1, 3, SIZE, SIZE) if nchw else (1, SIZE, SIZE, 3))
        outputs = run_exported(batch)
        keras_outputs = demo["model"](batch.transpose(0, 2, 3, 1) if nchw else batch)
        as_exported = {}
        for output_name, wanted in zip(("class_scores", "box_distances"), keras_outputs):
            wanted = wanted.numpy()
            as_exported[output_name] = wanted.transpose(0, 3, 1, 2) if nchw and wanted.ndim == 4 else wanted
            got = outputs[output_name]
            assert got.shape == as_exported[output_name].shape, output_name
            assert np.abs(got - as_exported[output_name]).max() <= tolerance * max(1.0, np.abs(wanted).max())
        # Decoded from the Keras outputs in the exported layout: near-equal scores of an untrained model
        # would otherwise swap places between runtimes.
        boxes, classes, scores = decode_detections(as_exported, meta, image.shape[1], image.shape[0])
        wanted = predictor.predict([image])[0]
        assert [meta["classes"][c] for c in classes] == [LABELS[c] for c in wanted.classes]
        np.testing.assert_allclose(scores, wanted.scores, atol=1e-6)
        np.testing.assert_allclose(boxes / np.tile(image.shape[1::-1], 2), wanted.boxes, atol=1e-5)
        found += len(classes)
    assert found > 0


def test_export_refuses_a_model_off_in_a_single_value(demo, tmp_path, monkeypatch):
    """The check compares the largest difference: one value off by 0.01 among 256 refuses (its mean is 4e-5)."""
    from quillon.forgeline.deploy import export as export_module

    def one_value_off(path, format):
        run_exported = load_exported(path, format)

        def run(batch):
            outputs = run_exported(batch)
            outputs["class_scores"] = outputs["class_scores"].copy()
            outputs["class_scores"].flat[0] += 0.01
            return outputs

        return run

    monkeypatch.setattr(export_module, "load_exported", one_value_off)
    with pytest.raises(export_module.ExportMismatchError, match="'class_scores' differs from Keras by up to 0.01"):
        export(demo["run"], "saved_model", out=str(tmp_path))
    assert os.listdir(tmp_path) == []


def test_segmentation_and_headpose_predict_write_masks_and_angles(tmp_path):
    tf.keras.utils.set_random_seed(2)
    segmenter = build_segmentation_model((SIZE, SIZE, 3), 3)
    headpose = build_headpose_model((SIZE, SIZE, 3))
    rng = np.random.default_rng(0)
    source = tmp_path / "source"
    source.mkdir()
    images = {
        "same.png": rng.integers(0, 256, (SIZE, SIZE, 3), np.uint8),
        "wide.png": rng.integers(0, 256, (40, 90, 3), np.uint8),
    }
    for name, image in images.items():
        Image.fromarray(image).save(source / name)

    segmentation_run = save_run(str(tmp_path / "segment"), segmenter, "segment", ["background", "a", "b"])
    predict(segmentation_run, str(source), str(tmp_path / "masks"), batch_size=2, progress=False)
    masks = {name: np.asarray(Image.open(tmp_path / "masks" / "masks" / name)) for name in images}
    assert masks["wide.png"].shape == (40, 90)
    # At the model's size, the validation runner's mask.
    runner = SegmentationEvaluator(segmenter).runner
    np.testing.assert_array_equal(masks["same.png"], runner.run_single_instance(images["same.png"]))

    run = save_run(str(tmp_path / "headpose"), tf.keras.Model(headpose.input, headpose.outputs[2:]), "headpose")
    predict(run, str(source), str(tmp_path / "angles"), batch_size=2, progress=False)
    angles = json.loads((tmp_path / "angles" / "predictions.json").read_text())
    wanted = headpose(images["same.png"][np.newaxis].astype(np.float32) / 255.0)[-1].numpy()[0]
    np.testing.assert_allclose([angles["same.png"][key] for key in ("pitch", "yaw", "roll")], wanted, atol=1e-4)
    assert set(angles) == set(images)

    # Another source predicted into a used folder leaves nothing of the earlier results.
    os.remove(source / "wide.png")
    predict(segmentation_run, str(source), str(tmp_path / "masks"), progress=False, exist_ok=True)
    assert os.listdir(tmp_path / "masks" / "overlays") == ["same.png"]


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["predict", "{root}/missing", "{images}"], "no such run folder or model file"),
        (["predict", "{run}", "{root}/nothing/*.png"], "no images"),
        (["predict", "{run}", "{root}/nowhere"], "not an image file, a folder or a glob"),
        (["export", "{run}", "--format", "saved_model", "--half"], "--half applies to tflite and onnx"),
    ],
)
def test_bad_input_is_named_and_nothing_is_written(demo, tmp_path, capsys, arguments, message):
    arguments = [a.format(root=demo["root"], run=demo["run"], images=demo["images"]) for a in arguments]
    before = sorted(os.listdir(demo["run"]))
    assert main(arguments + ["--out", str(tmp_path / "out")]) == 1
    assert message in capsys.readouterr().err
    assert sorted(os.listdir(demo["run"])) == before and not (tmp_path / "out").exists()


def test_help_answers_without_importing_tensorflow():
    script = (
        "import sys\n"
        "from quillon.forgeline.__main__ import build_parser as toolkit\n"
        "from quillon.forgeline.demo.__main__ import build_parser as demo\n"
        "for build, argv in [(toolkit, []), (toolkit, ['predict']), (toolkit, ['export']), (demo, []),"
        " (demo, ['headpose'])]:\n"
        "    try:\n"
        "        build().parse_args(argv + ['--help'])\n"
        "    except SystemExit:\n"
        "        pass\n"
        "print('tensorflow imported:', 'tensorflow' in sys.modules)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "--score-threshold" in done.stdout and "--nchw" in done.stdout and "--annotations" in done.stdout
    assert done.stdout.rstrip().endswith("tensorflow imported: False")
