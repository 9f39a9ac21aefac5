// quillon.forgeline.datasets.attitude: head-pose ("attitude") datasets. Each
// class pairs image files with annotation files (MATLAB or JSON) on disk and
// turns the pairs into tf.data pipelines of images and head angles (pitch,
// yaw, roll), optionally with the face boxes.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "datasets/image_arrays.hpp"
#include "datasets/sample_files.hpp"
#include "pyclass/pyclass.hpp"

namespace py = pybind11;
using pyclass::Globals;

namespace {

const char* const kAttitudeDatasetDoc = R"doc(Core functionalities for loading and iterating on attitude datasets.

Parameters
----------
shape : dataset input shape, [height, width, channels].
train_images : absolute path of the folder with the training images (default None).
train_annotations : absolute path of the folder with the training annotations (default None).
val_images : absolute path of the folder with the validation images (default None).
val_annotations : absolute path of the folder with the validation annotations (default None).
num_bins : the number of angle bins (default 66), kept as ``num_bins`` for the
    model and the loss; the dataset delivers the angles themselves.
file_extension : the file extension used for saving annotations (default "mat").
reduced_decode : decode training JPEGs at 1/2, 1/4 or 1/8 scale where that
    still gives at least the pixels the resize to ``shape`` keeps (default
    False): much faster for images larger than ``shape``, pixels slightly
    different. The optional blur then works on the reduced image.
cache : None, "ram" or "disk": keep the decoded training images (before the
    random blur, crop and mirror) in memory or as files in ``cache_dir``, so
    that later epochs do not decode them again; a RAM cache that would not fit
    in memory is refused when the pipeline is built.
cache_dir : the folder of a disk cache (default: ~/.cache/quillon-forgeline/images).

Raises
------
FileNotFoundError : when any of the paths does not exist: the training
    folders at construction, the validation folders when
    ``build_val_iterator`` runs (at construction a missing validation folder
    leaves the validation split empty, which is the ValueError below).
ValueError : when the annotation files are not MATLAB files, or when the
    annotations or the images are empty.
)doc";

const char* const kAttitudeAndDetectDoc = R"doc(Extends the attitude dataset to detection plus attitude.

For each set of angles (pitch, yaw, roll) the bounding box enclosing the face
is included, with its class label. Annotations are JSON files holding
"boxes" (normalised cx, cy, w, h, label) and "angles" ("pitch", "yaw",
"roll" objects); batches are padded to the largest box and angle count.
)doc";

constexpr double kBlurProbability = 0.05;
constexpr double kMirrorProbability = 0.5;

[[noreturn]] void raise_error(PyObject* type, const py::str& message) {
  PyErr_SetObject(type, message.ptr());
  throw py::error_already_set();
}

// The toolkit's fatal-error reporter: a training folder that is missing ends
// construction here, with the finished message.
[[noreturn]] void report_fatal(const py::str& message) { raise_error(PyExc_FileNotFoundError, message); }

py::str path_text(const py::handle& path) { return py::module_::import("os").attr("fsdecode")(path); }

// Raises `error` again with the path of the file it concerns in front of its
// message, keeping its type where the type takes a plain message (ValueError
// otherwise) and chaining the original as the cause. Errors that already name
// the file (Pillow's, the OS's) pass unchanged.
[[noreturn]] void raise_with_path(py::error_already_set& error, const py::handle& path) {
  py::str text = path_text(path);
  py::object original = error.value();
  py::str reason(original);
  if (std::string(reason).find(std::string(text)) != std::string::npos) throw;
  if (error.matches(PyExc_KeyError)) reason = py::str("no entry {}").format(reason);
  py::str message = py::str("{}: {}").format(text, reason);
  py::object replacement;
  try {
    replacement = error.type()(message);
  } catch (py::error_already_set&) {
    replacement = py::reinterpret_borrow<py::object>(PyExc_ValueError)(message);
  }
  replacement.attr("__cause__") = original;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(replacement.ptr())), replacement.ptr());
  throw py::error_already_set();
}

// Runs `step`, which reads the file at `path`; its errors name that file.
template <typename Step>
py::object reading(const py::handle& path, Step&& step) {
  try {
    return step();
  } catch (py::error_already_set& error) {
    raise_with_path(error, path);
  }
}

// Opens `path` with Python's `open` in `mode`, hands the file to `use` and
// closes it again, also when `use` raises.
template <typename Use>
py::object with_open_file(const py::object& path, const char* mode, Use&& use) {
  py::dict options;
  if (std::string(mode).find('b') == std::string::npos) options["encoding"] = "utf-8";
  py::object file = py::module_::import("builtins").attr("open")(path, mode, **options);
  py::object result;
  try {
    result = use(file);
  } catch (...) {
    file.attr("close")();
    throw;
  }
  file.attr("close")();
  return result;
}

// `Image.open(path).convert("RGB")`, without the copy that convert makes of
// an image already in RGB, and with 16-bit grey pixels scaled to 8 bits.
py::object open_rgb(const Globals& g, const py::handle& dataset, const py::handle& path) {
  py::object image = g["Image"].attr("open")(path);
  image_arrays::warn_if_exif_rotated(dataset, image, path);
  return image_arrays::rgb_image(image, path);
}

// The pixels of the image file, for the loaders to blur, crop and resize:
// HxWx4 as Pillow keeps them (R, G, B and a padding byte) where Pillow shares
// its memory, else `np.asarray(open_rgb(path))`. OpenCV and the blur treat
// every channel alike, so dropping the padding from the result (`as_rgb`)
// gives what the same steps give on RGB pixels, without first packing the
// whole image to RGB.
//
// With `needed`, a JPEG is decoded at the reduced scale that still gives
// those pixels instead, as an HxWx3 array (decode_rgb_at_least).
py::object decoded_pixels(const Globals& g, const py::handle& dataset, const py::handle& path,
                          const image_arrays::NeededSize& needed = nullptr) {
  if (needed) {
    py::object reduced =
        image_arrays::decode_rgb_at_least(py::module_::import("os").attr("fsencode")(path).cast<std::string>(), needed);
    if (reduced) {
      image_arrays::warn_if_exif_rotated(dataset, py::none(), path);
      return reduced;
    }
  }
  py::object image = open_rgb(g, dataset, path);
  py::object rgbx = image_arrays::rgbx_pixels(image);
  return rgbx ? rgbx : g["np"].attr("asarray")(image);
}

// True while load_validation_instance runs a loader on this thread: the
// loader then decodes at full size and draws no random alteration, so a sample
// comes out as predict would see it.
thread_local bool validation_load = false;

// Whether `self` decodes its JPEGs reduced (objects of subclasses that skip
// the constructor do not; no loader does for validation).
bool decodes_reduced(const py::object& self) {
  return !validation_load && py::bool_(py::getattr(self, "reduced_decode", py::bool_(false)));
}

// The training pixels a loader of `self` needs to resize a whole image to
// `shape`; none (a full-size decode) unless the dataset decodes reduced.
image_arrays::NeededSize whole_image_needs(const py::object& self, const py::object& shape) {
  if (!decodes_reduced(self)) return nullptr;
  double width = shape[py::int_(1)].cast<double>(), height = shape[py::int_(0)].cast<double>();
  return [=](double, double) { return std::pair{width, height}; };
}

// `pixels` from decoded_pixels (or steps on them) as RGB: HxWx3 uint8. (The
// blur, too, takes RGB pixels: blurring the padding would cost a third more.)
py::object as_rgb(const py::object& pixels) {
  if (!py::isinstance<py::array>(pixels)) return pixels;
  auto array = py::reinterpret_borrow<py::array>(pixels);
  if (array.ndim() == 3 && array.shape(2) == 4) return image_arrays::first_three_channels(pixels);
  return pixels;
}

// The image cache of `self` (quillon.forgeline.datasets.image_cache), None
// when it caches nothing. It keeps the decoded pixels, before the loaders'
// random blur, crop and mirror; what they depend on besides the files is the
// class, the output shape and the decode scale.
py::object image_cache_of(const py::object& self) {
  py::str variant =
      py::str("{} shape={} reduced_decode={}")
          .format(py::type::of(self).attr("__qualname__"), py::list(self.attr("shape")), decodes_reduced(self));
  return py::module_::import("quillon.forgeline.datasets.image_cache").attr("for_dataset")(self, variant);
}

