// Geometric augmentation of detection training batches: random affine
// transforms (scale, translation, rotation, shear) and mosaics of four images,
// with their boxes. The detection datasets call geometric_batch on each loaded
// batch, inside the loading call: the pixel work runs without the GIL, so the
// loading calls of several batches proceed side by side.
//
// One sample's transform is a plan: a canvas of tiles (one source image each,
// or four for a mosaic) and an affine map from the canvas to the output.
// Every output pixel is sampled once (bilinear) from the tile its canvas point
// lies in, so a mosaic and an affine transform together still cost one pass.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace py = pybind11;

constexpr double kPi = 3.14159265358979323846;

struct Box {
  float x1, y1, x2, y2, label;
};

// x' = a x + b y + c, y' = d x + e y + f
struct Affine {
  double a = 1, b = 0, c = 0, d = 0, e = 1, f = 0;

  std::pair<double, double> apply(double x, double y) const { return {a * x + b * y + c, d * x + e * y + f}; }
  double determinant() const { return a * e - b * d; }
  Affine inverse() const {
    double det = determinant();
    Affine inv;
    inv.a = e / det;
    inv.b = -b / det;
    inv.d = -d / det;
    inv.e = a / det;
    inv.c = -(inv.a * c + inv.b * f);
    inv.f = -(inv.d * c + inv.e * f);
    return inv;
  }
  bool is_integer_translation() const {
    return a == 1 && b == 0 && d == 0 && e == 1 && c == std::floor(c) && f == std::floor(f);
  }
};

// A source image placed on the canvas: visible in the canvas rectangle
// [x0, x1) x [y0, y1), its own origin at canvas point (left, top).
struct Tile {
  int source;
  double x0, y0, x1, y1;
  double left, top;
};

struct Plan {
  std::vector<Tile> tiles;
  Affine to_output;  // canvas -> output, in pixel-edge coordinates
};

struct Settings {
  double mosaic, affine;
  double scale_low, scale_high, translate, degrees, shear;
  double min_size, min_visible;
  std::uint8_t fill;
};

// `index` and three other images of the batch (repeats only in batches of
// fewer than four).
std::array<int, 4> mosaic_sources(int index, int batch, std::mt19937_64& random) {
  std::array<int, 4> sources{index, index, index, index};
  if (batch < 4) {
    std::uniform_int_distribution<int> any(0, batch - 1);
    for (int k = 1; k < 4; ++k) sources[k] = any(random);
    return sources;
  }
  for (int k = 1; k < 4; ++k) {
    std::uniform_int_distribution<int> other(0, batch - 1 - k);  // skips those taken
    int pick = other(random);
    std::array<int, 4> taken = sources;
    std::sort(taken.begin(), taken.begin() + k);
    for (int t = 0; t < k; ++t) {
      if (pick >= taken[t]) ++pick;
    }
    sources[k] = pick;
  }
  return sources;
}

