// quillon.forgeline.datasets.darknet: object-detection datasets in the Darknet
// layout (a folder of images, a folder of `class cx cy w h` text files, one per
// image), described by a YAML file (DarknetDatasetYaml) or by an
// already-loaded mapping (DarknetDataset). The base class
// (quillon.forgeline.datasets.core.BaseDetectionDataset) validates, loads the
// storage and builds the pipelines; this module supplies the Darknet hooks.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "datasets/image_arrays.hpp"
#include "datasets/sample_files.hpp"
#include "pyclass/pyclass.hpp"

namespace py = pybind11;
using pyclass::Globals;

namespace {

const char* const kYamlDoc = R"doc(Darknet object-detection dataset described by a YAML file.

The description holds ``type`` ("darknet"), ``classes`` (names in label
order), optionally ``anchors``, and the ``train`` and ``validation`` sections,
each with the ``images`` and ``annotations`` folders. Every image (PNG, JPG,
JPEG) with an annotation file of the same base name in the annotations folder
is a sample; each annotation line is ``class cx cy w h`` with the box centre
and size normalised to 0..1.

Parameters
----------
info_file : path of the YAML dataset description.
shape : output image shape, height first ([H, W] or [H, W, 3]).
letter_box : letterbox training images (keep the aspect ratio, pad) instead
    of resizing them to ``shape``.
add_bkg_class : reserve class 0 for "background"; every label is shifted by one.
aug_cfg : augmentation name -> frequency, applied by the base class.
reduced_decode : decode training JPEGs at 1/2, 1/4 or 1/8 scale where that
    still gives at least the pixels the letterbox (or resize) keeps: much
    faster for images larger than ``shape``, pixels slightly different.
cache : None, "ram" or "disk": keep the loaded training samples (before the
    random augmentation) so that later epochs do not decode them again.
cache_dir : the folder of a disk cache (default: ~/.cache/quillon-forgeline/images).
)doc";

const char* const kDatasetDoc = R"doc(Darknet object-detection dataset built from an already-loaded description.

Same as ``DarknetDatasetYaml`` but takes the description mapping itself
(``info_dataset``); its ``type`` is set to "darknet" in place.
)doc";

// The columns of one Darknet annotation line: class cx cy w h.
constexpr size_t kAnnotationColumns = 5;

bool truthy(const py::handle& value) {
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

// A storage entry item as text: pipelines hand in bytes, direct callers may
// pass str or an eager string tensor.
std::string entry_path(py::object item) {
  if (py::hasattr(item, "numpy") && !py::isinstance<py::str>(item)) item = item.attr("numpy")();
  if (py::isinstance<py::bytes>(item)) return item.cast<std::string>();
  if (py::isinstance<py::str>(item)) return item.cast<std::string>();
  throw py::type_error("a storage entry holds two paths (bytes or str), got " +
                       py::str(py::type::of(item).attr("__name__")).cast<std::string>());
}

// Unpacks `data` into exactly two items, with Python's own unpacking messages.
std::pair<py::object, py::object> unpack_entry(const py::object& data) {
  py::list items(data);
  if (items.size() > 2) throw py::value_error("too many values to unpack (expected 2)");
  if (items.size() < 2) {
    throw py::value_error("not enough values to unpack (expected 2, got " + std::to_string(items.size()) + ")");
  }
  return {items[0], items[1]};
}

// Re-raises the current Python error as `type` with `message`, chaining the original.
[[noreturn]] void raise_chained(py::error_already_set& original, PyObject* type, const std::string& message) {
  py::raise_from(original, type, message.c_str());
  throw py::error_already_set();
}

// Reads a whole file. Returns 0 on success, else the errno of the failure.
int read_file(const std::string& path, std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return errno;
  char buffer[8192];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, count);
  int error = std::ferror(file) ? (errno != 0 ? errno : EIO) : 0;
  std::fclose(file);
  return error;
}

// A token of an annotation file as a message shows it: bytes that are not
// printable ASCII escaped, and at most 40 of them (a file may hold a number
// of a million digits).
std::string shown_token(std::string_view token) {
  constexpr size_t kShownBytes = 40;
  std::string shown;
  for (unsigned char byte : token.substr(0, kShownBytes)) {
    if (byte >= 0x20 && byte < 0x7F) {
      shown += static_cast<char>(byte);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      shown += escaped;
    }
  }
  if (token.size() > kShownBytes) shown += "... (" + std::to_string(token.size()) + " characters)";
  return shown;
}