// The decoded pixels of the image of the storage entry `data` (image path,
// annotation path), read from the dataset's image cache where it keeps them.
py::object sample_pixels(const Globals& g, const py::object& self, const py::object& data,
                         const image_arrays::NeededSize& needed) {
  py::object image_path = data[py::int_(0)];
  auto decode = [&] { return reading(image_path, [&] { return decoded_pixels(g, self, image_path, needed); }); };
  if (validation_load) return decode();  // at full size: what training keeps is not what validation needs
  py::object cache = image_cache_of(self);
  if (cache.is_none()) return decode();
  py::tuple kept = cache.attr("fetch")(py::make_tuple(data[py::int_(0)], data[py::int_(1)]),
                                       py::cpp_function([&] { return py::make_tuple(as_rgb(decode())); }));
  return kept[0];
}

// The bytes of the RGB pixels decoded_pixels gives of the image at `path`
// with `needed`, from its header; 0 when it cannot be read (its loading then
// reports that).
std::size_t decoded_bytes(const Globals& g, const py::handle& path, const image_arrays::NeededSize& needed) {
  py::object image;
  try {
    image = g["Image"].attr("open")(path);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;
    return 0;
  }
  py::tuple size = image.attr("size");
  auto width = size[0].cast<double>(), height = size[1].cast<double>();
  bool jpeg = py::str(image.attr("format")).cast<std::string>() == "JPEG";
  image.attr("close")();
  int reduction = 1;
  if (needed && jpeg) {
    auto [needed_width, needed_height] = needed(width, height);
    reduction = image_arrays::reduction_for(width, height, needed_width, needed_height);
  }
  return static_cast<std::size_t>(std::ceil(width / reduction) * std::ceil(height / reduction) * 3);
}

using Pixels = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

// Pillow's ImageFilter.BLUR, bit for bit: a pixel at least two pixels away
// from every edge becomes the mean of the 16 pixels on the ring of its 5x5
// neighbourhood, rounded half up; the two-pixel frame is kept, and so is an
// image less than 5 pixels high or wide. Pillow's generic 5x5 kernel takes
// several times as long as decoding the image; this takes a fifth of Pillow's
// time (a tenth when built with -O3) and runs without the GIL.
Pixels blurred(const Pixels& image) {
  if (image.ndim() != 3) throw py::value_error("blur: expected a height x width x channels image");
  const py::ssize_t height = image.shape(0), width = image.shape(1), channels = image.shape(2);
  Pixels result({height, width, channels});
  const std::uint8_t* in = image.data();
  std::uint8_t* out = result.mutable_data();
  {
    py::gil_scoped_release release;
    const py::ssize_t row = width * channels;
    std::memcpy(out, in, static_cast<std::size_t>(height * row));
    if (height >= 5 && width >= 5) {
      // Column sums over the 5 rows of the neighbourhood and over its middle 3
      // (at most 5 * 255, and a ring sum at most 16 * 255: 16 bits suffice).
      // The pointers are declared unaliased so that the loops vectorise.
      std::vector<std::uint16_t> outer_sums(static_cast<std::size_t>(row)), inner_sums(static_cast<std::size_t>(row));
      std::uint16_t* __restrict outer = outer_sums.data();
      std::uint16_t* __restrict inner = inner_sums.data();
      const py::ssize_t c = channels;
      for (py::ssize_t y = 2; y < height - 2; ++y) {
        const std::uint8_t* __restrict above2 = in + (y - 2) * row;
        const std::uint8_t* __restrict above1 = above2 + row;
        const std::uint8_t* __restrict middle = above1 + row;
        const std::uint8_t* __restrict below1 = middle + row;
        const std::uint8_t* __restrict below2 = below1 + row;
        for (py::ssize_t i = 0; i < row; ++i) {
          inner[i] = static_cast<std::uint16_t>(above1[i] + middle[i] + below1[i]);
          outer[i] = static_cast<std::uint16_t>(inner[i] + above2[i] + below2[i]);
        }
        std::uint8_t* __restrict target = out + y * row;
        for (py::ssize_t i = 2 * c; i < row - 2 * c; ++i) {
          const int ring = outer[i - 2 * c] + outer[i - c] + outer[i] + outer[i + c] + outer[i + 2 * c] -
                           (inner[i - c] + inner[i] + inner[i + c]);
          target[i] = static_cast<std::uint8_t>((ring + 8) >> 4);
        }
      }
    }
  }
  return result;
}

py::object read_json(const Globals& g, const py::object& path) {
  return with_open_file(path, "rb", [&](const py::object& file) { return g["json"].attr("load")(file); });
}

bool random_draw_below(const Globals& g, const char* draw, double threshold) {
  if (validation_load) return false;
  return g["np"].attr("random").attr(draw)().cast<double>() < threshold;
}

// A uint8 array of `height` x `width` with the channels of `image` (an
// HxWxC uint8 array), in a buffer TensorFlow adopts without copying; None for
// any other image, which OpenCV then gives a buffer of its own.
py::object adoptable_output(const py::object& image, const py::object& height, const py::object& width) {
  if (!py::isinstance<py::array_t<std::uint8_t>>(image)) return py::none();
  auto pixels = py::reinterpret_borrow<py::array>(image);
  if (pixels.ndim() != 3) return py::none();
  return image_arrays::pooled_array({height.cast<py::ssize_t>(), width.cast<py::ssize_t>(), pixels.shape(2)});
}

// `cv2.resize(image, (width, height))` to the dataset's input size.
py::object resize_to_shape(const Globals& g, const py::object& image, const py::object& shape) {
  py::object height = shape[py::int_(0)], width = shape[py::int_(1)];
  return g["cv2"].attr("resize")(image, py::make_tuple(width, height),
                                 py::arg("dst") = adoptable_output(image, height, width));
}

// `cv2.flip(image, 1)`: the image mirrored left to right.
py::object mirrored(const Globals& g, const py::object& image) {
  py::object output = py::none();
  if (py::isinstance<py::array>(image) && py::reinterpret_borrow<py::array>(image).ndim() == 3) {
    auto pixels = py::reinterpret_borrow<py::array>(image);
    output = adoptable_output(image, py::int_(pixels.shape(0)), py::int_(pixels.shape(1)));
  }
  return g["cv2"].attr("flip")(image, 1, py::arg("dst") = output);
}

py::object float32_array(const Globals& g, const py::handle& values) {
  py::object np = g["np"];
  return np.attr("asarray")(values, py::arg("dtype") = np.attr("float32"));
}

py::object numpy_function(const Globals& g, const py::object& function, const py::list& inputs,
                          const py::list& output_types) {
  return g["tf"].attr("numpy_function")(function, inputs, output_types);
}

// True when the augmentation hook `self._augment` is `defining_class`'s own,
// which returns its inputs unchanged; the pipeline then skips the round trip
// through Python (one numpy_function call per element, under the GIL). An
// override, on a subclass or on the object, is called as usual.
bool augment_is_identity(const py::object& self, const py::object& defining_class) {
  py::object hook = self.attr("_augment");
  py::object own = defining_class.attr("__dict__")["_augment"];
  return py::hasattr(hook, "__func__") && hook.attr("__func__").is(own.attr("__func__"));
}

// True when `self` runs `defining_class`'s own method `name`: neither the
// object nor a subclass replaces it.
bool uses_own_method(const py::object& self, const py::object& defining_class, const char* name) {
  py::object instance_attributes = py::getattr(self, "__dict__", py::none());
  if (!instance_attributes.is_none() && instance_attributes.contains(name)) return false;
  for (py::handle cls : py::type::of(self).attr("__mro__")) {
    py::object attributes = cls.attr("__dict__");
    if (attributes.contains(name)) return attributes[name].is(defining_class.attr("__dict__")[name]);
  }
  return false;
}

