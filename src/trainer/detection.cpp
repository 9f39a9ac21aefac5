// quillon.forgeline.trainer.detection: DetectionTrainer, the owner of one
// training run of an object-detection model (run folder, training loop,
// validation, metrics and model files).
#include <pybind11/pybind11.h>

#include <string>

#include "pyclass/pyclass.hpp"
#include "trainer/run_files.hpp"
#include "trainer/trainer_common.hpp"
#include "trainer/training_state.hpp"
#include "trainer/weight_averaging.hpp"

namespace py = pybind11;
using pyclass::Globals;

namespace {

const char* const kTrainerDocHead = R"doc(Training pipeline for object-detection models.

Owns a whole training run: the model, its optimizer and loss, the run
(checkpoint) folder with ``config.json``, ``labels.txt``, ``best.h5``,
``last.h5`` and ``summary.csv``, the best validation score so far and the
experiment-logging hooks.

A model built inside a tf.distribute strategy's scope trains under that
strategy: every step runs on all its replicas, and of several workers only
the chief validates and writes the run folder.

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
)doc";

// Detection metrics are mappings keyed by IoU threshold.
const trainer_common::MetricLayout kDetectionMetrics = {
    {"0.5", "0.50", "@0.5"},
    {"0.75", "0.75", "@0.75"},
    {"0.5:0.95", "0.50-0.95", "@0.5:0.95"},
};

// ---- Helpers of run_validation_step ----

// The class names of the ground-truth boxes: column 4 holds the class index.
py::object class_names(const Globals& g, const py::object& classes, const py::object& boxes, const py::object& name) {
  py::list names;
  py::object class_columns = boxes[py::make_tuple(py::slice(), py::slice(py::int_(4), py::none(), py::none()))];
  for (py::handle row : class_columns) {
    long long index = py::int_(py::reinterpret_borrow<py::object>(row)[py::int_(0)]).cast<long long>();
    long long count = static_cast<long long>(py::len(classes));
    if (index < 0 || index >= count) {
      throw py::index_error("run_validation_step: a ground-truth box of '" + name.cast<std::string>() +
                            "' has class index " + std::to_string(index) + ", outside the " + std::to_string(count) +
                            " classes");
    }
    names.append(classes[py::int_(index)]);
  }
  return g["np"].attr("array")(names);
}

// ---- Helpers of __init__ ----

// The names `checkpoint_score` knows; anything else selects mAR too, but is
// more likely a misspelling (such as the summary.csv column "mAP").
void warn_about_unknown_metric(const py::object& metric) {
  for (const char* known : {"acc", "map", "mar"}) {
    if (py::str(known).equal(metric)) return;
  }
  pyclass::warn("metric " + py::repr(metric).cast<std::string>() +
                " is none of the recognised names 'acc' (mACC), 'map' (mAP) and 'mar' (mAR): like any other name, it "
                "selects mAR for choosing best.h5");
}

// A new trainer on the folder of an earlier run would replace that run's
// best model (with a worse one, possibly) and its summary rows.
void warn_about_earlier_run(const Globals& g, const py::object& checkpoint) {
  py::object path = g["os"].attr("path");
  for (const char* name : {"best.h5", "summary.csv"}) {
    if (path.attr("exists")(path.attr("join")(checkpoint, name)).cast<bool>()) {
      pyclass::warn(py::str(checkpoint).cast<std::string>() +
                    " already holds a run (best.h5, summary.csv): training replaces its best.h5, even with a worse "
                    "model, and its summary rows. To continue that run, call trainer.resume() before train(); "
                    "otherwise choose another checkpoint folder to keep it");
      return;
    }
  }
}

// ---- Helpers of save_model ----

