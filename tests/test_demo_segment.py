"""Segmentation job: built-in data, dataset pipelines, loss, evaluator and the demo command."""

import json
import os

import numpy as np
import pytest
import tensorflow as tf
from PIL import Image
from quillon.forgeline.datasets.segmentation import SegmentationDataset
from quillon.forgeline.demo.data_segment import CLASSES, generate_segmentation_dataset
from quillon.forgeline.evaluation.segmentation import SegmentationEvaluator, metrics_from_confusion
from quillon.forgeline.losses import SegmentationLoss
from trainer_doubles import RUN_FILES


def read_folder(folder):
    return {name: open(os.path.join(folder, name), "rb").read() for name in sorted(os.listdir(folder))}


def write_pair(images, masks, stem, mask, image=None, mask_mode="L"):
    """Writes an image whose red channel encodes the class (value * 60) and its mask."""
    os.makedirs(images, exist_ok=True)
    os.makedirs(masks, exist_ok=True)
    if image is None:
        image = np.stack([mask * 60, np.zeros_like(mask), np.full_like(mask, 7)], axis=-1).astype(np.uint8)
    Image.fromarray(image).save(os.path.join(images, stem + ".png"))
    Image.fromarray(mask.astype(np.uint8), mode=mask_mode).save(os.path.join(masks, stem + ".png"))


