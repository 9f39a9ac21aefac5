// quillon.forgeline.trainer.segmentation: SegmentationTrainer, the detection
// trainer for semantic-segmentation models. It keeps the run folder, the
// training loop and the checkpoint saving of DetectionTrainer and replaces the
// training step, the validation pass (masks instead of boxes) and the metric
// set (one value per metric instead of one per IoU threshold).
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "pyclass/pyclass.hpp"
#include "trainer/trainer_common.hpp"

namespace py = pybind11;
using pyclass::Globals;

namespace {

const char* const kTrainerDocHead = R"doc(Training pipeline for segmentation that combines all the tools of the toolkit.

Derives from DetectionTrainer: same run folder, training loop and checkpoint
files; the validation pass compares predicted and ground-truth class masks
and the metrics are single values ("mAP", "mACC", "mAR", "OP", "OR", "OA").
best.h5 and last.h5 hold the whole model.

Parameters
----------
model : a Keras model ready for training.
dataset : the dataset object with the training samples.
optimizer : a Keras optimizer.
loss : the toolkit's segmentation loss; ``compute_loss(targets, predictions)``
    receives the model's output as the model returns it.
logger : the toolkit's TensorBoard logger (``quillon.forgeline.callbacks``),
    or another object with a ``writer`` attribute. The default None is
    refused (AttributeError): pass one.
checkpoint : path of the run (checkpoint) folder, created when missing. The
    default None is refused (TypeError): pass one.
)doc";

// Segmentation metrics are single values, logged under the 0.50 name.
const trainer_common::MetricLayout kSegmentationMetrics = {{nullptr, "0.50", ""}};

// The distinct class values of a mask, ascending, as a list.
py::object mask_labels(const Globals& g, const py::object& mask) { return py::list(g["np"].attr("unique")(mask)); }

}  // namespace

PYBIND11_MODULE(segmentation, m) {
  Globals g(m);
  g.bind_from("quillon.forgeline.trainer.detection", "DetectionTrainer");
  g.bind("tf", py::module_::import("tensorflow"));
  g.bind("np", py::module_::import("numpy"));
  g.bind("csv", py::module_::import("csv"));
  g.bind("os", py::module_::import("os"));

  static const std::string doc = trainer_common::trainer_doc(kTrainerDocHead);
  pyclass::ClassBuilder cls(m, "SegmentationTrainer", py::make_tuple(g["DetectionTrainer"]), doc.c_str());

  cls.method(
      "__init__",
      [g](py::object self, py::object model, py::object dataset, py::object optimizer, py::object loss,
          py::object logger, py::object checkpoint, py::object info, py::object metric, py::object iou,
          py::object classes, py::object display, py::object dvclive_output, py::object skip_validation_steps,
          py::object skip_initial_validation) {
        pyclass::super(g["SegmentationTrainer"], self)
            .attr("__init__")(py::arg("model") = model, py::arg("dataset") = dataset, py::arg("optimizer") = optimizer,
                              py::arg("loss") = loss, py::arg("logger") = logger, py::arg("checkpoint") = checkpoint,
                              py::arg("info") = info, py::arg("metric") = metric, py::arg("iou") = iou,
                              py::arg("classes") = classes, py::arg("display") = display,
                              py::arg("dvclive_output") = dvclive_output,
                              py::arg("skip_validation_steps") = skip_validation_steps,
                              py::arg("skip_initial_validation") = skip_initial_validation);
      },
      py::arg("model"), py::arg("dataset"), py::arg("optimizer"), py::arg("loss"), py::arg("logger") = py::none(),
      py::arg("checkpoint") = py::none(), py::arg("info") = py::none(), py::arg("metric") = "acc", py::arg("iou") = 0.5,
      py::arg("classes") = py::none(), py::arg("display") = py::none(), py::arg("dvclive_output") = py::none(),
      py::arg("skip_validation_steps") = 1, py::arg("skip_initial_validation") = false,
      "Sets up the run as DetectionTrainer does; the class docstring describes every parameter.");

  cls.graph_method(
      "train_step", {pyclass::param("data")},
      py::cpp_function(
          [g](py::object self, py::object data) -> py::object {
            return trainer_common::train_step(g, self, data, /*outputs_as_tuple=*/false);
          },
          py::arg("self"), py::arg("data")),
      "One optimisation step on a batch (images, *targets); the loss gets the model's output as returned.");

  trainer_common::define_update_metrics(cls, g, kSegmentationMetrics,
                                        "Logs one validation result (single-valued metrics): DVCLive, MLflow, the "
                                        "logger (at the epoch) and a new summary.csv row.");

  // Segmentation models have no training-only outputs: the whole model is saved.
  cls.method(
      "remove_training_outputs", [](py::object self, py::object /*model*/) -> py::object { return self.attr("model"); },
      py::arg("model"), "The whole model: segmentation models have no training-only outputs.");

  trainer_common::define_run_validation_step(
      cls, kSegmentationMetrics, "an (image, mask, path) element",
      [g](py::object /*self*/, py::object evaluator) {
        py::object run_single_instance = evaluator.attr("runner").attr("run_single_instance");
        // The dictionaries are new for every image.
        return [g, run_single_instance](const std::vector<py::object>& fields) -> std::pair<py::dict, py::dict> {
          py::object image = fields[0].attr("numpy")();
          py::object path = fields[2].attr("numpy")().attr("decode")();
          py::dict gt_instance;
          trainer_common::set_image_truth(gt_instance, image, path);
          py::object gt_mask = fields[1].attr("numpy")();
          py::object dt_mask = run_single_instance(image);

          py::dict dt_instance;
          dt_instance["dt_mask"] = dt_mask;
          dt_instance["labels"] = mask_labels(g, dt_mask);
          gt_instance["gt_mask"] = gt_mask;
          gt_instance["labels"] = mask_labels(g, gt_mask);
          gt_instance["image_path"] = path;
          return {gt_instance, dt_instance};
        };
      },
      "Runs one validation pass over `loop` ((image, mask, path) elements) with `evaluator`, saves the "
      "model by the pass's score and returns the evaluator's metrics.");

  cls.build();
}
