"""Training callbacks and the TensorBoard training logger."""

import json
import os
import time
import weakref

import numpy as np
import tensorflow as tf
from tensorboard.compat.proto import event_pb2
from tensorboard.plugins.scalar import metadata as scalar_metadata

from quillon.forgeline import console
from quillon.forgeline.run_files import write_text_atomically

_SCALAR_METADATA = scalar_metadata.create_summary_metadata(display_name=None, description=None)


class ForgelineTrainingCallback:
    """Base class for user callbacks; override the hooks you need.

    Trainers call every hook with keyword arguments named as below, except
    ``on_model_save`` which gets the model positionally. ``on_evaluaiton_end``
    is spelled the way the trainers call it.

    A callback that sets ``stop_training`` to True ends the run cleanly after
    the current epoch (its last.h5 and training state saved, DVCLive ended,
    ``on_train_end`` called).
    """

    stop_training = False

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

    @property
    def stop_training(self):
        return any(getattr(callback, "stop_training", False) for callback in self.callbacks)


def checkpoint_group(metric):
    """The metric a trainer's ``metric`` name chooses best.h5 by: "acc" mACC, "map" mAP, anything else mAR."""
    return {"acc": "mACC", "map": "mAP"}.get(metric, "mAR")


def checkpoint_score(metrics, metric):
    """The score of a validation pass's ``metrics`` that a trainer with ``metric`` compares: the metric of
    ``checkpoint_group``, at IoU 0.5 for detection (whose metrics are keyed by threshold)."""
    value = metrics[checkpoint_group(metric)]
    return float(value["0.5"] if isinstance(value, dict) else value)


class EarlyStopping(ForgelineTrainingCallback):
    """Ends a run after ``patience`` validations in a row without improvement of the checkpoint metric.

    ``metric`` names the metric as the trainer's ``metric`` does ("acc": mACC,
    "map": mAP, anything else mAR; at IoU 0.5 for detection). A validation
    improves when its value exceeds the best so far by more than
    ``min_delta``. The run then stops after the epoch of that validation,
    cleanly (see ``ForgelineTrainingCallback``). In a multi-worker run only
    the chief validates: use it on runs of one machine.
    """

    def __init__(self, patience, metric="map", min_delta=0.0):
        if isinstance(patience, bool) or not isinstance(patience, (int, np.integer)) or patience < 1:
            raise ValueError(f"EarlyStopping: patience must be a positive integer, got {patience!r}")
        self.patience = int(patience)
        self.metric = metric
        self.min_delta = float(min_delta)
        self.best = None
        self.waited = 0
        self.stop_training = False

    def on_evaluaiton_end(self, metrics):
        value = checkpoint_score(metrics, self.metric)
        if self.best is None or value > self.best + self.min_delta:
            self.best, self.waited = value, 0
            return
        self.waited += 1
        if self.waited >= self.patience:
            self.stop_training = True
            print(
                f"\t - [INFO] Early stopping: {checkpoint_group(self.metric)} has not improved on {self.best} in {self.waited} validations"
            )


class ValidationConsole(ForgelineTrainingCallback):
    """Prints one line per validation pass and keeps ``thresholds.json`` with the model in ``best.h5``.

    The line shows the pass's main values (``console.validation_values``) and
    the trainer's best score so far with the epoch that reached it: the
    epoch of the latest pass that saved ``best.h5``. Whenever a pass saved
    it, the evaluator's ``current_thresholds``, when it has them, are
    written to ``thresholds.json`` in the run folder: ``predict`` reads them.
    """

    def __init__(self, trainer, evaluator=None):
        self.trainer = trainer
        self.evaluator = evaluator
        self.epochs = None
        self.epoch = 0
        self.best_epoch = None
        self._best_file_before = None

    def on_train_start(self, epochs):
        self.epochs = epochs

    def on_epoch_start(self, epoch):
        self.epoch = epoch

    def on_evaluation_start(self):
        self._best_file_before = self._best_file()

    def on_evaluaiton_end(self, metrics):
        saved_best = self._best_file() not in (None, self._best_file_before)
        if saved_best:
            self.best_epoch = self.epoch
        name = self._best_name(metrics)
        best = f"best {name} {float(self.trainer.best_value):.3f}"
        if self.best_epoch is not None:
            best += f" at epoch {self.best_epoch}"
        print(console.validation_line(self.epoch, self.epochs, console.validation_values(metrics), best))
        thresholds = getattr(self.evaluator, "current_thresholds", None)
        if saved_best and thresholds:
            path = os.path.join(self.trainer.checkpoint, console.THRESHOLDS_FILE)
            write_text_atomically(path, json.dumps({"model": "best.h5", **thresholds}, indent=1) + "\n")

    def _best_file(self):
        """What tells one save of best.h5 from another: its modification time and size, or None without it."""
        try:
            status = os.stat(self.trainer.best)
        except OSError:
            return None
        return (status.st_mtime_ns, status.st_size, status.st_ino)

    def _best_name(self, metrics):
        group = checkpoint_group(self.trainer.metric)
        if self.trainer.metric not in ("acc", "map") or group not in metrics:
            return str(self.trainer.metric)
        return f"{group}@0.5" if isinstance(metrics[group], dict) else group


