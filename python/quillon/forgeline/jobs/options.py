"""Options of the training jobs, shared by the demo and the ``train`` command; importable without TensorFlow.

``add_training_options`` declares the options every job takes and
``training_options`` hands their values to the job functions, so an option
that every job gains is added here once, for the demo and ``train`` alike.
"""

import argparse
import difflib
import importlib.metadata
import sys
import warnings

MODEL_SIZES = ("small", "medium", "large")
# The Keras Applications networks --backbone offers (quillon.forgeline.models.detection.BACKBONES).
BACKBONES = ("efficientnetv2b0", "efficientnetv2b1", "efficientnetv2b2", "efficientnetv2b3", "efficientnetv2s")
DEFAULT_MODEL_SIZE = "medium"
# Augmentation of the detection job: a left-right flip of every other sample.
DEFAULT_DETECTION_AUGMENTATION = {"flip_lr": 0.5}


# Failures of bad input, missing files or packages: one line, no traceback.
USER_ERRORS = (ValueError, OSError, ImportError)


class CommandParser(argparse.ArgumentParser):
    """An argument parser that takes options only as written (no abbreviations) and suggests the
    option a misspelt one was meant to be. Its subcommands' parsers are of this class too."""

    def __init__(self, *args, **kwargs):
        kwargs.setdefault("allow_abbrev", False)
        super().__init__(*args, **kwargs)

    def parse_known_args(self, args=None, namespace=None):
        namespace, extras = super().parse_known_args(args, namespace)
        # The parser of the last subcommand reports what it does not know, with its own usage.
        if extras and not any(isinstance(action, argparse._SubParsersAction) for action in self._actions):
            known = [option for action in self._actions for option in action.option_strings]
            unknown = []
            for extra in extras:
                close = difflib.get_close_matches(extra.split("=")[0], known, n=1) if extra.startswith("-") else []
                unknown.append(f"{extra} (did you mean {close[0]}?)" if close else extra)
            self.error(f"unrecognized arguments: {' '.join(unknown)}")
        return namespace, extras


def add_version_option(parser):
    """Declares --version: the installed package's version."""
    try:
        version = importlib.metadata.version("quillon-forgeline")
    except importlib.metadata.PackageNotFoundError:
        version = "(not installed)"
    parser.add_argument("--version", action="version", version=f"quillon-forgeline {version}")


def report_user_errors(name, call):
    """Returns ``call()``'s exit status; a failure of bad input, a missing file or package is printed as
    one line naming ``name`` (exit status 1) instead of a traceback."""
    try:
        return call() or 0
    except USER_ERRORS as error:
        print(f"{name}: error: {error}", file=sys.stderr)
        return 1


def positive_int(text):
    value = _int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {text}")
    return value


def non_negative_int(text):
    value = _int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {text}")
    return value


def positive_float(text):
    value = _float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, got {text}")
    return value


def decay(text):
    value = _float(text)
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1 (both excluded), got {text}")
    return value


def fraction(text):
    value = _float(text)
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


def _int(text):
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None


