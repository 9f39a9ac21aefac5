"""Export: a trained model as a SavedModel, a TF Lite or an ONNX file, with a JSON for deployers.

``export(run_or_model, format)`` is what ``python -m quillon.forgeline
export`` does. The exported model is the Keras inference model behind one
serving function whose input is named "image" (float32 RGB in 0..1, as the
Keras model takes it) and whose outputs are named by what they hold, so
they are looked up by name in every runtime (TF Lite, for one, reorders
outputs):

    detect    class_scores [B, N, C], box_distances [B, N, 4] (multi-level:
              N points, listed in the JSON); a single-scale model's maps
              [B, h, w, C], [B, h, w, 4]
    segment   class_logits [B, H, W, C]
    headpose  angles [B, 3]

``nchw=True`` makes the input channels-first [B, 3, H, W], and every
image-shaped output too (as the trainer's ``to_nchw``). ``half=True`` stores
the weights as float16 (TF Lite, ONNX); inputs and outputs stay float32.

The file is written beside a temporary name, run on a sample image in its own
runtime and compared with Keras, output by output; only when every output is
within the tolerance does it replace an earlier export of the same name.
Beside it, ``<file>.json`` describes the input, the preprocessing, the class
names, the outputs and how to decode them (docs/deploy.md).
"""

import json
import os
import shutil
import tempfile

import numpy as np
import tensorflow as tf

from quillon.forgeline.deploy.predict import detection_score_threshold, read_image
from quillon.forgeline.deploy.predictors import (
    BACKGROUND,
    CANDIDATES_PER_DETECTION,
    LETTERBOX_PAD_VALUE,
    PEAK_WINDOW,
    fixed_input_size,
    letterbox_batch,
    resize_batch,
    scaled_input,
)
from quillon.forgeline.deploy.runs import load_run
from quillon.forgeline.deploy.settings import (
    DEFAULT_MAX_DETECTIONS,
    DEFAULT_NMS_IOU,
)
from quillon.forgeline.deploy.settings import (
    EXPORT_FORMATS as FORMATS,
)
from quillon.forgeline.models.detection import model_points
from quillon.forgeline.run_files import write_text_atomically

INPUT_NAME = "image"
OUTPUT_NAMES = {"detect": ("class_scores", "box_distances"), "segment": ("class_logits",), "headpose": ("angles",)}
# Largest accepted max |exported - Keras| / max(1, max |Keras|) on the sample, per output.
DEFAULT_TOLERANCE = {False: 1e-4, True: 2e-2}  # float32, float16 weights
SERVING_SIGNATURE = "serving_default"
ONNX_OPSET = 17


class ExportMismatchError(ValueError):
    """The exported model's outputs differ from Keras beyond the tolerance."""


def export(run_or_model, format, out=None, nchw=False, half=False, sample=None, tolerance=None, task=None):
    """Exports the run's model; returns {"path", "metadata", "max_difference": {output: value}, "tolerance"}.

    out: folder for the files (default: beside the model). The file is named
      after the model: best.h5 gives best_saved_model/, best.tflite,
      best.onnx (with _nchw and _fp16 before the extension when asked for).
    sample: an image file for the check (default: a seeded random image).
    tolerance: see DEFAULT_TOLERANCE.
    """
    if format not in FORMATS:
        raise ValueError(f"export: format must be one of {FORMATS}, got {format!r}")
    if half and format == "saved_model":
        raise ValueError("export: --half applies to tflite and onnx; a SavedModel keeps the model's float32 weights")
    if format == "onnx":
        _require_onnx()
    run = load_run(run_or_model, task)
    fixed_input_size(run.model, f"export: {run.model_path}")
    tolerance = DEFAULT_TOLERANCE[bool(half)] if tolerance is None else float(tolerance)
    out = os.path.dirname(run.model_path) if out is None else os.fspath(out)
    os.makedirs(out, exist_ok=True)
    stem = os.path.splitext(os.path.basename(run.model_path))[0] + ("_nchw" if nchw else "") + ("_fp16" if half else "")
    target = os.path.join(out, stem + {"saved_model": "_saved_model", "tflite": ".tflite", "onnx": ".onnx"}[format])

    serve = serving_function(run.model, run.task, nchw)
    partial = target + ".partial"
    _remove(partial)
    try:
        _WRITERS[format](run.model, serve, partial, half)
        image = _sample_input(run, sample)
        names = OUTPUT_NAMES[run.task]
        expected = dict(zip(names, _as_list(run.model(image, training=False))[-len(names) :]))
        actual = load_exported(partial, format)(_to_layout(image.numpy(), nchw))
        differences = {}
        for name, wanted in expected.items():
            if name not in actual:
                raise ExportMismatchError(f"export: the {format} model has no output {name!r}, only {sorted(actual)}")
            got = _from_layout(np.asarray(actual[name]), nchw)
            wanted = np.asarray(wanted)
            if got.shape != wanted.shape:
                raise ExportMismatchError(
                    f"export: {format} output {name!r} has shape {got.shape}, Keras {wanted.shape}"
                )
            differences[name] = float(np.abs(got.astype(np.float64) - wanted).max())
            scale = max(1.0, float(np.abs(wanted).max()))
            print(
                f"export: {format} {name}: max |difference| to Keras {differences[name]:.3g} "
                f"(tolerance {tolerance:g} x {scale:.3g})"
            )
            if not differences[name] <= tolerance * scale:
                raise ExportMismatchError(
                    f"export: the {format} model's output {name!r} differs from Keras by up to {differences[name]:.3g} "
                    f"on the sample, more than the tolerance {tolerance:g} x {scale:.3g}; nothing was written"
                )
    except BaseException:
        _remove(partial)
        raise
    _remove(target)
    os.replace(partial, target)

    metadata = deployment_metadata(run, format, target, nchw, half)
    metadata["check"] = {
        "sample": os.fspath(sample) if sample else "seeded random image",
        "max_difference": differences,
        "tolerance": tolerance,
    }
    metadata_path = target + ".json"
    write_text_atomically(metadata_path, json.dumps(metadata, indent=2) + "\n")
    print(f"export: wrote {target} and {metadata_path}")
    return {"path": target, "metadata": metadata_path, "max_difference": differences, "tolerance": tolerance}


