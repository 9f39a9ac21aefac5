"""TensorBoard output for trainers and evaluators."""

import io

import cv2
import numpy as np
import tensorflow as tf
from tensorboard.plugins.image import metadata as image_metadata

# What marks a summary as an image summary for TensorBoard's image dashboard.
_IMAGE_SUMMARY_METADATA = image_metadata.create_summary_metadata(display_name=None, description=None)


def _image_batch_as_uint8(name, image):
    """Returns ``image`` as a uint8 batch ``[k, h, w, c]``.

    Accepts one image (HxW, HxWxC) or a batch (KxHxWxC) with 1, 3 or 4
    channels. Float images are taken to be in [0, 1] (TensorBoard's convention)
    and are clipped to it.
    """
    array = image.numpy() if isinstance(image, tf.Tensor) else np.asarray(image)
    if array.ndim == 2:
        array = array[:, :, np.newaxis]
    if array.ndim == 3:
        array = array[np.newaxis]
    if array.ndim != 4 or array.shape[-1] not in (1, 3, 4) or 0 in array.shape:
        raise ValueError(
            f"add_image({name!r}): expected an HxW, HxWxC or KxHxWxC image with 1, 3 or 4 channels, "
            f"got shape {np.shape(image)}"
        )
    if array.dtype == np.uint8:
        return array
    if np.issubdtype(array.dtype, np.floating):
        return np.round(np.clip(array, 0.0, 1.0) * 255.0).astype(np.uint8)
    if np.issubdtype(array.dtype, np.integer) or array.dtype == np.bool_:
        return np.clip(array, 0, 255).astype(np.uint8)
    raise ValueError(f"add_image({name!r}): unsupported image dtype {array.dtype}")


class TrainingTensorBoardWriter:
    """Draws evaluation output (images, figures, text, scalars) to TensorBoard.

    ``writer`` is a ``tf.summary`` writer, or None to make every call a no-op
    (evaluation without a log directory).

    Images are stored as JPEG of quality ``jpeg_quality``, which TensorBoard
    shows as it shows PNG: a photo-like validation image encodes about ten
    times faster and takes about a tenth of the space. With
    ``image_format="png"``, and for images with an alpha channel, they are
    stored as PNG, pixel for pixel. Figures are always PNG.
    """

    def __init__(self, writer, image_format="jpeg", jpeg_quality=90):
        if writer is not None and not isinstance(writer, tf.summary.SummaryWriter):
            raise TypeError(
                "TrainingTensorBoardWriter: writer must be a tf.summary writer "
                f"(tf.summary.create_file_writer(...)) or None, got {type(writer).__name__}"
            )
        if image_format not in ("jpeg", "png"):
            raise ValueError(f"TrainingTensorBoardWriter: image_format must be 'jpeg' or 'png', got {image_format!r}")
        is_int = isinstance(jpeg_quality, (int, np.integer)) and not isinstance(jpeg_quality, bool)
        if not is_int or not 1 <= jpeg_quality <= 100:
            raise ValueError(
                f"TrainingTensorBoardWriter: jpeg_quality must be an int from 1 to 100, got {jpeg_quality!r}"
            )
        self.writer = writer
        self.image_format = image_format
        self.jpeg_quality = int(jpeg_quality)

    def add_image(self, name, image, step):
        """Logs one image (HxWx3, HxW) or a batch (KxHxWx3); uint8, or float in [0, 1]."""
        if self.writer is None:
            return
        batch = _image_batch_as_uint8(name, image)
        height, width = batch.shape[1:3]
        # The layout TensorBoard's image dashboard reads: width, height, then one encoded image each.
        encoded = [self._encoded(name, picture) for picture in batch]
        tensor = tf.constant([str(width).encode(), str(height).encode()] + encoded)
        with self.writer.as_default():
            tf.summary.write(name, tensor, step=step, metadata=_IMAGE_SUMMARY_METADATA)

    def _encoded(self, name, picture):
        channels = picture.shape[2]
        if channels == 3:
            picture = cv2.cvtColor(picture, cv2.COLOR_RGB2BGR)  # OpenCV's channel order
        elif channels == 4:
            picture = cv2.cvtColor(picture, cv2.COLOR_RGBA2BGRA)
        if self.image_format == "jpeg" and channels != 4:
            encoded, data = cv2.imencode(".jpg", picture, [cv2.IMWRITE_JPEG_QUALITY, self.jpeg_quality])
        else:
            encoded, data = cv2.imencode(".png", picture)
        if not encoded:
            raise ValueError(f"add_image({name!r}): OpenCV could not encode an image of shape {picture.shape}")
        return data.tobytes()

    def add_figure(self, name, figure, step):
        """Renders a matplotlib figure to PNG, logs it and closes the figure."""
        import matplotlib.pyplot as plt

        try:
            if self.writer is None:
                return
            buffer = io.BytesIO()
            figure.savefig(buffer, format="png")
            image = tf.io.decode_png(buffer.getvalue(), channels=3)
            with self.writer.as_default():
                tf.summary.image(name, image[tf.newaxis], step=step)
        finally:
            # Evaluators draw many figures; leaving them open leaks memory.
            plt.close(figure)

    def add_text(self, name, text, step):
        if self.writer is None:
            return
        if not isinstance(text, str):
            raise TypeError(f"add_text({name!r}): text must be a str, got {type(text).__name__}")
        with self.writer.as_default():
            tf.summary.text(name, text, step=step)

    def add_scalar(self, name, value, step):
        if self.writer is None:
            return
        if value is None or isinstance(value, (str, bytes)):
            raise TypeError(f"add_scalar({name!r}): value must be a number or a scalar tensor, got {value!r}")
        size = value.shape.num_elements() if isinstance(value, (tf.Tensor, tf.Variable)) else np.size(value)
        if size != 1:
            raise ValueError(f"add_scalar({name!r}): value must be a single number, got {size} elements")
        with self.writer.as_default():
            tf.summary.scalar(name, tf.reshape(value, []), step=step)

    def flush(self):
        if self.writer is not None:
            self.writer.flush()


