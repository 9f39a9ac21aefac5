"""The toolkit's command line: ``python -m quillon.forgeline COMMAND [options]`` (or ``forgeline COMMAND``).

Each command is one ``_add_<name>_command`` function registered in
``build_parser``: it declares the options and sets ``run`` to a function that
imports the heavy modules (TensorFlow) only when the command runs, so
``--help`` answers at once.
"""

import sys

from quillon.forgeline.console import quiet_tensorflow
from quillon.forgeline.deploy import settings
from quillon.forgeline.jobs.options import (
    CommandParser,
    add_version_option,
    fraction,
    option_values,
    positive_int,
    report_user_errors,
)

# The commands that run TensorFlow (the data commands mostly do not: they should not wait for it).
TENSORFLOW_COMMANDS = ("train", "predict", "export")


def _add_task_option(parser):
    parser.add_argument(
        "--task", choices=settings.TASKS, help="the model's task when there is no config.json beside it"
    )


def _add_predict_command(subcommands):
    parser = subcommands.add_parser(
        "predict",
        help="run a trained model on images and write the results",
        description="Runs the model of a run folder (best.h5, else last.h5) or a model file on an image, a folder or "
        "a glob, in batches, with the preprocessing of training and the evaluator's decoding. Detection writes "
        "OUT/images (drawn), OUT/labels (Darknet files) and OUT/predictions.json (COCO results); segmentation "
        "OUT/masks and OUT/overlays; head pose OUT/predictions.json. Unreadable images are named, skipped and counted.",
    )
    parser.add_argument("model", metavar="RUN_OR_MODEL", help="run folder (with labels.txt, config.json) or model file")
    parser.add_argument("source", metavar="SOURCE", help="image file, folder of images, or glob pattern (quote it)")
    parser.add_argument("--out", default="runs/predict", help="output folder (default %(default)s)")
    parser.add_argument(
        "--exist-ok",
        action="store_true",
        help="replace the results of an earlier predict in OUT (by default they are kept and predict refuses)",
    )
    parser.add_argument(
        "--batch-size",
        type=positive_int,
        default=settings.DEFAULT_BATCH_SIZE,
        help="images per model call (default %(default)s)",
    )
    parser.add_argument(
        "--score-threshold",
        type=fraction,
        help="detection: lowest score reported (default: where F1 peaked in the validation of the model in "
        f"best.h5, recorded in the run's thresholds.json; else {settings.DEFAULT_SCORE_THRESHOLD})",
    )
    parser.add_argument(
        "--nms-iou",
        type=fraction,
        default=settings.DEFAULT_NMS_IOU,
        help="detection: overlap above which the lower-scored box of a class is dropped (default %(default)s)",
    )
    parser.add_argument(
        "--max-detections",
        type=positive_int,
        default=settings.DEFAULT_MAX_DETECTIONS,
        help="detection: most detections per image (default %(default)s)",
    )
    _add_task_option(parser)
    parser.set_defaults(run=_run_predict)


def _run_predict(args):
    from quillon.forgeline.deploy.predict import predict

    predict(
        args.model,
        args.source,
        args.out,
        **option_values(args, "batch_size", "score_threshold", "nms_iou", "max_detections", "task", "exist_ok"),
    )


def _add_export_command(subcommands):
    parser = subcommands.add_parser(
        "export",
        help="write the model as a SavedModel, TF Lite or ONNX file for deployment",
        description="Writes the model of a run folder (best.h5, else last.h5) or a model file with named outputs and "
        "a JSON beside it (input, preprocessing, classes, outputs, decoding), then runs the exported file on a "
        "sample image and compares it with Keras; fails when they differ beyond the tolerance.",
    )
    parser.add_argument("model", metavar="RUN_OR_MODEL", help="run folder (with labels.txt, config.json) or model file")
    parser.add_argument(
        "--format",
        required=True,
        choices=settings.EXPORT_FORMATS,
        help="onnx needs the [onnx] extra (tf2onnx, onnxruntime)",
    )
    parser.add_argument("--out", help="output folder (default: beside the model)")
    parser.add_argument("--nchw", action="store_true", help="channels-first input [batch, 3, height, width]")
    parser.add_argument("--half", action="store_true", help="float16 weights (tflite, onnx)")
    parser.add_argument("--sample", help="image for the comparison with Keras (default: a seeded random image)")
    parser.add_argument(
        "--tolerance",
        type=float,
        help="largest max |difference| / max(1, max |Keras output|) accepted (default 1e-4, with --half 2e-2)",
    )
    _add_task_option(parser)
    parser.set_defaults(run=_run_export)


def _run_export(args):
    from quillon.forgeline.deploy.export import export

    export(args.model, args.format, **option_values(args, "out", "nchw", "half", "sample", "tolerance", "task"))


def _add_train_command(subcommands):
    # The options and checks import no TensorFlow; the job is imported when it runs.
    from quillon.forgeline.jobs.train import add_train_command

    add_train_command(subcommands)


def _add_data_command(subcommands):
    from quillon.forgeline.data.commands import add_data_command

    add_data_command(subcommands)


def build_parser():
    parser = CommandParser(prog="forgeline", description="The quillon forgeline toolkit's commands.")
    add_version_option(parser)
    subcommands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _add_predict_command(subcommands)
    _add_export_command(subcommands)
    _add_train_command(subcommands)
    _add_data_command(subcommands)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    args.argv = list(argv if argv is not None else sys.argv[1:])
    if args.command in TENSORFLOW_COMMANDS:
        # Before anything of the command imports TensorFlow: its start-up lines are held back.
        quiet_tensorflow()
    return report_user_errors(f"forgeline {args.command}", lambda: args.run(args))


if __name__ == "__main__":
    sys.exit(main())
