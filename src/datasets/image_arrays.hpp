// Pixel arrays for the dataset loaders, shared by the dataset modules.
//
// Loaded images leave through tf.numpy_function, which adopts a NumPy buffer
// aligned to 64 bytes as the tensor's own memory and copies any other buffer,
// with the GIL held. The arrays made here therefore live in aligned buffers,
// which are recycled once TensorFlow lets go of them, so that an image does not
// pay for fresh memory pages either. And where np.asarray would pack a Pillow
// image's pixels with the GIL held, rgb_array packs them without it.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "pyclass/pyclass.hpp"

namespace image_arrays {

namespace py = pybind11;

// The alignment that TensorFlow needs to adopt a buffer without copying it.
constexpr std::size_t kTensorAlignment = 64;

// An uninitialised uint8 array of `shape` in a recycled, aligned buffer.
py::array_t<std::uint8_t> pooled_array(const std::vector<py::ssize_t>& shape);

// `image` in a buffer TensorFlow adopts without copying: aligned uint8 arrays
// are returned as they are, other uint8 arrays are copied (without the GIL),
// anything else is returned unchanged.
py::object adoptable_image(const py::object& image);

// The RGB Pillow image `image` as an HxWx3 uint8 array in a pooled buffer,
// packed without the GIL when Pillow exports its memory through the Arrow C
// data interface (images in one memory block); otherwise np.asarray(image),
// with `np` the module's global.
py::object rgb_array(const pyclass::Globals& g, const py::object& image);

// The pixels of the RGB Pillow image `image` as Pillow keeps them: an HxWx4
// uint8 array (R, G, B and a padding byte) sharing Pillow's memory, through
// the Arrow C data interface; an empty object when Pillow does not export
// them so (images in several memory blocks).
py::object rgbx_pixels(const py::object& image);

// The first three channels of an HxWx4 uint8 array, packed into an HxWx3
// array in a pooled buffer without the GIL.
py::array_t<std::uint8_t> first_three_channels(const py::array_t<std::uint8_t, py::array::c_style>& rgbx);

// Reduced-scale decoding. A JPEG can be decoded at 1/2, 1/4 or 1/8 of its
// size in the DCT domain for a fraction of the full decode's work; a loader
// that shrinks the image anyway needs only as many pixels as it keeps.

// (width, height) a loader needs of an image of the given full size.
using NeededSize = std::function<std::pair<double, double>(double width, double height)>;

// The largest of 1, 2, 4 and 8 that divides width x height (rounding up, as
// the decoder does) into at least needed_width x needed_height pixels.
// Only these power-of-two scales: libjpeg-turbo's other scales (3/8, 5/8,
// ...) have no SIMD code and decode slower than the full size does.
int reduction_for(double width, double height, double needed_width, double needed_height);

// The image file at `path` as an HxWx3 uint8 RGB array, with the pixels
// that `needed` asks for given the file's full size, decoded without the GIL:
// a JPEG (by simplejpeg) at the reduction that still gives them, an 8-bit
// RGB PNG (by OpenCV) at full size. Its pixels equal Pillow's for the same
// scale. An empty object for other files and for files that cannot be read,
// are damaged or hold CMYK: the caller's own decoding then runs (and reports
// what is wrong).
py::object decode_rgb_at_least(const std::string& path, const NeededSize& needed);

// The decoded Pillow `image`, read from `path`, as an 8-bit RGB Pillow image:
// quillon.forgeline.datasets.utils.to_rgb, which scales 16-bit grey pixels
// and rejects pixels of unknown range, naming the file.
py::object rgb_image(const py::object& image, const py::handle& path);

// utils.warn_if_exif_rotated(dataset, image, path): the first image of a
// dataset that carries an EXIF orientation is reported. `image` is the opened
// Pillow image, or None for pixels decoded without Pillow (the file's header
// is read then).
void warn_if_exif_rotated(const py::handle& dataset, const py::object& image, const py::handle& path);

}  // namespace image_arrays