// Loads a batch of training storage entries (an array of [image path,
// annotation path] rows) with `self._load_instance`, checking each result as
// batching would: the images, all of one HxWx3 uint8 shape, stacked into one
// array that TensorFlow adopts without copying, and the angles (B x 3 float32).
py::tuple load_training_batch(const Globals& g, const py::object& self, const py::object& entries) {
  py::object load_instance = self.attr("_load_instance");
  const auto count = static_cast<py::ssize_t>(py::len(entries));
  std::vector<py::array_t<std::uint8_t, py::array::c_style>> images;
  py::array_t<float> angles({count, py::ssize_t{3}});
  for (py::ssize_t index = 0; index < count; ++index) {
    py::object entry = entries[py::int_(index)];
    // A sample whose files went bad while training runs is skipped (datasets.utils.load_readable).
    py::tuple loaded(g["load_readable"](self, load_instance, entry));
    auto problem = [&](const std::string& what) {
      return py::value_error(py::str("_load_instance({}) returned {}; a training batch needs an HxWx3 uint8 image "
                                     "of the dataset's shape and 3 float32 angles")
                                 .format(path_text(entry[py::int_(0)]), what)
                                 .cast<std::string>());
    };
    if (loaded.size() != 2) throw problem(std::to_string(loaded.size()) + " values");
    py::array image = py::array::ensure(loaded[0]);
    if (!image || !image.dtype().is(py::dtype::of<std::uint8_t>()) || image.ndim() != 3 || image.shape(2) != 3 ||
        (!images.empty() && !std::equal(image.shape(), image.shape() + 3, images.front().shape()))) {
      throw problem(
          py::str("an image of shape {} dtype {}")
              .format(py::getattr(loaded[0], "shape", py::none()), py::getattr(loaded[0], "dtype", py::none())));
    }
    py::array angle_values = py::array::ensure(loaded[1]);
    if (!angle_values || !angle_values.dtype().is(py::dtype::of<float>()) || angle_values.size() != 3) {
      throw problem("angles that are not 3 float32 values");
    }
    images.push_back(py::array_t<std::uint8_t, py::array::c_style>::ensure(image));
    auto values = py::array_t<float, py::array::c_style>::ensure(angle_values);
    std::copy(values.data(), values.data() + 3, angles.mutable_data(index));
  }
  if (images.empty()) throw py::value_error("a training batch needs at least one storage entry");
  py::array_t<std::uint8_t> batch =
      image_arrays::pooled_array({count, images.front().shape(0), images.front().shape(1), py::ssize_t{3}});
  {
    py::gil_scoped_release release;
    std::uint8_t* out = batch.mutable_data();
    for (const auto& image : images) {
      std::memcpy(out, image.data(), static_cast<std::size_t>(image.nbytes()));
      out += image.nbytes();
    }
  }
  return py::make_tuple(batch, angles);
}

py::list list_of(std::initializer_list<py::handle> items) {
  py::list list;
  for (py::handle item : items) list.append(item);
  return list;
}

py::list output_types(const Globals& g, std::initializer_list<const char*> names) {
  py::list types;
  for (const char* name : names) types.append(g["tf"].attr(name));
  return types;
}

// tf_augment of `sample`: the sample as it is while `defining_class`'s own
// _augment is in place (see augment_is_identity), else `self._augment` as a
// tf.numpy_function that gives tensors of `types`.
py::object augmented_in_pipeline(const Globals& g, const py::object& self, const py::object& defining_class,
                                 const py::list& sample, std::initializer_list<const char*> types) {
  if (augment_is_identity(self, defining_class)) return sample;
  return numpy_function(g, self.attr("_augment"), sample, output_types(g, types));
}

// Appends to `storage` an entry [image, annotation] for each image in
// `images_folder` whose annotation file (same stem, `extension`) exists in
// `annotations_folder`; the others are reported and left out. A split without
// entries raises `empty_message`, caused by an error that says what was found.
void load_split(const Globals& g, const py::object& images_folder, const py::object& annotations_folder,
                const py::object& extension, py::list storage, const char* empty_message) {
  py::list images = sample_files::find_images(g, py::module_::import("glob"), images_folder);
  std::string suffix = "." + extension.cast<std::string>();
  py::list unpaired = sample_files::pair_with_annotations(g, images, annotations_folder, suffix, storage);
  for (py::handle image : unpaired) {
    pyclass::print(py::str("Missing annotation file: {}").format(g["splitext"](g["basename"](image))[py::int_(0)]));
  }
  if (py::len(storage) == 0) {
    sample_files::raise_with_cause(
        PyExc_ValueError, empty_message,
        sample_files::empty_split_note(images_folder, annotations_folder, py::len(images), unpaired));
  }
}

py::int_ count_train_samples(py::object self) { return py::int_(py::len(self.attr("train_storage"))); }

// Reads the YAML dataset description at `info_file` with the toolkit's one
// YAML reader (quillon.forgeline.datasets.checks.load_yaml): plain data, no
// Python objects built from tags. Text that is not UTF-8 and nesting too deep
// to parse raise a ValueError naming the file; PyYAML's parse errors propagate.
py::object read_description(const Globals& g, const py::object& info_file) {
  if (!g["exists"](info_file).cast<bool>()) {
    raise_error(PyExc_FileNotFoundError,
                py::str("Description file for the current dataset does not exist at: {}").format(info_file));
  }
  return py::module_::import("quillon.forgeline.datasets.checks").attr("load_yaml")(info_file, "Dataset description");
}

// Runs `step`, which checks the description read from `info_file`; the
// errors it raises get a cause that names the file.
template <typename Step>
auto checking_description(const py::object& info_file, Step&& step) {
  try {
    return step();
  } catch (py::error_already_set& error) {
    if (error.matches(PyExc_Exception) && error.value().attr("__cause__").is_none()) {
      error.value().attr("__cause__") = py::reinterpret_borrow<py::object>(PyExc_ValueError)(
          py::str("in the dataset description {}").format(info_file));
    }
    throw;
  }
}

struct Folders {
  py::object train_images, train_annotations, val_images, val_annotations;
};

// The four folders of a description, checked first for presence, then for
// existence, with the messages that AttitudeDatasetYaml holds.
Folders described_folders(const Globals& g, const py::object& description) {
  py::object train = description.attr("get")("train", py::dict());
  py::object validation = description.attr("get")("validation", py::dict());
  Folders folders{train.attr("get")("images"), train.attr("get")("annotations"), validation.attr("get")("images"),
                  validation.attr("get")("annotations")};

  py::object messages = g["AttitudeDatasetYaml"];
  const std::array<std::pair<const py::object*, const char*>, 4> checks = {{
      {&folders.train_images, "train_msg_images"},
      {&folders.train_annotations, "train_msg_ann"},
      {&folders.val_images, "val_msg_images"},
      {&folders.val_annotations, "val_msg_ann"},
  }};
  for (const auto& [folder, message] : checks) {
    if (folder->is_none()) raise_error(PyExc_ValueError, messages.attr(message));
  }
  for (const auto& [folder, message] : checks) {
    if (!g["exists"](*folder).cast<bool>()) {
      raise_error(PyExc_FileNotFoundError, messages.attr("location_msg").attr("format")(*folder));
    }
  }
  return folders;
}

// "classes" of a description, which must name at least one class.
py::object described_classes(const py::object& description) {
  py::object classes = description.attr("get")("classes", py::list());
  if (py::len(classes) == 0) {
    raise_error(PyExc_ValueError, py::str("Invalid number of classes. The dataset should contain at least one class"));
  }
  return classes;
}

// What a YAML constructor passes on to its base, by keyword: `shape` and the
// four folders of the description at `info_file` (with `with_classes`, its
// classes too, checked before the folders), once both arguments' types, then
// the description, are checked.
py::dict described_arguments(const Globals& g, const py::object& shape, const py::object& info_file,
                             bool with_classes) {
  pyclass::require_exact_type(shape, "shape", &PyList_Type);
  pyclass::require_exact_type(info_file, "info_file", &PyUnicode_Type);
  py::object description = read_description(g, info_file);
  py::dict arguments;
  arguments["shape"] = shape;
  if (with_classes) {
    arguments["classes"] = checking_description(info_file, [&] { return described_classes(description); });
  }
  Folders folders = checking_description(info_file, [&] { return described_folders(g, description); });
  arguments["train_images"] = folders.train_images;
  arguments["train_annotations"] = folders.train_annotations;
  arguments["val_images"] = folders.val_images;
  arguments["val_annotations"] = folders.val_annotations;
  return arguments;
}

