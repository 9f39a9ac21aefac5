"""Where a job trains: one device, several devices of this machine, or a cluster of workers.

``job_strategy(devices)`` picks the tf.distribute strategy (before
TensorFlow's first operation), ``job_folders`` the run folder of this process
and ``in_scope`` (the trainers' own, as ``is_chief`` is) the scope the model
and optimizer are built in. What the
jobs set up alike around that lives here too: ``seed_job``, the optimizer
(``warmup_cosine_adam``), the weight averages and the start epoch.
"""

import atexit
import json
import os
import shutil
import tempfile

import tensorflow as tf

from quillon.forgeline.jobs.run_folder import new_run_folder

# The trainers' own answers: which process writes the run, and the scope models are built in.
from quillon.forgeline.trainer.detection import in_scope, is_chief


def seed_job(seed, deterministic=False):
    """Seeds Python, NumPy and TensorFlow (the weights, the pipelines' draws);
    ``deterministic`` also turns on TensorFlow's op determinism, so that a run
    repeats bit for bit on the same machine. Before the job builds anything."""
    tf.keras.utils.set_random_seed(seed)
    if deterministic:
        tf.config.experimental.enable_op_determinism()


def job_strategy(devices=None):
    """The strategy a job trains under, or None for one device as without one.

    With ``TF_CONFIG`` naming a cluster of several tasks, this process is one
    of its workers: ``MultiWorkerMirroredStrategy`` over its GPUs (the first
    ``devices`` of them when given) or its CPU. Otherwise ``devices`` > 1
    mirrors the model on that many GPUs, or on that many logical CPU devices
    where there is no GPU (for trying it out: they share the CPU's cores).
    Configures the devices, so it must run before TensorFlow's first operation.
    """
    gpus = tf.config.list_physical_devices("GPU")
    if devices is not None and gpus:
        if devices > len(gpus):
            raise ValueError(f"--devices {devices}: this machine has {len(gpus)} GPU(s)")
        tf.config.set_visible_devices(gpus[:devices], "GPU")
    if _cluster_size() > 1:
        return tf.distribute.MultiWorkerMirroredStrategy()
    if devices is None or devices == 1:
        return None
    if gpus:
        return tf.distribute.MirroredStrategy([f"/gpu:{index}" for index in range(devices)])
    cpu = tf.config.list_physical_devices("CPU")[0]
    tf.config.set_logical_device_configuration(cpu, [tf.config.LogicalDeviceConfiguration()] * devices)
    return tf.distribute.MirroredStrategy([f"/cpu:{index}" for index in range(devices)])


def _cluster_size():
    text = os.environ.get("TF_CONFIG")
    if not text:
        return 0
    try:
        cluster = json.loads(text).get("cluster", {})
    except (ValueError, AttributeError):
        raise ValueError(f"TF_CONFIG is not a JSON mapping with a 'cluster' entry: {text!r}") from None
    return sum(len(cluster.get(role, [])) for role in ("chief", "worker"))


def job_folders(out, strategy, resume=False):
    """``(out, run_folder)`` of this process.

    The chief (or a job without a strategy) gets the run folder ``out/run``:
    a new one, or with ``resume`` the stopped run's (see ``new_run_folder``);
    another worker gets a scratch folder of its own, removed at exit: it
    writes nothing to the run.
    """
    if is_chief(strategy):
        return new_run_folder(out, resume=resume)
    scratch = tempfile.mkdtemp(prefix="forgeline-worker-")
    atexit.register(shutil.rmtree, scratch, True)
    return os.path.abspath(out), scratch


def claim_run_folder(out, strategy, resume=False):
    """Checks, before any data is written, that this process may write ``out/run``; returns the absolute ``out``.

    The chief (or a job without a strategy) needs a new run folder, or with
    ``resume`` a stopped run's (see ``new_run_folder``); another worker writes
    nothing into ``out``.
    """
    if is_chief(strategy):
        new_run_folder(out, resume=resume)
    return os.path.abspath(out)


def steps_per_epoch(samples, batch_size, strategy):
    """Training steps of an epoch: a last, smaller batch counts; under a
    strategy every step is a whole batch (see ``datasets.utils.worker_share``)."""
    return samples // batch_size if strategy is not None else -(-samples // batch_size)


def warmup_cosine_adam(learning_rate, steps, strategy):
    """The jobs' optimizer, built in ``strategy``'s scope: Adam whose learning
    rate rises linearly from 0 to ``learning_rate`` over the first
    min(30, steps // 4) steps, then falls to 0 along a cosine over the rest
    of the run's ``steps``. Returns (optimizer, warm-up steps)."""
    warmup = min(30, steps // 4)
    schedule = tf.keras.optimizers.schedules.CosineDecay(
        0.0, decay_steps=max(1, steps - warmup), warmup_target=learning_rate, warmup_steps=warmup
    )
    with in_scope(strategy):
        return tf.keras.optimizers.Adam(learning_rate=schedule), warmup


def average_weights(trainer, ema_decay, steps):
    """Turns on the trainer's moving average of the weights (``ema_decay`` None: off).

    The decay warms up over a tenth of the run's ``steps`` (at most 2000, the
    trainer's default): a short run still gets averages of its late weights.
    Before ``start_epoch``, whose resume restores the averages.
    """
    if ema_decay is None:
        return
    trainer.ema_decay = ema_decay
    trainer.ema_warmup_steps = min(2000, max(1, steps // 10))


def start_epoch(trainer, out, resume):
    """The epoch a job starts at: 1, or with ``resume`` the one after the stopped run's last finished epoch.

    Every worker restores the training state that the chief wrote into
    ``out/run/state`` (so with several machines, ``out`` must be a folder
    they all reach).
    """
    if not resume:
        return 1
    trainer.state_folder = os.path.join(out, "run", "state")
    return trainer.resume()
