"""The run folder of a training job: never overwrites an earlier run, resumes a stopped one."""

import glob
import json
import os
import shutil

# Options that change the model or the pixels it learns from: a resumed run must keep them.
FIXED_ON_RESUME = ("data", "input_size", "model_size", "backbone", "full_decode", "reduced_decode", "annotations")


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
        state = _state_file(run_folder)
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


def resume_plan(out, resume, options, epochs):
    """Decides what ``--resume`` does with the run in ``out/run``, before the job starts; returns the job's ``resume``.

    Without ``resume``: False. A run folder that holds no training state
    (stopped before its first epoch ended) is removed (moved aside to
    ``run-unfinished`` when it holds model files) and the run starts again
    from epoch 1: False, after saying so. A run whose state has reached
    ``epochs`` is finished: ``FinishedRun`` says how to train further. A
    stopped run resumes (True) only with the options of ``FIXED_ON_RESUME``
    that its config.json records unchanged (``options`` holds this call's);
    else ``ValueError`` naming each changed one.
    """
    if not resume:
        return False
    run_folder = os.path.join(os.path.abspath(out), "run")
    if os.path.isdir(run_folder) and _stranded(run_folder):
        note = f"\t - [INFO] {run_folder} holds no training state (the run stopped before its first epoch ended)"
        if glob.glob(os.path.join(glob.escape(run_folder), "*.h5")):
            # Model files without a state: the end of a first epoch, or a run of a version that kept no state.
            kept = _free_name(run_folder + "-unfinished")
            os.rename(run_folder, kept)
            note += f"; it is kept as {kept}"
        else:
            shutil.rmtree(run_folder)
        print(note + ": starting the run again from epoch 1")
        return False
    new_run_folder(out, resume=True)  # no run at all: names what is missing
    recorded = _read_json(os.path.join(run_folder, "config.json"))
    changed = [
        f"--{key.replace('_', '-')} {options[key]!r} (the run has {recorded[key]!r})"
        for key in FIXED_ON_RESUME
        if key in options and key in recorded and options[key] != recorded[key]
    ]
    if changed:
        raise ValueError(
            f"--resume continues the run in {run_folder} with its model and data; these options differ from the "
            f"run's config.json: {'; '.join(changed)}. Give the run's values, or train a new run with another --out"
        )
    finished = _read_json(_state_file(run_folder)).get("epoch")
    if isinstance(finished, int) and finished >= epochs:
        raise FinishedRun(
            f"the run in {run_folder} has finished its {finished} epochs; to train it further, resume it with "
            f"--epochs greater than {finished}"
        )
    return True


class FinishedRun(Exception):
    """``--resume`` of a run that has nothing left to train: not a failure."""


def _free_name(path):
    """``path``, or ``path-2``, ``path-3``... whichever does not exist yet."""
    candidate, number = path, 1
    while os.path.exists(candidate):
        number += 1
        candidate = f"{path}-{number}"
    return candidate


def _state_file(run_folder):
    return os.path.join(run_folder, "state", "state.json")


def _stranded(run_folder):
    """Whether the run folder holds a run that never finished an epoch (no training state)."""
    return not os.path.exists(_state_file(run_folder))


def _read_json(path):
    try:
        with open(path, encoding="utf-8") as stream:
            content = json.load(stream)
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as error:
        raise ValueError(f"{path} cannot be read: {error}") from None
    return content if isinstance(content, dict) else {}
