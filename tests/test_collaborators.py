import gc
import glob
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import pytest
import tensorflow as tf
from quillon.forgeline.callbacks import CallbackList, ForgelineTrainingCallback, TensorBoardLogger
from quillon.forgeline.datasets.utils import letterbox, xywhn2xyxy
from quillon.forgeline.losses import ForgelineLoss
from quillon.validator.writers import TrainingTensorBoardWriter, draw_boxes


def read_summaries(log_dir):
    """Returns [(tag, step, plugin_name or None, numpy value)] from the event files in log_dir."""
    records = []
    for path in sorted(glob.glob(os.path.join(str(log_dir), "events.out.tfevents*"))):
        for event in tf.compat.v1.train.summary_iterator(path):
            for value in event.summary.value:
                plugin = value.metadata.plugin_data.plugin_name or None
                records.append((value.tag, event.step, plugin, tf.make_ndarray(value.tensor)))
    return records


class TestLetterbox:
    @pytest.mark.parametrize(
        "height, width, new_shape, ratio, offsets",
        [
            (480, 640, (320, 320), 0.5, (0, 40)),
            (640, 480, (320, 320), 0.5, (40, 0)),
            (480, 640, 320, 0.5, (0, 40)),
            (480, 640, [240, 640], 0.5, (160, 0)),
        ],
    )
    def test_ratio_offsets_and_grey_bars(self, height, width, new_shape, ratio, offsets):
        image = np.full((height, width, 3), 200, np.uint8)
        out, ratios, (dw, dh) = letterbox(image, new_shape)
        expected_hw = (new_shape, new_shape) if isinstance(new_shape, int) else tuple(new_shape)
        assert out.shape == (*expected_hw, 3) and out.dtype == np.uint8
        assert ratios == (ratio, ratio) and (dw, dh) == offsets
        # Content inside the offsets, grey padding outside.
        content_h, content_w = round(height * ratio), round(width * ratio)
        assert (out[dh : dh + content_h, dw : dw + content_w] == 200).all()
        assert (out[:dh] == 114).all() and (out[dh + content_h :] == 114).all()
        assert (out[:, :dw] == 114).all() and (out[:, dw + content_w :] == 114).all()

    def test_normalised_point_maps_through_ratio_and_offsets(self):
        image = np.zeros((100, 300, 3), np.uint8)
        image[60:70, 150:160] = 255  # marker at normalised (0.5, 0.6)
        out, (r, _), (dw, dh) = letterbox(image, (160, 160))
        x, y = 0.5 * 300 * r + dw, 0.6 * 100 * r + dh
        assert out[int(y) + 1, int(x) + 1].min() > 100

    def test_same_size_input_is_unchanged(self):
        image = np.random.default_rng(0).integers(0, 255, (64, 96, 3), dtype=np.uint8)
        out, ratios, offsets = letterbox(image, (64, 96))
        assert ratios == (1.0, 1.0) and offsets == (0, 0)
        np.testing.assert_array_equal(out, image)

    def test_scaleup_false_only_pads_small_images(self):
        image = np.full((100, 200, 3), 7, np.uint8)
        out, ratios, (dw, dh) = letterbox(image, 320, scaleup=False)
        assert out.shape == (320, 320, 3) and ratios == (1.0, 1.0) and (dw, dh) == (60, 110)
        assert (out[110:210, 60:260] == 7).all()

    def test_auto_pads_to_stride_multiple(self):
        out, _, (dw, dh) = letterbox(np.zeros((480, 640, 3), np.uint8), 320, auto=True, stride=32)
        assert out.shape == (256, 320, 3) and (dw, dh) == (0, 8)

    def test_single_channel_keeps_its_axis(self):
        out, _, _ = letterbox(np.zeros((50, 100, 1), np.uint8), 64)
        assert out.shape == (64, 64, 1)

    @pytest.mark.parametrize("bad", [None, np.zeros(10, np.uint8), np.zeros((0, 5, 3), np.uint8)])
    def test_rejects_non_images(self, bad):
        with pytest.raises(ValueError, match="letterbox"):
            letterbox(bad, 320)

    def test_rejects_bad_new_shape(self):
        with pytest.raises(ValueError, match="new_shape"):
            letterbox(np.zeros((8, 8, 3), np.uint8), (320, 0))