# Strong, well separated colours for the first classes; more come from spaced hues.
_BASE_PALETTE = np.array(
    [
        [230, 25, 75],
        [0, 130, 200],
        [255, 225, 25],
        [240, 50, 230],
        [70, 240, 240],
        [245, 130, 48],
        [145, 30, 180],
        [60, 180, 75],
        [128, 0, 0],
        [0, 0, 128],
    ],
    np.uint8,
)


def class_palette(num_classes):
    """Distinct RGB colours, one per class (uint8 num_classes x 3)."""
    if num_classes <= len(_BASE_PALETTE):
        return _BASE_PALETTE[:num_classes].copy()
    extra = num_classes - len(_BASE_PALETTE)
    hues = (np.arange(extra) * 0.61803398875 % 1.0 * 180).astype(np.uint8)
    hsv = np.stack([hues, np.full(extra, 200, np.uint8), np.full(extra, 230, np.uint8)], axis=1)
    return np.concatenate([_BASE_PALETTE, cv2.cvtColor(hsv[np.newaxis], cv2.COLOR_HSV2RGB)[0]])


_TEXT_FONT, _TEXT_SCALE, _TEXT_THICKNESS, _TEXT_LINE = cv2.FONT_HERSHEY_SIMPLEX, 0.4, 1, 16


def title_strip(text, width):
    """A white strip ``width`` pixels wide with ``text`` on it (RGB uint8), to put above a panel."""
    strip = np.full((_TEXT_LINE, width, 3), 255, np.uint8)
    cv2.putText(strip, text, (4, 12), _TEXT_FONT, _TEXT_SCALE, (0, 0, 0), _TEXT_THICKNESS, cv2.LINE_AA)
    return strip


def legend_strip(names, palette, width):
    """Colour swatches with the class names, wrapped to ``width`` pixels (RGB uint8), to put below a picture."""
    placed, x, y = [], 4, 0
    for name, colour in zip(names, palette):
        (text_width, _), _ = cv2.getTextSize(str(name), _TEXT_FONT, _TEXT_SCALE, _TEXT_THICKNESS)
        entry = 16 + text_width + 10
        if x + entry > width and x > 4:
            x, y = 4, y + _TEXT_LINE
        placed.append((x, y, str(name), tuple(int(c) for c in colour)))
        x += entry
    strip = np.full((y + _TEXT_LINE, width, 3), 255, np.uint8)
    for x, y, name, colour in placed:
        cv2.rectangle(strip, (x, y + 3), (x + 11, y + 13), colour, cv2.FILLED)
        cv2.rectangle(strip, (x, y + 3), (x + 11, y + 13), (0, 0, 0), 1)
        cv2.putText(strip, name, (x + 16, y + 12), _TEXT_FONT, _TEXT_SCALE, (0, 0, 0), _TEXT_THICKNESS, cv2.LINE_AA)
    return strip