def serving_function(model, task, nchw=False):
    """The tf.function every format is made from: named input and outputs (see the module doc)."""
    names = OUTPUT_NAMES[task]
    _, height, width, channels = model.input.shape
    shape = (None, channels, height, width) if nchw else (None, height, width, channels)

    def serve(image):
        if nchw:
            image = tf.transpose(image, (0, 2, 3, 1))
        outputs = _as_list(model(image, training=False))[-len(names) :]
        if nchw:
            outputs = [tf.transpose(o, (0, 3, 1, 2)) if o.shape.rank == 4 else o for o in outputs]
        return {name: tf.identity(output, name=name) for name, output in zip(names, outputs)}

    return tf.function(serve, input_signature=[tf.TensorSpec(shape, tf.float32, name=INPUT_NAME)])


def tflite_interpreter(path):
    """A TF Lite interpreter of ``path``: LiteRT's (the [tflite] extra), else TensorFlow's deprecated one."""
    try:
        from ai_edge_litert.interpreter import Interpreter
    except ImportError:
        Interpreter = tf.lite.Interpreter
    return Interpreter(model_path=path)


def load_exported(path, format):
    """A callable running an exported model: float32 input batch -> {output name: array}."""
    if format == "saved_model":
        signature = tf.saved_model.load(path).signatures[SERVING_SIGNATURE]
        return lambda batch: {
            name: value.numpy() for name, value in signature(**{INPUT_NAME: tf.constant(batch)}).items()
        }
    if format == "tflite":
        runner = tflite_interpreter(path).get_signature_runner(SERVING_SIGNATURE)
        return lambda batch: runner(**{INPUT_NAME: np.asarray(batch, np.float32)})
    if format == "onnx":
        onnxruntime = _require_onnx()[1]
        session = onnxruntime.InferenceSession(path, providers=["CPUExecutionProvider"])
        names = [output.name for output in session.get_outputs()]
        return lambda batch: dict(zip(names, session.run(names, {INPUT_NAME: np.asarray(batch, np.float32)})))
    raise ValueError(f"load_exported: format must be one of {FORMATS}, got {format!r}")