// Draws each sample's plan. The draws depend on the seed and the batch
// size only, so a seeded pipeline augments the same way on every run.
std::vector<Plan> draw_plans(int batch, int height, int width, const Settings& settings, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  auto uniform = [&random](double low, double high) {
    return low + (high - low) * std::uniform_real_distribution<double>(0.0, 1.0)(random);
  };
  auto chosen = [&](double frequency) { return frequency > 0 && uniform(0.0, 1.0) < frequency; };
  std::vector<Plan> plans(batch);
  for (int index = 0; index < batch; ++index) {
    Plan& plan = plans[index];
    bool mosaic = chosen(settings.mosaic);
    bool affine = chosen(settings.affine);
    // Where the canvas's middle sits: the output shows the canvas around it.
    double middle_x = width / 2.0, middle_y = height / 2.0;
    if (mosaic) {
      // Four images around a random centre on a canvas twice the size; the
      // output shows its middle (an integer shift without an affine).
      std::array<int, 4> sources = mosaic_sources(index, batch, random);
      std::uniform_int_distribution<int> centre_x(width / 2, width + width / 2),
          centre_y(height / 2, height + height / 2);
      double cx = centre_x(random), cy = centre_y(random);
      double right = 2.0 * width, bottom = 2.0 * height;
      plan.tiles = {
          {sources[0], std::max(cx - width, 0.0), std::max(cy - height, 0.0), cx, cy, cx - width, cy - height},
          {sources[1], cx, std::max(cy - height, 0.0), std::min(cx + width, right), cy, cx, cy - height},
          {sources[2], std::max(cx - width, 0.0), cy, cx, std::min(cy + height, bottom), cx - width, cy},
          {sources[3], cx, cy, std::min(cx + width, right), std::min(cy + height, bottom), cx, cy},
      };
      middle_x = width / 2 + width / 2.0;
      middle_y = height / 2 + height / 2.0;
    } else {
      plan.tiles = {{index, 0.0, 0.0, double(width), double(height), 0.0, 0.0}};
    }
    // linear = shear x rotation x scale, about the canvas middle.
    double scale = 1, angle = 0, shear_x = 0, shear_y = 0, shift_x = 0, shift_y = 0;
    if (affine) {
      scale = uniform(settings.scale_low, settings.scale_high);
      angle = uniform(-settings.degrees, settings.degrees) * kPi / 180;
      shear_x = std::tan(uniform(-settings.shear, settings.shear) * kPi / 180);
      shear_y = std::tan(uniform(-settings.shear, settings.shear) * kPi / 180);
      shift_x = uniform(-settings.translate, settings.translate) * width;
      shift_y = uniform(-settings.translate, settings.translate) * height;
    }
    double cosine = std::cos(angle) * scale, sine = std::sin(angle) * scale;
    Affine& map = plan.to_output;
    map.a = cosine + shear_x * sine;
    map.b = -sine + shear_x * cosine;
    map.d = shear_y * cosine + sine;
    map.e = -shear_y * sine + cosine;
    // The canvas middle lands on the output middle, shifted.
    map.c = width / 2.0 + shift_x - (map.a * middle_x + map.b * middle_y);
    map.f = height / 2.0 + shift_y - (map.d * middle_x + map.e * middle_y);
    if (!affine) {  // keep the integer shift exact
      map.c = std::round(map.c);
      map.f = std::round(map.f);
    }
  }
  return plans;
}

// Narrows [low, high) to the x where start + x * step lies in [edge0, edge1).
void keep_inside(double start, double step, double edge0, double edge1, double& low, double& high) {
  if (step == 0) {
    if (!(start >= edge0 && start < edge1)) high = low;
    return;
  }
  double first = (edge0 - start) / step, second = (edge1 - start) / step;
  if (step < 0) std::swap(first, second);
  low = std::max(low, first);
  high = std::min(high, second);
}

struct Image {
  const std::uint8_t* pixels;
  int height, width;
};

// Bilinear blending works on the three channels of a pixel at once: each in
// a 16-bit lane of a 64-bit word (bits 0, 16 and 32), room for a channel
// times an 8-bit weight.
constexpr std::uint64_t kLaneMask = 0x000000FF00FF00FFull;
constexpr std::uint64_t kLaneHalf = 0x0000008000800080ull;  // rounds each lane

// The low three bytes of `rgb` (R, G, B) in their lanes.
inline std::uint64_t lanes(std::uint32_t rgb) {
  std::uint64_t x = rgb & 0xFFFFFFu;
  x = (x | (x << 16)) & 0x000000FF0000FFFFull;
  return (x | (x << 8)) & kLaneMask;
}

inline std::uint32_t rgb_at(const Image& image, int x, int y) {
  const std::uint8_t* at = image.pixels + (std::size_t(y) * image.width + x) * 3;
  return std::uint32_t(at[0]) | std::uint32_t(at[1]) << 8 | std::uint32_t(at[2]) << 16;
}