// The model to save with float32 outputs. A mixed-precision model computes,
// and returns, half precision (its weights are float32), and the file keeps
// each layer's policy: a loaded model would give half-precision results, too
// coarse for scores near each other and for box coordinates. So each
// half-precision output gets a float32 identity layer after it, as Keras
// advises for the last layer of a mixed-precision model. A model with float32
// outputs is returned as it is.
py::object with_float32_outputs(const Globals& g, const py::object& model) {
  py::object outputs = py::getattr(model, "outputs", py::none());
  if (outputs.is_none()) return model;
  py::object tf = g["tf"];
  py::object keras = tf.attr("keras");
  py::list converted;
  bool any_half = false;
  size_t index = 0;
  for (py::handle output : outputs) {
    py::object dtype = tf.attr("as_dtype")(output.attr("dtype"));
    if (py::bool_(dtype.attr("is_floating")) && dtype.attr("size").cast<int>() < 4) {
      py::object to_float32 = keras.attr("layers").attr("Activation")(
          "linear", py::arg("dtype") = "float32", py::arg("name") = "float32_output_" + std::to_string(index));
      converted.append(to_float32(output));
      any_half = true;
    } else {
      converted.append(output);
    }
    ++index;
  }
  if (!any_half) return model;
  py::object new_outputs = converted.size() == 1 ? py::object(converted[0]) : py::object(converted);
  return keras.attr("models").attr("Model")(model.attr("input"), new_outputs);
}

// Whether a validation score replaces best.h5: one that reaches the best so
// far; with the class attribute `best_is_lowest` true, the score is an error
// (0 or more, lowest best), and the end-of-epoch call's -1.0 never wins.
bool improves(const py::object& self, const py::object& score, const py::object& best_value) {
  if (py::bool_(py::getattr(self, "best_is_lowest", py::bool_(false)))) {
    return score >= py::float_(0.0) && score <= best_value;
  }
  return score >= best_value;
}

// ---- Helpers of train ----

// The number of batches of a pipeline, or None when it does not know it
// (tqdm then shows "n/?" without time left).
py::object known_length(const Globals& g, const py::object& batches) {
  if (py::isinstance(batches, g["tf"].attr("data").attr("Dataset"))) {
    long long cardinality = batches.attr("cardinality")().attr("numpy")().cast<long long>();
    return cardinality >= 0 ? py::object(py::int_(cardinality)) : py::none();
  }
  return py::hasattr(batches, "__len__") ? py::object(py::int_(py::len(batches))) : py::none();
}

// With `detailed_progress` set (the jobs set it), a bar also gets its total
// (`total`: a distributed pipeline does not tell tqdm its length) and is
// coloured only on a terminal, so that a log file gets no colour codes.
py::object progress_bar(const Globals& g, const py::object& self, const py::object& iterable,
                        const py::object& description, const py::object& total) {
  py::dict options;
  options["desc"] = description;
  if (py::bool_(py::getattr(self, "detailed_progress", py::bool_(false)))) {
    py::object stream = py::module_::import("sys").attr("stderr");
    bool terminal = !stream.is_none() && py::bool_(stream.attr("isatty")());
    options["total"] = total;
    options["leave"] = true;
    options["colour"] = terminal ? py::object(py::str("green")) : py::none();
  } else {
    options["leave"] = true;
    options["colour"] = "green";
  }
  options["bar_format"] = "{l_bar}{bar:15}{r_bar}{bar:-15b}";
  return g["tqdm"](iterable, **options);
}

// "Epoch k", or "Epoch k/N" with `detailed_progress` set.
py::object epoch_description(const py::object& self, const py::object& epoch, const py::object& epochs) {
  if (py::bool_(py::getattr(self, "detailed_progress", py::bool_(false))))
    return py::str("Epoch {}/{}").format(epoch, epochs);
  return py::str("Epoch %d").attr("__mod__")(epoch);
}

// DVC_REPORT wins; otherwise a CI run gets a markdown report, anything else HTML.
py::object dvclive_report_format(const Globals& g) {
  py::object environ = g["os"].attr("environ");
  py::object report = environ.attr("get")("DVC_REPORT", py::none());
  if (!report.is_none()) return report;
  py::object ci = environ.attr("get")("CI");
  bool in_ci = py::bool_(ci) && !py::str("false").equal(ci) && !py::str("0").equal(ci);
  return py::str(in_ci ? "md" : "html");
}

