// What the detection and segmentation trainers do alike: reading the
// learning rate, the training step, the display choice and checkpoint score of
// a validation pass, and logging validation metrics (DVCLive, MLflow, the
// TensorBoard logger and summary.csv). The trainers differ only in how a
// metric is keyed (per IoU threshold for detection, one value for
// segmentation), which `MetricLayout` describes.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "pyclass/pyclass.hpp"

namespace trainer_common {

namespace py = pybind11;
using pyclass::Globals;

// ---- Learning rate ----

// Reads an optimizer's current learning rate: `lr` (Keras 2) or
// `learning_rate` (Keras 3, which has no `lr`), and a schedule is evaluated at
// the optimizer's iteration count. Keras 2's optimizers keep in `lr` the rate
// of the step before, so a schedule is taken from where the optimizer keeps
// it (`_learning_rate`) when it is there. Which attribute to read is decided
// once, so reading it every training step costs a single attribute lookup.
// A rate held in a tf.distribute variable is read as its value: such a
// variable has no float(). Anything without a learning rate raises
// AttributeError saying what an optimizer must be.
class LearningRateReader {
 public:
  LearningRateReader(const Globals& g, py::object optimizer);
  py::object read() const;

 private:
  py::object optimizer_;
  const char* attribute_;
  py::object schedule_type_;
  bool distributed_variable_;
};

// A value for logs and progress text: tensors and variables give their value
// (.numpy()); a plain number is returned as it is.
py::object numpy_value(const py::object& value);

// Whether a variable holds floating-point values.
bool is_floating(const Globals& g, const py::handle& variable);

// ---- Distribution ----

// `with context: body()`, for a Python context manager `context`.
template <typename Body>
auto within(const py::object& context, Body body) {
  context.attr("__enter__")();
  try {
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      context.attr("__exit__")(py::none(), py::none(), py::none());
    } else {
      auto result = body();
      context.attr("__exit__")(py::none(), py::none(), py::none());
      return result;
    }
  } catch (...) {
    context.attr("__exit__")(py::none(), py::none(), py::none());
    throw;
  }
}

// The scope a model and its optimizer are built in under `strategy`: its
// scope(), or a context that does nothing when `strategy` is None. The
// detection module exposes it as `in_scope`, which the jobs use too.
py::object scope_of(const py::object& strategy);

// `with scope_of(strategy): body()`.
template <typename Body>
auto in_scope(const py::object& strategy, Body body) {
  return within(scope_of(strategy), body);
}

// Whether a process training under `strategy` writes the run: without a
// strategy (None), or as its chief. The detection module exposes it as
// `is_chief`, which the jobs use too.
bool strategy_is_chief(const py::object& strategy);

// The tf.distribute strategy `model` was built under (its
// `distribute_strategy`), or None when there is none (the default strategy)
// or the model does not say.
py::object model_strategy(const Globals& g, const py::object& model);

// Under the model's strategy, builds the optimizer in the strategy's scope,
// when it is not built yet: a Keras 3 optimizer first built inside
// `strategy.run` fails.
void build_optimizer_in_scope(const Globals& g, const py::object& model, const py::object& optimizer);

// Whether this process writes the run folder: false only on the workers of a
// multi-worker strategy other than the chief.
bool is_chief(const Globals& g, const py::object& self);

// The training batches as the steps take them: under a strategy, a
// tf.data.Dataset is distributed with it (`experimental_distribute_dataset`);
// anything else, an already distributed dataset included, is returned as is.
py::object distributed_batches(const Globals& g, const py::object& self, const py::object& batches);

// Under the model's strategy, sets the model's floating-point non-trainable
// variables (batch normalisation's moving statistics) to their mean over the
// replicas: each replica updates its own copy from its own batches. Runs a
// collective, so every worker of a multi-worker strategy must call it. The
// compiled averaging of each model is kept in the module global
// `_replica_averaging` (a weakref.WeakKeyDictionary) while the model lives:
// tracing it anew costs about as much as a few training steps.
void average_replica_variables(const Globals& g, const py::object& self);

// A compiled function that sets each of `variables` (created under
// `strategy`) to its mean over the replicas; a collective, as above.
py::object replica_averaging(const Globals& g, const py::object& strategy, const py::list& variables);

// ---- Training step ----

// One optimisation step of `self.model` on `data` = (images, *targets):
// forward pass under a gradient tape, the loss collaborator's loss plus the
// model's regularisation losses, gradients and the optimizer update. Returns
// the loss dictionary with "L2-loss" added. Detection passes the outputs as a
// tuple; segmentation passes them as the model returns them.
//
// Under the model's strategy the step runs on every replica
// (`strategy.run`) with the loss and the regularisation term divided by the
// number of replicas, so that the summed gradients are those of one device on
// the whole batch, and the loss dictionary is the mean over the replicas.
py::object train_step(const Globals& g, const py::object& self, const py::object& data, bool outputs_as_tuple);

// Traces the compiled step `step` once for every batch `dataset` yields: for
// the shapes of its elements, where the sizes that vary (the batch, the boxes per
// image) are unknown. Batches then reuse that trace; without it each new box
// count and the short last batch traced the step again, tens of seconds each
// for a large model on a GPU. Datasets that do not declare their shapes are left to
// trace as they come. The trainer's optimizer is built first: creating its
// variables inside the trace would trace the step a second time.
void trace_for_every_batch(const Globals& g, const py::object& self, const py::object& step, const py::object& dataset);