void require_folder_args(const py::handle& shape, const py::handle& train_images, const py::handle& train_annotations,
                         const py::handle& val_images, const py::handle& val_annotations) {
  pyclass::require_exact_type(shape, "shape", &PyList_Type);
  pyclass::require_exact_type(train_images, "train_images", &PyUnicode_Type);
  pyclass::require_exact_type(train_annotations, "train_annotations", &PyUnicode_Type);
  pyclass::require_exact_type(val_images, "val_images", &PyUnicode_Type);
  pyclass::require_exact_type(val_annotations, "val_annotations", &PyUnicode_Type);
}

using FloatRows = py::array_t<float, py::array::c_style | py::array::forcecast>;
using DoubleValues = py::array_t<double, py::array::c_style | py::array::forcecast>;

// True when every value is finite and fits a 32-bit float (values beyond it
// would become infinite in the float32 tensors the loaders return).
bool finite_float32(const DoubleValues& values) {
  return std::all_of(values.data(), values.data() + values.size(),
                     [](double value) { return std::isfinite(value) && std::fabs(value) <= FLT_MAX; });
}

// Raises a ValueError "<file>: <what> must be finite numbers, got <values>"
// unless `values` are finite 32-bit float values.
void require_finite(const DoubleValues& values, const py::handle& path, const char* what) {
  if (!finite_float32(values)) {
    raise_error(PyExc_ValueError,
                py::str("{}: {} must be finite numbers within the 32-bit float range, got {}")
                    .format(path_text(path), what, py::str(values).attr("__getitem__")(py::slice(0, 200, 1))));
  }
}

// The head angles (pitch, yaw, roll) of a MATLAB "Pose_Para" matrix: the
// first three values of its first row, which must be finite.
py::object pose_angles(const Globals& g, const py::object& pose_para, const py::handle& path) {
  py::array matrix = g["np"].attr("asarray")(pose_para);
  std::string kind = py::str(matrix.dtype().attr("kind")).cast<std::string>();
  if (kind.find_first_of("biuf") != 0 || matrix.ndim() != 2 || matrix.shape(0) < 1 || matrix.shape(1) < 3) {
    raise_error(PyExc_ValueError,
                py::str("{}: \"Pose_Para\" must be a numeric matrix whose first row starts with pitch, yaw, roll; "
                        "got shape {} dtype {}")
                    .format(path_text(path), matrix.attr("shape"), matrix.dtype()));
  }
  DoubleValues first = DoubleValues::ensure(matrix[py::int_(0)][py::slice(0, 3, 1)]);
  require_finite(first, path, "the \"Pose_Para\" angles");
  return float32_array(g, first);
}

// Pixel corners of the first face box of a JSON annotation (N x 5 rows,
// first_json_face), clamped to the image; a box with no pixel inside the
// image is an error of its file.
struct CropBox {
  py::ssize_t x1, y1, x2, y2;
};

CropBox first_face_crop(const FloatRows& boxes, py::ssize_t width, py::ssize_t height,
                        const py::object& annotation_path) {
  auto box = boxes.unchecked<2>();
  const float cx = box(0, 0), cy = box(0, 1), bw = box(0, 2), bh = box(0, 3);
  // Truncation toward zero after clamping equals clamping after truncation.
  auto corner = [](float value, py::ssize_t limit) {
    return static_cast<py::ssize_t>(std::clamp(value, 0.0f, static_cast<float>(limit)));
  };
  const float fw = static_cast<float>(width), fh = static_cast<float>(height);
  const std::array<float, 4> corners = {(cx - bw * 0.5f) * fw, (cy - bh * 0.5f) * fh, (cx + bw * 0.5f) * fw,
                                        (cy + bh * 0.5f) * fh};
  bool finite = std::all_of(corners.begin(), corners.end(), [](float v) { return std::isfinite(v); });
  CropBox crop{0, 0, 0, 0};
  if (finite) {
    crop = {corner(corners[0], width), corner(corners[1], height), corner(corners[2], width),
            corner(corners[3], height)};
  }
  if (!finite || crop.x2 <= crop.x1 || crop.y2 <= crop.y1) {
    raise_error(PyExc_ValueError,
                py::str("{}: the first face box ({}, {}, {}, {} normalised) holds no pixel of the {}x{} image")
                    .format(path_text(annotation_path), cx, cy, bw, bh, width, height));
  }
  return crop;
}

// The pixels (of the whole image) that cropping the first face box of a JSON
// annotation and resizing the crop to `shape` needs: the crop, whose corners
// are truncated to whole pixels (up to a pixel less on each side), must stay
// at least `shape`. The whole image's when the file lists no face; none (a
// full-size decode) when the boxes cannot be read, so that the loader reports
// them as usual.
image_arrays::NeededSize face_crop_needs(const py::object& annotation, const py::object& shape) {
  double width = shape[py::int_(1)].cast<double>(), height = shape[py::int_(0)].cast<double>();
  FloatRows boxes;
  try {
    boxes = FloatRows(annotation[py::str("boxes")]);
  } catch (py::error_already_set&) {
    return nullptr;
  }
  if (boxes.ndim() > 0 && boxes.shape(0) == 0) return [=](double, double) { return std::pair{width, height}; };
  if (boxes.ndim() != 2 || boxes.shape(1) != 5) return nullptr;
  auto box = boxes.unchecked<2>();
  double cx = box(0, 0), cy = box(0, 1), bw = box(0, 2), bh = box(0, 3);
  double crop_width = std::clamp(cx + bw / 2, 0.0, 1.0) - std::clamp(cx - bw / 2, 0.0, 1.0);
  double crop_height = std::clamp(cy + bh / 2, 0.0, 1.0) - std::clamp(cy - bh / 2, 0.0, 1.0);
  if (!(crop_width > 0 && crop_height > 0)) return nullptr;  // NaN too
  return [=](double, double) { return std::pair{(width + 2) / crop_width, (height + 2) / crop_height}; };
}

// Checks, before a RAM image cache fills, that the decoded images of the
// storage entries `storage` fit in memory (ImageCache.reserve), from their
// headers. A JSON dataset decodes reduced as far as its first face's crop
// allows.
void reserve_image_cache(const Globals& g, const py::object& self, const py::object& storage) {
  py::object cache = image_cache_of(self);
  if (cache.is_none() || cache.attr("kind").cast<std::string>() != "ram") return;
  py::object shape = self.attr("shape");
  bool face_crops = decodes_reduced(self) && py::isinstance(self, g["AttitudeDatasetJson"]);
  image_arrays::NeededSize whole_image = whole_image_needs(self, shape);
  std::size_t bytes = 0;
  for (py::handle entry : storage) {
    image_arrays::NeededSize needed = whole_image;
    if (face_crops) {
      try {
        needed = face_crop_needs(read_json(g, entry[py::int_(1)]), shape);
      } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        needed = nullptr;  // its loading reports what is wrong
      }
    }
    bytes += decoded_bytes(g, entry[py::int_(0)], needed);
  }
  cache.attr("reserve")(py::len(storage), bytes);
}

