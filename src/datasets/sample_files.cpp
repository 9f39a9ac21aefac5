#include "datasets/sample_files.hpp"

#include <sys/stat.h>

#include <string_view>

namespace sample_files {

namespace {

py::module_ utils() { return py::module_::import("quillon.forgeline.datasets.utils"); }

bool truthy(const py::handle& value) {
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

// Pairing calls join, basename, splitext and exists for every image, for up
// to millions of images. When those module globals are the standard POSIX
// ones (os.path is posixpath) and the paths are text, the same work is done
// here, as those functions do it, without four Python calls per image.
bool standard_posix_path_functions(const pyclass::Globals& g) {
  py::module_ path = py::module_::import("os.path");
  if (path.attr("__name__").cast<std::string>() != "posixpath") return false;
  for (const char* name : {"join", "basename", "splitext", "exists"}) {
    if (!g[name].is(path.attr(name))) return false;
  }
  return true;
}

py::str text(PyObject* object) {
  if (object == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(object);
}

// join(folder, splitext(basename(image))[0] + suffix), as posixpath computes it.
py::str posix_annotation_path(const py::str& image, const py::str& folder, const py::str& suffix) {
  Py_ssize_t length = PyUnicode_GetLength(image.ptr());
  Py_ssize_t name_start = PyUnicode_FindChar(image.ptr(), '/', 0, length, -1) + 1;  // basename
  Py_ssize_t dot = PyUnicode_FindChar(image.ptr(), '.', name_start, length, -1);
  // splitext: the last dot ends the stem unless only dots come before it.
  Py_ssize_t stem_end = length;
  for (Py_ssize_t index = name_start; dot > name_start && index < dot; ++index) {
    if (PyUnicode_ReadChar(image.ptr(), index) != '.') {
      stem_end = dot;
      break;
    }
  }
  py::str name =
      text(PyUnicode_Concat(text(PyUnicode_Substring(image.ptr(), name_start, stem_end)).ptr(), suffix.ptr()));
  Py_ssize_t folder_length = PyUnicode_GetLength(folder.ptr());
  bool needs_separator = folder_length > 0 && PyUnicode_ReadChar(folder.ptr(), folder_length - 1) != '/';
  return text(PyUnicode_Concat(
      needs_separator ? text(PyUnicode_Concat(folder.ptr(), py::str("/").ptr())).ptr() : folder.ptr(), name.ptr()));
}

// os.path.exists(path) for a text path: stat succeeds (a path the file system
// cannot take, one holding a NUL character, does not exist).
bool path_exists(const py::str& path) {
  PyObject* encoded = PyUnicode_EncodeFSDefault(path.ptr());
  if (encoded == nullptr) {
    PyErr_Clear();  // os.stat raises ValueError (or UnicodeEncodeError), which exists takes as False
    return false;
  }
  py::bytes bytes = py::reinterpret_steal<py::bytes>(encoded);
  std::string_view raw(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
  if (raw.find('\0') != std::string_view::npos) return false;
  struct stat status;
  return ::stat(raw.data(), &status) == 0;
}

std::string shown(const py::handle& value) { return py::str(py::repr(value)).cast<std::string>(); }

}  // namespace

py::list find_images(const pyclass::Globals& g, const py::object& glob_module, const py::object& folder) {
  return utils().attr("find_images")(folder, glob_module, g["join"]);
}

py::object annotation_path_for(const pyclass::Globals& g, const py::handle& image, const py::object& annotations_folder,
                               const std::string& suffix) {
  py::object stem = g["splitext"](g["basename"](image))[py::int_(0)];
  return g["join"](annotations_folder, stem + py::str(suffix));
}

py::list pair_with_annotations(const pyclass::Globals& g, const py::object& images,
                               const py::object& annotations_folder, const std::string& suffix,
                               const py::object& storage) {
  py::list unpaired;
  bool standard = standard_posix_path_functions(g) && py::isinstance<py::str>(annotations_folder);
  py::str suffix_text(suffix);
  // Looked up once, so that an image costs only the calls its pairing needs.
  py::object exists = g["exists"];
  for (py::handle image : py::iter(images)) {
    py::object annotation;
    bool paired;
    if (standard && PyUnicode_CheckExact(image.ptr())) {
      annotation = posix_annotation_path(py::reinterpret_borrow<py::str>(image), annotations_folder, suffix_text);
      paired = path_exists(annotation);
    } else {
      annotation = annotation_path_for(g, image, annotations_folder, suffix);
      paired = truthy(exists(annotation));
    }
    if (paired) {
      py::list entry;
      entry.append(image);
      entry.append(annotation);
      storage.attr("append")(entry);
    } else {
      unpaired.append(image);
    }
  }
  return unpaired;
}

std::string empty_split_note(const py::object& images_folder, const py::object& annotations_folder, size_t image_count,
                             const py::list& unpaired) {
  py::object describe = utils().attr("describe_folder");
  std::string note = "images folder searched: " + py::str(describe(images_folder)).cast<std::string>();
  if (image_count == 0) return note + "; it holds no PNG, JPG or JPEG file";
  note += "; " + std::to_string(image_count) + " image files found there, none with its annotation file";
  if (py::len(unpaired) > 0) note += " (first: " + shown(unpaired[0]) + ")";
  return note + "; annotations folder searched: " + py::str(describe(annotations_folder)).cast<std::string>();
}

void raise_with_cause(PyObject* type, const std::string& message, const std::string& cause) {
  py::object error = py::reinterpret_borrow<py::object>(type)(message);
  error.attr("__cause__") = py::reinterpret_borrow<py::object>(PyExc_ValueError)(cause);
  PyErr_SetObject(type, error.ptr());
  throw py::error_already_set();
}

}  // namespace sample_files
