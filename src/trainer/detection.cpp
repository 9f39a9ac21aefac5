// quillon.forgeline.trainer.detection: DetectionTrainer, the owner of one
// training run of an object-detection model (run folder, training loop,
// validation, metrics and model files).
#include <pybind11/pybind11.h>

#include "pyclass/pyclass.hpp"
#include "trainer/run_files.hpp"

namespace py = pybind11;
using pyclass::Globals;

namespace {

const char* const kTrainerDoc = R"doc(Training pipeline for object-detection models.

Owns a whole training run: the model, its optimizer and loss, the run
(checkpoint) folder with ``config.json``, ``labels.txt``, ``best.h5``,
``last.h5`` and ``summary.csv``, the best validation score so far and the
experiment-logging hooks.

Parameters
----------
model : a Keras model ready for training; its outputs list holds two
    training-only outputs first, the inference outputs after them.
dataset : the dataset object with the training samples.
optimizer : a Keras optimizer.
loss : the toolkit's detection loss (``quillon.forgeline.losses.ForgelineLoss``
    or a subclass).
logger : the toolkit's TensorBoard logger (``quillon.forgeline.callbacks``);
    it must have a ``writer`` attribute.
checkpoint : path of the run (checkpoint) folder; created when missing.
info : global configuration object, stored to disk (``config.json``) for
    reproducibility.
metric : name of the metric used to choose the best checkpoint ("acc",
    "map", anything else selects mAR).
iou : IoU threshold used by non-maximum suppression during validation.
classes : names of the classes.
display : number of samples sent to TensorBoard after each validation (may be
    0; negative sends every sample).
dvclive_output : folder of the DVCLive session, or None for no DVCLive.
skip_validation_steps : validate after every epoch whose number is a
    multiple of this.
skip_initial_validation : skip the validation before the first epoch.
H, W : input height and width, taken from the model itself.
parameters : training parameters, part of ``info``.
)doc";

// The optimizer's learning rate now: a schedule is evaluated at the
// optimizer's iteration count. Keras 3 optimizers have no `lr`; their
// `learning_rate` already gives the scheduled value.
py::object current_learning_rate(const Globals& g, const py::object& optimizer) {
  py::object rate = py::hasattr(optimizer, "lr") ? optimizer.attr("lr") : optimizer.attr("learning_rate");
  py::object schedule_type = g["tf"].attr("keras").attr("optimizers").attr("schedules").attr("LearningRateSchedule");
  if (py::isinstance(rate, schedule_type)) return rate(optimizer.attr("iterations"));
  return rate;
}

py::object not_built_yet(const char* method) {
  PyErr_Format(PyExc_NotImplementedError, "DetectionTrainer.%s is not available yet", method);
  throw py::error_already_set();
}

}  // namespace