// Checks the N x 5 "boxes" rows of a detection-plus-attitude annotation: finite
// numbers, and labels that are whole numbers naming one of the dataset's
// classes (counted without the background class).
void require_box_rows(const py::object& self, const DoubleValues& boxes, const py::handle& path) {
  if (!boxes) {
    raise_error(
        PyExc_ValueError,
        py::str("{}: \"boxes\" must be a list of [cx, cy, w, h, label] rows of numbers").format(path_text(path)));
  }
  require_finite(boxes, path, "\"boxes\"");
  py::object classes = self.attr("classes");
  const long label_offset = self.attr("label_offset").cast<long>();
  const double class_count = py::isinstance<py::list>(classes)
                                 ? static_cast<double>(py::len(classes)) - static_cast<double>(label_offset)
                                 : HUGE_VAL;
  const double* values = boxes.data();
  for (py::ssize_t row = 0; row < boxes.size() / 5; ++row) {
    double label = values[row * 5 + 4];
    if (label < 0 || label >= class_count || label != std::floor(label)) {
      raise_error(PyExc_ValueError,
                  py::str("{}: box {} has label {}, which is not one of the {} classes of the dataset (labels count "
                          "from 0, without the background class)")
                      .format(path_text(path), row, label,
                              class_count == HUGE_VAL ? py::object(py::str("given"))
                                                      : py::object(py::int_(static_cast<long>(class_count)))));
    }
  }
}

std::array<float, 3> first_angle_row(const FloatRows& angles, const py::object& annotation_path) {
  if (angles.ndim() != 2 || angles.shape(0) == 0 || angles.shape(1) != 3) {
    raise_error(PyExc_ValueError, py::str("{}: \"angles\" must be a list of [pitch, yaw, roll] rows, one per box")
                                      .format(path_text(annotation_path)));
  }
  auto row = angles.unchecked<2>();
  std::array<float, 3> first = {row(0, 0), row(0, 1), row(0, 2)};
  if (!std::all_of(first.begin(), first.end(), [](float value) { return std::isfinite(value); })) {
    raise_error(PyExc_ValueError,
                py::str("{}: the first \"angles\" row must hold finite numbers within the 32-bit "
                        "float range, got {}")
                    .format(path_text(annotation_path), py::make_tuple(first[0], first[1], first[2])));
  }
  return first;
}

// One MATLAB pose annotation as read_annotations returns it: (pose, pt2d).
// Errors of the lookup or of the MATLAB reader propagate unchanged.
py::tuple read_mat_annotation(const Globals& g, const py::object& path) {
  // Only the two variables read are parsed; pose files carry several more.
  py::object content = g["sio"].attr("loadmat")(path, py::arg("variable_names") = py::make_tuple("Pose_Para", "pt2d"));
  py::object pose = pose_angles(g, content[py::str("Pose_Para")], path);
  py::object pt2d = float32_array(g, content[py::str("pt2d")]);
  return py::make_tuple(pose, pt2d);
}

// The first face of a JSON head-pose annotation: its "boxes" rows (checked to
// be N x 5) and its angles; `listed` is false when the file lists no box (the
// loader then takes the whole image at zero angles).
struct JsonFace {
  FloatRows boxes;
  std::array<float, 3> angles{0.0f, 0.0f, 0.0f};
  bool listed = false;
};

JsonFace first_json_face(const py::object& annotation, const py::object& path) {
  JsonFace face;
  FloatRows angles;
  reading(path, [&] {
    face.boxes = FloatRows(annotation[py::str("boxes")]);
    angles = FloatRows(annotation[py::str("angles")]);
    return py::none();
  });
  if (face.boxes.ndim() > 0 && face.boxes.shape(0) == 0) return face;
  face.angles = first_angle_row(angles, path);
  if (face.boxes.ndim() != 2 || face.boxes.shape(1) != 5) {
    raise_error(PyExc_ValueError,
                py::str("{}: \"boxes\" must be a list of [cx, cy, w, h, label] rows").format(path_text(path)));
  }
  face.listed = true;
  return face;
}

// ---- Training pipelines under tf.distribute ----

// The training pipeline, distributed under `strategy` (None: the pipeline
// itself), each worker building its own part from its share of the training
// storage (datasets.utils.worker_share): the image cache reserved for the
// share, the entries shuffled every epoch and cut to the epoch's samples, then
// `batches(entries, replica_batch_size)` loads and batches them, and the
// batches are prefetched.
template <typename Batches>
py::object training_pipeline(const Globals& g, const py::object& self, const py::object& batch_size,
                             const py::object& prefetch, const py::object& strategy, Batches batches) {
  std::string owner = py::str(py::type::of(self).attr("__name__")).cast<std::string>() + ".build_train_iterator";
  py::cpp_function worker_pipeline(
      [g, self, batch_size, prefetch, owner, batches](py::object input_context) -> py::object {
        py::tuple share = g["worker_share"](self.attr("train_storage"), batch_size, input_context, owner);
        py::object storage = share[0];
        py::object samples = share[2];
        reserve_image_cache(g, self, storage);
        py::object dataset = g["tf"].attr("data").attr("Dataset").attr("from_tensor_slices")(storage);
        dataset = dataset.attr("shuffle")(py::arg("buffer_size") = dataset.attr("cardinality")(),
                                          py::arg("reshuffle_each_iteration") = true);
        if (!samples.is_none()) dataset = dataset.attr("take")(samples);
        dataset = batches(dataset, share[1]);
        return dataset.attr("prefetch")(py::arg("buffer_size") = prefetch);
      },
      py::arg("input_context"));
  return g["distributed"](strategy, worker_pipeline);
}

}  // namespace