class TestXywhn2xyxy:
    def test_converts_with_pads_and_keeps_other_columns(self):
        boxes = np.array([[0.5, 0.5, 0.2, 0.4, 3.0, 0.9], [0.1, 0.2, 0.2, 0.2, 7.0, 0.5]])
        original = boxes.copy()
        out = xywhn2xyxy(boxes, w=100, h=200, padw=5, padh=10)
        np.testing.assert_allclose(out[:, :4], [[45, 70, 65, 150], [5, 30, 25, 70]])
        np.testing.assert_array_equal(out[:, 4:], original[:, 4:])
        np.testing.assert_array_equal(boxes, original)
        assert out is not boxes and out.dtype.kind == "f"

    def test_integer_and_empty_input(self):
        assert xywhn2xyxy(np.array([[1, 1, 2, 2]]), w=10, h=10).tolist() == [[0.0, 0.0, 20.0, 20.0]]
        assert xywhn2xyxy(np.zeros((0, 5))).shape == (0, 5)

    def test_rejects_narrow_boxes(self):
        with pytest.raises(ValueError, match="N x 4"):
            xywhn2xyxy(np.zeros((2, 3)))


class Recorder(ForgelineTrainingCallback):
    def __init__(self, name, log):
        self.name, self.log = name, log

    def on_train_start(self, epochs):
        self.log.append((self.name, "train_start", epochs))

    def on_evaluaiton_end(self, metrics):
        self.log.append((self.name, "evaluation_end", metrics))

    def on_step_end(self, losses, lr):
        self.log.append((self.name, "step_end", losses, lr))

    def on_model_save(self, model):
        self.log.append((self.name, "model_save", model))

    def on_epoch_end(self, losses, metrics):
        self.log.append((self.name, "epoch_end", losses, metrics))


class TestCallbacks:
    def test_default_hooks_accept_the_trainer_keywords(self):
        callback = ForgelineTrainingCallback()
        assert callback.on_train_start(epochs=3) is None
        assert callback.on_evaluation_start() is None
        assert callback.on_evaluaiton_end(metrics={}) is None
        assert callback.on_epoch_start(epoch=0) is None
        assert callback.on_step_start(step=1) is None
        assert callback.on_step_end(losses={}, lr=0.1) is None
        assert callback.on_model_save(object()) is None
        assert callback.on_epoch_end(losses={}, metrics={}) is None
        assert callback.on_train_end() is None

    def test_callback_list_forwards_in_order(self):
        log = []
        callbacks = CallbackList([Recorder("first", log), Recorder("second", log)])
        model = object()
        callbacks.on_train_start(epochs=5)
        callbacks.on_step_start(step=0)  # not overridden: base no-op
        callbacks.on_step_end(losses={"total-loss": 1.0}, lr=0.01)
        callbacks.on_evaluaiton_end(metrics={"mAP@0.5": 0.3})
        callbacks.on_model_save(model)
        callbacks.on_epoch_end(losses={"total-loss": 1.0}, metrics={"mAP@0.5": 0.3})
        expected = []
        for event in [
            ("train_start", 5),
            ("step_end", {"total-loss": 1.0}, 0.01),
            ("evaluation_end", {"mAP@0.5": 0.3}),
            ("model_save", model),
            ("epoch_end", {"total-loss": 1.0}, {"mAP@0.5": 0.3}),
        ]:
            expected += [("first", *event), ("second", *event)]
        assert log == expected

    def test_callback_list_rejects_non_callbacks(self):
        with pytest.raises(TypeError, match=r"callbacks\[1\]"):
            CallbackList([ForgelineTrainingCallback(), "not a callback"])


