"""The ``train`` command: ``python -m quillon.forgeline train TASK --data DATA.yaml --out FOLDER [options]``.

Each task's options are declared here and their values come, in this order
of precedence, from the command line, the ``--config`` file and the
defaults. The effective options go into the run's config.json, so
``--config FOLDER/run/config.json`` repeats a run. Everything the options and
the data description can get wrong is named before anything is written; the
job (``quillon.forgeline.jobs.detect`` etc.) is imported only then (TensorFlow
too, unless the data check's readers, those of the datasets, brought it in).
"""

import argparse
import difflib
import importlib
import os

from quillon.forgeline.datasets.augmentation_names import AUGMENTATIONS
from quillon.forgeline.datasets.utils import find_images, image_problem
from quillon.forgeline.jobs import defaults, descriptions
from quillon.forgeline.jobs.options import (
    DEFAULT_DETECTION_AUGMENTATION,
    DEFAULT_MODEL_SIZE,
    MODEL_SIZES,
    add_decode_option,
    add_model_options,
    add_training_options,
    fraction,
    positive_int,
    run_training,
    training_options,
)
from quillon.forgeline.jobs.run_folder import FinishedRun, new_run_folder, resume_plan

# Keys a job writes to config.json that are not options: a config file may hold them; they are ignored.
INFORMATION_KEYS = (
    "classes",
    "input_shape",
    "schedule",
    "augmentation",
    "loss",
    "angles",
    "num_bins",
    "angle_range",
    "train_images",
    "validation_images",
    "reduced_decode",
    "replicas",
)
# The share of a split's images that may fail the header check: they are left out with a warning. More
# refuses: that is a folder of another format (HEIC or WebP files named .jpg, say), not a few damaged files.
UNREADABLE_SHARE = 0.1
# Options given on the command line only.
COMMAND_LINE_ONLY = ("config", "resume")


def _detect_size(size):
    return None if size % 32 == 0 else "a multiple of 32"


def _segment_size(size):
    return None if size % 4 == 0 else "a multiple of 4"


def _headpose_size(size):
    return None if size >= 16 else "16 or more"


# task -> (job defaults, job module and function, what the input size must be, data layout for the help)
TASKS = {
    "detect": (
        defaults.DETECT,
        "detect.train_detection",
        _detect_size,
        "a Darknet description: type: darknet, classes, train/validation images and annotations folders",
    ),
    "segment": (
        defaults.SEGMENT,
        "segment.train_segmentation",
        _segment_size,
        "classes (index = mask value, 0 the background), train/validation images and masks folders",
    ),
    "headpose": (
        defaults.HEADPOSE,
        "headpose.train_headpose",
        _headpose_size,
        "train/validation images and annotations folders (MATLAB or JSON pose files)",
    ),
}


def add_train_command(subcommands):
    """Adds ``train`` and its task subcommands to the toolkit's command line."""
    parser = subcommands.add_parser(
        "train",
        help="train a reference model on your own data",
        description="Trains the toolkit's reference model for a task on a data description, validates it and writes "
        "the run folder OUT/run (config.json, model files, TensorBoard logs, training state).",
    )
    tasks = parser.add_subparsers(dest="task", required=True, metavar="TASK")
    for task, (job, _, _, layout) in TASKS.items():
        task_parser = tasks.add_parser(
            task, help=f"train the reference {task} model", description=f"DATA.yaml holds {layout} (docs/jobs.md)."
        )
        required = task_parser.add_argument_group("required (on the command line or in --config)")
        required.add_argument("--data", metavar="DATA.yaml", help="the data description")
        required.add_argument("--out", help="output folder: the run goes to OUT/run")
        task_parser.add_argument(
            "--config",
            metavar="FILE.yaml",
            help="options as YAML keys (batch_size: 8); the command line overrides them; "
            "a run's config.json repeats that run",
        )
        task_parser.add_argument(
            "--input-size",
            type=positive_int,
            default=job.DEFAULT_INPUT_SIZE,
            help=f"side of the square model input (default {job.DEFAULT_INPUT_SIZE})",
        )
        task_parser.add_argument(
            "--model-size",
            choices=MODEL_SIZES,
            default=DEFAULT_MODEL_SIZE,
            help=f"channels of the reference model (default {DEFAULT_MODEL_SIZE})",
        )
        add_training_options(
            task_parser,
            job,
            seed_help="seed of the weights and the augmentation",
            resume_help="continue the stopped run in OUT/run from its last finished epoch, up to --epochs",
        )
        add_model_options(task_parser, task)
        if task != "segment":
            add_decode_option(task_parser)
        augmentations = {}
        if task == "detect":
            for name in AUGMENTATIONS:
                task_parser.add_argument(
                    f"--{name.replace('_', '-')}",
                    dest=f"augment_{name}",
                    type=fraction,
                    metavar="P",
                    help=f"probability of the {name} augmentation per sample "
                    f"(default {DEFAULT_DETECTION_AUGMENTATION.get(name, 0)})",
                )
                augmentations[f"augment_{name}"] = name
        elif task == "segment":
            task_parser.add_argument(
                "--no-flip",
                dest="flip",
                action="store_const",
                const=False,
                default=True,
                help="do not mirror training samples (by default half are mirrored left-right)",
            )
        else:
            task_parser.add_argument(
                "--annotations",
                choices=defaults.HEADPOSE.ANNOTATION_FORMATS,
                default="json",
                help="json: head crops from the boxes, randomly mirrored; mat: whole images, "
                "MATLAB pose files (default json)",
            )
        _defer_defaults(task_parser, augmentations)
    return parser


