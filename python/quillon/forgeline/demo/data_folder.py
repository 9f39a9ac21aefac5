"""The demo's data folders: a generated dataset written once and reused safely."""

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
