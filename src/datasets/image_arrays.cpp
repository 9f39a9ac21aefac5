#include "datasets/image_arrays.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

namespace image_arrays {

namespace {

class AlignedBufferPool {
 public:
  // `bytes` of memory aligned to kTensorAlignment, a recycled buffer when one fits.
  std::uint8_t* take(std::size_t bytes) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto kept = kept_.begin(); kept != kept_.end(); ++kept) {
        if (size_of(*kept) == bytes) {
          std::uint8_t* data = *kept;
          kept_.erase(kept);
          kept_bytes_ -= bytes;
          return data;
        }
      }
    }
    // The size sits in the alignment bytes in front of the data.
    std::size_t rounded = (bytes + kTensorAlignment - 1) / kTensorAlignment * kTensorAlignment;
    void* block = std::aligned_alloc(kTensorAlignment, kTensorAlignment + rounded);
    if (block == nullptr) throw std::bad_alloc();
    *static_cast<std::size_t*>(block) = bytes;
    return static_cast<std::uint8_t*>(block) + kTensorAlignment;
  }

  void give_back(std::uint8_t* data) {
    std::lock_guard<std::mutex> lock(mutex_);
    kept_.push_back(data);
    kept_bytes_ += size_of(data);
    while (kept_bytes_ > kMaxKeptBytes) {  // the oldest go first
      kept_bytes_ -= size_of(kept_.front());
      std::free(kept_.front() - kTensorAlignment);
      kept_.erase(kept_.begin());
    }
  }

 private:
  static constexpr std::size_t kMaxKeptBytes = std::size_t{64} << 20;
  static std::size_t size_of(const std::uint8_t* data) {
    return *reinterpret_cast<const std::size_t*>(data - kTensorAlignment);
  }

  std::mutex mutex_;
  std::vector<std::uint8_t*> kept_;
  std::size_t kept_bytes_ = 0;
};

// Never destroyed: arrays holding its buffers may outlive static destructors.
AlignedBufferPool& image_buffers() {
  static AlignedBufferPool* pool = new AlignedBufferPool();
  return *pool;
}

// The Arrow C data interface (a stable, documented ABI), through which
// Pillow exports an image's pixel memory without copying it.
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};
struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

// Pillow keeps an RGB pixel in 4 bytes (R, G, B, padding) and exports the
// image to Arrow as a fixed-size list of 4 uint8 per pixel. Returns those
// bytes when `exported` has that layout for `pixel_count` pixels, else null.
const std::uint8_t* exported_rgbx_pixels(const py::tuple& exported, std::size_t pixel_count) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(exported[0].ptr(), "arrow_schema"));
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(exported[1].ptr(), "arrow_array"));
  if (schema == nullptr || array == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  bool rgbx_layout = std::strcmp(schema->format, "+w:4") == 0 && schema->n_children == 1 &&
                     std::strcmp(schema->children[0]->format, "C") == 0 && array->n_children == 1 &&
                     array->length == static_cast<int64_t>(pixel_count) && array->offset == 0;
  if (!rgbx_layout) return nullptr;
  const ArrowArray* values = array->children[0];
  bool plain_bytes = values->length == static_cast<int64_t>(4 * pixel_count) && values->offset == 0 &&
                     values->null_count == 0 && values->n_buffers == 2 && values->buffers[1] != nullptr;
  return plain_bytes ? static_cast<const std::uint8_t*>(values->buffers[1]) : nullptr;
}

// The content of the file at `path` as a bytes object, read without the GIL;
// an empty object when it cannot be read whole.
py::object file_bytes(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return py::object();
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
    std::fclose(file);
    return py::object();
  }
  auto content = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, size));
  if (!content) {
    std::fclose(file);
    throw py::error_already_set();
  }
  char* data = PyBytes_AS_STRING(content.ptr());
  std::size_t read;
  {
    py::gil_scoped_release release;
    read = std::fread(data, 1, static_cast<std::size_t>(size), file);
    std::fclose(file);
  }
  return read == static_cast<std::size_t>(size) ? py::object(content) : py::object();
}

// True for an 8-bit RGB PNG (colour type 2, bit depth 8, as the IHDR chunk
// right after the signature says): OpenCV decodes these to the same pixels
// as Pillow, without the GIL and in four fifths of the time.
bool is_rgb8_png(std::string_view bytes) {
  constexpr std::string_view signature("\x89PNG\r\n\x1a\n", 8);
  return bytes.size() > 26 && bytes.substr(0, 8) == signature && bytes.substr(12, 4) == "IHDR" && bytes[24] == 8 &&
         bytes[25] == 2;
}

}  // namespace

int reduction_for(double width, double height, double needed_width, double needed_height) {
  for (int reduction : {8, 4, 2}) {
    if (std::ceil(width / reduction) >= needed_width && std::ceil(height / reduction) >= needed_height) {
      return reduction;
    }
  }
  return 1;
}