// Renders one plan into `out` (height x width x 3).
void render(const Plan& plan, const std::vector<Image>& sources, std::uint8_t* out, int height, int width,
            std::uint8_t fill) {
  const Affine to_canvas = plan.to_output.inverse();
  const bool copy = plan.to_output.is_integer_translation();
  const std::size_t row_bytes = std::size_t(width) * 3;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = out + y * row_bytes;
    std::memset(row, fill, row_bytes);
    // Canvas point of the centre of output pixel (x, y): start + x * step.
    auto [start_x, start_y] = to_canvas.apply(0.5, y + 0.5);
    const double step_x = to_canvas.a, step_y = to_canvas.d;
    for (const Tile& tile : plan.tiles) {
      double low = 0, high = width;
      keep_inside(start_x, step_x, tile.x0, tile.x1, low, high);
      keep_inside(start_y, step_y, tile.y0, tile.y1, low, high);
      const int first = int(std::ceil(low)), end = int(std::ceil(high));
      if (first >= end) continue;
      const Image& source = sources[tile.source];
      const std::size_t source_row = std::size_t(source.width) * 3;
      // Source pixel-index coordinates (pixel centres at integers).
      const double source_x = start_x - tile.left - 0.5, source_y = start_y - tile.top - 0.5;
      if (copy) {
        const std::uint8_t* from =
            source.pixels + std::size_t(source_y) * source_row + std::size_t(source_x + first) * 3;
        std::memcpy(row + std::size_t(first) * 3, from, std::size_t(end - first) * 3);
        continue;
      }
      // Bilinear in 16.16 fixed point with 8-bit weights, the three channels
      // of a pixel at once in 16-bit lanes of one 64-bit word.
      const int last_x = source.width - 1, last_y = source.height - 1;
      const unsigned inner_x = unsigned(std::max(last_x - 1, 0));  // ix below: the four-byte reads stay inside
      const std::int64_t step_fx = std::llround(step_x * 65536), step_fy = std::llround(step_y * 65536);
      std::int64_t fx = std::llround((source_x + first * step_x) * 65536);
      std::int64_t fy = std::llround((source_y + first * step_y) * 65536);
      for (int x = first; x < end; ++x, fx += step_fx, fy += step_fy) {
        const int ix = int(fx >> 16), iy = int(fy >> 16);
        const std::uint64_t wx = std::uint64_t(fx >> 8) & 255, wy = std::uint64_t(fy >> 8) & 255;
        std::uint32_t p00, p01, p10, p11;
        if (unsigned(ix) < inner_x && unsigned(iy) < unsigned(last_y)) {
          // Four bytes from each neighbour: its pixel and the next one's first byte, all inside the image.
          const std::uint8_t* at = source.pixels + iy * source_row + ix * 3;
          std::memcpy(&p00, at, 4);
          std::memcpy(&p01, at + 3, 4);
          std::memcpy(&p10, at + source_row, 4);
          std::memcpy(&p11, at + source_row + 3, 4);
        } else {  // at the image's edge, whose pixels repeat beyond it
          const int x0 = std::clamp(ix, 0, last_x), x1 = std::clamp(ix + 1, 0, last_x);
          const int y0 = std::clamp(iy, 0, last_y), y1 = std::clamp(iy + 1, 0, last_y);
          p00 = rgb_at(source, x0, y0);
          p01 = rgb_at(source, x1, y0);
          p10 = rgb_at(source, x0, y1);
          p11 = rgb_at(source, x1, y1);
        }
        const std::uint64_t top = ((lanes(p00) * (256 - wx) + lanes(p01) * wx) >> 8) & kLaneMask;
        const std::uint64_t bottom = ((lanes(p10) * (256 - wx) + lanes(p11) * wx) >> 8) & kLaneMask;
        const std::uint64_t value = ((top * (256 - wy) + bottom * wy + kLaneHalf) >> 8) & kLaneMask;
        std::uint8_t* pixel = row + x * 3;
        pixel[0] = std::uint8_t(value);
        pixel[1] = std::uint8_t(value >> 16);
        pixel[2] = std::uint8_t(value >> 32);
      }
    }
  }
}

struct Point {
  double x, y;
};

// The convex polygon `polygon` cut to [0, width] x [0, height]
// (Sutherland-Hodgman, one edge of the rectangle at a time).
std::vector<Point> clip_to_rectangle(std::vector<Point> polygon, double width, double height) {
  // Each edge as: inside when sign * (coordinate - limit) >= 0.
  const struct {
    bool along_x;
    double limit, sign;
  } edges[] = {{true, 0, 1}, {true, width, -1}, {false, 0, 1}, {false, height, -1}};
  for (const auto& edge : edges) {
    std::vector<Point> kept;
    auto inside = [&edge](const Point& p) { return edge.sign * ((edge.along_x ? p.x : p.y) - edge.limit) >= 0; };
    for (std::size_t i = 0; i < polygon.size(); ++i) {
      const Point& from = polygon[i];
      const Point& to = polygon[(i + 1) % polygon.size()];
      if (inside(from)) kept.push_back(from);
      if (inside(from) != inside(to)) {  // the side crosses the edge
        const double a = edge.along_x ? from.x : from.y, b = edge.along_x ? to.x : to.y;
        const double t = (edge.limit - a) / (b - a);
        kept.push_back({from.x + t * (to.x - from.x), from.y + t * (to.y - from.y)});
      }
    }
    polygon = std::move(kept);
  }
  return polygon;
}

