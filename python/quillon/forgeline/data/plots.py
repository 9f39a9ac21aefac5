"""The figures of ``data check --out``: PNG files, drawn with matplotlib off screen, one series per split."""

import os

import numpy as np

from quillon.forgeline.run_files import save_atomically

ANGLES = ("pitch", "yaw", "roll")


def write_plots(task, classes, splits, out):
    """Writes the task's figures into the folder ``out``; returns their paths."""
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot

    figures = {}
    if task in ("detect", "segment"):
        figures["objects_per_class.png" if task == "detect" else "pixels_per_class.png"] = _per_class(
            pyplot, classes, splits, "objects" if task == "detect" else "pixels"
        )
    if task == "detect":
        figures["box_sizes.png"] = _scatter(
            pyplot, splits, (3, 4), "box width / image width", "box height / image height"
        )
        figures["box_centres.png"] = _scatter(
            pyplot, splits, (1, 2), "centre x / image width", "centre y / image height"
        )
        figures["box_centres.png"].axes[0].invert_yaxis()  # as on the image: y grows downwards
        figures["objects_per_image.png"] = _objects_per_image(pyplot, splits)
    if task == "headpose":
        figures["angles.png"] = _angles(pyplot, splits)
    paths = []
    for name, figure in figures.items():
        path = os.path.join(out, name)
        save_atomically(path, lambda temporary, figure=figure: figure.savefig(temporary, format="png", dpi=100))
        pyplot.close(figure)
        paths.append(path)
    return paths


def _per_class(pyplot, classes, splits, unit):
    """Bars per class and split; mask values beyond the classes get bars of their own, named as such."""
    beyond = sorted({value for split in splits for value in split.per_class if value >= len(classes)})
    names = [*classes, *(f"{value} (no class)" for value in beyond)]
    figure, axes = pyplot.subplots(figsize=(max(6, 0.5 * len(names) + 2), 4))
    width = 0.8 / len(splits)
    positions = np.arange(len(names))
    for number, split in enumerate(splits):
        counts = [split.per_class[value] for value in (*range(len(classes)), *beyond)]
        axes.bar(positions + number * width, counts, width, label=split.name)
    axes.set_xticks(positions + width * (len(splits) - 1) / 2, names, rotation=45, ha="right")
    axes.set_ylabel(unit)
    axes.set_title(f"{unit.capitalize()} per class")
    if unit == "pixels":
        axes.set_yscale("log")
    axes.legend()
    figure.tight_layout()
    return figure


def _scatter(pyplot, splits, columns, x_label, y_label):
    figure, axes = pyplot.subplots(figsize=(5, 5))
    for split in splits:
        axes.scatter(split.boxes[:, columns[0]], split.boxes[:, columns[1]], s=4, alpha=0.5, label=split.name)
    axes.set_xlim(0, 1)
    axes.set_ylim(0, 1)
    axes.set_xlabel(x_label)
    axes.set_ylabel(y_label)
    axes.legend()
    figure.tight_layout()
    return figure


def _objects_per_image(pyplot, splits):
    figure, axes = pyplot.subplots(figsize=(6, 4))
    most = max((max(split.objects_per_image, default=0) for split in splits), default=0)
    bins = np.arange(most + 2) - 0.5
    axes.hist([split.objects_per_image for split in splits], bins=bins, label=[split.name for split in splits])
    axes.set_xlabel("objects in the image")
    axes.set_ylabel("images")
    axes.legend()
    figure.tight_layout()
    return figure


def _angles(pyplot, splits):
    figure, all_axes = pyplot.subplots(1, 3, figsize=(12, 4))
    for axis, (axes, name) in enumerate(zip(all_axes, ANGLES)):
        values = [np.asarray(split.angles, np.float64).reshape(-1, 3)[:, axis] for split in splits]
        axes.hist(values, bins=36, label=[split.name for split in splits])
        axes.set_xlabel(f"{name} (degrees)")
        axes.set_ylabel("images")
        axes.legend()
    figure.tight_layout()
    return figure
