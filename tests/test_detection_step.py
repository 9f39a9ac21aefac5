"""Input scaling and the training step of DetectionTrainer."""

import numpy as np
import pytest
import tensorflow as tf
from quillon.forgeline.trainer.detection import DetectionTrainer
from trainer_doubles import RecordingLoss, detection_model, make_trainer, train_batches


def test_preprocess_input_scales_to_unit_float32(tmp_path):
    trainer = make_trainer(DetectionTrainer, tmp_path, model=object())
    scaled = trainer.preprocess_input(tf.constant([[0, 255, 51]], tf.uint8))
    assert scaled.dtype == tf.float32
    np.testing.assert_allclose(scaled.numpy(), [[0.0, 1.0, 0.2]], rtol=1e-6)


def test_train_step_updates_the_model_and_returns_the_losses(tmp_path):
    model = detection_model()
    loss = RecordingLoss()
    trainer = make_trainer(DetectionTrainer, tmp_path, model=model, loss=loss)
    before = [w.numpy().copy() for w in model.trainable_weights]
    images, boxes = next(iter(train_batches()))

    losses = trainer.train_step((images, boxes))

    # Targets are the batch after the images, predictions the outputs as a tuple.
    targets, predictions = loss.calls[-1]
    assert isinstance(targets, tuple) and len(targets) == 1
    assert isinstance(predictions, tuple) and len(predictions) == 4
    assert set(losses) == {"total-loss", "box-loss", "L2-loss"}
    assert float(losses["L2-loss"]) == 0.0  # no regularisers
    assert int(trainer.optimizer.iterations.numpy()) == 1
    assert any(not np.allclose(a, w.numpy()) for a, w in zip(before, model.trainable_weights))


def test_train_step_passes_every_target_and_includes_weight_decay(tmp_path):
    class NoDataLoss(RecordingLoss):
        def compute_loss(self, targets, predictions):
            self.calls.append((targets, predictions))
            return {"total-loss": tf.add_n([tf.reduce_sum(p) for p in predictions]) * 0.0}

    model = detection_model(regularizer=tf.keras.regularizers.l2(0.5))
    loss = NoDataLoss()
    trainer = make_trainer(DetectionTrainer, tmp_path, model=model, loss=loss)
    kernel = model.get_layer("features").kernel
    before = np.abs(kernel.numpy()).sum()

    losses = trainer.train_step(next(iter(train_batches(extra_targets=2))))

    assert len(loss.calls[-1][0]) == 2
    assert float(losses["L2-loss"]) > 0.0
    # The data loss is zero, so only the regularisation term can move the kernel (towards 0).
    assert np.abs(kernel.numpy()).sum() < before


def test_train_step_without_total_loss_says_so(tmp_path):
    class Broken(RecordingLoss):
        def compute_loss(self, targets, predictions):
            return {"box-loss": tf.reduce_mean(predictions[2])}

    trainer = make_trainer(DetectionTrainer, tmp_path, loss=Broken())
    with pytest.raises(KeyError, match="total-loss"):
        trainer.train_step(next(iter(train_batches())))