// The boxes of one plan's output: each tile's boxes cut to the part of the
// tile shown, mapped, cut to the output and boxed again. Boxes left thinner
// than min_size or showing less than min_visible of their mapped area go.
std::vector<Box> transform_boxes(const Plan& plan, const std::vector<std::vector<Box>>& boxes, int height, int width,
                                 const Settings& settings) {
  std::vector<Box> kept;
  const Affine& map = plan.to_output;
  const double area_scale = std::abs(map.determinant());
  for (const Tile& tile : plan.tiles) {
    for (const Box& box : boxes[tile.source]) {
      const double full_area = double(box.x2 - box.x1) * double(box.y2 - box.y1) * area_scale;
      const double x1 = std::max(box.x1 + tile.left, tile.x0), y1 = std::max(box.y1 + tile.top, tile.y0);
      const double x2 = std::min(box.x2 + tile.left, tile.x1), y2 = std::min(box.y2 + tile.top, tile.y1);
      if (x2 <= x1 || y2 <= y1) continue;
      // The mapped box is a parallelogram: cut it to the output, then box it.
      std::vector<Point> corners;
      for (auto [cx, cy] : {std::pair{x1, y1}, std::pair{x2, y1}, std::pair{x2, y2}, std::pair{x1, y2}}) {
        auto [ox, oy] = map.apply(cx, cy);
        corners.push_back({ox, oy});
      }
      corners = clip_to_rectangle(corners, width, height);
      if (corners.empty()) continue;
      double left = corners[0].x, top = corners[0].y, right = left, bottom = top;
      for (const Point& corner : corners) {
        left = std::min(left, corner.x);
        right = std::max(right, corner.x);
        top = std::min(top, corner.y);
        bottom = std::max(bottom, corner.y);
      }
      const double box_width = right - left, box_height = bottom - top;
      if (box_width < settings.min_size || box_height < settings.min_size) continue;
      if (box_width * box_height < settings.min_visible * full_area) continue;
      kept.push_back({float(left), float(top), float(right), float(bottom), box.label});
    }
  }
  return kept;
}

double frequency_argument(double value, const char* name) {
  if (!(value >= 0 && value <= 1)) {
    throw py::value_error(std::string("geometric_batch: ") + name + " must be a frequency between 0 and 1, got " +
                          std::to_string(value));
  }
  return value;
}

using Pixels = py::array_t<std::uint8_t, py::array::c_style>;

// The source images of a batch: a B x H x W x 3 array, or a list of B arrays
// H x W x 3 (the loader's own, a copy saved), each shaped like `out`'s images.
// The arrays in `held` keep the pixels alive.
std::vector<const std::uint8_t*> source_pixels(const py::object& images, const Pixels& out, std::vector<Pixels>& held) {
  std::vector<const std::uint8_t*> pixels;
  if (py::isinstance<py::list>(images)) {
    py::list list = images;
    if (out.ndim() != 4 || list.size() != std::size_t(out.shape(0))) {
      throw py::value_error("geometric_batch: images must hold one image per image of out");
    }
    for (std::size_t index = 0; index < list.size(); ++index) {
      held.push_back(Pixels::ensure(list[index]));
      const Pixels& image = held.back();
      if (!image || image.ndim() != 3 || !std::equal(image.shape(), image.shape() + 3, out.shape() + 1)) {
        throw py::value_error("geometric_batch: images[" + std::to_string(index) +
                              "] must be an H x W x 3 uint8 array shaped like out's images");
      }
      pixels.push_back(image.data());
    }
    return pixels;
  }
  held.push_back(Pixels::ensure(images));
  const Pixels& array = held.back();
  if (!array || array.ndim() != 4 || array.shape(3) != 3) {
    throw py::value_error("geometric_batch: images must be a B x H x W x 3 uint8 array");
  }
  if (out.ndim() != 4 || !std::equal(out.shape(), out.shape() + 4, array.shape())) {
    throw py::value_error("geometric_batch: out must be a writable uint8 array shaped like images");
  }
  const std::size_t image_bytes = std::size_t(array.shape(1)) * array.shape(2) * 3;
  for (py::ssize_t index = 0; index < array.shape(0); ++index) pixels.push_back(array.data() + index * image_bytes);
  return pixels;
}

