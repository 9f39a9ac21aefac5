#include "trainer/run_files.hpp"

namespace run_files {

namespace {

void remove_quietly(const py::module_& os, const py::object& path) {
  if (os.attr("path").attr("exists")(path).cast<bool>()) os.attr("remove")(path);
}

}  // namespace

void sync_to_disk(const py::object& path) {
  py::module_ os = py::module_::import("os");
  py::object descriptor = os.attr("open")(path, os.attr("O_RDONLY"));
  try {
    os.attr("fsync")(descriptor);
  } catch (...) {
    os.attr("close")(descriptor);
    throw;
  }
  os.attr("close")(descriptor);
}

py::object temporary_path(const py::object& path) {
  py::module_ os = py::module_::import("os");
  py::object folder = os.attr("path").attr("dirname")(path);
  py::object name = os.attr("path").attr("basename")(path);
  py::tuple stem_ext = os.attr("path").attr("splitext")(name);
  py::str temporary_name = py::str(".{}.partial{}").format(stem_ext[0], stem_ext[1]);
  return os.attr("path").attr("join")(folder, temporary_name);
}

void save_atomically(const py::object& path, const std::function<void(const py::object& temporary)>& save) {
  py::module_ os = py::module_::import("os");
  py::object temporary = temporary_path(path);
  try {
    save(temporary);
    sync_to_disk(temporary);
    os.attr("replace")(temporary, path);
  } catch (...) {
    // Keep the original error; the half-written file is of no use to anyone.
    try {
      remove_quietly(os, temporary);
    } catch (py::error_already_set&) {
    }
    throw;
  }
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

}  // namespace run_files