def colour_overlay(image, mask, palette, names=None, background=0):
    """The image with each class of ``mask`` blended in its palette colour, and a legend of the classes below.

    ``names`` label the legend (default "class k"); ``background`` (a class
    index, or None) stays uncoloured and out of the legend.
    """
    image = np.asarray(image, np.uint8)
    mask = np.asarray(mask)
    painted = np.ones(mask.shape, bool) if background is None else mask != background
    blended = image.copy()
    blended[painted] = (0.45 * image[painted] + 0.55 * palette[mask[painted]]).astype(np.uint8)
    names = list(names) if names is not None else [f"class {k}" for k in range(len(palette))]
    shown = [k for k in range(len(palette)) if k != background]
    legend = legend_strip([names[k] for k in shown], palette[shown], image.shape[1])
    return np.concatenate([blended, legend], axis=0)


def figure_pixels(figure):
    """A matplotlib figure drawn as an RGB uint8 array."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    canvas = FigureCanvasAgg(figure)
    canvas.draw()
    return np.asarray(canvas.buffer_rgba())[:, :, :3].copy()


def draw_boxes(image, boxes, labels, scores=None, color=(0, 255, 0)):
    """Returns a copy of an RGB uint8 image with labelled boxes drawn on it.

    boxes: N x >=4 array of pixel corners x1, y1, x2, y2 (extra columns ignored).
    labels: N class names or ids, or None for no text.
    scores: optional N confidences, appended to the label text.
    color: RGB colour of the rectangles and the label background: one for
      all boxes, or N x 3, one per box (``class_palette(n)[classes]``).
    Labels are kept inside the image: above the box when there is room, else
    inside it, and shifted left where they would run over the right edge.
    """
    image = np.asarray(image)
    if image.dtype != np.uint8 or image.ndim != 3 or image.shape[2] != 3:
        raise ValueError(
            f"draw_boxes: image must be an HxWx3 uint8 RGB array, got shape {image.shape} dtype {image.dtype}"
        )
    boxes = np.asarray(boxes, dtype=np.float64)
    if boxes.size == 0:
        boxes = boxes.reshape(0, 4)
    if boxes.ndim != 2 or boxes.shape[1] < 4:
        raise ValueError(f"draw_boxes: boxes must be an N x 4 (or wider) array, got shape {boxes.shape}")
    count = boxes.shape[0]
    if labels is not None and len(labels) != count:
        raise ValueError(f"draw_boxes: got {len(labels)} labels for {count} boxes")
    if scores is not None and len(scores) != count:
        raise ValueError(f"draw_boxes: got {len(scores)} scores for {count} boxes")
    if not np.all(np.isfinite(boxes[:, :4])):
        bad_row = int(np.flatnonzero(~np.isfinite(boxes[:, :4]).all(axis=1))[0])
        raise ValueError(f"draw_boxes: box {bad_row} has non-finite coordinates {boxes[bad_row, :4].tolist()}")
    colors = np.asarray(color, dtype=np.int64)
    if colors.shape == (3,):
        colors = np.broadcast_to(colors, (count, 3))
    if colors.shape != (count, 3):
        raise ValueError(f"draw_boxes: color must be one RGB triple or one per box ({count} x 3), got {colors.shape}")

    canvas = image.copy()
    height, width = canvas.shape[:2]
    font, font_scale, thickness = cv2.FONT_HERSHEY_SIMPLEX, 0.4, 1
    for index in range(count):
        box_color = tuple(int(c) for c in colors[index])
        x1, y1, x2, y2 = (int(round(v)) for v in boxes[index, :4])
        cv2.rectangle(canvas, (x1, y1), (x2, y2), box_color, 1)
        if labels is None:
            continue
        text = str(labels[index])
        if scores is not None:
            text += f" {float(scores[index]):.2f}"
        (text_w, text_h), baseline = cv2.getTextSize(text, font, font_scale, thickness)
        label_h = text_h + baseline
        # Above the box, or inside it when the box touches the top; never past an edge.
        top = y1 - label_h if y1 - label_h >= 0 else y1
        top = max(0, min(top, height - label_h))
        left = max(0, min(x1, width - text_w))
        cv2.rectangle(canvas, (left, top), (left + text_w, top + label_h), box_color, cv2.FILLED)
        text_color = (0, 0, 0) if sum(box_color) > 382 else (255, 255, 255)
        cv2.putText(canvas, text, (left, top + text_h), font, font_scale, text_color, thickness, cv2.LINE_AA)
    return canvas