py::object decode_rgb_at_least(const std::string& path, const NeededSize& needed) {
  py::object data = file_bytes(path);
  if (!data) return py::object();
  std::string_view bytes(PyBytes_AS_STRING(data.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr())));
  if (is_rgb8_png(bytes)) {
    py::module_ cv2 = py::module_::import("cv2");
    py::object flags = cv2.attr("IMREAD_COLOR_RGB") | cv2.attr("IMREAD_IGNORE_ORIENTATION");
    py::object pixels = cv2.attr("imdecode")(py::module_::import("numpy").attr("frombuffer")(data, "uint8"), flags);
    return pixels.is_none() ? py::object() : pixels;  // damaged: left to Pillow
  }
  py::module_ simplejpeg = py::module_::import("simplejpeg");
  if (!simplejpeg.attr("is_jpeg")(data).cast<bool>()) return py::object();
  try {
    py::tuple header = simplejpeg.attr("decode_jpeg_header")(data);
    // Pillow converts CMYK to RGB in its own way; such files stay with it.
    std::string colour_space = py::str(header[2]);
    if (colour_space == "CMYK" || colour_space == "YCCK") return py::object();
    auto height = header[0].cast<double>(), width = header[1].cast<double>();
    auto [needed_width, needed_height] = needed(width, height);
    int reduction = reduction_for(width, height, needed_width, needed_height);
    // The decoder picks the smallest scale that gives at least this size:
    // exactly 1/reduction.
    return simplejpeg.attr("decode_jpeg")(data, py::arg("colorspace") = "RGB",
                                          py::arg("min_height") = static_cast<long>(std::ceil(height / reduction)),
                                          py::arg("min_width") = static_cast<long>(std::ceil(width / reduction)));
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError)) throw;  // damaged, truncated or a colour space it cannot convert
    return py::object();
  }
}

py::array_t<std::uint8_t> pooled_array(const std::vector<py::ssize_t>& shape) {
  std::size_t bytes = 1;
  for (py::ssize_t extent : shape) bytes *= static_cast<std::size_t>(extent);
  std::uint8_t* data = image_buffers().take(bytes);
  py::capsule owner(data, [](void* buffer) { image_buffers().give_back(static_cast<std::uint8_t*>(buffer)); });
  return py::array_t<std::uint8_t>(shape, data, owner);
}

py::object adoptable_image(const py::object& image) {
  if (!py::isinstance<py::array_t<std::uint8_t, py::array::c_style>>(image)) return image;
  auto source = py::reinterpret_borrow<py::array_t<std::uint8_t, py::array::c_style>>(image);
  if (reinterpret_cast<std::uintptr_t>(source.data()) % kTensorAlignment == 0) return image;
  py::array_t<std::uint8_t> copy =
      pooled_array(std::vector<py::ssize_t>(source.shape(), source.shape() + source.ndim()));
  {
    py::gil_scoped_release release;
    std::memcpy(copy.mutable_data(), source.data(), static_cast<std::size_t>(source.nbytes()));
  }
  return copy;
}

py::object rgbx_pixels(const py::object& image) {
  if (!py::hasattr(image, "__arrow_c_array__")) return py::object();
  py::tuple size = image.attr("size");
  auto width = size[0].cast<py::ssize_t>();
  auto height = size[1].cast<py::ssize_t>();
  py::tuple exported;
  try {
    exported = image.attr("__arrow_c_array__")();
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError)) throw;  // rows not contiguous
    return py::object();
  }
  const std::uint8_t* pixels = exported_rgbx_pixels(exported, static_cast<std::size_t>(width * height));
  if (pixels == nullptr) return py::object();
  // The exported array keeps Pillow's memory alive as long as the view needs it.
  py::array_t<std::uint8_t> view({height, width, py::ssize_t{4}}, pixels, exported[1]);
  view.attr("setflags")(py::arg("write") = false);  // Pillow's memory, not ours
  return view;
}

py::array_t<std::uint8_t> first_three_channels(const py::array_t<std::uint8_t, py::array::c_style>& rgbx) {
  if (rgbx.ndim() != 3 || rgbx.shape(2) != 4) throw py::value_error("expected a height x width x 4 uint8 array");
  py::array_t<std::uint8_t> rgb = pooled_array({rgbx.shape(0), rgbx.shape(1), 3});
  const std::uint8_t* in = rgbx.data();
  std::uint8_t* out = rgb.mutable_data();
  {
    py::gil_scoped_release release;
    auto count = static_cast<std::size_t>(rgbx.shape(0) * rgbx.shape(1));
    // Whole 4-byte moves: the padding byte lands where the next pixel's R
    // goes and is overwritten; the last pixel moves only its 3 bytes.
    for (std::size_t pixel = 0; pixel + 1 < count; ++pixel) std::memcpy(out + 3 * pixel, in + 4 * pixel, 4);
    if (count > 0) std::memcpy(out + 3 * (count - 1), in + 4 * (count - 1), 3);
  }
  return rgb;
}

py::object rgb_array(const pyclass::Globals& g, const py::object& image) {
  py::object rgbx = rgbx_pixels(image);
  if (rgbx) return first_three_channels(rgbx);
  return g["np"].attr("asarray")(image);
}

namespace {
py::module_ utils() { return py::module_::import("quillon.forgeline.datasets.utils"); }
}  // namespace

py::object rgb_image(const py::object& image, const py::handle& path) {
  if (image.attr("mode").cast<std::string>() == "RGB") return image;
  return utils().attr("to_rgb")(image, path);
}

void warn_if_exif_rotated(const py::handle& dataset, const py::object& image, const py::handle& path) {
  utils().attr("warn_if_exif_rotated")(dataset, image, path);
}

}  // namespace image_arrays