def attach_console(trainer, evaluator=None):
    """Sets the trainer's bars to "Epoch k/N" (coloured only on a terminal); returns a ``ValidationConsole``."""
    trainer.detailed_progress = True
    return ValidationConsole(trainer, evaluator)


def _loggable_scalar(value):
    """Returns ``value`` as a float32 scalar tensor, or None to skip it.

    Tensors and variables (Keras 3 variables too, which are not tf.Variable)
    stay on their device: reading their value here would block on the device
    every training step.
    """
    if value is None or isinstance(value, (bool, np.bool_)):
        return None
    if isinstance(value, (int, float, np.integer, np.floating)):
        return tf.constant(value, tf.float32)
    if tf.is_tensor(value):
        dtype = tf.as_dtype(value.dtype)
        if not (dtype.is_floating or dtype.is_integer):
            return None
        shape = tf.TensorShape(value.shape)
        if shape.num_elements() not in (1, None):
            return None
        scalar = tf.convert_to_tensor(value)
        if dtype != tf.float32:
            scalar = tf.cast(scalar, tf.float32)
        return scalar if shape.rank == 0 else tf.reshape(scalar, [])
    if isinstance(value, np.ndarray):
        if value.size != 1 or not (np.issubdtype(value.dtype, np.integer) or np.issubdtype(value.dtype, np.floating)):
            return None
        return tf.constant(value.reshape(()), tf.float32)
    return None


class _PendingScalars:
    """Scalars waiting to be written, written together by one graph call.

    Written one by one, eagerly, a value costs about 0.3 ms, and one graph call
    per training step still about 0.5 ms; a call writing the steps of a few
    seconds costs about as much as one step's. Holds the steps of one set of
    tags; ``add`` writes what it holds first when the tags change.
    """

    def __init__(self, writer):
        self.writer = writer
        self.tags = ()
        self.steps = []
        self.values = []  # float32 scalar tensors, len(tags) per step
        self._write_in_graph = tf.function(self._write_steps, reduce_retracing=True, autograph=False)

    def __len__(self):
        return len(self.steps)

    def add(self, step, scalars):
        tags = tuple(scalars)
        if tags != self.tags:
            self.write()
            self.tags = tags
        self.steps.append(step)
        self.values.extend(scalars.values())

    def write(self):
        if not self.steps:
            return
        values = tf.reshape(tf.stack(self.values), [len(self.steps), len(self.tags)])
        steps = tf.constant(self.steps, tf.int64)
        self.steps, self.values = [], []
        self._write_in_graph(self.tags, values, steps)

    def _write_steps(self, tags, values, steps):
        # tf.summary.write keeps the tags as they are (tf.summary.scalar would
        # put the loop's name scope in front), with the metadata that makes
        # TensorBoard show them as scalars.
        metadata = _SCALAR_METADATA.SerializeToString()

        def write_step(index):
            for column, tag in enumerate(tags):
                tf.summary.write(tag, values[index, column], step=steps[index], metadata=metadata)
            return index + 1

        with self.writer.as_default():
            tf.while_loop(lambda index: index < tf.shape(steps)[0], write_step, [tf.constant(0)])


