"""The ``data`` command: ``data convert`` (COCO, VOC to the Darknet layout) and ``data check`` (a data set
read as training reads it). Neither imports TensorFlow until it runs."""

import argparse

from quillon.forgeline.console import quiet_tensorflow
from quillon.forgeline.data.convert import FORMATS
from quillon.forgeline.jobs.options import non_negative_int, option_values


def _val_fraction(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1 (both left out), got {text}")
    return value


def add_data_command(subcommands):
    """Adds ``data convert`` and ``data check`` to the toolkit's command line."""
    parser = subcommands.add_parser(
        "data", help="convert annotations to the Darknet layout, check a data set", description="Data set tools."
    )
    tools = parser.add_subparsers(dest="tool", required=True, metavar="TOOL")

    convert = tools.add_parser(
        "convert",
        help="convert COCO or Pascal VOC annotations to the Darknet layout that train detect reads, or split one",
        description="Writes OUT/train (and OUT/validation) images and labels folders and OUT/data.yaml. Boxes are "
        "kept exactly (pixels to fractions of each image's size); whatever is left out (crowd regions, missing "
        "images, unknown categories...) is counted and named.",
    )
    convert.add_argument(
        "--from",
        dest="source_format",
        required=True,
        choices=FORMATS,
        help="darknet: a labels folder to split (with --val-fraction), its files copied as they are",
    )
    convert.add_argument(
        "--annotations",
        required=True,
        help="the COCO JSON file, the folder of VOC XML files (one per image) or the Darknet labels folder",
    )
    convert.add_argument("--images", required=True, help="the folder the annotations' file names are in")
    convert.add_argument("--out", required=True, help="a new (or empty) folder for the converted data set")
    convert.add_argument(
        "--val-fraction",
        type=_val_fraction,
        metavar="F",
        help="hold out this share of the images for validation (default: none; validation uses the training images)",
    )
    convert.add_argument("--seed", type=non_negative_int, default=0, help="seed of the split (default 0)")
    convert.add_argument("--copy", action="store_true", help="copy the images (default: symbolic links to them)")
    convert.add_argument(
        "--classes",
        nargs="+",
        metavar="NAME",
        help="VOC: the classes in label order (default: the files', sorted); darknet: the class names (required)",
    )
    convert.add_argument("--drop-difficult", action="store_true", help="VOC: leave out objects marked difficult")
    convert.add_argument(
        "--masks",
        action="store_true",
        help="COCO: also write the polygons as class-index masks (0 the background) and OUT/segment.yaml",
    )
    convert.set_defaults(run=_run_convert)

    check = tools.add_parser(
        "check",
        help="read a data set as training does and report what is in it and what is wrong",
        description="Reports per split: images, objects and objects per class, images without annotations, "
        "annotation problems (file and line), images that do not decode, EXIF-rotated photos, duplicate images "
        "(detection); mask values and pixels per class (segmentation); angles (head pose). Exits with 1 when "
        "training would fail or leave data out.",
    )
    check.add_argument("data", metavar="DATA.yaml", help="the data description train reads")
    check.add_argument("--out", help="folder for the report and its plots (PNG)")
    check.set_defaults(run=_run_check)


def _run_convert(args):
    from quillon.forgeline.data.convert import convert

    if args.source_format == "darknet":  # the datasets' reader and pairing come with TensorFlow
        quiet_tensorflow()

    convert(
        args.source_format,
        args.annotations,
        args.images,
        args.out,
        **option_values(args, "val_fraction", "seed", "copy", "classes", "drop_difficult", "masks"),
    )


def _run_check(args):
    quiet_tensorflow()  # the datasets' readers come with TensorFlow
    from quillon.forgeline.data.check import check

    return check(args.data, out=args.out)