// ---- Validation pass ----

// Which validation images go to TensorBoard: the first `display` of a pass;
// every image when `display` is negative; None counts as 0.
class DisplayChoice {
 public:
  explicit DisplayChoice(const py::object& display);
  bool next_image();

 private:
  double display_;
  long counter_ = 0;
};

// The next element of a validation pipeline, or an empty object at its end.
// The caller keeps each element only for its own iteration, so a large image
// batch is freed before the next one is produced.
py::object next_element(const py::iterator& elements);

// Unpacks one validation element into exactly `count` values, naming the
// expected layout (`what`) when it does not fit.
std::vector<py::object> unpack(const py::handle& element, size_t count, const char* method, const char* what);

// Raised when a validation pipeline produced nothing to evaluate.
[[noreturn]] void raise_empty_validation(const char* method, const char* what);

// How a metric of the evaluator's result is keyed.
struct Threshold {
  const char* metrics_key;     // key inside the metric's mapping; nullptr: the metric is one value
  const char* log_suffix;      // DVCLive and MLflow name: "mAP " + suffix
  const char* summary_suffix;  // summary.csv column: "mAP" + suffix
};
using MetricLayout = std::vector<Threshold>;

// The score that decides whether best.h5 is replaced, by `self.metric`: "acc"
// takes mACC, "map" takes mAP, anything else mAR, each at the layout's first
// threshold.
double checkpoint_score(const py::object& metrics, const py::object& metric, const MetricLayout& layout);

// Sets the entries of a validation instance's ground truth that every task
// gives first: "image", its "height" and "width". The image must be height x
// width x channels; ValueError naming it (`name`) otherwise.
void set_image_truth(const py::dict& truth, const py::object& image, const py::object& name);

// One validation pass of `run_validation_step` over `loop`: `record(fields)`
// turns the three fields of each element (laid out as `what` says) into the
// (ground truth, detections) pair of dictionaries that
// `evaluator.single_evaluation` gets as {"gt_instance", "dt_instance"}, with the
// epoch and the display choice; then `evaluator.conclude` gives the metrics,
// the model is saved by their checkpoint score, and the metrics are returned.
template <typename Record>
py::object validation_pass(const py::object& self, const py::object& loop, const py::object& evaluator,
                           const py::object& epoch, const MetricLayout& layout, const char* what, Record record) {
  const char* const method = "run_validation_step";
  DisplayChoice display(self.attr("display"));
  py::object single_evaluation = evaluator.attr("single_evaluation");
  py::object truth_values;
  py::dict instances;  // one outer dictionary for the whole pass
  py::iterator elements = py::iter(loop);
  while (py::object element = next_element(elements)) {
    std::pair<py::dict, py::dict> truth_and_detections = record(unpack(element, 3, method, what));
    instances["gt_instance"] = truth_and_detections.first;
    instances["dt_instance"] = truth_and_detections.second;
    truth_values = single_evaluation(instances, epoch, display.next_image());
  }
  if (!truth_values) raise_empty_validation(method, what);

  py::object metrics = evaluator.attr("conclude")(truth_values, py::arg("epoch") = epoch);
  self.attr("save_model")(checkpoint_score(metrics, self.attr("metric"), layout));
  return metrics;
}

// Defines the trainer's `run_validation_step(loop, evaluator, epoch)`: one
// validation pass as above, whose record is `make_record(self, evaluator)`.
template <typename MakeRecord>
void define_run_validation_step(pyclass::ClassBuilder& cls, const MetricLayout& layout, const char* what,
                                MakeRecord make_record, const char* doc) {
  cls.method(
      "run_validation_step",
      [&layout, what, make_record](py::object self, py::object loop, py::object evaluator, py::object epoch) {
        return validation_pass(self, loop, evaluator, epoch, layout, what, make_record(self, evaluator));
      },
      py::arg("loop"), py::arg("evaluator"), py::arg("epoch"), doc);
}

// ---- Metrics logging ----

// Logs one validation result: DVCLive (when `live` is not None), the active
// MLflow run (when mlflow is installed), `self.logger.update_metrics(summary,
// losses)`, then appends the row to `self.summary_rows` and rewrites
// summary.csv in the run folder.
void update_metrics(const Globals& g, const MetricLayout& layout, const py::object& self, const py::object& metrics,
                    const py::object& losses, const py::object& epoch, const py::object& live);

// Defines the trainer's `update_metrics(metrics={}, losses={}, epoch=0,
// live=None)` method: both dictionaries checked, then logged as above.
void define_update_metrics(pyclass::ClassBuilder& cls, const Globals& g, const MetricLayout& layout, const char* doc);

// ---- Documentation ----

// A trainer's class docstring: `head` (what the trainer is, and its parameters
// up to `checkpoint`) followed by the parameters from `info` on and the
// attributes set after construction, which every trainer documents alike.
std::string trainer_doc(const char* head);

// `import mlflow`, or an empty object when it is not installed.
py::object import_mlflow();

// Whether an MLflow run is active (False without mlflow).
bool mlflow_run_active(const py::object& mlflow);

}  // namespace trainer_common