class TestTensorBoardLogger:
    def test_training_steps_and_validation(self, tmp_path):
        logger = TensorBoardLogger(str(tmp_path))
        losses = {
            "total-loss": tf.constant(2.5),
            "L2-loss": np.float32(0.5),
            "learning-rate": 0.01,
            "step-time (seconds)": 0.2,
            "note": "not a number",
            "missing": None,
        }
        logger.update_metrics({}, losses)
        logger.update_metrics({}, losses)
        logger.update_metrics({"mAP@0.5": 0.25, "name": "x"}, losses)
        logger.update_metrics({}, {"total-loss": tf.constant(1.5)})
        logger.close()
        records = read_summaries(tmp_path)
        train = {(tag, step): float(value) for tag, step, _, value in records if tag.startswith("train/")}
        assert train[("train/total-loss", 0)] == 2.5 and train[("train/total-loss", 2)] == 1.5
        assert train[("train/step-time (seconds)", 1)] == pytest.approx(0.2)
        assert {tag for tag, _ in train} == {
            "train/total-loss",
            "train/L2-loss",
            "train/learning-rate",
            "train/step-time (seconds)",
        }
        # The validation call neither re-logs losses nor advances the training step.
        assert sorted(step for tag, step in train if tag == "train/total-loss") == [0, 1, 2]
        validation = [(tag, step, float(value)) for tag, step, _, value in records if tag.startswith("validation/")]
        assert validation == [("validation/mAP@0.5", 0, 0.25)]
        assert {plugin for _, _, plugin, _ in records if plugin} == {"scalars"}

    def test_log_every_skips_steps(self, tmp_path):
        logger = TensorBoardLogger(str(tmp_path), log_every=2)
        for step in range(5):
            logger.update_metrics({}, {"total-loss": float(step)})
        logger.close()
        assert [(step, float(v)) for _, step, _, v in read_summaries(tmp_path)] == [(0, 0.0), (2, 2.0), (4, 4.0)]

    def test_rejects_bad_log_every(self, tmp_path):
        with pytest.raises(ValueError, match="log_every"):
            TensorBoardLogger(str(tmp_path), log_every=0)
        with pytest.raises(ValueError, match="write_every"):
            TensorBoardLogger(str(tmp_path), write_every=0)

    def test_losses_are_written_in_groups_and_none_is_lost(self, tmp_path):
        logger = TensorBoardLogger(str(tmp_path), write_every=3, max_delay=3600)
        writer = logger.writer

        def train_steps():
            writer.flush()
            return sorted(step for tag, step, _, _ in read_summaries(tmp_path) if tag == "train/total-loss")

        for step in range(2):
            logger.update_metrics({}, {"total-loss": float(step)})
        assert train_steps() == []
        logger.update_metrics({}, {"total-loss": 2.0})
        assert train_steps() == [0, 1, 2]
        logger.update_metrics({}, {"total-loss": 3.0})
        logger.update_metrics({"mAP@0.5": 0.5}, {})  # a validation writes the waiting losses first
        assert train_steps() == [0, 1, 2, 3]
        logger.update_metrics({}, {"total-loss": 4.0, "box-loss": 1.0})
        del logger  # neither flushed nor closed
        gc.collect()
        assert train_steps() == [0, 1, 2, 3, 4]

        no_delay = TensorBoardLogger(str(tmp_path / "at_once"), max_delay=0)
        no_delay.update_metrics({}, {"total-loss": 1.0})
        no_delay.writer.flush()
        assert [tag for tag, _, _, _ in read_summaries(tmp_path / "at_once")] == ["train/total-loss"]

    def test_keras_variables_and_odd_tensors_are_logged(self, tmp_path):
        # A Keras 3 optimizer holds its learning rate in a Keras variable, which is no tf.Variable.
        logger = TensorBoardLogger(str(tmp_path))
        learning_rate = tf.keras.optimizers.Adam(0.25).learning_rate
        logger.update_metrics(
            {},
            {
                "learning-rate": learning_rate,
                "count": tf.constant([3], tf.int64),
                "half": tf.constant(0.5, tf.float16),
                "vector": tf.constant([1.0, 2.0]),
            },
        )
        logger.close()
        values = {tag: float(value) for tag, _, _, value in read_summaries(tmp_path)}
        assert values == {"train/learning-rate": 0.25, "train/count": 3.0, "train/half": 0.5}