PYBIND11_MODULE(attitude, m) {
  Globals g(m);
  g.bind_from("os.path", "exists");
  g.bind_from("os.path", "join");
  g.bind_from("os.path", "basename");
  g.bind_from("os.path", "splitext");
  g.bind_from("quillon.forgeline.datasets.utils", "xywhn2xyxy");
  g.bind_from("quillon.forgeline.datasets.utils", "distributed");
  g.bind_from("quillon.forgeline.datasets.utils", "worker_share");
  g.bind_from("quillon.forgeline.datasets.utils", "load_readable");
  g.bind("Image", py::module_::import("PIL.Image"));
  g.bind("ImageFilter", py::module_::import("PIL.ImageFilter"));
  g.bind("tf", py::module_::import("tensorflow"));
  g.bind("sio", py::module_::import("scipy.io"));
  g.bind("np", py::module_::import("numpy"));
  g.bind("json", py::module_::import("json"));
  g.bind("cv2", py::module_::import("cv2"));

  // ---------------------------------------------------------------- AttitudeDataset
  pyclass::ClassBuilder attitude(m, "AttitudeDataset", py::tuple(), kAttitudeDatasetDoc);

  attitude.method(
      "__init__",
      [g](py::object self, py::object shape, py::object train_images, py::object train_annotations,
          py::object val_images, py::object val_annotations, py::object num_bins, py::object file_extension,
          py::object reduced_decode, py::object cache, py::object cache_dir) {
        require_folder_args(shape, train_images, train_annotations, val_images, val_annotations);
        pyclass::require_exact_type(file_extension, "file_extension", &PyUnicode_Type);

        if (!g["exists"](train_images).cast<bool>()) {
          report_fatal(py::str("Path to the training images does not exist in this system: {}").format(train_images));
        }
        if (!g["exists"](train_annotations).cast<bool>()) {
          report_fatal(
              py::str("Path to the training annotations does not exist in this system: {}").format(train_annotations));
        }
        self.attr("train_images") = train_images;
        self.attr("train_annotations") = train_annotations;
        self.attr("val_images") = val_images;
        self.attr("val_annotations") = val_annotations;
        self.attr("num_bins") = num_bins;
        self.attr("shape") = shape;
        self.attr("reduced_decode") = py::bool_(reduced_decode);
        self.attr("cache") = py::module_::import("quillon.forgeline.datasets.image_cache")
                                 .attr("checked_kind")(cache, py::type::of(self).attr("__name__"));
        self.attr("cache_dir") = cache_dir;

        py::list train_storage;
        self.attr("train_storage") = train_storage;
        load_split(g, train_images, train_annotations, file_extension, train_storage,
                   "Training dataset must have at least 1 element");

        py::list val_storage;
        self.attr("val_storage") = val_storage;
        load_split(g, val_images, val_annotations, file_extension, val_storage,
                   "Validation dataset must have at least 1 element");
      },
      py::arg("shape") = py::none(), py::arg("train_images") = py::none(), py::arg("train_annotations") = py::none(),
      py::arg("val_images") = py::none(), py::arg("val_annotations") = py::none(), py::arg("num_bins") = 66,
      py::arg("file_extension") = "mat", py::arg("reduced_decode") = false, py::arg("cache") = py::none(),
      py::arg("cache_dir") = py::none(),
      "Pairs the images of both splits with their annotation files (.mat Pose_Para, or the "
      "`file_extension` given); the class docstring describes the parameters.");

  attitude.method(
      "read_annotations",
      [g](py::object /*self*/, py::object annotations_path) { return read_mat_annotation(g, annotations_path); },
      py::arg("annotations_path") = py::none(),
      "Reads one .mat annotation file: (pitch, yaw and roll from Pose_Para, the pt2d landmarks); bad values raise, "
      "naming the "
      "file.");

  attitude.graph_method("tf_load_instance", {pyclass::param("data")},
                        py::cpp_function(
                            [g](py::object self, py::object data) {
                              return numpy_function(g, self.attr("_load_instance"), list_of({data}),
                                                    output_types(g, {"uint8", "float32"}));
                            },
                            py::arg("self"), py::arg("data")),
                        "Loads one storage entry (image path, annotation path) inside the pipeline: (image, angles).");

  attitude.method(
      "_load_instance",
      [g](py::object self, py::object data) {
        py::object image_path = data[py::int_(0)];
        py::object annotation_path = data[py::int_(1)];
        py::object shape = self.attr("shape");
        py::object pixels = sample_pixels(g, self, data, whole_image_needs(self, shape));
        py::object pose = reading(annotation_path, [&]() -> py::object {
          return self.attr("read_annotations")(annotation_path)[py::int_(0)];
        });
        if (random_draw_below(g, "random_sample", kBlurProbability)) pixels = blurred(as_rgb(pixels));
        py::object angles = float32_array(g, py::make_tuple(pose[py::int_(0)], pose[py::int_(1)], pose[py::int_(2)]));
        return py::make_tuple(as_rgb(resize_to_shape(g, pixels, shape)), angles);
      },
      py::arg("data"),
      "Loads one (image path, annotation path) sample: the image resized to the input shape (blurred with "
      "probability 0.05) and its pitch, yaw and roll.");

  attitude.method(
      "tf_augment",
      [g](py::object self, py::object image, py::object angles) -> py::object {
        return augmented_in_pipeline(g, self, g["AttitudeDataset"], list_of({image, angles}), {"uint8", "float32"});
      },
      py::arg("image"), py::arg("angles"),
      "The training augmentation of one sample inside the pipeline (a tf.numpy_function over _augment).");

  // The hook for subclasses; this dataset's only alteration is the loader's blur.
  attitude.method(
      "_augment",
      [](py::object /*self*/, py::object image, py::object angles) { return py::make_tuple(image, angles); },
      py::arg("image"), py::arg("angles"),
      "The augmentation hook for subclasses: returns the sample unchanged (this dataset's only alteration is "
      "the loader's occasional blur).");

  attitude.method(
      "build_train_iterator",
      [g](py::object self, py::object global_batch_size, py::object prefetch, py::object strategy) {
        return training_pipeline(
            g, self, global_batch_size, prefetch, strategy, [g, self](py::object dataset, py::object batch_size) {
              py::object autotune = g["tf"].attr("data").attr("AUTOTUNE");
              py::object own = g["AttitudeDataset"];
              bool own_pipeline = uses_own_method(self, own, "tf_load_instance") &&
                                  uses_own_method(self, own, "tf_augment") && augment_is_identity(self, own);
              if (own_pipeline) {
                // With this class's own loading and no augmentation, one call
                // loads a whole batch with _load_instance: the same batches as
                // loading, augmenting (not at all) and batching sample by sample,
                // without TensorFlow's costs per sample (a tenth of the loading
                // time of a 640x480 JPEG).
                py::cpp_function load_batch(
                    [g, self](py::object entries) {
                      py::list batch = numpy_function(g, py::cpp_function([g, self](py::object rows) {
                                                        return load_training_batch(g, self, rows);
                                                      }),
                                                      list_of({entries}), output_types(g, {"uint8", "float32"}));
                      // Known ranks: the trainer compiles its step once for all batches.
                      py::object shape = self.attr("shape");
                      batch[0].attr("set_shape")(py::make_tuple(py::none(), shape[py::int_(0)], shape[py::int_(1)], 3));
                      batch[1].attr("set_shape")(py::make_tuple(py::none(), 3));
                      return batch;
                    },
                    py::arg("entries"));
                dataset = dataset.attr("batch")(py::arg("batch_size") = batch_size);
                dataset = dataset.attr("map")(load_batch, py::arg("num_parallel_calls") = autotune);
              } else {
                dataset = dataset.attr("map")(self.attr("tf_load_instance"), py::arg("num_parallel_calls") = autotune);
                dataset = dataset.attr("map")(self.attr("tf_augment"), py::arg("num_parallel_calls") = autotune);
                dataset = dataset.attr("batch")(py::arg("batch_size") = batch_size);
              }
              return dataset;
            });
      },
      py::arg("batch_size"), py::arg("prefetch") = 10, py::kw_only(), py::arg("strategy") = py::none(),
      "The training pipeline: shuffled, loaded, augmented and batched samples; with `strategy`, "
      "distributed over its replicas, each worker reading its share of the files.");

  // The validation pipeline holds the unloaded path pairs; batch_size and
  // prefetch are accepted for the callers' sake and unused.
  attitude.method(
      "build_val_iterator",
      [g](py::object self, py::object /*batch_size*/, py::object /*prefetch*/) {
        py::object val_images = self.attr("val_images");
        py::object val_annotations = self.attr("val_annotations");
        if (!g["exists"](val_images).cast<bool>()) {
          raise_error(PyExc_FileNotFoundError,
                      py::str("Path to the validation images does not exist in this system: {}").format(val_images));
        }
        if (!g["exists"](val_annotations).cast<bool>()) {
          raise_error(
              PyExc_FileNotFoundError,
              py::str("Path to the validation annotations does not exist in this system: {}").format(val_annotations));
        }
        return g["tf"].attr("data").attr("Dataset").attr("from_tensor_slices")(self.attr("val_storage"));
      },
      py::arg("batch_size") = 1, py::arg("prefetch") = 10,
      "The validation pipeline: the validation storage entries (image path, annotation path), one per element, in "
      "file order, not loaded (load_validation_instance loads one as an evaluation sees it). `batch_size` and "
      "`prefetch` are accepted and not used. Raises FileNotFoundError when a validation folder does not exist.");

  attitude.method("get_num_train_samples", &count_train_samples, "The number of training samples.");

  attitude.method(
      "load_validation_instance",
      [](py::object self, py::object data) {
        struct ValidationLoad {
          bool saved = validation_load;
          ValidationLoad() { validation_load = true; }
          ~ValidationLoad() { validation_load = saved; }
        } scope;
        return self.attr("_load_instance")(data);
      },
      py::arg("data"),
      "Loads one storage entry as an evaluation, and predict, see it: what `_load_instance` gives, decoded at "
      "full size and without the random blur or mirroring of training, so a sample always gives the same image.");
  attitude.build();

  // ---------------------------------------------------------------- AttitudeDatasetYaml
  pyclass::ClassBuilder attitude_yaml(m, "AttitudeDatasetYaml", py::make_tuple(g["AttitudeDataset"]), "");
  attitude_yaml.attr("train_msg_images", py::str("``train`` section does not contain the ``images`` key"));
  attitude_yaml.attr("train_msg_ann", py::str("``train`` section does not contain the ``annotations`` key"));
  attitude_yaml.attr("val_msg_images", py::str("``validation`` section does not contain the ``images`` key"));
  attitude_yaml.attr("val_msg_ann", py::str("``validation`` section does not contain the ``annotations`` key"));
  attitude_yaml.attr("location_msg",
                     py::str("Location provided for training images does not exist in the given location:{}"));

  attitude_yaml.method(
      "__init__",
      [g](py::object self, py::object shape, py::object info_file, py::object num_bins, py::object reduced_decode,
          py::object cache, py::object cache_dir) {
        py::dict arguments = described_arguments(g, shape, info_file, false);
        pyclass::super(g["AttitudeDatasetYaml"], self)
            .attr("__init__")(**arguments, py::arg("num_bins") = num_bins, py::arg("reduced_decode") = reduced_decode,
                              py::arg("cache") = cache, py::arg("cache_dir") = cache_dir);
      },
      py::arg("shape") = py::none(), py::arg("info_file") = py::none(), py::arg("num_bins") = 3,
      py::arg("reduced_decode") = false, py::arg("cache") = py::none(), py::arg("cache_dir") = py::none(),
      "Reads the YAML description `info_file` (images and annotations of each split) and builds the "
      "dataset from it.");

  attitude_yaml.method("get_num_train_samples", &count_train_samples, "The number of training samples.");
  attitude_yaml.build();

  // ---------------------------------------------------------------- AttitudeAndDetectDataset
  pyclass::ClassBuilder detect(m, "AttitudeAndDetectDataset", py::make_tuple(g["AttitudeDataset"]),
                               kAttitudeAndDetectDoc);

  detect.method(
      "__init__",
      [g](py::object self, py::object shape, py::object train_images, py::object train_annotations,
          py::object val_images, py::object val_annotations, py::object classes, py::object add_bkg_class,
          py::object reduced_decode, py::object cache, py::object cache_dir) {
        require_folder_args(shape, train_images, train_annotations, val_images, val_annotations);
        pyclass::require_exact_type(classes, "classes", &PyList_Type);
        pyclass::super(g["AttitudeAndDetectDataset"], self)
            .attr("__init__")(shape, train_images, train_annotations, val_images, val_annotations,
                              py::arg("num_bins") = 66, py::arg("file_extension") = "json",
                              py::arg("reduced_decode") = reduced_decode, py::arg("cache") = cache,
                              py::arg("cache_dir") = cache_dir);
        self.attr("add_bkg_class") = add_bkg_class;
        bool with_background = py::bool_(add_bkg_class);  // Python truthiness
        if (with_background) {
          py::list background;
          background.append("background");
          self.attr("classes") = background + classes;
        } else {
          self.attr("classes") = classes;
        }
        self.attr("label_offset") = py::int_(with_background ? 1 : 0);
      },
      py::arg("shape") = py::none(), py::arg("train_images") = py::none(), py::arg("train_annotations") = py::none(),
      py::arg("val_images") = py::none(), py::arg("val_annotations") = py::none(), py::arg("classes") = py::none(),
      py::arg("add_bkg_class") = true, py::arg("reduced_decode") = false, py::arg("cache") = py::none(),
      py::arg("cache_dir") = py::none(),
      "Pairs the images with their JSON annotations (boxes and angles); `classes` names the box labels, "
      "with a background class first when `add_bkg_class`.");

  detect.method("get_num_train_samples", &count_train_samples, "The number of training samples.");

  detect.method(
      "get_classes", [](py::object self) -> py::object { return self.attr("classes"); },
      "The class names (background first when add_bkg_class is on).");

  detect.graph_method(
      "tf_load_instance", {pyclass::param("data")},
      py::cpp_function(
          [g](py::object self, py::object data) {
            return numpy_function(g, self.attr("_load_instance"), list_of({data}),
                                  output_types(g, {"uint8", "float32", "float32"}));
          },
          py::arg("self"), py::arg("data")),
      "Loads one storage entry (image path, annotation path) inside the pipeline: (image, boxes, angles).");

  detect.method(
      "_load_instance",
      [g](py::object self, py::object data) {
        py::object np = g["np"];
        py::object shape = self.attr("shape");
        py::object image_path = data[py::int_(0)];
        py::object annotation_path = data[py::int_(1)];
        py::object pixels = sample_pixels(g, self, data, whole_image_needs(self, shape));
        pixels = as_rgb(resize_to_shape(g, pixels, shape)).attr("astype")(np.attr("uint8"), py::arg("copy") = false);
        py::object width = shape[py::int_(1)];
        py::object height = shape[py::int_(0)];

        py::object annotation = reading(annotation_path, [&] { return read_json(g, annotation_path); });
        py::tuple loaded = reading(annotation_path, [&] {
          py::object boxes = annotation.attr("get")("boxes");
          boxes =
              boxes.is_none() ? np.attr("zeros")(py::make_tuple(1, 5), np.attr("float32")) : np.attr("asarray")(boxes);
          boxes = boxes.attr("reshape")(-1, 5);
          if (!annotation.attr("get")("boxes").is_none()) {
            require_box_rows(self, DoubleValues::ensure(boxes), annotation_path);
          }
          boxes = g["xywhn2xyxy"](boxes, width, height, 0, 0);
          boxes = np.attr("maximum")(boxes, 0);  // corners left of or above the image; the far edges are kept
          py::object labels = py::make_tuple(py::slice(py::none(), py::none(), py::none()), 4);
          boxes[labels] = py::object(boxes[labels]) + py::object(self.attr("label_offset"));

          py::list rows;
          py::object angles = annotation.attr("get")("angles");
          if (!angles.is_none()) {
            // Looked up strictly: NumPy would turn a missing member (None) into NaN.
            for (py::handle angle : angles) {
              rows.append(py::make_tuple(angle[py::str("pitch")], angle[py::str("yaw")], angle[py::str("roll")]));
            }
          }
          if (py::len(rows) == 0) rows.append(py::make_tuple(0, 0, 0));
          py::object angle_rows = float32_array(g, rows).attr("reshape")(-1, 3);
          require_finite(DoubleValues::ensure(angle_rows), annotation_path, "\"angles\"");
          return py::make_tuple(boxes.attr("astype")(np.attr("float32")), angle_rows);
        });
        return py::make_tuple(pixels, loaded[0], loaded[1]);
      },
      py::arg("data"),
      "Loads one sample: the resized image, its boxes (labels shifted past the background class) and "
      "its angles; bad boxes or labels raise, naming the file.");

  detect.method(
      "tf_augment",
      [g](py::object self, py::object image, py::object bboxes, py::object angles) -> py::object {
        return augmented_in_pipeline(g, self, g["AttitudeAndDetectDataset"], list_of({image, bboxes, angles}),
                                     {"uint8", "float32", "float32"});
      },
      py::arg("image"), py::arg("bboxes") = py::none(), py::arg("angles") = py::none(),
      "The training augmentation of one sample inside the pipeline (a tf.numpy_function over _augment).");

  // Detection-plus-attitude samples get no augmentation; the hook is for subclasses.
  detect.method(
      "_augment",
      [](py::object /*self*/, py::object image, py::object bboxes, py::object angles) {
        return py::make_tuple(image, bboxes, angles);
      },
      py::arg("image"), py::arg("bboxes") = py::none(), py::arg("angles") = py::none(),
      "The augmentation hook for subclasses: returns the sample unchanged.");

  detect.method(
      "build_train_iterator",
      [g](py::object self, py::object global_batch_size, py::object prefetch, py::object strategy) {
        return training_pipeline(
            g, self, global_batch_size, prefetch, strategy, [g, self](py::object dataset, py::object batch_size) {
              py::object autotune = g["tf"].attr("data").attr("AUTOTUNE");
              dataset = dataset.attr("map")(self.attr("tf_load_instance"), py::arg("num_parallel_calls") = autotune);
              dataset = dataset.attr("map")(self.attr("tf_augment"), py::arg("num_parallel_calls") = autotune);
              // Boxes and angles are padded with zero rows to the largest count in the batch.
              py::tuple padded_shapes =
                  py::make_tuple(self.attr("shape"), py::make_tuple(py::none(), 5), py::make_tuple(py::none(), 3));
              dataset = dataset.attr("padded_batch")(py::arg("batch_size") = batch_size,
                                                     py::arg("padded_shapes") = padded_shapes);
              return dataset;
            });
      },
      py::arg("batch_size"), py::arg("prefetch") = 10, py::kw_only(), py::arg("strategy") = py::none(),
      "The training pipeline: shuffled, loaded, augmented samples, with boxes padded per batch; with "
      "`strategy`, distributed over its replicas.");
  detect.build();

  // ---------------------------------------------------------------- AttitudeDatasetJson
  pyclass::ClassBuilder attitude_json(m, "AttitudeDatasetJson", py::make_tuple(g["AttitudeDataset"]), "");

  attitude_json.method(
      "__init__",
      [g](py::object self, py::object shape, py::object train_images, py::object train_annotations,
          py::object val_images, py::object val_annotations, py::object reduced_decode, py::object cache,
          py::object cache_dir) {
        require_folder_args(shape, train_images, train_annotations, val_images, val_annotations);
        pyclass::super(g["AttitudeDatasetJson"], self)
            .attr("__init__")(py::arg("shape") = shape, py::arg("train_images") = train_images,
                              py::arg("train_annotations") = train_annotations, py::arg("val_images") = val_images,
                              py::arg("val_annotations") = val_annotations, py::arg("num_bins") = 66,
                              py::arg("file_extension") = "json", py::arg("reduced_decode") = reduced_decode,
                              py::arg("cache") = cache, py::arg("cache_dir") = cache_dir);
      },
      py::arg("shape") = py::none(), py::arg("train_images") = py::none(), py::arg("train_annotations") = py::none(),
      py::arg("val_images") = py::none(), py::arg("val_annotations") = py::none(), py::arg("reduced_decode") = false,
      py::arg("cache") = py::none(), py::arg("cache_dir") = py::none(),
      "Pairs the images with their JSON annotations (a face box and its angles); the class docstring "
      "describes the parameters.");

  // The first face of the annotation, cropped, resized and mirrored at random
  // (yaw and roll change sign with the mirror); the whole image with zero
  // angles when the file lists no face.
  attitude_json.method(
      "_load_instance",
      [g](py::object self, py::object data) -> py::tuple {
        py::object np = g["np"];
        py::object shape = self.attr("shape");
        py::object image_path = data[py::int_(0)];
        py::object annotation_path = data[py::int_(1)];
        // A reduced decode needs the face box first, to know how many pixels the crop needs.
        bool reduced = decodes_reduced(self);
        py::object annotation;
        image_arrays::NeededSize needed;
        if (reduced) {
          annotation = reading(annotation_path, [&] { return read_json(g, annotation_path); });
          needed = face_crop_needs(annotation, shape);
        }
        py::object pixels = sample_pixels(g, self, data, needed);
        if (random_draw_below(g, "random_sample", kBlurProbability)) pixels = blurred(as_rgb(pixels));

        if (!reduced) annotation = reading(annotation_path, [&] { return read_json(g, annotation_path); });
        JsonFace face = first_json_face(annotation, annotation_path);
        if (!face.listed) {
          return py::make_tuple(as_rgb(resize_to_shape(g, pixels, shape)), np.attr("zeros")(3, np.attr("float32")));
        }

        auto [pitch, yaw, roll] = face.angles;
        auto pixel_array = py::reinterpret_borrow<py::array>(pixels);
        CropBox box = first_face_crop(face.boxes, pixel_array.shape(1), pixel_array.shape(0), annotation_path);
        py::object crop = pixels[py::make_tuple(py::slice(box.y1, box.y2, 1), py::slice(box.x1, box.x2, 1))];
        crop = as_rgb(resize_to_shape(g, crop, shape));
        if (random_draw_below(g, "random", kMirrorProbability)) {
          yaw = -yaw;
          roll = -roll;
          crop = mirrored(g, crop);
        }
        return py::make_tuple(crop, float32_array(g, py::make_tuple(pitch, yaw, roll)));
      },
      py::arg("data"),
      "Loads one sample: the first face box cut out of the image, resized, mirrored with probability 0.5 and "
      "blurred with probability 0.05, and its pitch, yaw and roll (yaw and roll negated with the mirror); a "
      "file that lists no face gives the whole image at zero angles.");
  attitude_json.build();

  // ---------------------------------------------------------------- YAML-described variants
  pyclass::ClassBuilder detect_yaml(m, "AttitudeAndDetectDatasetYaml", py::make_tuple(g["AttitudeAndDetectDataset"]),
                                    "");
  detect_yaml.method(
      "__init__",
      [g](py::object self, py::object shape, py::object info_file, py::object add_bkg_class, py::object reduced_decode,
          py::object cache, py::object cache_dir) {
        py::dict arguments = described_arguments(g, shape, info_file, true);
        pyclass::super(g["AttitudeAndDetectDatasetYaml"], self)
            .attr("__init__")(**arguments, py::arg("add_bkg_class") = add_bkg_class,
                              py::arg("reduced_decode") = reduced_decode, py::arg("cache") = cache,
                              py::arg("cache_dir") = cache_dir);
      },
      py::arg("shape") = py::none(), py::arg("info_file") = py::none(), py::arg("add_bkg_class") = true,
      py::arg("reduced_decode") = false, py::arg("cache") = py::none(), py::arg("cache_dir") = py::none(),
      "Reads the YAML description `info_file` and builds the detection-plus-attitude dataset from it.");
  detect_yaml.build();

  pyclass::ClassBuilder json_yaml(m, "AttitudeDatasetJsonYaml", py::make_tuple(g["AttitudeDatasetJson"]), "");
  json_yaml.method(
      "__init__",
      [g](py::object self, py::object shape, py::object info_file, py::object reduced_decode, py::object cache,
          py::object cache_dir) {
        py::dict arguments = described_arguments(g, shape, info_file, true);
        // The classes are checked, not kept: this dataset has no classes.
        arguments.attr("pop")("classes");
        pyclass::super(g["AttitudeDatasetJsonYaml"], self)
            .attr("__init__")(**arguments, py::arg("reduced_decode") = reduced_decode, py::arg("cache") = cache,
                              py::arg("cache_dir") = cache_dir);
      },
      py::arg("shape") = py::none(), py::arg("info_file") = py::none(), py::arg("reduced_decode") = false,
      py::arg("cache") = py::none(), py::arg("cache_dir") = py::none(),
      "Reads the YAML description `info_file` and builds the JSON head-pose dataset from it.");
  json_yaml.build();

  // ---------------------------------------------------------------- Readers for up-front checks
  m.def(
      "read_mat_annotation",
      [g](const py::object& path) { return reading(path, [&] { return read_mat_annotation(g, path); }); },
      py::arg("path"),
      "Reads one MATLAB head-pose annotation file as the loader does: (pose, pt2d), pose the float32\n"
      "pitch, yaw, roll from the first row of \"Pose_Para\", pt2d the float32 landmarks. Unlike\n"
      "AttitudeDataset.read_annotations, every error names the file: KeyError for a missing variable,\n"
      "ValueError for a file that is not MATLAB or holds values the loader refuses.");

  m.def(
      "read_json_annotation",
      [g](const py::object& path, const py::object& image_size) -> py::tuple {
        py::object annotation = reading(path, [&] { return read_json(g, path); });
        JsonFace face = first_json_face(annotation, path);
        py::object angles = float32_array(g, py::make_tuple(face.angles[0], face.angles[1], face.angles[2]));
        if (!face.listed) return py::make_tuple(angles, py::none());
        if (!image_size.is_none()) {
          py::sequence size = image_size;
          first_face_crop(face.boxes, size[0].cast<py::ssize_t>(), size[1].cast<py::ssize_t>(), path);
        }
        return py::make_tuple(angles, face.boxes[py::int_(0)]);
      },
      py::arg("path"), py::arg("image_size") = py::none(),
      "Reads one JSON head-pose annotation file as AttitudeDatasetJson's loader does: (angles, box), the\n"
      "float32 pitch, yaw, roll of the first \"angles\" row and the first \"boxes\" row (cx, cy, w, h,\n"
      "label, normalised); (three zeros, None) when the file lists no box, which the loader trains as\n"
      "the whole image. With `image_size` (width, height of the stored pixels) the first box must also\n"
      "hold a pixel of the image. Errors name the file (KeyError for a missing key, else ValueError).");
}