// The DVCLive session of a run, or None when the trainer has no DVCLive folder.
py::object open_dvclive_session(const Globals& g, const py::object& self) {
  py::object output = self.attr("dvclive_output");
  if (output.is_none()) return py::none();
  py::object live_class;
  try {
    live_class = py::module_::import("dvclive").attr("Live");
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    py::raise_from(error, PyExc_ImportError,
                   "dvclive_output is set but the dvclive package cannot be imported; install dvclive or pass "
                   "dvclive_output=None");
    throw py::error_already_set();
  }
  py::dict options;
  options["save_dvc_exp"] = true;
  options["report"] = dvclive_report_format(g);
  // A resumed run goes on with the steps of the session it continues.
  if (py::bool_(self.attr("resumed"))) options["resume"] = true;
  py::object live = live_class(output, **options);
  // DVCLive cannot log None as parameters; a run without configuration has none to log.
  py::object info = self.attr("info");
  if (!info.is_none()) live.attr("log_params")(info);
  return live;
}

// `epoch % skip_validation_steps == 0`, with Python's arithmetic.
bool due_for_validation(const py::object& epoch, const py::object& skip_validation_steps) {
  py::object remainder =
      py::reinterpret_steal<py::object>(PyNumber_Remainder(epoch.ptr(), skip_validation_steps.ptr()));
  if (!remainder) throw py::error_already_set();
  return remainder.equal(py::int_(0));
}

// One validation pass of `train` with its hooks, metric logging and outputs.
// `losses` is a null object for the validation before training, which leaves
// update_metrics' own default in place.
py::object validate(const Globals& g, const py::object& self, const py::object& val_ds, const py::object& evaluator,
                    const py::object& callbacks, const py::object& epoch, const py::object& losses,
                    const py::object& live, const py::object& validation_folder) {
  py::object loop = progress_bar(g, self, val_ds, py::str("Running Validation"), known_length(g, val_ds));
  callbacks.attr("on_evaluation_start")();
  py::object metrics = self.attr("run_validation_step")(py::arg("loop") = loop, py::arg("evaluator") = evaluator,
                                                        py::arg("epoch") = epoch);
  callbacks.attr("on_evaluaiton_end")(py::arg("metrics") = metrics);
  if (losses) {
    self.attr("update_metrics")(metrics, losses, py::arg("epoch") = epoch, py::arg("live") = live);
  } else {
    self.attr("update_metrics")(metrics, py::arg("epoch") = epoch, py::arg("live") = live);
  }
  evaluator.attr("save_plots_disk")(py::arg("plots") = evaluator.attr("current_plots"),
                                    py::arg("path") = validation_folder);
  py::object summary = evaluator.attr("current_summary");
  run_files::write_text_atomically(g["os"].attr("path").attr("join")(validation_folder, "results.txt"),
                                   [&](const py::object& file) { file.attr("write")(summary); });
  return metrics;
}