def _defer_defaults(parser, augmentations):
    """Makes every option that is not given None, and keeps the defaults and actions for ``effective_options``.

    The parser's defaults cannot stay: a default is indistinguishable from
    a value given on the command line, which overrides the config file.
    """
    actions = {
        action.dest: action
        for action in parser._actions
        if action.option_strings and action.dest not in ("help", *COMMAND_LINE_ONLY, *augmentations)
    }
    option_defaults = {dest: action.default for dest, action in actions.items()}
    if augmentations:
        option_defaults["augmentation"] = dict(DEFAULT_DETECTION_AUGMENTATION)
    parser.set_defaults(
        **dict.fromkeys(actions),
        resume=None,
        option_defaults=option_defaults,
        option_actions=actions,
        augmentations=augmentations,
        run=run,
    )


def effective_options(args):
    """The task's options: the command line's, else the config file's, else the defaults."""
    from_file = _read_config(args.config, args) if args.config else {}
    options = {}
    for key, default in args.option_defaults.items():
        given = getattr(args, key, None)
        options[key] = given if given is not None else from_file.get(key, default)
    if args.augmentations:
        options["augmentation"] = dict(options["augmentation"])
        for dest, name in args.augmentations.items():
            if getattr(args, dest) is not None:
                options["augmentation"][name] = getattr(args, dest)
    return options


def _read_config(path, args):
    content = descriptions.read_yaml_mapping(path, "configuration")
    task = content.get("task", args.task)
    if task != args.task:
        raise ValueError(f"configuration {path} is for the task {task!r}, not {args.task!r}")
    options = {}
    for key, value in content.items():
        if key in args.option_defaults:
            if value is not None:  # null: the default, as config.json records an option left unset
                options[key] = _checked_value(path, key, value, args)
        elif key in COMMAND_LINE_ONLY:
            raise ValueError(f"configuration {path}: {key!r} is given on the command line only (--{key})")
        elif key != "task" and key not in INFORMATION_KEYS:
            close = difflib.get_close_matches(str(key).replace("-", "_"), list(args.option_defaults), n=1)
            hint = f"did you mean {close[0]!r}? " if close else ""
            known = ", ".join(sorted(args.option_defaults))
            raise ValueError(
                f"configuration {path}: unknown option {key!r} for train {args.task} ({hint}options: {known})"
            )
    return options


