// Finding a dataset's samples on disk, shared by the dataset modules: the
// image files of a folder (the rule and the pattern list live in
// quillon.forgeline.datasets.utils, which the segmentation dataset uses too),
// their pairing with annotation files of the same stem, and the messages that
// say what was found when a split comes out empty.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "pyclass/pyclass.hpp"

namespace sample_files {

namespace py = pybind11;

// utils.find_images(folder, glob_module, join) with the module's `join`
// global and `glob_module` (a global of the darknet module; the attitude
// module imports glob when it runs).
py::list find_images(const pyclass::Globals& g, const py::object& glob_module, const py::object& folder);

// Appends [image, annotation path] to `storage` for each image in `images`
// whose annotation file, join(annotations_folder, stem + suffix) with the
// module's path globals, exists; returns the images left out, in order.
py::list pair_with_annotations(const pyclass::Globals& g, const py::object& images,
                               const py::object& annotations_folder, const std::string& suffix,
                               const py::object& storage);

// The annotation path that pair_with_annotations looks for for `image`.
py::object annotation_path_for(const pyclass::Globals& g, const py::handle& image, const py::object& annotations_folder,
                               const std::string& suffix);

// Why a split holds no sample: what the images folder holds, how many image
// files were found there and how many lack their annotation file.
std::string empty_split_note(const py::object& images_folder, const py::object& annotations_folder, size_t image_count,
                             const py::list& unpaired);

// Raises `type`(message) caused by a ValueError(`cause`): tracebacks show the
// cause above the error, while the message stays what callers match.
[[noreturn]] void raise_with_cause(PyObject* type, const std::string& message, const std::string& cause);

}  // namespace sample_files