PYBIND11_MODULE(detection, m) {
  Globals g(m);
  g.bind_from("quillon.validator.writers", "TrainingTensorBoardWriter");
  g.bind("tqdm", py::module_::import("tqdm").attr("tqdm"));
  g.bind("tf", py::module_::import("tensorflow"));
  g.bind("np", py::module_::import("numpy"));
  g.bind("json", py::module_::import("json"));
  g.bind("os", py::module_::import("os"));
  g.bind("time", py::module_::import("time"));
  g.bind("csv", py::module_::import("csv"));
  g.bind_from("quillon.forgeline.callbacks", "ForgelineTrainingCallback");

  py::object tf = g["tf"];

  pyclass::ClassBuilder cls(m, "DetectionTrainer", py::tuple(), kTrainerDoc);

  cls.method(
      "__init__",
      [g](py::object self, py::object model, py::object dataset, py::object optimizer, py::object loss,
          py::object logger, py::object checkpoint, py::object info, py::object metric, py::object iou,
          py::object classes, py::object display, py::object dvclive_output, py::object skip_validation_steps,
          py::object skip_initial_validation) {
        py::object os = g["os"];
        self.attr("dvclive_output") = dvclive_output;
        self.attr("info") = info;
        self.attr("model") = model;
        self.attr("metric") = metric;
        self.attr("dataset") = dataset;
        self.attr("optimizer") = optimizer;
        self.attr("loss") = loss;
        self.attr("logger") = logger;
        self.attr("evaluator") = py::none();
        self.attr("val_messenger") = g["TrainingTensorBoardWriter"](logger.attr("writer"));
        self.attr("best_value") = 0.0;
        self.attr("iou") = iou;
        self.attr("classes") = classes;
        self.attr("display") = display;
        self.attr("NCHW") = false;
        self.attr("current_lr") = current_learning_rate(g, optimizer);
        self.attr("checkpoint") = checkpoint;
        if (!os.attr("path").attr("exists")(checkpoint).cast<bool>()) {
          os.attr("makedirs")(checkpoint, py::arg("exist_ok") = true);
        }
        self.attr("best") = os.attr("path").attr("join")(checkpoint, "best.h5");
        self.attr("last") = os.attr("path").attr("join")(checkpoint, "last.h5");
        self.attr("summary_rows") = py::list();
        self.attr("skip_validation_steps") = skip_validation_steps;
        self.attr("skip_initial_validation") = skip_initial_validation;

        py::object config = g["json"].attr("dumps")(info, py::arg("indent") = 4);
        run_files::write_text_atomically(os.attr("path").attr("join")(checkpoint, "config.json"),
                                         [&](const py::object& file) { file.attr("write")(config); });

        // No class list is treated as an empty one: nothing to write.
        if (!classes.is_none() && py::len(classes) > 0) {
          py::object labels = os.attr("path").attr("join")(checkpoint, "labels.txt");
          run_files::write_text_atomically(labels, [&](const py::object& file) {
            for (py::handle name : classes) file.attr("write")(py::str("{}\n").format(name));
          });
        }

        pyclass::print(py::str("\t - Saving best iteration checkpoint at : {}").format(self.attr("best")));
        pyclass::print(py::str("\t - Saving last iteration checkpoint at : {}").format(self.attr("last")));
      },
      py::arg("model"), py::arg("dataset"), py::arg("optimizer"), py::arg("loss"), py::arg("logger") = "out",
      py::arg("checkpoint") = "out", py::arg("info") = py::none(), py::arg("metric") = "acc",
      py::arg("iou") = 0.5, py::arg("classes") = py::none(), py::arg("display") = py::none(),
      py::arg("dvclive_output") = py::none(), py::arg("skip_validation_steps") = 1,
      py::arg("skip_initial_validation") = false);

  cls.graph_method(
      "preprocess_input", {pyclass::param("x", tf.attr("Tensor"))},
      py::cpp_function([g](py::object self, py::object x) -> py::object { return not_built_yet("preprocess_input"); },
                       py::arg("self"), py::arg("x")),
      "Scales a batch of 0..255 images to float32 values in 0..1.");

  cls.graph_method(
      "train_step", {pyclass::param("data")},
      py::cpp_function([g](py::object self, py::object data) -> py::object { return not_built_yet("train_step"); },
                       py::arg("self"), py::arg("data")),
      "One optimisation step on a batch (images, *targets); returns the loss dictionary.");

  cls.method(
      "remove_training_outputs",
      [g](py::object self, py::object model) -> py::object { return not_built_yet("remove_training_outputs"); },
      py::arg("model") = py::none());

  cls.method(
      "to_nchw", [g](py::object self, py::object model) -> py::object { return not_built_yet("to_nchw"); },
      py::arg("model"));

  cls.method(
      "save_model", [g](py::object self, double val) { not_built_yet("save_model"); }, py::arg("val"));

  cls.method(
      "update_metrics",
      [g](py::object self, py::object metrics, py::object losses, py::object epoch, py::object live) {
        pyclass::require_exact_type(metrics, "metrics", py::type::of(py::dict()));
        pyclass::require_exact_type(losses, "losses", py::type::of(py::dict()));
        not_built_yet("update_metrics");
      },
      py::arg("metrics") = py::dict(), py::arg("losses") = py::dict(), py::arg("epoch") = 0,
      py::arg("live") = py::none());

  cls.method(
      "run_validation_step",
      [g](py::object self, py::object loop, py::object evaluator, py::object epoch) -> py::object {
        return not_built_yet("run_validation_step");
      },
      py::arg("loop"), py::arg("evaluator"), py::arg("epoch"));

  cls.method(
      "train",
      [g](py::object self, py::object epochs, py::object train_ds, py::object val_ds, py::object evaluator,
          py::object start, py::object callback_handler) { not_built_yet("train"); },
      py::arg("epochs"), py::arg("train_ds") = py::none(), py::arg("val_ds") = py::none(),
      py::arg("evaluator") = py::none(), py::arg("start") = 1,
      py::arg("callback_handler") = g["ForgelineTrainingCallback"]());

  cls.build();
}