def _float(text):
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def add_training_options(parser, job, seed_help, resume_help):
    """Declares --epochs, --seed, --batch-size, --learning-rate, --resume, --devices, --ema-decay,
    --deterministic, --cache and --cache-dir on ``parser``.

    ``job`` holds the DEFAULT_* values (``quillon.forgeline.jobs.defaults``).
    The help states each default as text, not through ``%(default)s``: the
    ``train`` command replaces the parser defaults (see its ``_add_train_command``).
    """
    parser.add_argument(
        "--epochs", type=positive_int, default=job.DEFAULT_EPOCHS, help=f"epochs (default {job.DEFAULT_EPOCHS})"
    )
    parser.add_argument("--seed", type=non_negative_int, default=0, help=f"{seed_help} (default 0)")
    parser.add_argument(
        "--batch-size",
        type=positive_int,
        default=job.DEFAULT_BATCH_SIZE,
        help=f"samples per training step (default {job.DEFAULT_BATCH_SIZE})",
    )
    parser.add_argument(
        "--learning-rate",
        type=positive_float,
        default=job.DEFAULT_LEARNING_RATE,
        help=f"peak learning rate (default {job.DEFAULT_LEARNING_RATE})",
    )
    parser.add_argument("--resume", action="store_true", help=resume_help)
    parser.add_argument(
        "--devices",
        type=positive_int,
        help="train on this many devices of this machine: GPUs, else logical CPU devices (default: one; as a "
        "worker of the cluster TF_CONFIG names, all its GPUs); --batch-size stays the global batch",
    )
    default_decay = getattr(job, "DEFAULT_EMA_DECAY", None)
    parser.add_argument(
        "--ema-decay",
        type=decay,
        default=default_decay,
        help="validate and save a moving average of the weights with this decay per step "
        f"(default {default_decay if default_decay is not None else 'none'})",
    )
    parser.add_argument(
        "--deterministic",
        action="store_true",
        help="bit-identical runs from the same --seed on the same machine (TensorFlow's op determinism: slower)",
    )
    parser.add_argument(
        "--cache",
        choices=("ram", "disk"),
        help="keep the decoded training images in memory (ram) or as files (disk), so that epochs after the first "
        "do not decode them again (default: decode every epoch)",
    )
    parser.add_argument("--cache-dir", metavar="FOLDER", help="folder of the disk cache (default: OUT/run/cache)")


def existing_path(text):
    import os

    if not os.path.exists(text):
        raise argparse.ArgumentTypeError(f"no such file or folder: {text!r}")
    return text


def backbone_weights(text):
    return text if text == "imagenet" else existing_path(text)


def add_model_options(parser, task):
    """Declares --weights (every task) and, for detect, --backbone and --backbone-weights."""
    parser.add_argument(
        "--weights",
        type=existing_path,
        metavar="PATH",
        help="start from this model file or run folder (its best.h5): layers whose names and shapes match are loaded",
    )
    if task == "detect":
        parser.add_argument(
            "--backbone",
            choices=BACKBONES,
            help="a Keras Applications network as the detector's backbone (default: the built-in one)",
        )
        parser.add_argument(
            "--backbone-weights",
            type=backbone_weights,
            metavar="imagenet|PATH",
            help="the backbone's starting weights: imagenet (downloaded by Keras) or a weights file of that "
            "network (default: random)",
        )


def add_decode_option(parser):
    """Declares --full-decode, for the jobs whose datasets can decode JPEGs at a reduced scale."""
    parser.add_argument(
        "--full-decode",
        action="store_true",
        help="decode training JPEGs at full size (default: at the reduced scale the input size allows)",
    )


def option_values(args, *names):
    """The values of the options ``names`` of the parsed ``args``, as keyword arguments of the function a
    command calls."""
    return {name: getattr(args, name) for name in names}


def training_options(args):
    """The values of the options of ``add_training_options``, as the job functions' keyword arguments."""
    return option_values(
        args,
        "epochs",
        "seed",
        "batch_size",
        "learning_rate",
        "resume",
        "deterministic",
        "ema_decay",
        "cache",
        "cache_dir",
    )


def run_training(run, command, resume):
    """Calls ``run()`` with the training output kept readable; returns the exit status.

    Stopped with Ctrl-C, it prints how to go on (``command`` with --resume)
    and returns 130.
    """
    # Keras warns on every .h5 save that the format is legacy; the trainers
    # write .h5 on purpose, three times an epoch.
    from quillon.forgeline.console import colour_only_on_terminal, quiet_tensorflow

    quiet_tensorflow()
    colour_only_on_terminal()
    import absl.logging

    absl.logging.set_verbosity(absl.logging.ERROR)
    try:
        with warnings.catch_warnings():
            # The trainers warn at every save that MLflow is missing; once is enough here.
            warnings.filterwarnings("once", message="MLFlow is not installed")
            run()
    except KeyboardInterrupt:
        command = " ".join(command)
        if not resume:
            command += " --resume"
        print(f"\nStopped. The run goes on from its last finished epoch with: {command}", file=sys.stderr)
        return 130
    return 0
