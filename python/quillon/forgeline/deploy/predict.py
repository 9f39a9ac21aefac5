"""Predict: run a trained model on an image, a folder or a glob and write the results.

``predict(run_or_model, source, out)`` is what ``python -m quillon.forgeline
predict`` does. Images are read with Pillow as the datasets read them, in
batches (read ahead on a few threads while the model runs), through the
predictors of ``quillon.forgeline.deploy.predictors``. An unreadable image is
named, skipped and counted; the others are predicted.

What is written to ``out``:

- detection: ``images/<name>`` (the detections drawn, a colour per class),
  ``labels/<stem>.txt`` (Darknet rows ``class cx cy w h``, normalised, class
  indices without the background: ready as pseudo-labels),
  ``predictions.json`` (COCO results: image_id, file_name, category_id,
  category_name, bbox [x, y, w, h] in pixels, score) and ``classes.txt``
  (line k names class k of both);
- segmentation: ``masks/<stem>.png``, class-index masks at the image size,
  and ``overlays/<stem>.png``, the classes in colour over the image with a
  legend;
- head pose: ``predictions.json``, {file name: {"pitch", "yaw", "roll"}}.
"""

import collections
import functools
import glob
import json
import os
import shutil
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from PIL import Image
from tqdm import tqdm

from quillon.forgeline.console import THRESHOLDS_FILE, read_thresholds
from quillon.forgeline.datasets.utils import usable_cores
from quillon.forgeline.deploy.predictors import (
    BACKGROUND,
    DetectionPredictor,
    HeadposePredictor,
    SegmentationPredictor,
)
from quillon.forgeline.deploy.runs import Run, load_run
from quillon.forgeline.deploy.settings import (
    DEFAULT_BATCH_SIZE,
    DEFAULT_MAX_DETECTIONS,
    DEFAULT_NMS_IOU,
    DEFAULT_SCORE_THRESHOLD,
)
from quillon.forgeline.run_files import write_text_atomically
from quillon.validator.writers import class_palette, colour_overlay, draw_boxes

IMAGE_EXTENSIONS = (".bmp", ".jpeg", ".jpg", ".png", ".tif", ".tiff", ".webp")


def list_images(source):
    """The image files of ``source`` (an image, a folder or a glob pattern), sorted."""
    source = os.fspath(source)
    if os.path.isfile(source):
        return [source]
    if os.path.isdir(source):
        candidates = [os.path.join(source, name) for name in os.listdir(source)]
    elif any(char in source for char in "*?["):
        candidates = glob.glob(source, recursive=True)
    else:
        raise FileNotFoundError(f"predict: source {source!r} is not an image file, a folder or a glob pattern")
    paths = sorted(p for p in candidates if os.path.isfile(p) and p.lower().endswith(IMAGE_EXTENSIONS))
    if not paths:
        raise FileNotFoundError(f"predict: no images ({', '.join(IMAGE_EXTENSIONS)}) in {source!r}")
    seen = {}
    for path in paths:
        stem = os.path.splitext(os.path.basename(path))[0]
        if stem in seen:
            raise ValueError(f"predict: {seen[stem]} and {path} would write the same result files; predict them apart")
        seen[stem] = path
    return paths


def read_image(path):
    """The image as an HxWx3 uint8 RGB array, as the datasets decode it."""
    with Image.open(path) as opened:
        return np.asarray(opened.convert("RGB"))


def _read_or_reason(path):
    try:
        return read_image(path), None
    except (OSError, ValueError, SyntaxError, Image.DecompressionBombError) as error:
        return None, f"{type(error).__name__}: {error}"


def read_batches(paths, batch_size, workers=None):
    """Yields ([(path, image)], {path: reason for unreadable ones}) per batch of ``paths``.

    The next batch is read on ``workers`` threads while the caller works on this one.
    """
    with ThreadPoolExecutor(max_workers=workers or usable_cores()) as pool:

        def submit(start):
            chunk = paths[start : start + batch_size]
            return chunk, [pool.submit(_read_or_reason, path) for path in chunk]

        pending = submit(0)
        for start in range(batch_size, len(paths) + batch_size, batch_size):
            ahead = submit(start) if start < len(paths) else None
            readable, unreadable = [], {}
            for path, future in zip(*pending):
                image, reason = future.result()
                if reason is None:
                    readable.append((path, image))
                else:
                    unreadable[path] = reason
            yield readable, unreadable
            pending = ahead


# What predict writes into its output folder, for any task.
OUTPUTS = ("images", "labels", "masks", "overlays", "predictions.json", "classes.txt")


