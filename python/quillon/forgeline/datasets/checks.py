"""Checks of a data set's files before training, by the loaders' own reading rules.

A label file is read with the Darknet loader's reader, so a file the check
passes is one the loader reads, and a file the loader refuses is refused here
first. The check is stricter than the loader where the loader silently
repairs: it clips boxes to the image, so a box far outside it (labels in
pixel units, say) or of zero size would vanish from training without a word.
"""

from quillon.forgeline.datasets.darknet import read_darknet_labels

# Box values this far beyond [0, 1] are rounding in the tool that wrote them.
COORDINATE_TOLERANCE = 0.01
# Values above this are no fraction of the image size at all.
PIXEL_UNITS_ABOVE = 2.0


def darknet_label_problems(path, num_classes):
    """What is wrong with the Darknet label file ``path``, one "FILE:LINE: problem" text each.

    Looks for class indices that are not a whole number in ``0..num_classes-1``,
    box values (``cx cy w h``) outside [0, 1] beyond a small tolerance, and
    boxes of zero size. An empty list means the file is sound. A malformed file
    (not five finite numbers a line) raises the reader's ``ValueError``, which
    names the file and line.
    """
    rows, lines = read_darknet_labels(path, line_numbers=True)
    problems = []
    for (label, *box), line in zip(rows.tolist(), lines.tolist()):
        where = f"{path}:{line}"
        if not label.is_integer() or not 0 <= label < num_classes:
            problems.append(f"{where}: class {label:g} is not one of the {num_classes} classes (0..{num_classes - 1})")
        if any(not -COORDINATE_TOLERANCE <= value <= 1 + COORDINATE_TOLERANCE for value in box):
            hint = ""
            if max(box) > PIXEL_UNITS_ABOVE:
                hint = "; these look like pixel units: divide cx and w by the image width, cy and h by its height"
            problems.append(f"{where}: box {' '.join(f'{value:g}' for value in box)} lies outside [0, 1]{hint}")
        elif box[2] <= 0 or box[3] <= 0:
            problems.append(f"{where}: box {' '.join(f'{value:g}' for value in box)} has zero size")
    return problems
