"""Exponential moving average of the weights (ema_decay): the schedule, what uses the averages, the options."""

import json
import os

import numpy as np
import pytest
import tensorflow as tf
from quillon.forgeline.trainer.detection import DetectionTrainer
from quillon.forgeline.trainer.segmentation import SegmentationTrainer
from trainer_doubles import (
    RecordingCallbacks,
    RecordingEvaluator,
    detection_model,
    make_trainer,
    segmentation_model,
    segmentation_validation_elements,
    train_batches,
    validation_batches,
)

DECAY, WARMUP, STEPS = 0.9, 2, 3  # STEPS per epoch


class WeightsAtValidation(RecordingEvaluator):
    """Records the model's weights as the evaluator's runner sees them, once per pass."""

    def __init__(self, model, **options):
        super().__init__(**options)
        self.model = model
        self.seen = []

    def _run_single_instance(self, image):
        self.seen.append(weights_of(self.model))
        return super()._run_single_instance(image)


class WeightsAfterSteps(RecordingCallbacks):
    def __init__(self, model):
        super().__init__([])
        self.model = model
        self.after_step = []

    def on_step_end(self, losses, lr):
        self.after_step.append(weights_of(self.model))


def weights_of(model):
    return {w.path: w.numpy() for w in model.weights}


def saved_weights(path):
    return weights_of(tf.keras.models.load_model(path, compile=False))


def expected_averages(initial, after_step):
    """The averages after each step (index 0: before the first), in float64."""
    averages = [{path: value.astype(np.float64) for path, value in initial.items()}]
    for updates, weights in enumerate(after_step, start=1):
        decay = DECAY * (1 - np.exp(-updates / WARMUP))
        averages.append({path: decay * averages[-1][path] + (1 - decay) * weights[path] for path in weights})
    return averages


def assert_weights_close(actual, expected, what):
    assert set(actual) <= set(expected) and actual, what
    for path, value in actual.items():
        np.testing.assert_allclose(value, expected[path], rtol=1e-5, atol=1e-6, err_msg=f"{what}: {path}")


def training_run(trainer_class, folder, model, ema_decay, epochs=2, resume=False, evaluator=None, callbacks=None):
    segmentation = trainer_class is SegmentationTrainer
    trainer = make_trainer(
        trainer_class, folder, model=model, optimizer=tf.keras.optimizers.SGD(0.1), skip_initial_validation=resume
    )
    trainer.ema_decay, trainer.ema_warmup_steps = ema_decay, WARMUP
    start = trainer.resume() if resume else 1
    batches = train_batches(count=STEPS, extra_targets=0 if segmentation else 1)
    if segmentation:
        batches = batches.map(lambda images: (images, tf.zeros(tf.shape(images)[:3], tf.int32)))
    validation = segmentation_validation_elements(1) if segmentation else validation_batches(1)
    # mACC 0.1, 0.5, 0.3 by pass: best.h5 is the model of epoch 1, last.h5 that of epoch 2.
    evaluator = evaluator or WeightsAtValidation(model, scores=(0.1, 0.5, 0.3), segmentation=segmentation)
    callbacks = callbacks or WeightsAfterSteps(model)
    trainer.train(epochs, batches, validation, evaluator, start=start, callback_handler=callbacks)
    return trainer, evaluator, callbacks


@pytest.mark.parametrize(
    "trainer_class, model",
    [(DetectionTrainer, lambda: detection_model(batch_norm=True)), (SegmentationTrainer, segmentation_model)],
    ids=["detection with batch norm", "segmentation"],
)
def test_validation_and_saved_models_use_averages_of_the_decay_schedule(tmp_path, trainer_class, model):
    tf.keras.utils.set_random_seed(0)
    model = model()
    initial = weights_of(model)
    trainer, evaluator, callbacks = training_run(trainer_class, tmp_path, model, DECAY)

    expected = expected_averages(initial, callbacks.after_step)
    assert len(callbacks.after_step) == 2 * STEPS and len(evaluator.seen) == 3
    for number, (seen, updates) in enumerate(zip(evaluator.seen, (0, STEPS, 2 * STEPS))):
        assert_weights_close(seen, expected[updates], f"validation pass {number}")
    assert_weights_close(saved_weights(tmp_path / "best.h5"), expected[STEPS], "best.h5")
    assert_weights_close(saved_weights(tmp_path / "last.h5"), expected[2 * STEPS], "last.h5")
    # The model goes on with its raw weights, which the averages lag behind.
    raw = callbacks.after_step[-1]
    for path, value in weights_of(trainer.model).items():
        np.testing.assert_array_equal(value, raw[path], err_msg=path)
    assert max(np.abs(expected[-1][path] - raw[path]).max() for path in raw) > 1e-2


