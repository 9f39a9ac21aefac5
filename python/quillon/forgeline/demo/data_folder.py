"""Folders of the demo jobs: a generated dataset written once and reused safely,
and a run folder that never overwrites an earlier run."""

import json
import os
import shutil
import tempfile

PARAMETERS_FILE = "dataset.json"


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
    staging = tempfile.mkdtemp(prefix="." + os.path.basename(folder) + "-", dir=parent)
    try:
        write_splits(staging)
        with open(os.path.join(staging, PARAMETERS_FILE), "w", encoding="utf-8") as stream:
            json.dump(parameters, stream, indent=2)
        os.rename(staging, folder)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    return folder


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
        raise FileExistsError(f"{path} cannot be read ({error}); remove the folder or choose another output folder") from None
    if recorded != parameters:
        raise FileExistsError(
            f"{folder} was generated with {recorded}, not {parameters}; remove it or choose another output folder"
        )


def new_run_folder(out, resume=False):
    """Returns the absolute ``out`` and its ``run`` folder for a new run, or for a resumed one.

    An existing run folder is never overwritten, so a previous run's
    checkpoints are never lost: that raises ``FileExistsError``. With
    ``resume`` the run folder must hold the training state of a stopped run
    (``run/state/state.json``), else ``FileNotFoundError``.
    """
    out = os.path.abspath(out)
    run_folder = os.path.join(out, "run")
    if resume:
        state = os.path.join(run_folder, "state", "state.json")
        if not os.path.isfile(state):
            raise FileNotFoundError(
                f"there is no run to resume in {run_folder}: {state} does not exist (a run writes it after every "
                "finished epoch)"
            )
    elif os.path.exists(run_folder):
        raise FileExistsError(
            f"{run_folder} already holds a run; resume it with --resume, or remove it or choose another --out to "
            "keep its checkpoints"
        )
    return out, run_folder