class TestWriters:
    def test_images_figures_text_and_scalars(self, tmp_path):
        writer = TrainingTensorBoardWriter(tf.summary.create_file_writer(str(tmp_path)))
        writer.add_image("gt", np.full((12, 20, 3), 9, np.uint8), step=1)
        writer.add_image("batch", np.ones((2, 6, 8, 3), np.float32), step=2)
        figure = plt.figure(figsize=(2, 1), dpi=50)
        writer.add_figure("pr-curve", figure, step=3)
        writer.add_text("notes", "hello", step=4)
        writer.add_scalar("val/score", np.float64(0.5), step=5)
        writer.flush()
        assert not plt.fignum_exists(figure.number)
        by_tag = {tag: (step, plugin, value) for tag, step, plugin, value in read_summaries(tmp_path)}
        step, plugin, value = by_tag["gt"]
        assert (step, plugin, value[0], value[1]) == (1, "images", b"20", b"12")
        assert value[2].startswith(b"\xff\xd8")  # JPEG by default
        np.testing.assert_allclose(tf.io.decode_jpeg(value[2]).numpy(), np.full((12, 20, 3), 9), atol=2)
        _, _, batch = by_tag["batch"]
        assert len(batch) == 4 and tf.io.decode_jpeg(batch[3]).numpy().min() >= 253
        _, plugin, figure_value = by_tag["pr-curve"]
        assert plugin == "images" and tf.io.decode_png(figure_value[2]).shape[:2] == (50, 100)
        assert by_tag["notes"][1:] == ("text", b"hello")
        assert by_tag["val/score"][1] == "scalars" and float(by_tag["val/score"][2]) == 0.5

    def test_png_images_are_exact_and_colours_keep_their_order(self, tmp_path):
        def written(image_format, images):
            folder = tmp_path / image_format
            writer = TrainingTensorBoardWriter(tf.summary.create_file_writer(str(folder)), image_format=image_format)
            for name, image in images.items():
                writer.add_image(name, image, step=0)
            writer.flush()
            return {tag: value[2] for tag, _, _, value in read_summaries(folder)}

        rng = np.random.default_rng(0)
        rgb = rng.integers(0, 256, (5, 7, 3), dtype=np.uint8)
        rgba = rng.integers(0, 256, (5, 7, 4), dtype=np.uint8)
        red = np.zeros((16, 16, 3), np.uint8)
        red[..., 0] = 255
        png = written("png", {"rgb": rgb, "rgba": rgba})
        np.testing.assert_array_equal(tf.io.decode_png(png["rgb"]).numpy(), rgb)
        np.testing.assert_array_equal(tf.io.decode_png(png["rgba"], channels=4).numpy(), rgba)
        jpeg = written("jpeg", {"rgba": rgba, "red": red})
        np.testing.assert_array_equal(tf.io.decode_png(jpeg["rgba"], channels=4).numpy(), rgba)  # alpha: PNG
        assert tf.io.decode_jpeg(jpeg["red"]).numpy()[8, 8, 0] > 240  # red stays red, not blue
        with pytest.raises(ValueError, match="image_format"):
            TrainingTensorBoardWriter(None, image_format="gif")
        with pytest.raises(ValueError, match="jpeg_quality"):
            TrainingTensorBoardWriter(None, jpeg_quality=0)

    def test_without_writer_nothing_is_written_and_figures_close(self):
        writer = TrainingTensorBoardWriter(None)
        figure = plt.figure()
        writer.add_image("x", np.zeros((4, 4, 3), np.uint8), 0)
        writer.add_figure("x", figure, 0)
        writer.add_scalar("x", 1.0, 0)
        writer.flush()
        assert not plt.fignum_exists(figure.number)

    def test_bad_image_names_the_summary(self, tmp_path):
        writer = TrainingTensorBoardWriter(tf.summary.create_file_writer(str(tmp_path)))
        with pytest.raises(ValueError, match="'gt'"):
            writer.add_image("gt", np.zeros((4, 4, 2), np.uint8), 0)
        with pytest.raises(TypeError, match="writer"):
            TrainingTensorBoardWriter(str(tmp_path))

    def test_draw_boxes_draws_on_a_copy(self):
        image = np.zeros((60, 80, 3), np.uint8)
        drawn = draw_boxes(image, np.array([[10, 20, 50, 40, 1]]), ["cat"], scores=[0.9], color=(255, 0, 0))
        assert not image.any()
        assert tuple(drawn[30, 10]) == (255, 0, 0)  # left edge, RGB order kept
        assert drawn[25:35, 20:40].sum() == 0  # box interior untouched
        with pytest.raises(ValueError, match="2 labels for 1 boxes"):
            draw_boxes(image, [[1, 1, 5, 5]], ["a", "b"])


class TestForgelineLoss:
    def test_base_and_result_checks(self):
        with pytest.raises(NotImplementedError, match="ForgelineLoss must implement compute_loss"):
            ForgelineLoss()((), ())

        class NoTotal(ForgelineLoss):
            def compute_loss(self, targets, predictions):
                return {"L2-loss": tf.constant(0.0)}

        with pytest.raises(KeyError, match="NoTotal.*'total-loss'"):
            NoTotal()((), ())

        class Squared(ForgelineLoss):
            def compute_loss(self, targets, predictions):
                return {"total-loss": tf.reduce_sum(tf.square(predictions[0] - targets[0]))}

        variable = tf.Variable([1.0, 2.0])
        with tf.GradientTape() as tape:
            losses = Squared()((tf.constant([0.0, 0.0]),), (variable,))
        assert float(losses["total-loss"]) == 5.0
        np.testing.assert_allclose(tape.gradient(losses["total-loss"], variable), [2.0, 4.0])