bool parse_number(std::string_view token, double& value) {
  if (token.size() > 1 && token[0] == '+') token.remove_prefix(1);  // from_chars takes no leading '+'
  auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
  return error == std::errc() && end == token.data() + token.size() && std::isfinite(value);
}

// Darknet label rows as a file holds them (`class cx cy w h`), with the line
// each comes from.
struct LabelRows {
  std::vector<double> values;  // kAnnotationColumns per row
  std::vector<long> lines;     // 1-based line number of each row
};

// Parses Darknet label text: five white-space separated finite numbers a
// line, '#' starting a comment, blank lines skipped, an optional UTF-8 byte
// order mark. Comments are never interpreted, so they may hold any bytes (a
// Latin-1 note is harmless); the numbers themselves are ASCII. Returns an
// empty string on success, else what is wrong and on which line.
std::string parse_labels(std::string_view text, LabelRows& rows) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // UTF-8 byte order mark
  const char* const blanks = " \t\r\n\v\f";
  long line_number = 0;
  while (!text.empty()) {
    size_t line_end = text.find('\n');
    std::string_view line = text.substr(0, line_end);
    text.remove_prefix(line_end == std::string_view::npos ? text.size() : line_end + 1);
    std::string where = "line " + std::to_string(++line_number);
    line = line.substr(0, line.find('#'));

    double values[kAnnotationColumns];
    size_t count = 0;
    size_t start = line.find_first_not_of(blanks);
    while (start != std::string_view::npos) {
      size_t stop = line.find_first_of(blanks, start);
      std::string_view token = line.substr(start, stop == std::string_view::npos ? stop : stop - start);
      if (count < kAnnotationColumns && !parse_number(token, values[count])) {
        return where + ": '" + shown_token(token) + "' is not a finite number";
      }
      ++count;
      start = stop == std::string_view::npos ? stop : line.find_first_not_of(blanks, stop);
    }
    if (count == 0) continue;
    if (count != kAnnotationColumns) {
      return where + " holds " + std::to_string(count) + " values, expected 5 (class cx cy w h)";
    }
    rows.values.insert(rows.values.end(), values, values + kAnnotationColumns);
    rows.lines.push_back(line_number);
  }
  return "";
}

// Empty when every class of `rows` is a whole number below `class_count`,
// else the line of the first that is not.
std::string class_problem(const LabelRows& rows, double class_count) {
  for (size_t row = 0; row < rows.lines.size(); ++row) {
    double label = rows.values[row * kAnnotationColumns];
    if (label < 0 || label >= class_count || label != std::floor(label)) {
      char shown[32];
      std::snprintf(shown, sizeof shown, "%.10g", label);
      return "line " + std::to_string(rows.lines[row]) + ": class " + shown + " is not one of the " +
             std::to_string(static_cast<long>(std::max(class_count, 0.0))) + " classes of the description";
    }
  }
  return "";
}

double clip(double value, double low, double high) { return value < low ? low : (value > high ? high : value); }

// Decodes the opened image `opened`. A truncated file is decoded as far as it
// goes (the rest left blank), as Darknet datasets always have, with a warning
// naming the file. Pillow's tolerance is a process-wide switch: it is on only
// while such a file is decoded again, so that other loaders keep failing on
// truncated files. Returns the decoded image (a new one when decoded again).
py::object decoded(const Globals& g, const py::object& opened, const std::string& img_path) {
  try {
    opened.attr("load")();
    return opened;
  } catch (py::error_already_set& strict_error) {
    if (!strict_error.matches(PyExc_OSError)) throw;
    // Tolerant decodes in flight; changed with the GIL held only.
    static int tolerant_decodes = 0;
    static bool saved_setting = false;
    py::object image_file = g["ImageFile"];
    if (tolerant_decodes++ == 0) {
      saved_setting = truthy(image_file.attr("LOAD_TRUNCATED_IMAGES"));
      image_file.attr("LOAD_TRUNCATED_IMAGES") = true;
    }
    py::object again;
    try {
      again = g["Image"].attr("open")(img_path);
      again.attr("load")();
    } catch (py::error_already_set&) {
      if (--tolerant_decodes == 0) image_file.attr("LOAD_TRUNCATED_IMAGES") = saved_setting;
      if (again) again.attr("close")();
      throw strict_error;
    }
    if (--tolerant_decodes == 0) image_file.attr("LOAD_TRUNCATED_IMAGES") = saved_setting;
    opened.attr("close")();
    py::tuple size = again.attr("size");
    g["warnings"].attr("warn")(py::str("{}: {} (declared {}x{}); decoded as far as the file goes, the rest left blank")
                                   .format(img_path, strict_error.value(), size[0], size[1]));
    return again;
  }
}

