"""Command line of the demos: ``python -m quillon.forgeline.demo COMMAND [options]``.

Each demo is one subcommand; add one with an ``_add_<name>_command``
function registered in ``build_parser``, next to its module in this package.
The parser reads only the defaults (the jobs' and the demos' image counts) and a job's module (which imports
TensorFlow) is imported when the job runs, so ``--help`` answers at once.
"""

import importlib
import sys

from quillon.forgeline.demo.defaults import IMAGES
from quillon.forgeline.jobs import defaults
from quillon.forgeline.jobs.options import (
    CommandParser,
    add_decode_option,
    add_training_options,
    add_version_option,
    positive_int,
    report_user_errors,
    run_training,
    training_options,
)
from quillon.forgeline.jobs.run_folder import FinishedRun, resume_plan


def _add_job(subcommands, name, job, help, description, validation_share):
    """Adds the subcommand ``name`` with the options every job takes; returns its parser.

    ``job`` holds the job's DEFAULT_* values (``jobs.defaults``): they are the defaults.
    """
    parser = subcommands.add_parser(name, help=help, description=description)
    parser.add_argument("--out", default=f"runs/{name}", help="output folder (default %(default)s)")
    parser.add_argument(
        "--images",
        type=positive_int,
        default=IMAGES[name],
        help=f"training images; validation gets {validation_share} as many (default %(default)s)",
    )
    add_training_options(
        parser,
        job,
        seed_help="seed of data and weights",
        resume_help="continue the stopped run in OUT/run from its last finished epoch, up to --epochs",
    )
    return parser


def _job(name):
    """The job's module, imported when the job runs."""
    return importlib.import_module(f"quillon.forgeline.demo.{name}")


def _common_options(args):
    return dict(images=args.images, strategy=args.strategy, **training_options(args))


def _add_detect_command(subcommands):
    parser = _add_job(
        subcommands,
        "detect",
        defaults.DETECT,
        help="train a small detector on built-in shapes data",
        description="Generates a Darknet dataset of shapes into OUT/data (reused when present), trains the "
        "reference detector with DetectionTrainer, validates after every epoch and writes the run to OUT/run.",
        validation_share="a quarter",
    )
    add_decode_option(parser)
    parser.set_defaults(
        run=lambda args: _job("detect").run_detection_demo(
            args.out, reduced_decode=not args.full_decode, **_common_options(args)
        )
    )


def _add_segment_command(subcommands):
    parser = _add_job(
        subcommands,
        "segment",
        defaults.SEGMENT,
        help="train a small segmenter on built-in shapes masks",
        description="Generates images and class masks of shapes into OUT/data (reused when present), trains the "
        "reference U-Net with SegmentationTrainer, validates after every epoch and writes the run to OUT/run.",
        validation_share="a sixth",
    )
    parser.set_defaults(run=lambda args: _job("segment").run_segmentation_demo(args.out, **_common_options(args)))


def _add_headpose_command(subcommands):
    parser = _add_job(
        subcommands,
        "headpose",
        defaults.HEADPOSE,
        help="train a small head-pose model on built-in synthetic heads",
        description="Generates synthetic heads with MATLAB and JSON pose annotations into OUT/data (reused when "
        "present), trains the reference attitude model, validates its pitch, yaw and roll errors after every "
        "epoch and writes the run to OUT/run.",
        validation_share="a quarter",
    )
    parser.add_argument(
        "--annotations",
        choices=defaults.HEADPOSE.ANNOTATION_FORMATS,
        default="json",
        help="json: head crops from the boxes, randomly mirrored; mat: whole images (default %(default)s)",
    )
    add_decode_option(parser)
    parser.set_defaults(
        run=lambda args: _job("headpose").run_headpose_demo(
            args.out, annotations=args.annotations, reduced_decode=not args.full_decode, **_common_options(args)
        )
    )


def build_parser():
    parser = CommandParser(
        prog="python -m quillon.forgeline.demo",
        description="Train a model end to end on built-in data with the toolkit's trainers.",
    )
    add_version_option(parser)
    subcommands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _add_detect_command(subcommands)
    _add_segment_command(subcommands)
    _add_headpose_command(subcommands)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    command = ["python -m quillon.forgeline.demo", *(argv if argv is not None else sys.argv[1:])]

    def run():
        from quillon.forgeline.jobs.scaling import job_strategy

        args.strategy = job_strategy(args.devices)  # configures devices: before TensorFlow's first operation
        args.run(args)

    def demo():
        try:
            args.resume = resume_plan(args.out, args.resume, _fixed_options(args), args.epochs)
        except FinishedRun as finished:
            print(finished)
            return 0
        return run_training(run, command, args.resume)

    return report_user_errors(f"demo {args.command}", demo)


def _fixed_options(args):
    """The options a resumed demo run must keep, as its config.json records them."""
    fixed = {}
    if hasattr(args, "full_decode"):
        fixed["reduced_decode"] = not args.full_decode
    if hasattr(args, "annotations"):
        fixed["annotations"] = args.annotations
    return fixed


if __name__ == "__main__":
    sys.exit(main())
