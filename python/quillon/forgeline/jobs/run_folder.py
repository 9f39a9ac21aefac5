"""The run folder of a training job: never overwrites an earlier run, resumes a stopped one."""

import os


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