// Opens, decodes and converts the image to RGB; returns it as an HxWx3 uint8
// array. With `needed`, a JPEG is decoded at the reduced scale that still
// gives those pixels (decode_rgb_at_least). Failures name the file.
py::object read_rgb_image(const Globals& g, const py::object& dataset, const std::string& img_path,
                          const image_arrays::NeededSize& needed = nullptr) {
  if (needed) {
    py::object reduced = image_arrays::decode_rgb_at_least(img_path, needed);
    if (reduced) {
      image_arrays::warn_if_exif_rotated(dataset, py::none(), py::str(img_path));
      return reduced;
    }
  }
  try {
    py::object opened = g["Image"].attr("open")(img_path);
    try {
      opened = decoded(g, opened, img_path);
      image_arrays::warn_if_exif_rotated(dataset, opened, py::str(img_path));
      // An RGB image needs no conversion (convert would only copy it).
      py::object original = image_arrays::rgb_image(opened, py::str(img_path));
      py::object pixels = image_arrays::rgb_array(g, original);
      opened.attr("close")();
      return pixels;
    } catch (py::error_already_set&) {
      opened.attr("close")();
      throw;
    }
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;  // KeyboardInterrupt and the like pass unchanged
    bool named = py::str(error.value()).cast<std::string>().find(img_path) != std::string::npos;
    if (named && !error.matches(PyExc_OSError)) throw;  // the pixel conversion's own message
    PyObject* type = error.matches(PyExc_OSError) ? error.type().ptr() : PyExc_ValueError;
    raise_chained(error, type, "Cannot load image " + img_path + ": " + py::str(error.value()).cast<std::string>());
  }
}

// Reads the Darknet label file `path` (see parse_labels). Raises OSError when
// it cannot be read and ValueError naming the file and line when it is malformed.
LabelRows read_labels(const std::string& path) {
  LabelRows rows;
  std::string problem;
  int read_error;
  {
    py::gil_scoped_release release;
    std::string content;
    read_error = read_file(path, content);
    if (read_error == 0) problem = parse_labels(content, rows);
  }
  if (read_error != 0) {
    errno = read_error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  if (!problem.empty()) throw py::value_error("Malformed annotation file " + path + ": " + problem);
  return rows;
}

// The loader's annotations: rows of `cx cy w h class` (N x 5, float64), the
// class column moved from first to last. A missing file means no objects;
// a class that is not one of `class_count` is an error naming the file.
py::array_t<double> read_annotations(const Globals& g, const std::string& ann_path, double class_count) {
  LabelRows rows;
  if (truthy(g["exists"](ann_path))) rows = read_labels(ann_path);
  std::string problem = class_problem(rows, class_count);
  if (!problem.empty()) throw py::value_error("Malformed annotation file " + ann_path + ": " + problem);
  size_t count = rows.lines.size();
  py::array_t<double> table({count, kAnnotationColumns});
  double* out = table.mutable_data();
  for (size_t row = 0; row < count; ++row, out += kAnnotationColumns) {
    const double* in = rows.values.data() + row * kAnnotationColumns;
    std::copy(in + 1, in + kAnnotationColumns, out);
    out[kAnnotationColumns - 1] = in[0];
  }
  return table;
}

// read_darknet_labels(path, line_numbers=False): the module function that
// up-front checks use, so that they read label files exactly as the loader does.
py::object read_darknet_labels(const py::object& path, bool line_numbers) {
  std::string text_path = py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>();
  LabelRows rows = read_labels(text_path);
  size_t count = rows.lines.size();
  // float64: the numbers exactly as parsed, so a check of the class index
  // sees what the loader sees (float32 would round 1.00000001 to 1).
  py::array_t<double> table({count, kAnnotationColumns});
  std::copy(rows.values.begin(), rows.values.end(), table.mutable_data());
  if (!line_numbers) return std::move(table);
  py::array_t<long> lines(static_cast<py::ssize_t>(count));
  std::copy(rows.lines.begin(), rows.lines.end(), lines.mutable_data());
  return py::make_tuple(table, lines);
}

}  // namespace