class TensorBoardLogger:
    """Logs training losses and validation metrics as TensorBoard scalars.

    The trainer calls ``update_metrics(metrics, losses)``:
      * every training step with ``metrics={}``: each loss is written as
        ``train/<key>`` at the training-step counter (every ``log_every``-th
        step only), and the counter advances;
      * after each validation with the summary dict: each metric is written as
        ``validation/<key>`` at the validation counter, which advances. The
        losses passed along are not written again. The trainers set the
        validation counter to the epoch first, so validation scalars share
        the epoch axis of the evaluator's images and text.
    Both counters start at 0 (a resumed run restores them). None and
    non-numeric values are skipped.

    Training losses are written in groups, to keep a step's logging cheap:
    once ``write_every`` logged steps are waiting or ``max_delay`` seconds
    have passed since the last write, before each validation, by ``flush``
    and ``close``, and when the logger is deleted or the interpreter exits.
    """

    def __init__(self, log_dir, log_every=1, write_every=50, max_delay=2.0):
        if isinstance(log_every, bool) or not isinstance(log_every, (int, np.integer)) or log_every < 1:
            raise ValueError(f"TensorBoardLogger: log_every must be a positive integer, got {log_every!r}")
        if isinstance(write_every, bool) or not isinstance(write_every, (int, np.integer)) or write_every < 1:
            raise ValueError(f"TensorBoardLogger: write_every must be a positive integer, got {write_every!r}")
        self.log_dir = log_dir
        self.log_every = int(log_every)
        self.write_every = int(write_every)
        self.max_delay = float(max_delay)
        self.writer = tf.summary.create_file_writer(str(log_dir))
        self.train_step = 0
        self.validation_step = 0
        self._pending = _PendingScalars(self.writer)
        self._last_write = time.monotonic()
        # Waiting losses reach the file even when nobody calls flush or close.
        self._write_pending_at_exit = weakref.finalize(self, self._pending.write)

    def update_metrics(self, metrics, losses):
        if metrics:
            self._write_pending()
            self._pending.add(self.validation_step, self._scalars("validation", metrics))
            self._write_pending()
            self.validation_step += 1
            return
        if losses and self.train_step % self.log_every == 0:
            scalars = self._scalars("train", losses)
            if scalars:
                self._pending.add(self.train_step, scalars)
            if len(self._pending) >= self.write_every or time.monotonic() - self._last_write >= self.max_delay:
                self._write_pending()
        self.train_step += 1

    def _scalars(self, prefix, values):
        if not hasattr(values, "items"):
            raise TypeError(f"TensorBoardLogger: {prefix} values must be a dict, got {type(values).__name__}")
        scalars = {}
        for key, value in values.items():
            scalar = _loggable_scalar(value)
            if scalar is not None:
                scalars[f"{prefix}/{key}"] = scalar
        return scalars

    def _write_pending(self):
        self._pending.write()
        self._last_write = time.monotonic()

    def flush(self):
        self._write_pending()
        self.writer.flush()

    def close(self):
        self._write_pending()
        self.writer.close()

    def drop_later_events(self):
        """Removes from the log folder's event files every event at or after the counters' steps.

        A resumed run calls it once its counters are restored: what the
        stopped run wrote after its last saved state (an interrupted epoch) is
        written again by the resumed run, and must not be shown twice.
        Training losses are measured against the training-step counter,
        everything else against the validation counter. Files are replaced
        crash-safely, and only when they hold such events.
        """
        from quillon.forgeline.run_files import save_atomically

        for folder, _, names in os.walk(self.log_dir):
            for name in names:
                if ".tfevents." not in name:
                    continue
                path = os.path.join(folder, name)
                events, dropped = self._events_before_counters(path)
                if dropped:

                    def write(temporary, events=events):
                        with tf.io.TFRecordWriter(temporary) as records:
                            for event in events:
                                records.write(event)

                    save_atomically(path, write)

    def _events_before_counters(self, path):
        """(the serialised events of the file to keep, whether any were dropped)."""
        kept, dropped = [], False
        try:
            for record in tf.data.TFRecordDataset(path):
                event = event_pb2.Event.FromString(record.numpy())
                tags = [value.tag for value in event.summary.value]
                counter = self.train_step if tags and tags[0].startswith("train/") else self.validation_step
                if tags and event.step >= counter:
                    dropped = True
                else:
                    kept.append(record.numpy())
        except tf.errors.DataLossError:  # a record cut short by the kill: dropped with the rest
            dropped = True
        return kept, dropped
