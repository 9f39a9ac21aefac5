"""Training callbacks and the TensorBoard training logger."""

import numpy as np
import tensorflow as tf



class ForgelineTrainingCallback:
    """Base class for user callbacks; override the hooks you need.

    Trainers call every hook with keyword arguments named as below, except
    ``on_model_save`` which gets the model positionally. ``on_evaluaiton_end``
    is spelled the way the trainers call it.
    """

    def on_train_start(self, epochs):
        return None

    def on_evaluation_start(self):
        return None

    def on_evaluaiton_end(self, metrics):
        return None

    def on_epoch_start(self, epoch):
        return None

    def on_step_start(self, step):
        return None

    def on_step_end(self, losses, lr):
        return None

    def on_model_save(self, model):
        return None

    def on_epoch_end(self, losses, metrics):
        return None

    def on_train_end(self):
        return None


class CallbackList(ForgelineTrainingCallback):
    """Forwards each hook to several callbacks, in the order given."""

    def __init__(self, callbacks=None):
        self.callbacks = list(callbacks) if callbacks is not None else []
        for index, callback in enumerate(self.callbacks):
            if not isinstance(callback, ForgelineTrainingCallback):
                raise TypeError(
                    f"CallbackList: callbacks[{index}] is a {type(callback).__name__}, "
                    "expected a ForgelineTrainingCallback subclass instance"
                )

    def on_train_start(self, epochs):
        for callback in self.callbacks:
            callback.on_train_start(epochs=epochs)

    def on_evaluation_start(self):
        for callback in self.callbacks:
            callback.on_evaluation_start()

    def on_evaluaiton_end(self, metrics):
        for callback in self.callbacks:
            callback.on_evaluaiton_end(metrics=metrics)

    def on_epoch_start(self, epoch):
        for callback in self.callbacks:
            callback.on_epoch_start(epoch=epoch)

    def on_step_start(self, step):
        for callback in self.callbacks:
            callback.on_step_start(step=step)

    def on_step_end(self, losses, lr):
        for callback in self.callbacks:
            callback.on_step_end(losses=losses, lr=lr)

    def on_model_save(self, model):
        for callback in self.callbacks:
            callback.on_model_save(model)

    def on_epoch_end(self, losses, metrics):
        for callback in self.callbacks:
            callback.on_epoch_end(losses=losses, metrics=metrics)

    def on_train_end(self):
        for callback in self.callbacks:
            callback.on_train_end()


def _loggable_scalar(value):
    """Returns ``value`` in a form tf.summary can write, or None to skip it.

    Tensors are returned as tensors: reading their value here would block on
    the device every training step.
    """
    if value is None or isinstance(value, (bool, np.bool_)):
        return None
    if isinstance(value, (int, float, np.integer, np.floating)):
        return value
    if isinstance(value, (tf.Tensor, tf.Variable)):
        dtype = value.dtype
        if not (dtype.is_floating or dtype.is_integer):
            return None
        if value.shape.num_elements() not in (1, None):
            return None
        return tf.reshape(value, [])
    if isinstance(value, np.ndarray):
        if value.size != 1 or not (np.issubdtype(value.dtype, np.integer) or np.issubdtype(value.dtype, np.floating)):
            return None
        return value.reshape(())
    return None


class TensorBoardLogger:
    """Logs training losses and validation metrics as TensorBoard scalars.

    The trainer calls ``update_metrics(metrics, losses)``:
      * every training step with ``metrics={}``: each loss is written as
        ``train/<key>`` at the training-step counter (every ``log_every``-th
        step only), and the counter advances;
      * after each validation with the summary dict: each metric is written as
        ``validation/<key>`` at the validation counter, which advances. The
        losses passed along are not written again.
    Both counters start at 0. None and non-numeric values are skipped.
    """

    def __init__(self, log_dir, log_every=1):
        if isinstance(log_every, bool) or not isinstance(log_every, (int, np.integer)) or log_every < 1:
            raise ValueError(f"TensorBoardLogger: log_every must be a positive integer, got {log_every!r}")
        self.log_dir = log_dir
        self.log_every = int(log_every)
        self.writer = tf.summary.create_file_writer(str(log_dir))
        self.train_step = 0
        self.validation_step = 0

    def update_metrics(self, metrics, losses):
        if metrics:
            self._write_group("validation", metrics, self.validation_step)
            self.validation_step += 1
            return
        if losses and self.train_step % self.log_every == 0:
            self._write_group("train", losses, self.train_step)
        self.train_step += 1

    def _write_group(self, prefix, values, step):
        if not hasattr(values, "items"):
            raise TypeError(f"TensorBoardLogger: {prefix} values must be a dict, got {type(values).__name__}")
        with self.writer.as_default():
            for key, value in values.items():
                scalar = _loggable_scalar(value)
                if scalar is not None:
                    tf.summary.scalar(f"{prefix}/{key}", scalar, step=step)

    def flush(self):
        self.writer.flush()

    def close(self):
        self.writer.close()