// The training steps of one epoch over the progress bar `loop`. Returns the
// loss dictionary of the last step (`losses` itself when there was none).
py::object train_epoch(const Globals& g, const py::object& self, const py::object& loop, const py::object& callbacks,
                       const trainer_common::LearningRateReader& learning_rate, py::object losses) {
  // Looked up once, so that a step costs only the calls it needs.
  py::object train_step = weight_averaging::training_step(g, self);
  py::object on_step_start = callbacks.attr("on_step_start");
  py::object on_step_end = callbacks.attr("on_step_end");
  // Of a multi-worker run, only the chief writes TensorBoard.
  py::object log_losses = trainer_common::is_chief(g, self) ? self.attr("logger").attr("update_metrics") : py::object();
  py::object clock = g["time"].attr("time");
  py::object set_postfix = loop.attr("set_postfix");
  py::object progress_text = py::str("loss: {:.3f}   lr: {:.6f} step-time: {:.6f}").attr("format");
  py::str total_loss_key("total-loss");
  py::str step_time_key("step-time (seconds)");
  py::str learning_rate_key("learning-rate");

  py::iterator batches = py::iter(loop);
  for (long batch_id = 0;; ++batch_id) {
    // Scoped to this iteration: the batch is freed before the next is produced.
    py::object data = trainer_common::next_element(batches);
    if (!data) break;
    on_step_start(py::arg("step") = batch_id);
    double started = clock().cast<double>();
    losses = train_step(data);
    double step_time = clock().cast<double>() - started;
    py::object current_lr = learning_rate.read();
    self.attr("current_lr") = current_lr;
    on_step_end(py::arg("losses") = losses, py::arg("lr") = current_lr);
    // Reading the loss value waits for the step to finish: the one host sync
    // a step makes. The bar shows the new text when it next redraws itself
    // (tqdm redraws at most ten times a second): redrawing it at every step
    // costs fast steps a terminal write each.
    set_postfix(py::arg("values") = progress_text(trainer_common::numpy_value(losses[total_loss_key]),
                                                  trainer_common::numpy_value(current_lr), step_time),
                py::arg("refresh") = false);
    losses[step_time_key] = step_time;
    losses[learning_rate_key] = current_lr;
    if (log_losses) log_losses(py::dict(), losses);
  }
  trainer_common::average_replica_variables(g, self);
  weight_averaging::average_over_replicas(g, self);
  return losses;
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
  g.bind("_replica_averaging", py::module_::import("weakref").attr("WeakKeyDictionary")());
  g.bind("_weight_averages", py::module_::import("weakref").attr("WeakKeyDictionary")());

  py::object tf = g["tf"];

  static const std::string doc = trainer_common::trainer_doc(kTrainerDocHead);
  pyclass::ClassBuilder cls(m, "DetectionTrainer", py::tuple(), doc.c_str());

  cls.method(
      "__init__",
      [g](py::object self, py::object model, py::object dataset, py::object optimizer, py::object loss,
          py::object logger, py::object checkpoint, py::object info, py::object metric, py::object iou,
          py::object classes, py::object display, py::object dvclive_output, py::object skip_validation_steps,
          py::object skip_initial_validation) {
        py::object os = g["os"];
        if (!py::hasattr(logger, "writer")) {
          pyclass::raise_unexpected(PyExc_AttributeError,
                                    "logger must be the toolkit's TensorBoard logger "
                                    "(quillon.forgeline.callbacks.TensorBoardLogger) or another object with a "
                                    "'writer' attribute",
                                    logger);
        }
        warn_about_unknown_metric(metric);
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
        self.attr("current_lr") = trainer_common::LearningRateReader(g, optimizer).read();
        self.attr("checkpoint") = checkpoint;
        trainer_common::build_optimizer_in_scope(g, model, optimizer);
        // Of a multi-worker run, only the chief writes the run folder.
        bool chief = trainer_common::is_chief(g, self);
        if (chief && !os.attr("path").attr("exists")(checkpoint).cast<bool>()) {
          os.attr("makedirs")(checkpoint, py::arg("exist_ok") = true);
        } else if (chief) {
          warn_about_earlier_run(g, checkpoint);
          // What a killed save left behind is of no use to anyone.
          run_files::remove_stale_temporary_files(checkpoint);
          run_files::remove_stale_temporary_files(os.attr("path").attr("join")(checkpoint, "validation"));
        }
        self.attr("best") = os.attr("path").attr("join")(checkpoint, "best.h5");
        self.attr("last") = os.attr("path").attr("join")(checkpoint, "last.h5");
        self.attr("summary_rows") = py::list();
        self.attr("skip_validation_steps") = skip_validation_steps;
        self.attr("skip_initial_validation") = skip_initial_validation;
        self.attr("state_folder") = os.attr("path").attr("join")(checkpoint, "state");
        self.attr("resumed") = false;
        self.attr("ema_decay") = py::none();
        self.attr("ema_warmup_steps") = 2000;

        py::object config = g["json"].attr("dumps")(info, py::arg("indent") = 4);
        if (chief) {
          run_files::write_text_atomically(os.attr("path").attr("join")(checkpoint, "config.json"),
                                           [&](const py::object& file) { file.attr("write")(config); });
        }

        // No class list is treated as an empty one: nothing to write.
        if (chief && !classes.is_none() && py::len(classes) > 0) {
          py::object labels = os.attr("path").attr("join")(checkpoint, "labels.txt");
          run_files::write_text_atomically(labels, [&](const py::object& file) {
            for (py::handle name : classes) file.attr("write")(py::str("{}\n").format(name));
          });
        }

        pyclass::print(py::str("\t - Saving best iteration checkpoint at : {}").format(self.attr("best")));
        pyclass::print(py::str("\t - Saving last iteration checkpoint at : {}").format(self.attr("last")));
      },
      py::arg("model"), py::arg("dataset"), py::arg("optimizer"), py::arg("loss"), py::arg("logger") = "out",
      py::arg("checkpoint") = "out", py::arg("info") = py::none(), py::arg("metric") = "acc", py::arg("iou") = 0.5,
      py::arg("classes") = py::none(), py::arg("display") = py::none(), py::arg("dvclive_output") = py::none(),
      py::arg("skip_validation_steps") = 1, py::arg("skip_initial_validation") = false,
      "Sets up the run: checks the logger and the metric name, creates the checkpoint folder, writes "
      "config.json (info) and labels.txt (classes) and prints where best.h5 and last.h5 go. The class "
      "docstring describes every parameter.");

  cls.graph_method("preprocess_input", {pyclass::param("x", tf.attr("Tensor"))},
                   py::cpp_function(
                       [g](py::object /*self*/, py::object x) -> py::object {
                         py::object tf = g["tf"];
                         return tf.attr("cast")(x, tf.attr("float32")) / py::float_(255.0);
                       },
                       py::arg("self"), py::arg("x")),
                   "Scales a batch of 0..255 images to float32 values in 0..1.");

  cls.graph_method("train_step", {pyclass::param("data")},
                   py::cpp_function(
                       [g](py::object self, py::object data) -> py::object {
                         return trainer_common::train_step(g, self, data, /*outputs_as_tuple=*/true);
                       },
                       py::arg("self"), py::arg("data")),
                   "One optimisation step on a batch (images, *targets); returns the loss dictionary.");

  cls.method(
      "remove_training_outputs",
      [g](py::object self, py::object model) -> py::object {
        py::object network = model.is_none() ? self.attr("model") : model;
        py::object outputs = network.attr("outputs");
        if (py::len(outputs) < 3) {
          throw py::value_error("remove_training_outputs: the model has " + std::to_string(py::len(outputs)) +
                                " outputs; expected two training-only outputs followed by the inference outputs");
        }
        py::object inference_outputs = outputs[py::slice(py::int_(2), py::none(), py::none())];
        return g["tf"].attr("keras").attr("models").attr("Model")(network.attr("input"), inference_outputs);
      },
      py::arg("model") = py::none(),
      "The inference model of `model` (default: the trainer's): the same layers and weights without the two "
      "training-only outputs. Raises ValueError for a model with fewer than three outputs.");

  cls.method(
      "to_nchw",
      [g](py::object /*self*/, py::object model) -> py::object {
        // Built from Keras layers: a raw TensorFlow op cannot take a Keras 3
        // symbolic input.
        py::object keras = g["tf"].attr("keras");
        py::object input = model.attr("input");
        py::object shape = py::hasattr(input, "shape") ? input.attr("shape") : py::object(py::none());
        if (shape.is_none() || py::len(shape) != 4) {
          throw py::value_error("to_nchw: the model must take one (batch, height, width, channels) input, got " +
                                py::str(shape.is_none() ? input : shape).cast<std::string>());
        }
        py::object height = shape[py::int_(1)], width = shape[py::int_(2)], channels = shape[py::int_(3)];
        py::object permute = keras.attr("layers").attr("Permute");
        py::object new_input = keras.attr("Input")(py::arg("shape") = py::make_tuple(channels, height, width));
        py::object outputs = model(permute(py::make_tuple(2, 3, 1))(new_input));

        // Every output keeps its place; image-shaped ones become channels-first.
        auto channels_first = [&](const py::object& output) -> py::object {
          if (py::len(output.attr("shape")) != 4) return output;
          return permute(py::make_tuple(3, 1, 2))(output);
        };
        if (py::isinstance<py::list>(outputs) || py::isinstance<py::tuple>(outputs)) {
          py::list converted;
          for (py::handle output : outputs) {
            converted.append(channels_first(py::reinterpret_borrow<py::object>(output)));
          }
          return keras.attr("models").attr("Model")(new_input, converted);
        }
        return keras.attr("models").attr("Model")(new_input, channels_first(outputs));
      },
      py::arg("model"),
      "A model taking channels-first (batch, channels, height, width) input, built from Keras layers around "
      "`model`; every output keeps its place and image-shaped outputs become channels-first.");

  cls.method(
      "save_model",
      [g](py::object self, double val) {
        if (!trainer_common::is_chief(g, self)) return;
        py::object new_model = py::none();
        if (py::bool_(self.attr("NCHW"))) new_model = self.attr("to_nchw")(self.attr("model"));
        new_model = with_float32_outputs(g, self.attr("remove_training_outputs")(new_model));

        py::object last = self.attr("last");
        run_files::save_atomically(last, [&](const py::object& temporary) { new_model.attr("save")(temporary); });
        py::object mlflow = trainer_common::import_mlflow();
        if (!mlflow) {
          pyclass::warn("MLFlow is not installed. Please install it to log artifacts");
        } else if (trainer_common::mlflow_run_active(mlflow)) {
          mlflow.attr("log_artifact")(last);
        }

        py::object metric = self.attr("metric");
        py::object best_value = self.attr("best_value");
        py::float_ score(val);
        if (improves(self, score, best_value)) {
          pyclass::print(
              py::str("\t - [INFO] Saving model with improved {} from {} to {}").format(metric, best_value, score));
          py::object best = self.attr("best");
          // The model was just saved to last.h5: copying that file gives the
          // same best.h5 without serialising the model a second time.
          run_files::save_atomically(best, [&](const py::object& temporary) {
            py::module_::import("shutil").attr("copyfile")(last, temporary);
          });
          self.attr("best_value") = score;
          if (trainer_common::mlflow_run_active(mlflow)) mlflow.attr("log_artifact")(best);
        } else {
          pyclass::print(py::str("\t - [INFO] No improvement in {} from {} to {} ").format(metric, best_value, score));
        }
      },
      py::arg("val"),
      "Saves the inference model to last.h5 (channels-first when NCHW is set; a mixed-precision model with "
      "its outputs cast to float32), and copies it to best.h5 when `val` reaches the best score so far (for a "
      "subclass whose `best_is_lowest` is true: when the error `val` is at most the lowest so far); logs both "
      "to an active MLflow run.");

  trainer_common::define_update_metrics(
      cls, g, kDetectionMetrics,
      "Logs one validation result: DVCLive, MLflow, the logger (at the epoch) and a new summary.csv row.");

  trainer_common::define_run_validation_step(
      cls, kDetectionMetrics, "an (image, boxes, names) batch",
      [g](py::object self, py::object evaluator) {
        py::object classes = self.attr("classes");
        py::object run_single_instance = evaluator.attr("runner").attr("run_single_instance");
        // The same dictionaries go to every single_evaluation call.
        py::dict gt_instance, dt_instance;
        return [g, classes, run_single_instance, gt_instance,
                dt_instance](const std::vector<py::object>& fields) -> std::pair<py::dict, py::dict> {
          // Batches of one: element 0 of each field.
          py::object image = fields[0].attr("numpy")()[py::int_(0)];
          py::object boxes = fields[1].attr("numpy")()[py::int_(0)];
          py::object name = fields[2].attr("numpy")()[py::int_(0)].attr("decode")();
          trainer_common::set_image_truth(gt_instance, image, name);

          std::vector<py::object> detections = trainer_common::unpack(
              run_single_instance(image), 3, "evaluator.runner.run_single_instance", "(boxes, classes, scores)");

          gt_instance["boxes"] = boxes[py::make_tuple(py::slice(), py::slice(py::int_(0), py::int_(4), py::none()))];
          gt_instance["labels"] = class_names(g, classes, boxes, name);
          gt_instance["image_path"] = name;
          dt_instance["boxes"] = detections[0];
          dt_instance["labels"] = detections[1];
          dt_instance["scores"] = detections[2];
          return {gt_instance, dt_instance};
        };
      },
      "Runs one validation pass over `loop` (batches of one (image, boxes, names)) with `evaluator`, saves "
      "the model by the pass's score and returns the evaluator's metrics.");

  cls.method(
      "train",
      [g](py::object self, py::object epochs, py::object train_ds, py::object val_ds, py::object evaluator,
          py::object start, py::object callbacks) {
        py::object os = g["os"];
        bool validating = !evaluator.is_none();
        if (validating) {
          py::object skip_validation_steps = self.attr("skip_validation_steps");
          if (skip_validation_steps < py::int_(1)) {
            throw py::value_error("train: skip_validation_steps must be 1 or more when an evaluator is given, got " +
                                  py::repr(skip_validation_steps).cast<std::string>());
          }
        }
        bool averaging = weight_averaging::requested(self);

        py::object epoch_numbers = py::module_::import("builtins").attr("range")(start, epochs + py::int_(1), 1);
        // A model whose inference outputs cannot be saved would otherwise
        // fail at the first save, after a whole epoch.
        if (py::len(epoch_numbers) > 0) self.attr("remove_training_outputs")(py::none());
        // Of a multi-worker run, only the chief validates and writes the run
        // folder; validation is a plain model call, which the others need not join.
        bool chief = trainer_common::is_chief(g, self);
        validating = validating && chief;
        // Known before distribution: a distributed pipeline has no length.
        py::object steps = known_length(g, train_ds);
        train_ds = trainer_common::distributed_batches(g, self, train_ds);
        weight_averaging::start(g, self, averaging);
        if (py::len(epoch_numbers) > 0) {
          trainer_common::trace_for_every_batch(g, self, weight_averaging::training_step(g, self), train_ds);
        }

        py::object validation_folder = os.attr("path").attr("join")(self.attr("checkpoint"), "validation");
        if (chief && !os.attr("path").attr("exists")(validation_folder).cast<bool>()) {
          os.attr("makedirs")(validation_folder);
        }
        py::object live = chief ? open_dvclive_session(g, self) : py::none();

        callbacks.attr("on_train_start")(py::arg("epochs") = epochs);
        if (validating) {
          evaluator(py::arg("val_messenger") = self.attr("val_messenger"), py::arg("labels") = self.attr("classes"));
          if (!py::bool_(self.attr("skip_initial_validation"))) {
            weight_averaging::with_averaged_weights(g, self, [&] {
              validate(g, self, val_ds, evaluator, callbacks, py::int_(0), py::object(), live, validation_folder);
            });
          }
        }

        py::object metrics = py::dict();
        py::object losses = py::dict();
        trainer_common::LearningRateReader learning_rate(g, self.attr("optimizer"));
        for (py::handle number : epoch_numbers) {
          py::object epoch = py::reinterpret_borrow<py::object>(number);
          callbacks.attr("on_epoch_start")(py::arg("epoch") = epoch);
          py::object loop = progress_bar(g, self, train_ds, epoch_description(self, epoch, epochs), steps);
          losses = train_epoch(g, self, loop, callbacks, learning_rate, losses);

          // Validation and the saved models take the averaged weights, when
          // the run keeps them (only the chief validates and saves).
          auto validate_and_save = [&] {
            if (validating && due_for_validation(epoch, self.attr("skip_validation_steps"))) {
              metrics = validate(g, self, val_ds, evaluator, callbacks, epoch, losses, live, validation_folder);
            }
            // best.h5 is saved from the validation pass; -1.0 only rewrites last.h5.
            self.attr("save_model")(-1.0);
          };
          if (chief) {
            weight_averaging::with_averaged_weights(g, self, validate_and_save);
          } else {
            validate_and_save();
          }
          self.attr("save_state")(epoch);
          callbacks.attr("on_model_save")(self.attr("model"));
          if (!live.is_none()) live.attr("next_step")();
          callbacks.attr("on_epoch_end")(py::arg("losses") = losses, py::arg("metrics") = metrics);
          // A callback (early stopping, say) may end the run after any epoch.
          if (py::bool_(py::getattr(callbacks, "stop_training", py::bool_(false)))) break;
        }

        if (!live.is_none()) {
          pyclass::print("\t - [INFO] Ending DVCLive session");
          live.attr("end")();
        }
        callbacks.attr("on_train_end")();
      },
      py::arg("epochs"), py::arg("train_ds") = py::none(), py::arg("val_ds") = py::none(),
      py::arg("evaluator") = py::none(), py::arg("start") = 1,
      py::arg("callback_handler") = g["ForgelineTrainingCallback"](),
      "Trains epochs `start` to `epochs`: the optional initial validation, then per epoch the training "
      "steps, the validation when due, last.h5 and the training state, with the callback hooks around each. "
      "With `ema_decay` set, validation and the saved models use the averaged weights. Raises ValueError for "
      "a bad skip_validation_steps, ema_decay or ema_warmup_steps before anything runs.");

  cls.method(
      "save_state", [g](py::object self, py::object epoch) { training_state::save(g, self, epoch); }, py::arg("epoch"),
      "Writes the training state after `epoch` into `state_folder` (nothing when it is None): the training "
      "model's weights, the optimizer's variables, the weight averages (with `ema_decay` set), the epoch, the "
      "best score, the summary rows and the logger's step counters. `train` calls it after every epoch.");

  cls.method(
      "resume",
      [g](py::object self) -> py::object {
        py::object start = training_state::restore(g, self);
        self.attr("current_lr") = trainer_common::LearningRateReader(g, self.attr("optimizer")).read();
        pyclass::print(
            py::str("\t - [INFO] Resuming the run in {} at epoch {}").format(self.attr("checkpoint"), start));
        return start;
      },
      "Loads the training state of `state_folder` into this trainer's model and optimizer (built as for the "
      "run that wrote it), best score, summary rows and logger; returns the epoch to start at: "
      "`train(epochs, ..., start=trainer.resume())` goes on as if never stopped. The initial validation is "
      "skipped. Set `ema_decay` before: a state with weight averages resumed without it, or one without them "
      "resumed with it, warns (the averages are dropped, or start from the restored weights). Raises "
      "FileNotFoundError or ValueError, naming the file, for a missing, unreadable or unfitting state, and then "
      "changes nothing.");

  cls.build();

  // The jobs decide with these which process writes the run and where models are built, as the trainers do.
  m.def("is_chief", &trainer_common::strategy_is_chief, py::arg("strategy"),
        "Whether a process training under the tf.distribute `strategy` writes the run: without a strategy\n"
        "(None), or as the strategy's chief (TensorFlow's `extended.should_checkpoint`).");
  m.def("in_scope", &trainer_common::scope_of, py::arg("strategy"),
        "The context to build a model and its optimizer in under `strategy`: `strategy.scope()`, or a context\n"
        "that does nothing when `strategy` is None.");
}
