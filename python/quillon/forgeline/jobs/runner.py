"""One training run, the same for every task: the lifecycle the detection, segmentation and head-pose jobs share.

A job function describes its task with a ``Task`` (the dataset, model, loss,
evaluator and trainer, what config.json records of the task and how its
results are read from the validation passes); ``run_job`` does the rest: the
run folder (new, or the stopped run's with ``resume``), seeding, the warm-up
cosine Adam, the TensorBoard logger, the trainer with a validation pass after
every epoch (best.h5 by the task's metric, summary.csv, validation/), the
weight averages, and the closing lines. The run folder ``out/run`` holds
config.json, best.h5, last.h5, summary.csv, validation/, tensorboard/ and
state/ (and labels.txt when the task has classes).
"""

import os
from collections.abc import Callable
from dataclasses import dataclass

from quillon.forgeline.callbacks import CallbackList, ForgelineTrainingCallback, TensorBoardLogger, attach_console
from quillon.forgeline.datasets import image_cache
from quillon.forgeline.datasets.utils import leave_out_images
from quillon.forgeline.jobs.scaling import (
    average_weights,
    in_scope,
    is_chief,
    job_folders,
    seed_job,
    start_epoch,
    steps_per_epoch,
    warmup_cosine_adam,
)
from quillon.forgeline.jobs.weights import start_from
from quillon.forgeline.run_files import restored_on_failure


@dataclass
class Task:
    """What sets one task's job apart from the others."""

    name: str  # config.json's "task"
    data: object  # what config.json names as the data
    build_dataset: Callable  # (input shape) -> dataset
    build_model: Callable  # (dataset, input shape) -> model, called in the strategy's scope
    build_loss: Callable  # (dataset) -> loss
    build_evaluator: Callable  # (model, dataset, loss) -> evaluator (the loss: for a validation loss)
    trainer: type  # DetectionTrainer or a subclass
    metric: str  # the trainer's checkpoint metric
    describe: Callable  # (dataset) -> the task's config.json entries; its "classes" go to the trainer
    # (dataset, [(epoch, metrics) of each validation pass], run folder) -> (result entries, closing lines)
    summarize: Callable
    settings: dict  # the options config.json records under their names (augmentation, loss, decoding)


class ValidationHistory(ForgelineTrainingCallback):
    """Keeps every validation pass's metrics as (epoch, metrics) pairs."""

    def __init__(self):
        self.epoch = 0
        self.passes = []

    def on_epoch_start(self, epoch):
        self.epoch = epoch

    def on_evaluaiton_end(self, metrics):
        self.passes.append((self.epoch, metrics))


# The job functions' arguments that every run takes (see ``detect.train_detection``).
RUN_OPTIONS = (
    "epochs",
    "seed",
    "deterministic",
    "ema_decay",
    "batch_size",
    "learning_rate",
    "input_size",
    "resume",
    "record",
    "strategy",
    "cache",
    "cache_dir",
    "weights",
    "skip_images",
)


def job_options(arguments):
    """The run options among a job function's ``arguments`` (its ``locals()``), with its ``display`` if it has one."""
    options = {name: arguments[name] for name in RUN_OPTIONS}
    if "display" in arguments:
        options["display"] = arguments["display"]
    return options


def run_job(
    task,
    out,
    *,
    epochs,
    seed,
    deterministic,
    ema_decay,
    batch_size,
    learning_rate,
    input_size,
    resume,
    record,
    strategy,
    cache=None,
    cache_dir=None,
    weights=None,
    display=0,
    skip_images=(),
):
    """Trains ``task`` into ``out/run``; returns {"run_folder", **the task's result entries}.

    The arguments are the job functions' (see ``detect.train_detection``);
    ``display``: validation images drawn to TensorBoard per pass; ``weights``:
    a model file or run folder to start from (``weights.start_from``). ``cache``:
    None, "ram" or "disk", the dataset's image cache, on disk in ``cache_dir``
    (default: the run folder's cache/). Of several
    workers, only the chief validates and writes the run folder; the others
    return "run_folder" None.
    """
    out, run_folder = job_folders(out, strategy, resume=resume)
    seed_job(seed, deterministic)
    shape = [input_size, input_size, 3]
    dataset = task.build_dataset(shape)
    leave_out_images(dataset, skip_images)
    image_cache.use(dataset, cache, cache_dir or os.path.join(run_folder, "cache"))
    with in_scope(strategy):
        model = task.build_model(dataset, tuple(shape))
    start_from(model, weights)
    train_images = dataset.get_num_train_samples()
    steps = epochs * steps_per_epoch(train_images, batch_size, strategy)
    optimizer, warmup = warmup_cosine_adam(learning_rate, steps, strategy)
    if warmup:
        schedule = f"linear warm-up over {warmup} steps, then cosine decay to 0 over {steps - warmup} steps"
    else:  # too few steps to warm up
        schedule = f"cosine decay to 0 over {steps} steps"
    description = task.describe(dataset)
    config = {
        "task": task.name,
        "data": task.data,
        **description,
        "input_shape": shape,
        "epochs": epochs,
        "batch_size": batch_size,
        "learning_rate": learning_rate,
        "schedule": schedule,
        **task.settings,
        "seed": seed,
        "deterministic": deterministic,
        "ema_decay": ema_decay,
        "train_images": train_images,
        "validation_images": len(dataset.val_storage),
        **(record or {}),
    }
    if strategy is not None:
        config["replicas"] = strategy.num_replicas_in_sync
    logger = TensorBoardLogger(os.path.join(run_folder, "tensorboard"))
    loss = task.build_loss(dataset)
    with restored_on_failure(run_folder, ("config.json", "labels.txt")):
        trainer = task.trainer(
            model,
            dataset,
            optimizer,
            loss,
            logger=logger,
            checkpoint=run_folder,
            info=config,
            metric=task.metric,
            classes=description.get("classes", []),
            display=display,
            skip_initial_validation=True,
        )
        history = ValidationHistory()
        average_weights(trainer, ema_decay, steps)
        start = start_epoch(trainer, out, resume)
    evaluator = task.build_evaluator(model, dataset, loss)
    trainer.train(
        epochs,
        dataset.build_train_iterator(batch_size, strategy=strategy),
        dataset.build_val_iterator(),
        evaluator,
        start=start,
        callback_handler=CallbackList([history, attach_console(trainer, evaluator)]),
    )
    logger.flush()

    chief = is_chief(strategy)  # only the chief validates; a worker's scratch folder is no run
    entries, lines = task.summarize(dataset, history.passes if chief else [], run_folder)
    if not chief:
        return {"run_folder": None, **entries}
    print(f"\nRun folder: {run_folder}")
    for line in lines:
        print(line)
    print(f"TensorBoard: tensorboard --logdir {os.path.join(run_folder, 'tensorboard')}")
    return {"run_folder": run_folder, **entries}


def best_pass(passes, score, lowest=False):
    """The (epoch, metrics) pass that best.h5 holds: the best ``score(metrics)``, the latest of equal ones
    (the trainer replaces best.h5 on a tie); (None, None) without passes."""
    best = (None, None)
    for epoch, metrics in passes:
        if best[1] is None or (score(metrics) <= score(best[1]) if lowest else score(metrics) >= score(best[1])):
            best = (epoch, metrics)
    return best
