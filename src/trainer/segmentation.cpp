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

const char* const kTrainerDoc = R"doc(Training pipeline for segmentation that combines all the tools of the toolkit.

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
info : global configuration object, stored to disk (``config.json``) for
    reproducibility.
metric : name of the metric used to choose the best checkpoint ("acc",
    "map", anything else selects mAR).
iou : kept as the attribute ``iou`` for collaborators; the trainer itself
    does not read it (the evaluator's ``nms_iou`` sets the suppression).
classes : names of the classes.
display : number of samples sent to TensorBoard after each validation (0 or
    None: none; negative: every sample).
dvclive_output : folder of the DVCLive session, or None for no DVCLive.
skip_validation_steps : validate after every epoch whose number is a
    multiple of this.
skip_initial_validation : skip the validation before the first epoch.

Attributes set after construction
---------------------------------
ema_decay : None (the default: no averaging), or the decay, in (0, 1) such
    as 0.9999, of an exponential moving average of the model's weights kept
    while training. Validation, best.h5 and last.h5 then use the averaged
    weights; the optimizer goes on from the raw ones.
ema_warmup_steps : the warm-up of that decay, in optimizer steps (default
    2000): after t steps it is ema_decay * (1 - exp(-t / ema_warmup_steps)).
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

  pyclass::ClassBuilder cls(m, "SegmentationTrainer", py::make_tuple(g["DetectionTrainer"]), kTrainerDoc);

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

  cls.method(
      "run_validation_step",
      [g](py::object self, py::object loop, py::object evaluator, py::object epoch) -> py::object {
        py::object run_single_instance = evaluator.attr("runner").attr("run_single_instance");
        // One outer dictionary for the whole pass; its entries are new for every image.
        py::dict instance;
        auto record = [&](const std::vector<py::object>& fields) -> py::object {
          py::object image = fields[0].attr("numpy")();
          py::object path = fields[2].attr("numpy")().attr("decode")();
          py::tuple shape = trainer_common::image_shape(image, path);
          py::object gt_mask = fields[1].attr("numpy")();
          py::object dt_mask = run_single_instance(image);

          py::dict dt_instance;
          dt_instance["dt_mask"] = dt_mask;
          dt_instance["labels"] = mask_labels(g, dt_mask);
          py::dict gt_instance;
          gt_instance["image"] = image;
          gt_instance["height"] = shape[0];
          gt_instance["width"] = shape[1];
          gt_instance["gt_mask"] = gt_mask;
          gt_instance["labels"] = mask_labels(g, gt_mask);
          gt_instance["image_path"] = path;
          instance["gt_instance"] = gt_instance;
          instance["dt_instance"] = dt_instance;
          return instance;
        };
        return trainer_common::validation_pass(self, loop, evaluator, epoch, kSegmentationMetrics,
                                               "an (image, mask, path) element", record);
      },
      py::arg("loop"), py::arg("evaluator"), py::arg("epoch"),
      "Runs one validation pass over `loop` ((image, mask, path) elements) with `evaluator`, saves the "
      "model by the pass's score and returns the evaluator's metrics.");

  cls.build();
}