def _earlier_results(out, exist_ok):
    """The paths of an earlier predict's results in ``out``, to replace; FileExistsError unless ``exist_ok``."""
    earlier = [os.path.join(out, name) for name in OUTPUTS if os.path.lexists(os.path.join(out, name))]
    if earlier and not exist_ok:
        raise FileExistsError(
            f"predict: {out} already holds results ({', '.join(os.path.basename(path) for path in earlier)}); "
            "give --exist-ok to replace them, or choose another --out"
        )
    return earlier


def predict(
    run_or_model,
    source,
    out,
    batch_size=DEFAULT_BATCH_SIZE,
    score_threshold=None,
    nms_iou=DEFAULT_NMS_IOU,
    max_detections=DEFAULT_MAX_DETECTIONS,
    task=None,
    progress=True,
    exist_ok=False,
):
    """Predicts every image of ``source`` with the run's model and writes the results to ``out``.

    Results of an earlier predict in ``out`` are never mixed with the new:
    they raise ``FileExistsError``, or with ``exist_ok`` they are removed
    (only what predict writes; other files stay) once the model has loaded.

    ``run_or_model``: a run folder, a model file, or a ``Run`` already loaded
    with ``load_run`` (to predict several sources without loading it again).

    ``score_threshold``, ``nms_iou`` and ``max_detections`` apply to
    detection (see ``DetectionPredictor``). ``score_threshold`` None takes
    the threshold where F1 peaked in the validation of the model in best.h5
    (the run's thresholds.json), else ``DEFAULT_SCORE_THRESHOLD``; the
    threshold used and where it comes from are printed. Returns {"task",
    "out", "predicted": number of images, "skipped": {path: reason},
    "score_threshold": the threshold used (detection)}.
    """
    if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError(f"predict: batch_size must be a positive int, got {batch_size!r}")
    earlier = _earlier_results(out, exist_ok)
    run = run_or_model if isinstance(run_or_model, Run) else load_run(run_or_model, task)
    paths = list_images(source)
    if run.task == "detect":
        if run.labels is None:
            raise FileNotFoundError(f'predict: {run.folder} has no labels.txt (nor "classes" in config.json)')
        score_threshold, source = detection_score_threshold(run, score_threshold)
        print(f"predict: score threshold {score_threshold:.4g} ({source})")
        predictor = DetectionPredictor(run.model, run.labels, score_threshold, nms_iou, max_detections)
        make_outputs = functools.partial(_DetectionOutputs, out, run.labels)
    elif run.task == "segment":
        predictor = SegmentationPredictor(run.model, run.labels)
        make_outputs = functools.partial(_SegmentationOutputs, out, run.labels, int(run.model.outputs[0].shape[-1]))
    else:
        predictor, make_outputs = HeadposePredictor(run.model), functools.partial(_HeadposeOutputs, out)

    for path in earlier:
        shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)
    os.makedirs(out, exist_ok=True)
    # Made after the earlier results are gone: the outputs create their folders.
    outputs = make_outputs()
    skipped = {}
    predicted = 0
    bar = tqdm(total=len(paths), unit="image", desc="predict", disable=not progress, file=sys.stderr)
    with _BackgroundWrites(limit=2 * batch_size) as writes, bar:
        for readable, unreadable in read_batches(paths, batch_size):
            for path, reason in unreadable.items():
                tqdm.write(f"predict: skipped {path}: {reason}", file=sys.stderr)
            skipped.update(unreadable)
            results = predictor.predict([image for _, image in readable])
            for (path, image), result in zip(readable, results):
                outputs.add(path, image, result, writes)
            predicted += len(readable)
            bar.update(len(readable) + len(unreadable))
    outputs.finish()
    print(f"predict: {predicted} images predicted, {len(skipped)} unreadable skipped; results in {out}")
    result = {"task": run.task, "out": os.fspath(out), "predicted": predicted, "skipped": skipped}
    return {**result, "score_threshold": score_threshold} if run.task == "detect" else result


def detection_score_threshold(run, given=None):
    """(threshold, where it comes from): ``given``, else the recorded best-F1 one of best.h5, else the default."""
    if given is not None:
        return float(given), "given"
    if os.path.basename(run.model_path) == "best.h5":
        recorded = read_thresholds(run.folder)
        if recorded is not None:
            return float(recorded["score_threshold"]), (
                f"where F1 at IoU 0.5 peaked, at {float(recorded['f1']):.3f}, in the validation of epoch "
                f"{recorded.get('epoch', '?')}: {THRESHOLDS_FILE}"
            )
    return DEFAULT_SCORE_THRESHOLD, f"the default: the run has no {THRESHOLDS_FILE} for its best.h5"