def test_a_failing_validation_leaves_the_raw_weights_in_the_model(tmp_path):
    class FailingSecondPass(WeightsAtValidation):
        def conclude(self, truth_values, epoch):
            if epoch == 1:
                raise RuntimeError("evaluator broke")
            return super().conclude(truth_values, epoch)

    model = detection_model()
    callbacks = WeightsAfterSteps(model)
    with pytest.raises(RuntimeError, match="evaluator broke"):
        training_run(DetectionTrainer, tmp_path, model, DECAY, evaluator=FailingSecondPass(model), callbacks=callbacks)
    raw = callbacks.after_step[-1]
    for path, value in weights_of(model).items():
        np.testing.assert_array_equal(value, raw[path], err_msg=path)


@pytest.mark.parametrize(
    "attribute, value, message",
    [
        ("ema_decay", 0.0, r"ema_decay must be None \(no weight averaging\) or a number between 0 and 1, .*got 0\.0"),
        ("ema_decay", 1, "ema_decay must be None .*got 1$"),
        ("ema_decay", -0.5, "ema_decay must be None .*got -0.5"),
        ("ema_decay", float("nan"), "ema_decay must be None .*got nan"),
        ("ema_decay", "0.999", "ema_decay must be None .*got '0.999'"),
        ("ema_warmup_steps", 0, "ema_warmup_steps must be a positive number of optimizer steps .*got 0"),
        ("ema_warmup_steps", -100.0, "ema_warmup_steps must be a positive number .*got -100.0"),
        ("ema_warmup_steps", None, "ema_warmup_steps must be a positive number .*got None"),
        ("ema_warmup_steps", float("inf"), "ema_warmup_steps must be a positive number .*got inf"),
    ],
)
def test_bad_averaging_options_are_refused_when_train_starts(tmp_path, attribute, value, message):
    events = []
    trainer = make_trainer(DetectionTrainer, tmp_path)
    trainer.ema_decay = DECAY
    setattr(trainer, attribute, value)
    with pytest.raises(ValueError, match=f"^train: {message}"):
        trainer.train(
            1, train_batches(), validation_batches(1), RecordingEvaluator(), callback_handler=RecordingCallbacks(events)
        )
    assert events == [] and not (tmp_path / "last.h5").exists()


@pytest.mark.parametrize(
    "before, after, warning",
    [
        (None, DECAY, r"state\.json holds no weight averages .*start from the restored weights"),
        (DECAY, None, r"state\.json holds weight averages, but ema_decay is None: they are dropped"),
    ],
)
def test_a_run_resumed_with_averaging_turned_on_or_off_warns_and_goes_on(tmp_path, before, after, warning):
    training_run(DetectionTrainer, tmp_path, detection_model(), before, epochs=1)
    model = detection_model()
    with pytest.warns(UserWarning, match=warning):
        training_run(DetectionTrainer, tmp_path, model, after, resume=True)
    state = json.loads((tmp_path / "state" / "state.json").read_text())
    assert state["epoch"] == 2 and state.get("ema", False) is (after is not None)
    raw, saved = weights_of(model), saved_weights(tmp_path / "last.h5")
    assert all(np.array_equal(raw[path], value) for path, value in saved.items()) is (after is None)
    assert sorted(os.listdir(tmp_path / "state"))[-1] == "state.json"
