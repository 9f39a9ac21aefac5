#include "trainer/trainer_common.hpp"

#include <string>

#include "trainer/run_files.hpp"

namespace trainer_common {

namespace {

// The metric groups of a validation result, in the order of the summary row
// and of the MLflow dictionary; DVCLive receives mACC first.
const char* const kGroups[] = {"mAP", "mACC", "mAR"};
const int kDvcliveGroupOrder[] = {1, 0, 2};

struct Overall {
  const char* metrics_key;
  const char* log_name;
  const char* summary_key;
};
const Overall kOverall[] = {
    {"OA", "Overall ACC", "Overall-ACC"},
    {"OP", "Overall AP", "Overall-AP"},
    {"OR", "Overall AR", "Overall-AR"},
};

const char* const kSummaryLockedWarning =
    "\t - [WARNING]: Error writing evaluation summary. Please close the file to allow Forgeline to write metrics";

struct NamedValue {
  std::string log_name;
  std::string summary_key;
  py::object value;
};

void require_metrics(const py::object& metrics) {
  if (metrics.is_none()) {
    throw py::value_error("the evaluator returned no metrics (None); expected its metrics dictionary");
  }
}

// metrics[group] (one value) or metrics[group][threshold] (per IoU threshold),
// with a message naming what is missing.
py::object metric_value(const py::object& metrics, const char* group, const Threshold& threshold) {
  py::object entry = metrics.attr("get")(group);
  if (entry.is_none()) {
    throw py::value_error(std::string("the evaluator's metrics have no '") + group + "' entry");
  }
  if (threshold.metrics_key == nullptr) return entry;
  py::object value = entry.attr("get")(threshold.metrics_key);
  if (value.is_none()) {
    throw py::value_error(std::string("the evaluator's metrics have no '") + group + "' value for the IoU threshold '" +
                          threshold.metrics_key + "'");
  }
  return value;
}

void write_summary_csv(const Globals& g, const py::object& self, const py::list& columns) {
  py::object path = g["os"].attr("path").attr("join")(self.attr("checkpoint"), "summary.csv");
  py::object rows = self.attr("summary_rows");
  py::dict open_options;
  open_options["encoding"] = "UTF8";
  open_options["newline"] = "";
  try {
    run_files::write_text_atomically(
        path,
        [&](const py::object& file) {
          py::object writer = g["csv"].attr("DictWriter")(file, py::arg("fieldnames") = columns);
          writer.attr("writeheader")();
          writer.attr("writerows")(rows);
        },
        open_options);
  } catch (py::error_already_set& error) {
    // Typically the file is open in a spreadsheet program. The row stays in
    // summary_rows and is written by the next call, which rewrites all rows.
    if (!error.matches(PyExc_PermissionError)) throw;
    pyclass::print(kSummaryLockedWarning);
  }
}

}  // namespace

// ---- Learning rate ----

LearningRateReader::LearningRateReader(const Globals& g, py::object optimizer)
    : optimizer_(std::move(optimizer)),
      attribute_(py::hasattr(optimizer_, "lr") ? "lr" : "learning_rate"),
      schedule_type_(g["tf"].attr("keras").attr("optimizers").attr("schedules").attr("LearningRateSchedule")) {
  if (py::isinstance(py::getattr(optimizer_, "_learning_rate", py::none()), schedule_type_)) {
    attribute_ = "_learning_rate";
  } else if (!py::hasattr(optimizer_, attribute_)) {
    pyclass::raise_unexpected(PyExc_AttributeError,
                              "optimizer must be a Keras optimizer with a learning rate (for example "
                              "tf.keras.optimizers.Adam(1e-3))",
                              optimizer_);
  }
  distributed_variable_ = py::isinstance(py::getattr(optimizer_.attr(attribute_), "value", py::none()),
                                         g["tf"].attr("distribute").attr("DistributedValues"));
}

py::object LearningRateReader::read() const {
  py::object rate = optimizer_.attr(attribute_);
  if (py::isinstance(rate, schedule_type_)) return rate(optimizer_.attr("iterations"));
  if (distributed_variable_) return rate.attr("numpy")();
  return rate;
}

py::object numpy_value(const py::object& value) {
  if (py::hasattr(value, "numpy")) return value.attr("numpy")();
  return value;
}

bool is_floating(const Globals& g, const py::handle& variable) {
  return py::bool_(g["tf"].attr("as_dtype")(variable.attr("dtype")).attr("is_floating"));
}

// ---- Distribution ----

py::object scope_of(const py::object& strategy) {
  if (strategy.is_none()) return py::module_::import("contextlib").attr("nullcontext")();
  return strategy.attr("scope")();
}

bool strategy_is_chief(const py::object& strategy) {
  // TensorFlow's own answer: of a multi-worker strategy, only the chief checkpoints.
  return strategy.is_none() || py::bool_(strategy.attr("extended").attr("should_checkpoint"));
}

py::object model_strategy(const Globals& g, const py::object& model) {
  py::object strategy = py::getattr(model, "distribute_strategy", py::none());
  if (strategy.is_none()) return strategy;
  // Inside any scope but the default strategy's, has_strategy() is true.
  py::object has_strategy = g["tf"].attr("distribute").attr("has_strategy");
  bool distributed = in_scope(strategy, [&] { return has_strategy().cast<bool>(); });
  return distributed ? strategy : py::none();
}

void build_optimizer_in_scope(const Globals& g, const py::object& model, const py::object& optimizer) {
  py::object strategy = model_strategy(g, model);
  if (strategy.is_none() || py::bool_(py::getattr(optimizer, "built", py::bool_(true)))) return;
  in_scope(strategy, [&] { return optimizer.attr("build")(model.attr("trainable_variables")); });
}

bool is_chief(const Globals& g, const py::object& self) {
  return strategy_is_chief(model_strategy(g, self.attr("model")));
}

py::object distributed_batches(const Globals& g, const py::object& self, const py::object& batches) {
  py::object strategy = model_strategy(g, self.attr("model"));
  if (strategy.is_none() || !py::isinstance(batches, g["tf"].attr("data").attr("Dataset"))) return batches;
  return strategy.attr("experimental_distribute_dataset")(batches);
}

py::object replica_averaging(const Globals& g, const py::object& strategy, const py::list& variables) {
  py::object tf = g["tf"];
  py::object distribute = tf.attr("distribute");
  py::object on_replica = py::cpp_function([tf, distribute, variables]() {
    // This replica's values as tensors: a multi-worker all-reduce of the
    // variables themselves finds no devices to reduce to.
    py::list values;
    for (py::handle variable : variables) values.append(tf.attr("identity")(variable));
    py::object mean = distribute.attr("ReduceOp").attr("MEAN");
    py::list averaged = distribute.attr("get_replica_context")().attr("all_reduce")(mean, values);
    for (size_t index = 0; index < py::len(variables); ++index) variables[index].attr("assign")(averaged[index]);
  });
  py::cpp_function on_every_replica([strategy, on_replica]() { strategy.attr("run")(on_replica); });
  return pyclass::graph_function(g, "average_replica_variables", on_every_replica);
}

void average_replica_variables(const Globals& g, const py::object& self) {
  py::object model = self.attr("model");
  py::object strategy = model_strategy(g, model);
  if (strategy.is_none()) return;
  py::object compiled = g["_replica_averaging"];
  py::object average = compiled.attr("get")(model);
  if (!average.is_none()) {
    average();
    return;
  }

  py::list variables;
  for (py::handle variable : model.attr("non_trainable_variables")) {
    if (is_floating(g, variable)) variables.append(variable);
  }
  if (py::len(variables) == 0) return;
  average = replica_averaging(g, strategy, variables);
  compiled[model] = average;
  average();
}

// ---- Training step ----

namespace {

// The loss the gradients are taken of, as the optimizer asks for it: a loss
// scale optimizer (mixed_float16) scales it up so that small gradients do not
// vanish in half precision; Keras 3's other optimizers return it unchanged.
py::object scaled_for_gradients(const py::object& optimizer, const py::object& loss) {
  if (py::hasattr(optimizer, "scale_loss")) return optimizer.attr("scale_loss")(loss);            // Keras 3
  if (py::hasattr(optimizer, "get_scaled_loss")) return optimizer.attr("get_scaled_loss")(loss);  // Keras 2
  return loss;
}

// The step on one replica (or on the one device). `loss_scale` multiplies the
// loss the gradients are taken of; 1 leaves today's single-device step as it is.
py::object replica_step(const Globals& g, const py::object& self, const py::object& data, bool outputs_as_tuple,
                        double loss_scale) {
  py::object tf = g["tf"];
  py::object model = self.attr("model");
  py::object optimizer = self.attr("optimizer");
  py::object images = self.attr("preprocess_input")(data[py::int_(0)]);
  py::object targets = data[py::slice(py::int_(1), py::none(), py::none())];

  py::object tape = tf.attr("GradientTape")();
  py::object losses;
  py::object l2;
  py::object full_loss;
  within(tape, [&] {
    py::object outputs = model(images, py::arg("training") = true);
    py::object predictions = outputs_as_tuple ? py::tuple(outputs) : outputs;
    py::object loss = self.attr("loss");
    if (!py::hasattr(loss, "compute_loss")) {
      pyclass::raise_unexpected(PyExc_AttributeError,
                                "loss must be one of the toolkit's losses (a quillon.forgeline.losses.ForgelineLoss) "
                                "or another object with compute_loss(targets, predictions)",
                                loss);
    }
    losses = loss.attr("compute_loss")(targets, predictions);
    py::object total = losses.attr("get")("total-loss");
    if (total.is_none()) {
      throw py::key_error("the loss's compute_loss returned no 'total-loss' entry");
    }
    l2 = tf.attr("reduce_sum")(model.attr("losses"));
    // A mixed-precision model's loss may come in half precision; the
    // regularisation terms are float32. (A no-op for a float32 loss.)
    full_loss = tf.attr("cast")(total, tf.attr("float32")) + l2;
    if (loss_scale != 1.0) full_loss = full_loss * py::float_(loss_scale);
    full_loss = scaled_for_gradients(optimizer, full_loss);
  });

  py::object variables = model.attr("trainable_variables");
  py::object grads = tape.attr("gradient")(full_loss, variables);
  // Keras 2's LossScaleOptimizer leaves unscaling to the caller; Keras 3's
  // does it in apply_gradients.
  if (py::hasattr(optimizer, "get_unscaled_gradients")) grads = optimizer.attr("get_unscaled_gradients")(grads);
  optimizer.attr("apply_gradients")(py::module_::import("builtins").attr("zip")(grads, variables));
  losses[py::str("L2-loss")] = l2;
  return losses;
}

}  // namespace

py::object train_step(const Globals& g, const py::object& self, const py::object& data, bool outputs_as_tuple) {
  py::object strategy = model_strategy(g, self.attr("model"));
  if (strategy.is_none()) return replica_step(g, self, data, outputs_as_tuple, 1.0);

  py::object distribute = g["tf"].attr("distribute");
  py::cpp_function on_replica(
      [g, self, outputs_as_tuple, distribute](py::object replica_data) {
        // The optimizer sums the replicas' gradients.
        long replicas = distribute.attr("get_replica_context")().attr("num_replicas_in_sync").cast<long>();
        return replica_step(g, self, replica_data, outputs_as_tuple, 1.0 / static_cast<double>(replicas));
      },
      py::arg("data"));
  py::dict per_replica = strategy.attr("run")(on_replica, py::arg("args") = py::make_tuple(data));
  // Entry by entry: strategy.reduce takes no dictionary.
  py::object mean = distribute.attr("ReduceOp").attr("MEAN");
  py::dict losses;
  for (auto item : per_replica) {
    losses[item.first] = strategy.attr("reduce")(mean, item.second, py::arg("axis") = py::none());
  }
  return losses;
}

void trace_for_every_batch(const Globals& g, const py::object& self, const py::object& step,
                           const py::object& dataset) {
  py::object signature = py::getattr(dataset, "element_spec", py::none());
  if (signature.is_none()) return;
  // A tensor of unknown rank, the model could not be traced for.
  py::object tensor_type = g["tf"].attr("TensorSpec");
  for (py::handle part : g["tf"].attr("nest").attr("flatten")(signature)) {
    if (py::isinstance(part, tensor_type) && part.attr("shape").attr("rank").is_none()) return;
  }
  py::object model = self.attr("model");
  py::object optimizer = self.attr("optimizer");
  if (!py::bool_(py::getattr(optimizer, "built", py::bool_(true)))) {
    in_scope(model_strategy(g, model), [&] { return optimizer.attr("build")(model.attr("trainable_variables")); });
  }
  step.attr("get_concrete_function")(signature);
}

// ---- Validation pass ----

DisplayChoice::DisplayChoice(const py::object& display) : display_(0.0) {
  if (display.is_none()) return;
  if (!PyNumber_Check(display.ptr())) {
    PyErr_Format(PyExc_TypeError, "display must be a number or None, got %.200s", Py_TYPE(display.ptr())->tp_name);
    throw py::error_already_set();
  }
  display_ = py::float_(display).cast<double>();
}

bool DisplayChoice::next_image() {
  if (display_ < 0) return true;
  bool add = counter_ < display_;
  if (add) ++counter_;
  return add;
}

py::object next_element(const py::iterator& elements) {
  PyObject* element = PyIter_Next(elements.ptr());
  if (element == nullptr) {
    if (PyErr_Occurred() != nullptr) throw py::error_already_set();
    return py::object();
  }
  return py::reinterpret_steal<py::object>(element);
}

std::vector<py::object> unpack(const py::handle& element, size_t count, const char* method, const char* what) {
  py::tuple values(py::reinterpret_borrow<py::object>(element));
  if (values.size() != count) {
    throw py::value_error(std::string(method) + ": each validation element must be " + what + ", got " +
                          std::to_string(values.size()) + " values");
  }
  std::vector<py::object> unpacked;
  for (py::handle value : values) unpacked.push_back(py::reinterpret_borrow<py::object>(value));
  return unpacked;
}

void raise_empty_validation(const char* method, const char* what) {
  throw py::value_error(std::string(method) +
                        ": the validation pipeline yielded nothing; it must deliver at least one " + what);
}

double checkpoint_score(const py::object& metrics, const py::object& metric, const MetricLayout& layout) {
  require_metrics(metrics);
  const char* group = py::str("acc").equal(metric) ? "mACC" : py::str("map").equal(metric) ? "mAP" : "mAR";
  return py::float_(metric_value(metrics, group, layout.front())).cast<double>();
}

void set_image_truth(const py::dict& truth, const py::object& image, const py::object& name) {
  py::tuple shape = image.attr("shape");
  if (shape.size() != 3) {
    throw py::value_error("run_validation_step: the image of '" + name.cast<std::string>() +
                          "' must be height x width x channels, got shape " + py::str(shape).cast<std::string>());
  }
  truth["image"] = image;
  truth["height"] = shape[0];
  truth["width"] = shape[1];
}

// ---- Metrics logging ----

py::object import_mlflow() {
  try {
    return py::module_::import("mlflow");
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    return py::object();
  }
}

bool mlflow_run_active(const py::object& mlflow) { return mlflow && py::bool_(mlflow.attr("active_run")()); }

void update_metrics(const Globals& g, const MetricLayout& layout, const py::object& self, const py::object& metrics,
                    const py::object& losses, const py::object& epoch, const py::object& live) {
  require_metrics(metrics);
  // Everything is read first, so a result with a missing entry is reported
  // before anything is logged anywhere.
  std::vector<NamedValue> groups[3];
  for (int group = 0; group < 3; ++group) {
    for (const Threshold& threshold : layout) {
      groups[group].push_back({std::string(kGroups[group]) + " " + threshold.log_suffix,
                               std::string(kGroups[group]) + threshold.summary_suffix,
                               metric_value(metrics, kGroups[group], threshold)});
    }
  }
  std::vector<NamedValue> overall;
  for (const Overall& entry : kOverall) {
    py::object value = metrics.attr("get")(entry.metrics_key);
    if (value.is_none()) {
      throw py::value_error(std::string("the evaluator's metrics have no '") + entry.metrics_key + "' entry");
    }
    overall.push_back({entry.log_name, entry.summary_key, value});
  }
  py::object learning_rate = numpy_value(self.attr("current_lr"));

  if (!live.is_none()) {
    py::object log_metric = live.attr("log_metric");
    for (int group : kDvcliveGroupOrder) {
      for (const NamedValue& named : groups[group]) log_metric(named.log_name, named.value, py::arg("plot") = false);
    }
    for (const NamedValue& named : overall) log_metric(named.log_name, named.value);
    log_metric("Learning Rate", learning_rate);
  }

  py::object mlflow = import_mlflow();
  if (mlflow_run_active(mlflow)) {
    py::dict values;
    for (const auto& group : groups) {
      for (const NamedValue& named : group) values[py::str(named.log_name)] = named.value;
    }
    for (const NamedValue& named : overall) values[py::str(named.log_name)] = named.value;
    values["learning-rate"] = learning_rate;
    mlflow.attr("log_metrics")(values, py::arg("step") = epoch);
  }

  // Validation summaries share the epoch axis of the evaluator's images and
  // text: the logger's validation counter is set to the epoch.
  py::object logger = self.attr("logger");
  if (py::hasattr(logger, "validation_step")) logger.attr("validation_step") = epoch;

  py::dict summary;
  for (const auto& group : groups) {
    for (const NamedValue& named : group) summary[py::str(named.summary_key)] = py::float_(named.value);
  }
  for (const NamedValue& named : overall) summary[py::str(named.summary_key)] = py::float_(named.value);
  logger.attr("update_metrics")(summary, losses);

  py::list columns;
  columns.append("epoch");
  for (auto item : summary) columns.append(item.first);
  summary["epoch"] = epoch;
  self.attr("summary_rows").attr("append")(summary);
  write_summary_csv(g, self, columns);
}

void define_update_metrics(pyclass::ClassBuilder& cls, const Globals& g, const MetricLayout& layout, const char* doc) {
  cls.method(
      "update_metrics",
      [g, layout](py::object self, py::object metrics, py::object losses, py::object epoch, py::object live) {
        pyclass::require_exact_type(metrics, "metrics", &PyDict_Type);
        pyclass::require_exact_type(losses, "losses", &PyDict_Type);
        update_metrics(g, layout, self, metrics, losses, epoch, live);
      },
      py::arg("metrics") = py::dict(), py::arg("losses") = py::dict(), py::arg("epoch") = 0,
      py::arg("live") = py::none(), doc);
}

namespace {

const char* const kSharedTrainerDoc = R"doc(info : global configuration object, stored to disk (``config.json``) for
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
detailed_progress : False by default; when True (the jobs set it), training
    bars read "Epoch k/N" and the bars are coloured only on a terminal.
)doc";

}  // namespace

std::string trainer_doc(const char* head) { return std::string(head) + kSharedTrainerDoc; }

}  // namespace trainer_common