def deployment_metadata(run, format, target, nchw, half):
    """What a deployer needs to run the exported file (written as <file>.json)."""
    names = OUTPUT_NAMES[run.task]
    _, height, width, channels = (None if d is None else int(d) for d in run.model.input.shape)
    layout = "NCHW" if nchw else "NHWC"
    outputs = []
    for name, output in zip(names, _as_list(run.model.outputs)[-len(names) :]):
        shape = [None if d is None else int(d) for d in output.shape]
        if nchw and len(shape) == 4:
            shape = [shape[0], shape[3], shape[1], shape[2]]
        outputs.append({"name": name, "shape": shape, "layout": layout if len(shape) == 4 else None})
    metadata = {
        "format": format,
        "model": os.path.basename(target),
        "source": os.path.abspath(run.model_path),
        "task": run.task,
        "weights": "float16" if half else "float32",
        "input": {
            "name": INPUT_NAME,
            "dtype": "float32",
            "layout": layout,
            "shape": [None, channels, height, width] if nchw else [None, height, width, channels],
        },
        "preprocessing": {"color": "RGB", "scale": "pixel / 255"},
        "classes": run.labels,
        "outputs": outputs,
    }
    if run.task == "detect":
        background = bool(run.labels) and run.labels[0] == BACKGROUND
        if background:  # numbered as predict numbers them: the first real class is 0
            metadata["classes"] = run.labels[1:]
        metadata["class_numbering"] = "class k is classes[k], as in predict's predictions.json and label files; " + (
            "score map channel k + 1 holds class k, channel 0 is background" if background else "channel k"
        )
        metadata["preprocessing"].update(
            resize="letterbox",
            pad_value=LETTERBOX_PAD_VALUE,
            letterbox="scale by r = min(height / image height, width / image width), resize to round(image size x r) "
            "(bilinear), pad evenly to the input size (left, top = half the padding, rounded down)",
        )
        metadata["decoding"] = {
            "scores": "class_scores",
            "distances": "box_distances",
            "score_threshold": detection_score_threshold(run)[0],
            "candidates": CANDIDATES_PER_DETECTION * DEFAULT_MAX_DETECTIONS,
            "nms_iou": DEFAULT_NMS_IOU,
            "max_detections": DEFAULT_MAX_DETECTIONS,
            "skip_class": 0 if background else None,
        }
        points = model_points(run.model)
        if points is not None:
            metadata["decoding"].update(
                strides=sorted({int(s) for s in points[:, 2]}),
                points=points.tolist(),
                boxes="a candidate is an output row n and class c with class_scores[n, c] >= score_threshold; its "
                "box is (x - left, y - top) .. (x + right, y + bottom) with (x, y, stride) = points[n] and (left, "
                "top, right, bottom) = box_distances[n], in input pixels; undo the letterbox, clip to the image, "
                "keep the best candidates, then non-maximum suppression per class at nms_iou and at most "
                "max_detections by score",
            )
        else:
            grid_height, grid_width = (int(d) for d in run.model.outputs[-2].shape[1:3])
            metadata["decoding"].update(
                stride=[height / grid_height, width / grid_width],
                peak_window=PEAK_WINDOW,
                boxes="a candidate is a score map cell (row, col, class) equal to the maximum of its peak_window x "
                "peak_window neighbourhood (outside the map counts as 0) with a score >= score_threshold; its box "
                "is centre - (left, top) .. centre + (right, bottom) of box_distances at that cell, with centre "
                "((col + 0.5) x stride x, (row + 0.5) x stride y), in input pixels; undo the letterbox, clip to "
                "the image, keep the best candidates, then non-maximum suppression per class at nms_iou and at "
                "most max_detections by score",
            )
    elif run.task == "segment":
        metadata["preprocessing"]["resize"] = "bilinear to the input size"
        metadata["decoding"] = {"mask": "resize class_logits to the image size (bilinear), arg-max over classes"}
    else:
        metadata["preprocessing"]["resize"] = "bilinear to the input size"
        metadata["decoding"] = {"angles": ["pitch", "yaw", "roll"], "unit": run.config.get("angles", "as trained")}
    return metadata


def _write_saved_model(model, serve, path, half):
    # Keras' export archive tracks the Keras variables, so TF Lite can freeze them.
    archive = tf.keras.export.ExportArchive()
    archive.track(model)
    archive.add_endpoint(SERVING_SIGNATURE, serve.python_function, input_signature=serve.input_signature)
    archive.write_out(path, verbose=False)


def _write_tflite(model, serve, path, half):
    with tempfile.TemporaryDirectory() as saved:
        _write_saved_model(model, serve, saved, half)
        converter = tf.lite.TFLiteConverter.from_saved_model(saved, signature_keys=[SERVING_SIGNATURE])
        if half:
            converter.optimizations = [tf.lite.Optimize.DEFAULT]
            converter.target_spec.supported_types = [tf.float16]
        content = converter.convert()
    with open(path, "wb") as stream:
        stream.write(content)


def _write_onnx(model, serve, path, half):
    tf2onnx = _require_onnx()[0]
    proto, _ = tf2onnx.convert.from_function(serve, input_signature=serve.input_signature, opset=ONNX_OPSET)
    if half:
        from onnxconverter_common import float16

        proto = float16.convert_float_to_float16(proto, keep_io_types=True)
    with open(path, "wb") as stream:
        stream.write(proto.SerializeToString())


_WRITERS = {"saved_model": _write_saved_model, "tflite": _write_tflite, "onnx": _write_onnx}


def _require_onnx():
    try:
        import onnxruntime
        import tf2onnx
    except ImportError as error:
        raise ImportError(
            f"export: the onnx format needs tf2onnx and onnxruntime ({error}); "
            "install them with: pip install 'quillon-forgeline[onnx]'"
        ) from error
    return tf2onnx, onnxruntime


def _sample_input(run, sample):
    """The sample as the model takes it: a float32 batch of one, preprocessed as predict does."""
    height, width = (int(d) for d in run.model.input.shape[1:3])
    if sample is None:
        image = np.random.default_rng(0).integers(0, 256, (height * 3 // 2, width, 3), dtype=np.uint8)
    else:
        image = read_image(sample)
    if run.task == "detect":
        batch, _ = letterbox_batch([image], height, width)
    else:
        batch = resize_batch([image], height, width)
    return scaled_input(batch)


def _as_list(outputs):
    return list(outputs) if isinstance(outputs, (list, tuple)) else [outputs]


def _to_layout(batch, nchw):
    return np.transpose(batch, (0, 3, 1, 2)) if nchw else batch


def _from_layout(array, nchw):
    return np.transpose(array, (0, 2, 3, 1)) if nchw and array.ndim == 4 else array


def _remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)