class _BackgroundWrites:
    """Writes files on a few threads while the model works on the next batch; at most ``limit`` wait."""

    def __init__(self, limit):
        self.limit = limit
        self.pending = collections.deque()
        self.pool = ThreadPoolExecutor(max_workers=usable_cores())

    def submit(self, function, *args):
        self.pending.append(self.pool.submit(function, *args))
        while len(self.pending) > self.limit:
            self.pending.popleft().result()  # raises what the write raised

    def __enter__(self):
        return self

    def __exit__(self, *error):
        try:
            while self.pending:
                self.pending.popleft().result()
        finally:
            self.pool.shutdown()


def _write_json_atomically(path, value, indent=None):
    write_text_atomically(path, json.dumps(value, indent=indent) + "\n")


def _stem(path):
    return os.path.splitext(os.path.basename(path))[0]


class _DetectionOutputs:
    def __init__(self, out, labels):
        self.out = out
        self.skip_background = labels[0] == BACKGROUND
        self.class_names = labels[1:] if self.skip_background else list(labels)
        self.colors = class_palette(len(self.class_names))
        self.records = []
        for folder in ("images", "labels"):
            os.makedirs(os.path.join(out, folder), exist_ok=True)

    def add(self, path, image, detections, writes):
        height, width = image.shape[:2]
        classes = detections.classes - int(self.skip_background)  # indices into class_names, as Darknet files
        pixels = detections.boxes.astype(np.float64) * [width, height, width, height]
        rows = []
        each = zip(pixels, detections.boxes, classes, detections.scores)
        for (x1, y1, x2, y2), (nx1, ny1, nx2, ny2), cls, score in each:
            rows.append(f"{cls} {(nx1 + nx2) / 2:.6f} {(ny1 + ny2) / 2:.6f} {nx2 - nx1:.6f} {ny2 - ny1:.6f}\n")
            stem = _stem(path)
            self.records.append(
                {
                    "image_id": int(stem) if stem.isdigit() else stem,
                    "file_name": os.path.basename(path),
                    "category_id": int(cls),
                    "category_name": self.class_names[cls],
                    "bbox": [float(x1), float(y1), float(x2 - x1), float(y2 - y1)],
                    "score": float(score),
                }
            )
        writes.submit(self._write_files, path, image, rows, pixels, classes, detections.scores)

    def _write_files(self, path, image, rows, pixels, classes, scores):
        with open(os.path.join(self.out, "labels", _stem(path) + ".txt"), "w", encoding="utf-8") as stream:
            stream.writelines(rows)
        names = [self.class_names[cls] for cls in classes]
        drawn = draw_boxes(image, pixels, names, scores, color=self.colors[classes])
        Image.fromarray(drawn).save(os.path.join(self.out, "images", os.path.basename(path)))

    def finish(self):
        _write_json_atomically(os.path.join(self.out, "predictions.json"), self.records)
        # What the class numbers of labels/ and predictions.json stand for: line k names class k.
        write_text_atomically(os.path.join(self.out, "classes.txt"), "".join(f"{n}\n" for n in self.class_names))


class _SegmentationOutputs:
    def __init__(self, out, labels, num_classes):
        self.out = out
        self.labels = labels
        self.palette = class_palette(num_classes)
        for folder in ("masks", "overlays"):
            os.makedirs(os.path.join(out, folder), exist_ok=True)

    def add(self, path, image, mask, writes):
        pixels = mask.astype(np.uint8) if mask.max(initial=0) < 256 else mask.astype(np.uint16)
        writes.submit(Image.fromarray(pixels).save, os.path.join(self.out, "masks", _stem(path) + ".png"))
        overlay = colour_overlay(image, mask, self.palette, self.labels)
        writes.submit(Image.fromarray(overlay).save, os.path.join(self.out, "overlays", _stem(path) + ".png"))

    def finish(self):
        pass


class _HeadposeOutputs:
    def __init__(self, out):
        self.out = out
        self.angles = {}

    def add(self, path, image, angles, writes):
        self.angles[os.path.basename(path)] = dict(zip(HeadposePredictor.ANGLE_NAMES, map(float, angles)))

    def finish(self):
        _write_json_atomically(os.path.join(self.out, "predictions.json"), self.angles, indent=1)
