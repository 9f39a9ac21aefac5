"""The demo's data folders: a generated dataset written once and reused safely."""

import json
import os
import shutil
import tempfile

import numpy as np

PARAMETERS_FILE = "dataset.json"


def claim_and_generate(out, strategy, resume, generate, images, validation_share, **settings):
    """Claims ``out`` for a demo run (``scaling.claim_run_folder``, before any data is written), then writes
    its data into out/data with ``generate``: ``images`` training images and a ``validation_share``-th as
    many validation ones (at least one); ``settings`` (the seed, ...) go to ``generate`` as they are.

    Returns (the absolute ``out``, its data folder, what ``generate`` returned).
    """
    # The jobs' rules for run folders; their module imports TensorFlow, which generating data does not need.
    from quillon.forgeline.jobs.scaling import claim_run_folder

    out = claim_run_folder(out, strategy, resume=resume)
    data = os.path.join(out, "data")
    validation_images = max(1, images // validation_share)
    return out, data, generate(data, train_images=images, validation_images=validation_images, **settings)


def checked_sizes(generator, seed, train_images, validation_images, size=None, min_size=1):
    """A generator's seed, image counts and image side (``size``, at least ``min_size``; left out when None)
    as ints, once each is checked to be a whole number in range: errors name the ``generator`` function
    and the parameter. Recorded with the data, they make equal data for equal values."""
    ranges = {"train_images": (train_images, 1), "validation_images": (validation_images, 1)}
    if size is not None:
        ranges["size"] = (size, min_size)
    ranges["seed"] = (seed, 0)
    for key, (value, minimum) in ranges.items():
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < minimum:
            raise ValueError(f"{generator}: {key} must be an int >= {minimum}, got {value!r}")
    return {key: int(value) for key, (value, _) in ranges.items()}


def write_dataset_once(folder, parameters, write_splits):
    """Makes ``folder`` hold the dataset that ``parameters`` describe; returns its absolute path.

    A folder that already holds a dataset generated with equal parameters is
    reused as it is. A folder that holds anything else is never touched: that
    raises ``FileExistsError``. Otherwise ``write_splits(staging_folder)``
    writes the files into a temporary folder beside ``folder``, which is
    renamed into place when complete, so an interrupted run leaves no
    half-written dataset behind.
    """
    folder = os.path.abspath(folder)
    if os.path.exists(folder):
        _check_reusable(folder, parameters)
        return folder
    parent = os.path.dirname(folder)
    os.makedirs(parent, exist_ok=True)
    prefix = f".{os.path.basename(folder)}-staging-"
    _remove_abandoned_staging(parent, prefix)
    staging = tempfile.mkdtemp(prefix=f"{prefix}{os.getpid()}-", dir=parent)
    try:
        write_splits(staging)
        with open(os.path.join(staging, PARAMETERS_FILE), "w", encoding="utf-8") as stream:
            json.dump(parameters, stream, indent=2)
        os.rename(staging, folder)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    return folder


def _remove_abandoned_staging(parent, prefix):
    """Removes the staging folders of killed processes (named ``<prefix><pid>-...``): nothing else would."""
    for entry in os.scandir(parent):
        if not entry.name.startswith(prefix) or not entry.is_dir(follow_symlinks=False):
            continue
        pid = entry.name[len(prefix) :].split("-")[0]
        if pid.isdigit() and not _running(int(pid)):
            shutil.rmtree(entry.path, ignore_errors=True)


def _running(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # another user's process
        return True
    return True


def _check_reusable(folder, parameters):
    path = os.path.join(folder, PARAMETERS_FILE)
    if not os.path.isfile(path):
        raise FileExistsError(
            f"{folder} exists but holds no {PARAMETERS_FILE}: it is not a generated dataset; "
            "remove it or choose another output folder"
        )
    try:
        with open(path, encoding="utf-8") as stream:
            recorded = json.load(stream)
    except (OSError, ValueError) as error:
        raise FileExistsError(
            f"{path} cannot be read ({error}); remove the folder or choose another output folder"
        ) from None
    if recorded != parameters:
        raise FileExistsError(
            f"{folder} was generated with {recorded}, not {parameters}; remove it or choose another output folder"
        )