PYBIND11_MODULE(darknet, m) {
  Globals g(m);
  g.bind_from("quillon.forgeline.datasets.utils", "letterbox");
  g.bind_from("quillon.forgeline.datasets.utils", "xywhn2xyxy");
  g.bind_from("quillon.forgeline.datasets.core", "BaseDetectionDataset");
  g.bind_from("quillon.forgeline.datasets.checks", "label_files_with_clipped_boxes");
  g.bind("tf", py::module_::import("tensorflow"));
  g.bind("Image", py::module_::import("PIL.Image"));
  g.bind("ImageFile", py::module_::import("PIL.ImageFile"));
  g.bind_from("os.path", "join");
  g.bind_from("os.path", "basename");
  g.bind_from("os.path", "splitext");
  g.bind_from("os.path", "exists");
  g.bind("np", py::module_::import("numpy"));
  g.bind("glob", py::module_::import("glob"));
  g.bind("cv2", py::module_::import("cv2"));
  g.bind("tqdm", py::module_::import("tqdm"));
  g.bind("warnings", py::module_::import("warnings"));

  g["np"].attr("seterr")(py::arg("all") = "ignore");
  // Pillow's tolerance of truncated files is switched on only while this
  // module decodes such a file (see `decoded`), not for the whole process.

  // ---- DarknetDatasetYaml -------------------------------------------------
  pyclass::ClassBuilder yaml_cls(m, "DarknetDatasetYaml", py::make_tuple(g["BaseDetectionDataset"]), kYamlDoc);

  yaml_cls.method(
      "__init__",
      [g](py::object self, py::object info_file, py::object shape, py::object letter_box, py::object add_bkg_class,
          py::object aug_cfg, py::object reduced_decode, py::object cache, py::object cache_dir) {
        pyclass::require_exact_type(info_file, "info_file", &PyUnicode_Type);
        pyclass::require_exact_type(shape, "shape", &PyList_Type);
        pyclass::require_exact_type(aug_cfg, "aug_cfg", &PyDict_Type);
        pyclass::super(g["DarknetDatasetYaml"], self)
            .attr("__init__")(info_file, shape, letter_box, py::arg("add_bkg_class") = add_bkg_class,
                              py::arg("aug_cfg") = aug_cfg, py::arg("reduced_decode") = reduced_decode,
                              py::arg("cache") = cache, py::arg("cache_dir") = cache_dir);
        // Set after the base constructor: the base class validates the
        // description only once the most-derived constructor has returned.
        self.attr("path_train_images") = py::none();
        self.attr("path_train_annotations") = py::none();
        self.attr("path_val_images") = py::none();
        self.attr("path_val_annotations") = py::none();
        self.attr("train_images") = py::none();
        self.attr("val_images") = py::none();
        self.attr("train_annotations") = py::none();
        self.attr("val_annotations") = py::list();
      },
      py::arg("info_file") = py::none(), py::arg("shape") = py::none(), py::arg("letter_box") = true,
      py::arg("add_bkg_class") = true, py::arg("aug_cfg") = py::none(), py::arg("reduced_decode") = false,
      py::arg("cache") = py::none(), py::arg("cache_dir") = py::none(),
      "Reads and checks the YAML description `info_file` and pairs every image of its splits with its "
      "annotation file; the class docstring describes the parameters.");

  yaml_cls.method(
      "validate_info_file_content",
      [g](py::object self, py::object info_dataset) {
        pyclass::require_exact_type(info_dataset, "info_dataset", &PyDict_Type);
        if (info_dataset.is_none()) {
          throw py::attribute_error("[ERROR]: No dataset description was given (info_dataset is None)");
        }
        py::dict description = info_dataset;

        py::object ds_type = description.attr("get")("type");
        if (!py::isinstance<py::str>(ds_type)) {
          throw py::attribute_error(py::str("[ERROR]: Dataset description key ``type`` must be a string, got {!r}")
                                        .format(ds_type)
                                        .cast<std::string>());
        }
        if (ds_type.attr("lower")().cast<std::string>() != "darknet") {
          throw py::value_error(
              py::str("[ERROR]: Incompatible dataset type was found: {} is different than ``darknet``")
                  .format(ds_type)
                  .cast<std::string>());
        }

        py::object classes = description.attr("get")("classes");
        // A string or tuple would pass the length check and give wrong class names.
        if (!py::isinstance<py::list>(classes)) {
          throw py::type_error(
              py::str("[ERROR]: Dataset description key ``classes`` must be a list of class names, got {}")
                  .format(py::type::of(classes).attr("__name__"))
                  .cast<std::string>());
        }
        for (size_t index = 0; index < py::len(classes); ++index) {
          py::object name = classes[py::int_(index)];
          if (!py::isinstance<py::str>(name)) {
            throw py::type_error(
                py::str(
                    "[ERROR]: Dataset description key ``classes`` must hold class names (strings); entry {} is {!r}")
                    .format(index, name)
                    .cast<std::string>());
          }
        }
        self.attr("classes") = classes;
        self.attr("_anchors") = description.attr("get")("anchors");
        py::object class_offset = self.attr("class_offset");
        if (class_offset > py::int_(0)) {
          self.attr("classes") = py::list(py::make_tuple("background")) + classes;
        }
        if (py::len(self.attr("classes")) == 0) {
          throw py::value_error("[ERROR]: Invalid dataset with no annotation classes was found");
        }

        py::object train = description.attr("get")("train", py::dict());
        py::object val = description.attr("get")("validation", py::dict());
        if (train.is_none()) pyclass::print("\t - [ERROR] Dataset format is inconsistent. Missing key ``train``");
        if (val.is_none()) pyclass::print("\t - [ERROR] Dataset format is inconsistent. Missing key ``validation``");

        struct Section {
          py::object content;
          const char* key;           // as written in the description
          const char* message_name;  // as the error message names it
          const char* images_attr;
          const char* annotations_attr;
        };
        for (const Section& section :
             {Section{train, "train", "train", "path_train_images", "path_train_annotations"},
              Section{val, "validation", "validate", "path_val_images", "path_val_annotations"}}) {
          py::object images = py::none();
          py::object annotations = py::none();
          if (!section.content.is_none()) {
            if (!py::isinstance<py::dict>(section.content)) {
              throw py::value_error(std::string("[ERROR]: ``") + section.key +
                                    "`` must be a section holding ``images`` and ``annotations``");
            }
            images = section.content.attr("get")("images");
            annotations = section.content.attr("get")("annotations");
          }
          self.attr(section.images_attr) = images;
          self.attr(section.annotations_attr) = annotations;
          if (images.is_none() || annotations.is_none()) {
            throw py::value_error(
                std::string("[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``") +
                section.message_name + "`` section");
          }
          // An empty path would search the current folder.
          for (const auto& [folder, key] : {std::pair{images, "images"}, std::pair{annotations, "annotations"}}) {
            if (!py::isinstance<py::str>(folder) || py::len(folder) == 0) {
              throw py::value_error(py::str("[ERROR]: ``{}`` of the ``{}`` section must be a folder path, got {!r}")
                                        .format(key, section.key, folder)
                                        .cast<std::string>());
            }
          }
        }
      },
      py::arg("info_dataset") = py::none(),
      "Checks a loaded description (type, classes, the images and annotations folders of each split); "
      "raises naming the key (the base class adds the description file as the cause).");

  yaml_cls.method(
      "load_instance",
      [g](py::object self, py::object data, py::object training) -> py::tuple {
        auto [img_item, ann_item] = unpack_entry(data);
        std::string img_path = entry_path(img_item);
        bool is_training = truthy(training);

        py::object shape = self.attr("shape");
        bool letter_box = is_training && truthy(self.attr("letter_box"));  // read for training samples only
        image_arrays::NeededSize needed;
        if (is_training && truthy(py::getattr(self, "reduced_decode", py::bool_(false)))) {
          double out_h = shape[py::int_(0)].cast<double>(), out_w = shape[py::int_(1)].cast<double>();
          needed = [=](double width, double height) {
            if (!letter_box) return std::pair{out_w, out_h};
            // The size letterbox resizes the image to (Python's round: half to even).
            double ratio = std::min(out_h / height, out_w / width);
            return std::pair{std::nearbyint(width * ratio), std::nearbyint(height * ratio)};
          };
        }
        py::object img = read_rgb_image(g, self, img_path, needed);
        py::tuple original_shape = img.attr("shape");
        double oH = original_shape[0].cast<double>();
        double oW = original_shape[1].cast<double>();

        py::object w, h, padw, padh;
        if (is_training) try {
            if (letter_box) {
              py::tuple boxed = g["letterbox"](img, shape[py::slice(0, 2, 1)], py::arg("auto") = false);
              img = boxed[0];
              py::object ratio = boxed[1];
              py::object pad = boxed[2];
              w = py::float_(ratio[py::int_(0)].cast<double>() * oW);
              h = py::float_(ratio[py::int_(1)].cast<double>() * oH);
              padw = pad[py::int_(0)];
              padh = pad[py::int_(1)];
            } else {
              // OpenCV takes the size width first.
              img = g["cv2"].attr("resize")(img, py::make_tuple(shape[py::int_(1)], shape[py::int_(0)]));
              w = shape[py::int_(1)];
              h = shape[py::int_(0)];
              padw = py::int_(0);
              padh = py::int_(0);
            }
          } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
            raise_chained(error, PyExc_ValueError,
                          "Cannot resize image " + img_path + " (" + std::to_string(static_cast<long>(oW)) + "x" +
                              std::to_string(static_cast<long>(oH)) +
                              "): " + py::str(error.value()).cast<std::string>());
          }

        // Training images are copied into their batch by the base class; a
        // validation image leaves alone, through tf.numpy_function.
        if (!is_training) img = image_arrays::adoptable_image(img);

        std::string ann_path = entry_path(ann_item);
        // Labels index the description's classes (those after the background class).
        double label_offset = self.attr("class_offset").cast<double>();
        double class_count = static_cast<double>(py::len(self.attr("classes"))) - label_offset;
        py::array_t<double> annotations = read_annotations(g, ann_path, class_count);
        size_t count = static_cast<size_t>(annotations.shape(0));

        py::object name = is_training ? py::object() : g["basename"](img_path);
        if (count == 0) {
          // No objects: one all-zero row, which batching treats as padding.
          py::array_t<float> empty({size_t{1}, kAnnotationColumns});
          std::fill_n(empty.mutable_data(), kAnnotationColumns, 0.0f);
          if (is_training) return py::make_tuple(img, empty);
          return py::make_tuple(img, empty, name);
        }

        py::object converted = is_training
                                   ? g["xywhn2xyxy"](annotations, w, h, py::arg("padw") = padw, py::arg("padh") = padh)
                                   : g["xywhn2xyxy"](annotations, original_shape[1], original_shape[0],
                                                     py::arg("padw") = 0, py::arg("padh") = 0);
        auto corners = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(converted);
        if (!corners || corners.ndim() != 2 || static_cast<size_t>(corners.shape(0)) != count ||
            static_cast<size_t>(corners.shape(1)) != kAnnotationColumns) {
          throw py::value_error("xywhn2xyxy must return an N x 5 numeric array for " + ann_path);
        }

        // Training boxes are clipped to the output image in pixels; validation
        // boxes are normalised by the original size and clipped to 0..1.
        double x_scale = is_training ? 1.0 : oW;
        double y_scale = is_training ? 1.0 : oH;
        double x_max = is_training ? shape[py::int_(1)].cast<double>() : 1.0;
        double y_max = is_training ? shape[py::int_(0)].cast<double>() : 1.0;
        py::array_t<float> bboxes({count, kAnnotationColumns});
        // A few rows: too little work to be worth handing the GIL over.
        const double* in = corners.data();
        float* out = bboxes.mutable_data();
        for (size_t row = 0; row < count; ++row, in += kAnnotationColumns, out += kAnnotationColumns) {
          out[0] = static_cast<float>(clip(in[0] / x_scale, 0.0, x_max));
          out[1] = static_cast<float>(clip(in[1] / y_scale, 0.0, y_max));
          out[2] = static_cast<float>(clip(in[2] / x_scale, 0.0, x_max));
          out[3] = static_cast<float>(clip(in[3] / y_scale, 0.0, y_max));
          out[4] = static_cast<float>(in[4] + label_offset);
        }
        if (is_training) return py::make_tuple(img, bboxes);
        return py::make_tuple(img, bboxes, name);
      },
      py::arg("data"), py::arg("training") = true,
      "Loads one (image path, annotation path) sample. For training (`training`): the RGB image letterboxed or "
      "resized to `shape` and its boxes (x1, y1, x2, y2 in its pixels, label); the base class augments them "
      "afterwards. For validation: the image at its own size, its boxes normalised to 0..1, and its file name.");

  yaml_cls.method(
      "load_storage",
      [g](py::object self) {
        struct Split {
          const char* images_attr;
          const char* annotations_attr;
          const char* storage_attr;
          const char* count_attr;
          const char* description;
          const char* empty_message;
        };
        const Split splits[] = {
            {"path_train_images", "path_train_annotations", "train_storage", "num_train_samples",
             "Loading training dataset", "[ERROR]: Dataset with empty training samples is not allowed"},
            {"path_val_images", "path_val_annotations", "val_storage", "num_val_samples", "Loading validation dataset",
             "[ERROR]: Dataset with empty validation samples is not allowed"},
        };
        for (const Split& split : splits) {
          py::object images_folder = self.attr(split.images_attr);
          py::list images = sample_files::find_images(g, g["glob"], images_folder);
          py::object loop =
              g["tqdm"].attr("tqdm")(images, py::arg("desc") = split.description, py::arg("colour") = "green",
                                     py::arg("bar_format") = "{l_bar}{bar:15}{r_bar}{bar:-15b}");
          py::object storage = self.attr(split.storage_attr);
          py::object annotations_folder = self.attr(split.annotations_attr);
          py::list unpaired = sample_files::pair_with_annotations(g, loop, annotations_folder, ".txt", storage);
          if (py::len(unpaired) > 0) {
            py::object first = unpaired[0];
            pyclass::print(
                py::str("\t - [WARNING]: {} images without annotation files were skipped (first: {}, which has "
                        "no {})")
                    .format(py::len(unpaired), first,
                            sample_files::annotation_path_for(g, first, annotations_folder, ".txt"))
                    .cast<std::string>());
          }
          py::int_ count(py::len(storage));
          self.attr(split.count_attr) = count;
          if (count.cast<long>() == 0) {
            sample_files::raise_with_cause(
                PyExc_ValueError, split.empty_message,
                sample_files::empty_split_note(images_folder, annotations_folder, py::len(images), unpaired));
          }
        }
      },
      "Finds the image and annotation pairs of both splits (train_storage, val_storage); an empty split "
      "raises, naming the folders searched.");

  yaml_cls.method(
      "label_files_with_clipped_boxes",
      [g](py::object /*self*/, py::object storage) {
        py::list label_files;
        for (py::handle entry : storage) label_files.append(entry[py::int_(1)]);
        return g["label_files_with_clipped_boxes"](label_files);
      },
      py::arg("storage"),
      "The annotation files of `storage` holding boxes that load_instance clips to the image "
      "(coordinates outside [0, 1], zero size); the pipelines warn about them once per split.");

  yaml_cls.method(
      "build_and_load_base_iterator",
      [g](py::object /*self*/, py::object storage, py::object shuffle) {
        pyclass::require_exact_type(storage, "storage", &PyList_Type);
        py::object iterator = g["tf"].attr("data").attr("Dataset").attr("from_tensor_slices")(storage);
        if (truthy(shuffle)) {
          // The buffer holds path pairs only, so a whole-dataset buffer is cheap.
          iterator = iterator.attr("shuffle")(py::arg("buffer_size") = iterator.attr("cardinality")());
        }
        return iterator;
      },
      py::arg("storage"), py::arg("shuffle") = true,
      "The first stage of a pipeline: a tf.data.Dataset of the (image path, annotation path) entries of "
      "`storage`, shuffled when `shuffle`; the base class maps load_instance over it.");

  yaml_cls.build();

  // ---- DarknetDataset -----------------------------------------------------
  pyclass::ClassBuilder dataset_cls(m, "DarknetDataset", py::make_tuple(g["DarknetDatasetYaml"]), kDatasetDoc);

  dataset_cls.method(
      "__init__",
      [g](py::object self, py::object info_dataset, py::object shape, py::object letter_box, py::object add_bkg_class,
          py::object aug_cfg, py::object reduced_decode, py::object cache, py::object cache_dir) {
        pyclass::require_exact_type(info_dataset, "info_dataset", &PyDict_Type);
        pyclass::require_exact_type(shape, "shape", &PyList_Type);
        pyclass::require_exact_type(aug_cfg, "aug_cfg", &PyDict_Type);
        if (info_dataset.is_none()) {
          throw py::attribute_error(
              "[ERROR]: DarknetDataset needs the dataset description mapping (info_dataset is None)");
        }
        self.attr("info_dataset") = info_dataset;
        // The caller's mapping is changed in place, as documented.
        info_dataset.attr("update")(py::dict(py::arg("type") = "darknet"));
        pyclass::super(g["DarknetDataset"], self)
            .attr("__init__")(py::arg("info_file") = py::none(), py::arg("shape") = shape,
                              py::arg("letter_box") = letter_box, py::arg("aug_cfg") = aug_cfg,
                              py::arg("add_bkg_class") = add_bkg_class, py::arg("reduced_decode") = reduced_decode,
                              py::arg("cache") = cache, py::arg("cache_dir") = cache_dir);
      },
      py::arg("info_dataset") = py::none(), py::arg("shape") = py::none(), py::arg("letter_box") = true,
      py::arg("add_bkg_class") = true, py::arg("aug_cfg") = py::none(), py::arg("reduced_decode") = false,
      py::arg("cache") = py::none(), py::arg("cache_dir") = py::none(),
      "Builds the dataset from an already-loaded description `info_dataset` (a dict with the keys of "
      "the YAML file).");

  dataset_cls.method(
      "validate_info_file",
      [g](py::object self, py::object info_file) {
        pyclass::require_exact_type(info_file, "info_file", &PyUnicode_Type);
        return self.attr("info_dataset");
      },
      py::arg("info_file"),
      "Returns the description given to the constructor: there is no file to read; `info_file` must be "
      "a str or None.");

  dataset_cls.build();

  m.def(
      "pair_samples",
      [g](const py::object& images_folder, const py::object& annotations_folder, const std::string& suffix) {
        py::list pairs;
        py::list images = sample_files::find_images(g, g["glob"], images_folder);
        py::list unpaired = sample_files::pair_with_annotations(g, images, annotations_folder, suffix, pairs);
        return py::make_tuple(pairs, unpaired);
      },
      py::arg("images_folder"), py::arg("annotations_folder"), py::arg("suffix"),
      "Pairs the images of `images_folder` with their annotation files as the datasets do: each image (PNG,\n"
      "JPG, JPEG, any letter case, at the folder's top level) with `annotations_folder`/<image stem><suffix>\n"
      "where that exists. Returns ([[image, annotation], ...], [images without one]).");

  m.def("read_darknet_labels", &read_darknet_labels, py::arg("path"), py::arg("line_numbers") = false,
        "Reads a Darknet label file by the loader's own rules: UTF-8 text (an optional byte order mark),\n"
        "'#' comments, blank lines skipped, five finite numbers a line. Returns the rows `class cx cy w h`\n"
        "as they stand in the file, a float64 array N x 5; with `line_numbers`, also the 1-based line of\n"
        "each row. Raises OSError when the file cannot be read and ValueError naming the file and the\n"
        "line when it is malformed. Class indices and coordinates are returned unchecked.");
}