def _checked_value(path, key, value, args):
    """``value`` converted and checked as the command line would; ValueError naming the file and key if wrong."""
    if key == "augmentation":
        if not isinstance(value, dict):
            raise ValueError(
                f"configuration {path}: 'augmentation' must map augmentations to probabilities, got {value!r}"
            )
        for name, probability in value.items():
            if name not in AUGMENTATIONS:
                raise ValueError(
                    f"configuration {path}: unknown augmentation {name!r} (known: {', '.join(AUGMENTATIONS)})"
                )
            _convert(path, f"augmentation.{name}", probability, fraction)
        return dict(value)
    action = args.option_actions[key]
    if action.nargs == 0:  # a switch: true or false in a file
        if not isinstance(value, bool):
            raise ValueError(f"configuration {path}: {key!r} must be true or false, got {value!r}")
        return value
    value = _convert(path, key, value, action.type or str)
    if action.choices and value not in action.choices:
        raise ValueError(f"configuration {path}: {key!r} must be one of {', '.join(action.choices)}, got {value!r}")
    return value


def _convert(path, key, value, convert):
    if isinstance(value, bool) or not isinstance(value, (str, int, float)):
        raise ValueError(f"configuration {path}: {key!r} must be a single value, got {value!r}")
    try:
        return convert(str(value))
    except argparse.ArgumentTypeError as error:
        raise ValueError(f"configuration {path}: {key!r} {error}") from None


def run(args):
    """Runs ``train TASK``: checks the options and the data, then trains; returns the exit status."""
    options = effective_options(args)
    for key in ("data", "out"):
        if options[key] is None:
            raise ValueError(f"train {args.task}: --{key} is required (on the command line or as {key!r} in --config)")
    _, job_name, size_rule, _ = TASKS[args.task]
    problem = size_rule(options["input_size"])
    if problem:
        raise ValueError(
            f"train {args.task}: --input-size must be {problem} for the reference model, got {options['input_size']}"
        )
    for key in ("data", "out", "weights", "backbone_weights"):
        if options.get(key) not in (None, "imagenet"):
            options[key] = os.path.abspath(options[key])
    if not args.resume:
        new_run_folder(options["out"])  # refuses an existing run before the data is even read

    if args.task == "detect":
        descriptions.check_detection_description(options["data"])
        data = (options["data"],)
    elif args.task == "segment":
        data = (descriptions.read_segmentation_description(options["data"]), options["data"])
    else:
        data = (
            descriptions.read_headpose_description(options["data"], options["annotations"]),
            options["annotations"],
            options["data"],
        )
    skip_images = unreadable_images(options["data"])
    try:
        resume = resume_plan(options["out"], bool(args.resume), options, options["epochs"])
    except FinishedRun as finished:
        print(finished)
        return 0
    for key, value in options.items():
        setattr(args, key, value)
    args.resume = resume
    shared = training_options(args)
    extra = {key: value for key, value in options.items() if key not in (*shared, "data", "out", "annotations")}
    module_name, function_name = job_name.split(".")

    devices = extra.pop("devices")
    if "full_decode" in extra:
        extra["reduced_decode"] = not extra.pop("full_decode")
    extra["skip_images"] = skip_images

    def train():
        from quillon.forgeline.jobs.scaling import job_strategy

        strategy = job_strategy(devices)  # configures devices: before TensorFlow's first operation
        job = getattr(importlib.import_module(f"quillon.forgeline.jobs.{module_name}"), function_name)
        job(*data, options["out"], **shared, **extra, record=options, strategy=strategy)

    return run_training(train, ["python -m quillon.forgeline", *args.argv], resume)


def unreadable_images(path):
    """The image files of the description ``path`` that cannot be decoded (a header check), for the job to leave out.

    They are named in one warning per split; a split where they are more than
    ``UNREADABLE_SHARE`` of the images raises ValueError naming the first.
    """
    description = descriptions.read_yaml_mapping(path, "data description")
    left_out = []
    for section in ("train", "validation"):
        images = find_images(description[section]["images"], sort=True)
        problems = [(image, problem) for image in images if (problem := image_problem(image)) is not None]
        if not problems:
            continue
        named = "; ".join(f"{image}: {problem}" for image, problem in problems[:3])
        if len(problems) > UNREADABLE_SHARE * len(images):
            raise ValueError(
                f"data description {path}: {len(problems)} of the {len(images)} {section} images cannot be decoded, "
                f"more than the {UNREADABLE_SHARE:.0%} that training leaves out ({named})"
            )
        print(f"\t - [WARNING]: {len(problems)} {section} images cannot be decoded and are left out ({named})")
        left_out += [image for image, _ in problems]
    return left_out