py::list geometric_batch(const py::object& images, py::list boxes, Pixels out, std::uint64_t seed, double mosaic,
                         double affine, std::pair<double, double> scale, double translate, double degrees, double shear,
                         double min_size, double min_visible, int fill) {
  std::vector<Pixels> held;
  const std::vector<const std::uint8_t*> pixels = source_pixels(images, out, held);
  if (!out.writeable() || out.shape(3) != 3) {
    throw py::value_error("geometric_batch: out must be a writable uint8 array shaped like images");
  }
  const int batch = int(out.shape(0)), height = int(out.shape(1)), width = int(out.shape(2));
  if (py::len(boxes) != std::size_t(batch)) {
    throw py::value_error("geometric_batch: boxes must hold one N x 5 array per image");
  }
  if (!(scale.first > 0 && scale.first <= scale.second)) {
    throw py::value_error("geometric_batch: scale must be a range (low, high) with 0 < low <= high");
  }
  if (fill < 0 || fill > 255) throw py::value_error("geometric_batch: fill must be 0..255");
  const Settings settings{frequency_argument(mosaic, "mosaic"),
                          frequency_argument(affine, "affine"),
                          scale.first,
                          scale.second,
                          translate,
                          degrees,
                          shear,
                          min_size,
                          min_visible,
                          std::uint8_t(fill)};

  std::vector<std::vector<Box>> source_boxes(batch);
  for (int index = 0; index < batch; ++index) {
    auto array = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(boxes[index]);
    if (!array || (array.size() > 0 && (array.ndim() != 2 || array.shape(1) != 5))) {
      throw py::value_error("geometric_batch: boxes[" + std::to_string(index) + "] must be an N x 5 array");
    }
    const float* values = array.data();
    for (py::ssize_t row = 0; row < (array.size() ? array.shape(0) : 0); ++row) {
      const float* v = values + row * 5;
      source_boxes[index].push_back({v[0], v[1], v[2], v[3], v[4]});
    }
  }

  const std::size_t image_bytes = std::size_t(height) * width * 3;
  std::uint8_t* out_pixels = out.mutable_data();
  std::vector<std::vector<Box>> result(batch);
  {
    py::gil_scoped_release release;
    std::vector<Image> sources;
    for (int index = 0; index < batch; ++index) sources.push_back({pixels[index], height, width});
    const std::vector<Plan> plans = draw_plans(batch, height, width, settings, seed);
    for (int index = 0; index < batch; ++index) {
      const Plan& plan = plans[index];
      std::uint8_t* target = out_pixels + index * image_bytes;
      if (plan.tiles.size() == 1 && plan.to_output.is_integer_translation() && plan.to_output.c == 0 &&
          plan.to_output.f == 0) {
        std::memcpy(target, sources[index].pixels, image_bytes);
        result[index] = source_boxes[index];
        continue;
      }
      render(plan, sources, target, height, width, settings.fill);
      result[index] = transform_boxes(plan, source_boxes, height, width, settings);
    }
  }

  py::list transformed;
  for (const std::vector<Box>& kept : result) {
    py::array_t<float> array({py::ssize_t(kept.size()), py::ssize_t(5)});
    if (!kept.empty()) std::memcpy(array.mutable_data(), kept.data(), kept.size() * sizeof(Box));
    transformed.append(array);
  }
  return transformed;
}

}  // namespace

PYBIND11_MODULE(augment, m) {
  m.doc() = "Geometric augmentation of detection training batches (random affine and mosaic), without the GIL.";
  m.def("geometric_batch", &geometric_batch, py::arg("images"), py::arg("boxes"), py::arg("out"), py::kw_only(),
        py::arg("seed"), py::arg("mosaic"), py::arg("affine"), py::arg("scale"), py::arg("translate"),
        py::arg("degrees"), py::arg("shear"), py::arg("min_size"), py::arg("min_visible"), py::arg("fill") = 114,
        "Augments a batch: `images` (B x H x W x 3 uint8, or a list of B arrays H x W x 3) into `out` "
        "(B x H x W x 3), returns the B boxes arrays "
        "(N x 5 float32: x1, y1, x2, y2 in pixels, label) of the outputs.\n\n"
        "Each sample becomes, with frequency `mosaic`, a mosaic of itself and three random images of the batch "
        "(a canvas twice the size, split at a random centre, whose middle the output shows) and, with frequency "
        "`affine`, is scaled by a factor in `scale`, rotated by up to `degrees`, sheared by up to `shear` degrees "
        "and shifted by up to `translate` of its size. Uncovered pixels get `fill`. Boxes are cut to the shown "
        "part, mapped and boxed again; those narrower or lower than `min_size` pixels, or showing less than "
        "`min_visible` of their mapped area, are dropped. The draws depend on `seed` and the batch size only.");
}
