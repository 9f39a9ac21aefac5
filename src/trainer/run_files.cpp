#include "trainer/run_files.hpp"

namespace run_files {

namespace {

// The package's one implementation of crash-safe writes (Python, shared with
// the evaluators, the demo jobs and the deploy commands).
py::object helpers() { return py::module_::import("quillon.forgeline.run_files"); }

}  // namespace

py::object temporary_path(const py::object& path) { return helpers().attr("temporary_path")(path); }

void sync_to_disk(const py::object& path) { helpers().attr("sync_to_disk")(path); }

void save_atomically(const py::object& path, const std::function<void(const py::object& temporary)>& save) {
  helpers().attr("save_atomically")(path, py::cpp_function([&save](py::object temporary) { save(temporary); }));
}

void write_text_atomically(const py::object& path, const std::function<void(const py::object& file)>& write,
                           const py::dict& open_kwargs) {
  save_atomically(path, [&](const py::object& temporary) {
    py::object file = py::module_::import("builtins").attr("open")(temporary, "w", **open_kwargs);
    try {
      write(file);
    } catch (...) {
      file.attr("close")();
      throw;
    }
    file.attr("close")();
  });
}

void remove_stale_temporary_files(const py::object& folder) { helpers().attr("remove_stale_temporary_files")(folder); }

void remove_partial_files(const py::object& folder, const std::string& prefix) {
  helpers().attr("remove_partial_files")(folder, prefix);
}

void raise_if_disk_full(py::error_already_set& error, const py::object& path, const py::object& needed_bytes) {
  py::object full = helpers().attr("disk_full_error")(error.value(), path, needed_bytes);
  if (full.is_none()) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(full.ptr())), full.ptr());
  throw py::error_already_set();
}

bool keep_model_copy(const py::object& model_file, const py::object& copy) {
  return helpers().attr("keep_model_copy")(model_file, copy).cast<bool>();
}

void restore_model_copy(const py::object& model_file, const py::object& copy) {
  helpers().attr("restore_model_copy")(model_file, copy);
}

}  // namespace run_files