def stripes(height=8, width=8):
    """Class 0 on the left, 1 in the middle, 3 on the right: left-right flips change it."""
    mask = np.zeros((height, width), np.uint8)
    mask[:, width // 3 :] = 1
    mask[:, 2 * width // 3 :] = 3
    return mask


class RecordingWriter:
    def __init__(self):
        self.calls = []

    def add_image(self, name, image, step):
        self.calls.append(("image", name, np.asarray(image).shape, step))

    def add_scalar(self, name, value, step):
        self.calls.append(("scalar", name, float(value), step))

    def add_text(self, name, text, step):
        self.calls.append(("text", name, text, step))


class TestBuiltInData:
    def test_masks_are_class_indices_matching_their_images(self, tmp_path):
        folders = generate_segmentation_dataset(tmp_path / "d", train_images=6, validation_images=1, size=32)
        assert folders["classes"] == CLASSES == ["background", "circle", "square", "triangle"]
        seen = set()
        for name in os.listdir(folders["train_images"]):
            image = Image.open(os.path.join(folders["train_images"], name))
            mask = Image.open(os.path.join(folders["train_masks"], name))
            assert image.mode == "RGB" and mask.mode == "L" and image.size == mask.size == (32, 32)
            seen |= set(np.unique(np.asarray(mask)).tolist())
        assert 0 in seen and seen <= set(range(len(CLASSES))) and len(seen) > 1


def segmentation_dataset(root, shape=(8, 8), train="im", train_masks="ma", val="im", val_masks="ma", **kwargs):
    """A SegmentationDataset over folders of ``root``, named by their part."""
    return SegmentationDataset(
        list(shape), *(str(root / name) for name in (train, train_masks, val, val_masks)), **kwargs
    )


class TestSegmentationDataset:
    def make(self, tmp_path, flip=False, shape=(8, 8), **kwargs):
        for index in range(3):
            write_pair(tmp_path / "im", tmp_path / "ma", f"s{index}", stripes())
        return segmentation_dataset(tmp_path, shape, flip=flip, **kwargs)

    def test_training_batches_keep_image_and_mask_aligned_through_flips_and_resizing(self, tmp_path):
        dataset = self.make(tmp_path, flip=True, shape=(16, 12), num_classes=4)
        masks_seen = set()
        for _ in range(4):
            for images, masks in dataset.build_train_iterator(2):
                assert images.dtype == tf.uint8 and masks.dtype == tf.int32
                assert images.shape[1:] == (16, 12, 3) and masks.shape[1:] == (16, 12)
                images, masks = images.numpy(), masks.numpy()
                # Nearest-neighbour masks hold only real classes, and the red channel still encodes them.
                assert set(np.unique(masks)) <= {0, 1, 3}
                interior = (masks == np.roll(masks, 1, axis=2)) & (masks == np.roll(masks, -1, axis=2))
                assert np.array_equal(images[..., 0][interior], (masks * 60)[interior])
                masks_seen.update(tuple(mask[0]) for mask in masks)
        assert len(masks_seen) == 2  # both orientations were drawn

    def test_validation_elements_are_single_unbatched_samples_with_their_paths(self, tmp_path):
        dataset = self.make(tmp_path)
        elements = list(dataset.build_val_iterator())
        assert len(elements) == 3
        for (image, mask, path), (image_path, _) in zip(elements, dataset.val_storage):
            assert image.numpy().shape == (8, 8, 3) and mask.numpy().shape == (8, 8)
            assert path.numpy().decode() == image_path
            assert np.array_equal(mask.numpy(), stripes())

    def test_pairing_leaves_out_images_without_masks_and_says_so(self, tmp_path):
        write_pair(tmp_path / "im", tmp_path / "ma", "a", stripes())
        write_pair(tmp_path / "im", tmp_path / "other", "b", stripes())
        with pytest.warns(UserWarning) as caught:
            dataset = segmentation_dataset(tmp_path)
        assert [str(warning.message).split(" in ")[0] for warning in caught] == [
            "SegmentationDataset: 1 training images have no mask",
            "SegmentationDataset: 1 validation images have no mask",
        ]
        assert all(str(warning.message).endswith("are left out: b") for warning in caught)
        assert [os.path.basename(image) for image, _ in dataset.train_storage] == ["a.png"]

    @pytest.mark.parametrize(
        "folders, use, error, message",
        [
            ({"val_masks": "nowhere"}, None, FileNotFoundError, "validation masks folder does not exist: .*nowhere"),
            ({"train": "empty"}, None, ValueError, "no training image in .*empty"),
            ({"shape": [8]}, None, ValueError, "shape"),
            ({"num_classes": 2}, "validate", tf.errors.OpError, r"s0\.png holds values \[3\] outside the 2 classes"),
            ({"train": "rgb_images", "train_masks": "rgb"}, "load", ValueError, "single-channel class-index image"),
        ],
        ids=["no masks folder", "no image", "shape of one number", "class beyond the count", "RGB mask"],
    )
    def test_bad_folders_and_masks_fail_loudly_naming_them(self, tmp_path, folders, use, error, message):
        self.make(tmp_path)
        (tmp_path / "empty").mkdir()
        rgb = np.zeros((8, 8, 3), np.uint8)
        write_pair(tmp_path / "rgb_images", tmp_path / "rgb", "s0", rgb, image=rgb, mask_mode="RGB")
        with pytest.raises(error, match=message):
            dataset = segmentation_dataset(tmp_path, **folders)
            if use == "validate":
                list(dataset.build_val_iterator())
            elif use == "load":
                dataset.load_sample(dataset.train_storage[0])


class TestSegmentationLoss:
    def test_confident_right_logits_cost_less_and_parts_add_up(self):
        masks = tf.constant(np.tile(stripes()[np.newaxis], (2, 1, 1)).astype(np.int32))
        loss = SegmentationLoss(4, dice_weight=0.5)
        right = loss.compute_loss((masks,), tf.one_hot(masks, 4) * 10.0)
        wrong = loss.compute_loss((masks,), tf.one_hot((masks + 1) % 4, 4) * 10.0)
        assert float(right["total-loss"]) < 0.01 < 1.0 < float(wrong["total-loss"])
        for values in (right, wrong):
            total = float(values["cross-entropy"]) + 0.5 * float(values["dice-loss"])
            assert float(values["total-loss"]) == pytest.approx(total, rel=1e-5)

    def test_classes_absent_from_the_batch_do_not_count_in_dice(self):
        masks = tf.zeros((1, 4, 4), tf.int32)
        values = SegmentationLoss(3).compute_loss((masks,), tf.one_hot(masks, 3) * 10.0)
        assert float(values["dice-loss"]) < 1e-3

    def test_a_tuple_of_predictions_is_refused(self):
        masks = tf.zeros((2, 4, 4), tf.int32)
        with pytest.raises(TypeError, match="logits tensor"):
            SegmentationLoss(3).compute_loss((masks,), tuple(tf.zeros((2, 4, 4, 3))))


def instance(image, gt_mask, dt_mask, path="img.png"):
    return {
        "gt_instance": {
            "image": image,
            "height": image.shape[0],
            "width": image.shape[1],
            "gt_mask": gt_mask,
            "labels": list(np.unique(gt_mask)),
            "image_path": path,
        },
        "dt_instance": {"dt_mask": dt_mask, "labels": list(np.unique(dt_mask))},
    }


def red_threshold_model(size=4, pooled=False):
    """Class 1 where red > 127.5 (after /255), else 0; optionally at half resolution."""
    inputs = tf.keras.Input((size, size, 3))
    x = tf.keras.layers.AveragePooling2D(2)(inputs) if pooled else inputs
    conv = tf.keras.layers.Conv2D(2, 1)
    model = tf.keras.Model(inputs, conv(x))
    conv.set_weights([np.array([[[[-1.0, 1.0], [0, 0], [0, 0]]]], np.float32), np.array([0.5, -0.5], np.float32)])
    return model, conv


class TestSegmentationEvaluator:
    @pytest.mark.parametrize(
        "confusion, background, expected, absent",
        [
            (  # rows: true class, columns: predicted class; class 2 is absent everywhere
                [[50, 10, 0, 0], [5, 20, 0, 0], [0, 0, 0, 0], [0, 5, 0, 10]],
                0,
                {
                    "mAP": np.mean([50 / 55, 20 / 35, 10 / 10]),  # classes 0, 1, 3
                    "mAR": np.mean([50 / 60, 20 / 25, 10 / 15]),
                    "mIoU": np.mean([50 / 65, 20 / 40, 10 / 15]),
                    "mACC": np.mean([85 / 100, 80 / 100, 95 / 100]),
                    "OA": 80 / 100,
                    "OP": 30 / 45,  # predicted foreground: columns 1-3
                    "OR": 30 / 40,  # true foreground: rows 1-3
                },
                [2],
            ),
            # Class 1 is never predicted, class 2 never true: nothing to recall for class 2.
            ([[6, 0, 2], [4, 0, 0], [0, 0, 0]], 0, {"mAP": (6 / 10) / 3, "mAR": (6 / 8) / 2, "OP": 0, "OR": 0}, []),
            ([[6, 0, 2], [4, 0, 0], [0, 0, 0]], None, {"OP": 0.5, "OR": 0.5, "OA": 0.5}, []),
            ([[9, 0], [0, 0]], 0, {"OP": 1, "OR": 1, "mIoU": 1}, [1]),  # nothing to find, nothing claimed
        ],
    )
    def test_metrics_follow_their_documented_definitions(self, confusion, background, expected, absent):
        metrics, per_class = metrics_from_confusion(np.array(confusion), background=background)
        assert {key: metrics[key] for key in expected} == pytest.approx(expected)
        assert np.flatnonzero(~per_class["present"]).tolist() == absent

    def test_a_pass_accumulates_copies_draws_and_resets(self, tmp_path):
        model, _ = red_threshold_model()
        writer = RecordingWriter()
        evaluator = SegmentationEvaluator(model)
        assert evaluator(val_messenger=writer, labels=["bg", "a", "b"]) is evaluator
        image = np.zeros((4, 4, 3), np.uint8)
        gt = np.zeros((4, 4), np.int64)
        gt[0] = 1
        record = instance(image, gt, gt.copy())
        first = evaluator.single_evaluation(record, 2, True)
        record["gt_instance"]["gt_mask"][:] = 2  # the trainer reuses its dictionaries
        record["dt_instance"] = {"dt_mask": np.full((4, 4), 2)}
        truth = evaluator.single_evaluation(record, 2, False)
        assert first[1, 1] == 4 and first.sum() == 16 and truth.sum() == 32 and truth[2, 2] == 16
        metrics = evaluator.conclude(truth, epoch=2)
        assert metrics["mIoU"] == metrics["OA"] == 1.0
        assert set(metrics) == {"mAP", "mAR", "mACC", "OP", "OR", "OA", "mIoU"}
        assert [call[:2] for call in writer.calls] == [
            ("image", "validation/images/img.png"),
            ("image", "validation/confusion_matrix"),
            ("scalar", "validation/mIoU"),
            ("text", "validation/summary"),
        ]
        assert all(call[3] == 2 for call in writer.calls)
        assert "mean IoU (mIoU)       1.0000" in evaluator.current_summary
        assert [line.split()[0] for line in evaluator.current_summary.splitlines()[3:6]] == ["bg", "a", "b"]
        assert sorted(evaluator.current_plots) == ["confusion_matrix", "sample_img"]
        # The next pass starts from zero; the plots of the concluded pass stay until the next conclude.
        again = evaluator.single_evaluation(instance(image, gt, np.zeros((4, 4), np.int64)), 3, False)
        assert again.sum() == 16 and sorted(evaluator.current_plots) == ["confusion_matrix", "sample_img"]
        evaluator.save_plots_disk(plots=evaluator.current_plots, path=str(tmp_path / "validation"))
        written = sorted(os.listdir(tmp_path / "validation"))
        assert written == ["confusion_matrix.png", "sample_img.png"]
        overlay = np.asarray(Image.open(tmp_path / "validation" / "sample_img.png"))
        assert overlay.ndim == 3 and overlay.shape[0] >= 4 and overlay.shape[1] > 3 * overlay.shape[0] // 2

    def test_mismatched_or_out_of_range_masks_name_the_image(self):
        evaluator = SegmentationEvaluator(red_threshold_model()[0], labels=["bg", "a"])
        image = np.zeros((4, 4, 3), np.uint8)
        with pytest.raises(ValueError, match="x.png: the predicted mask is"):
            evaluator.single_evaluation(
                instance(image, np.zeros((4, 4), int), np.zeros((2, 2), int), "x.png"), 0, False
            )
        with pytest.raises(ValueError, match=r"y.png: the true mask holds values \[5\]"):
            evaluator.single_evaluation(instance(image, np.full((4, 4), 5), np.zeros((4, 4), int), "y.png"), 0, False)
        with pytest.raises(ValueError, match="no pixel"):
            evaluator.conclude(np.zeros((2, 2)), epoch=0)
        with pytest.raises(RuntimeError, match="labels"):
            SegmentationEvaluator(red_threshold_model()[0]).single_evaluation(
                instance(image, image[..., 0], image[..., 0]), 0, False
            )

    @pytest.mark.parametrize("pooled", [False, True])
    def test_runner_scales_like_training_follows_the_weights_and_keeps_the_image_size(self, pooled):
        model, conv = red_threshold_model(size=4, pooled=pooled)
        runner = SegmentationEvaluator(model).runner
        image = np.zeros((4, 4, 3), np.uint8)
        image[:, :, 0] = 200
        image[2:, :, 0] = 50
        if pooled:
            image[:, :, 0] = np.repeat([[200], [200], [50], [50]], 4, axis=1)
        mask = runner.run_single_instance(image)
        assert mask.shape == (4, 4) and np.issubdtype(mask.dtype, np.integer)
        assert np.array_equal(mask[:2], np.ones((2, 4))) and np.array_equal(mask[2:], np.zeros((2, 4)))
        kernel, bias = conv.get_weights()
        conv.set_weights([-kernel, -bias])
        assert np.array_equal(runner.run_single_instance(image), 1 - mask)


def test_segment_command_trains_and_its_saved_model_reproduces_the_logged_metrics(tmp_path, capsys):
    from quillon.forgeline.demo.__main__ import main as demo_main

    out = tmp_path / "out"
    demo_main(["segment", "--epochs", "1", "--images", "12", "--batch-size", "6", "--out", str(out)])
    run = out / "run"
    assert sorted(os.listdir(run)) == RUN_FILES
    assert (run / "labels.txt").read_text().split() == CLASSES
    assert json.loads((run / "config.json").read_text())["train_images"] == 12
    header, row = (run / "summary.csv").read_text().splitlines()
    assert header == "epoch,mAP,mACC,mAR,Overall-ACC,Overall-AP,Overall-AR"
    logged = dict(zip(header.split(","), map(float, row.split(","))))
    plots = sorted(os.listdir(run / "validation"))
    assert plots == ["confusion_matrix.png", "results.txt", "sample_00000.png", "sample_00001.png"]
    assert "mean IoU (mIoU)" in (run / "validation" / "results.txt").read_text()
    printed = capsys.readouterr().out
    assert "predicting the most frequent class everywhere gives" in printed

    # best.h5 is the model validated after epoch 1: scoring it again gives the logged figures.
    best = tf.keras.models.load_model(str(run / "best.h5"), compile=False)
    data = out / "data"
    dataset = SegmentationDataset(
        [64, 64, 3],
        str(data / "train" / "images"),
        str(data / "train" / "masks"),
        str(data / "validation" / "images"),
        str(data / "validation" / "masks"),
    )
    metrics = SegmentationEvaluator(best, labels=CLASSES).evaluate(dataset.build_val_iterator())
    assert metrics["mAP"] == pytest.approx(logged["mAP"], abs=1e-6)
    assert metrics["OA"] == pytest.approx(logged["Overall-ACC"], abs=1e-6)
    capsys.readouterr()
    assert demo_main(["segment", "--epochs", "1", "--images", "12", "--out", str(out)]) == 1  # one line, no traceback
    assert "already holds a run" in capsys.readouterr().err
