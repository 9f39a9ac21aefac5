// Files of a training run (config, summary, model files) are replaced whole:
// written to a temporary file in the same folder and renamed over the old one,
// so a crash or kill in the middle of a write leaves the previous file intact.
// These are the C++ entry points to the package's one implementation,
// quillon.forgeline.run_files.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>

namespace run_files {

namespace py = pybind11;

// The temporary name used while `path` is being written: hidden, in the same
// folder (so the rename is atomic), keeping the extension (Keras picks the
// model format from it).
py::object temporary_path(const py::object& path);

// Opens a temporary file as Python's open(tmp, "w", **open_kwargs), lets
// `write` fill it, flushes it to disk and renames it to `path`. On failure the
// temporary file is removed and the error propagates.
void write_text_atomically(const py::object& path, const std::function<void(const py::object& file)>& write,
                           const py::dict& open_kwargs = py::dict());

// Flushes a closed file's data to disk. Writers that take a path (Keras,
// h5py, TensorFlow checkpoints) close the file themselves; its data must reach
// the disk before a rename or another file makes it the current one.
void sync_to_disk(const py::object& path);

// Lets `save` write to the temporary path (for writers that take a path, such
// as Keras' Model.save), flushes the file to disk, then renames it to `path`.
// On failure the temporary file is removed and the error propagates.
void save_atomically(const py::object& path, const std::function<void(const py::object& temporary)>& save);

// Removes the temporary files that a killed write left in `folder`.
void remove_stale_temporary_files(const py::object& folder);

// Removes the files and folders in `folder` whose names start with `prefix`:
// what a failed write of a multi-file checkpoint left.
void remove_partial_files(const py::object& folder, const std::string& prefix);

// When `error` (raised writing `path`) says the disk is full, raises instead
// one OSError naming the file, the space needed and the space free; returns
// otherwise.
void raise_if_disk_full(py::error_already_set& error, const py::object& path, const py::object& needed_bytes);

// `copy` made to hold the model file as it is now (a hard link where the disk
// allows); false, writing nothing, when there is no model file.
bool keep_model_copy(const py::object& model_file, const py::object& copy);

// The model file made to hold what `copy` holds; `copy` None removes it.
void restore_model_copy(const py::object& model_file, const py::object& copy);

}  // namespace run_files
