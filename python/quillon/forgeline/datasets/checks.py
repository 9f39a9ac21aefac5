"""The readers of a data set's files that checks and datasets share, and the checks built on them.

YAML files (data descriptions, configurations) are read here for the
datasets and the ``train`` command alike. A label file is read with the
Darknet loader's reader, so a file the check passes is one the loader reads,
and a file the loader refuses is refused here first. The check is stricter
than the loader where the loader silently repairs: it clips boxes to the
image, so a box far outside it (labels in pixel units, say) or of zero size
would vanish from training without a word.
"""

import os

# Box values this far beyond [0, 1] are rounding in the tool that wrote them.
COORDINATE_TOLERANCE = 0.01
# Values above this are no fraction of the image size at all.
PIXEL_UNITS_ABOVE = 2.0


def load_yaml(path, what):
    """The plain data (``yaml.safe_load``: no Python objects from tags) of the YAML file ``path``.

    The file is UTF-8 text (a byte-order mark is allowed). Text that is not
    UTF-8 and nesting too deep to parse raise ``ValueError`` naming ``what``
    and the file; PyYAML's own error propagates for text that is not YAML.
    """
    import yaml  # at the point of use: the dataset modules import without PyYAML

    try:
        with open(path, encoding="utf-8") as stream:
            return yaml.safe_load(stream)
    except UnicodeDecodeError as error:
        raise ValueError(f"{what} {path} is not UTF-8 text: {error}") from error
    except RecursionError as error:
        raise ValueError(f"{what} {path} is nested too deeply to read") from error


def read_yaml_mapping(path, what):
    """The mapping that the YAML file ``path`` holds (see ``load_yaml``); ``what`` names the file in errors.

    Every failure is a ``FileNotFoundError`` or ``ValueError`` naming the file.
    """
    import yaml

    if not os.path.isfile(path):
        raise FileNotFoundError(f"{what} not found: {path}")
    try:
        content = load_yaml(path, what)
    except yaml.YAMLError as error:
        raise ValueError(f"{what} {path} is not valid YAML: {error}") from error
    if not isinstance(content, dict):
        raise ValueError(f"{what} {path} must hold a YAML mapping (key: value lines), got {type(content).__name__}")
    return content


def darknet_label_problems(path, num_classes):
    """What is wrong with the Darknet label file ``path``, one "FILE:LINE: problem" text each.

    Looks for class indices that are not a whole number in ``0..num_classes-1``,
    box values (``cx cy w h``) outside [0, 1] beyond a small tolerance, and
    boxes of zero size. An empty list means the file is sound. A malformed file
    (not five finite numbers a line) raises the reader's ``ValueError``, which
    names the file and line.
    """
    # The loader's module imports TensorFlow: only label checks pay for that.
    from quillon.forgeline.datasets.darknet import read_darknet_labels

    rows, lines = read_darknet_labels(path, line_numbers=True)
    problems = []
    for (label, *box), line in zip(rows.tolist(), lines.tolist()):
        where = f"{path}:{line}"
        if not label.is_integer() or not 0 <= label < num_classes:
            problems.append(f"{where}: class {label:g} is not one of the {num_classes} classes (0..{num_classes - 1})")
        problem = _box_problem(box)
        if problem:
            problems.append(f"{where}: box {' '.join(f'{value:g}' for value in box)} {problem}")
    return problems


def _box_problem(box):
    """Why the loader clips the box ``cx cy w h`` (outside [0, 1], zero size), or ""."""
    if any(not -COORDINATE_TOLERANCE <= value <= 1 + COORDINATE_TOLERANCE for value in box):
        hint = ""
        if max(box) > PIXEL_UNITS_ABOVE:
            hint = "; these look like pixel units: divide cx and w by the image width, cy and h by its height"
        return f"lies outside [0, 1]{hint}"
    if box[2] <= 0 or box[3] <= 0:
        return "has zero size"
    return ""


def label_files_with_clipped_boxes(paths):
    """The Darknet label files among ``paths`` holding a box that the loader
    clips (outside [0, 1] or of zero size). Files that cannot be read or are
    malformed are left to the loader, which names them."""
    from quillon.forgeline.datasets.darknet import read_darknet_labels

    clipped = []
    for path in paths:
        try:
            rows = read_darknet_labels(path)
        except (OSError, ValueError):
            continue
        if any(_box_problem(box) for box in rows[:, 1:].tolist()):
            clipped.append(path)
    return clipped
