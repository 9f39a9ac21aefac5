#include "trainer/training_state.hpp"

#include <string>
#include <utility>
#include <vector>

#include "trainer/run_files.hpp"
#include "trainer/trainer_common.hpp"
#include "trainer/weight_averaging.hpp"

namespace training_state {

namespace {

const char* const kStateFile = "state.json";
// Checkpoints are named "epoch-<epoch>-<token>": a new name for every save, so
// the checkpoint that state.json names is never overwritten.
const char* const kCheckpointPrefix = "epoch-";
const int kFormat = 1;
// The state's copy of best.h5 is "<checkpoint name>.best.h5".
const char* const kBestModelSuffix = ".best.h5";
// The logger counters that keep TensorBoard steps going on after a resume.
const char* const kLoggerCounters[] = {"train_step", "validation_step"};

py::object join(const Globals& g, const py::object& folder, const py::object& name) {
  return g["os"].attr("path").attr("join")(folder, name);
}

// What the checkpoint holds: the training model (with its training-only
// outputs, channels-last) and the optimizer, with its iteration count, and the
// weight averages when the run keeps them (`averages`, else None).
py::object checkpoint_of(const Globals& g, const py::object& self, const py::object& averages) {
  py::dict objects;
  objects["model"] = self.attr("model");
  objects["optimizer"] = self.attr("optimizer");
  if (!averages.is_none()) objects["weight_averages"] = averages;
  return g["tf"].attr("train").attr("Checkpoint")(**objects);
}

bool is_plain_int(const py::handle& value) {
  return py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value);
}

py::dict logger_counters(const py::object& logger) {
  py::dict counters;
  for (const char* name : kLoggerCounters) {
    if (!py::hasattr(logger, name)) continue;
    py::object value = logger.attr(name);
    if (is_plain_int(value)) counters[name] = value;
  }
  return counters;
}

// Removes what earlier saves left: checkpoints other than `current`, the
// temporary folders of interrupted checkpoint writes and a half-written
// state.json. Other files in the folder are not ours and stay.
void remove_stale_files(const Globals& g, const py::object& folder, const std::string& current) {
  py::object os = g["os"];
  py::object temporary_state = run_files::temporary_path(join(g, folder, py::str(kStateFile)));
  py::object temporary_name = os.attr("path").attr("basename")(temporary_state);
  for (py::handle entry : os.attr("listdir")(folder)) {
    std::string name = py::str(entry);
    bool stale_checkpoint = name.rfind(kCheckpointPrefix, 0) == 0 && name.rfind(current + ".", 0) != 0;
    if (!stale_checkpoint && !temporary_name.equal(entry)) continue;
    py::object path = join(g, folder, py::reinterpret_borrow<py::object>(entry));
    if (os.attr("path").attr("isdir")(path).cast<bool>()) {
      py::module_::import("shutil").attr("rmtree")(path, py::arg("ignore_errors") = true);
    } else {
      os.attr("remove")(path);
    }
  }
}

[[noreturn]] void raise_unreadable(const py::object& path, const std::string& what) {
  throw py::value_error("resume: " + py::str(path).cast<std::string>() + " is not a usable training state: " + what);
}

// state.json, read and checked field by field.
py::dict read_state_file(const Globals& g, const py::object& path) {
  py::object state;
  try {
    py::object file = py::module_::import("builtins").attr("open")(path, "r", py::arg("encoding") = "utf-8");
    try {
      state = g["json"].attr("load")(file);
    } catch (...) {
      file.attr("close")();
      throw;
    }
    file.attr("close")();
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_OSError)) throw;
    raise_unreadable(path, py::str(error.value()).cast<std::string>());
  }
  if (!py::isinstance<py::dict>(state)) raise_unreadable(path, "expected a JSON object");
  py::dict fields = state;
  auto require = [&](const char* key, bool fits, const char* expected) {
    if (!fits) {
      raise_unreadable(path, std::string("'") + key + "' must be " + expected + ", got " +
                                 py::repr(fields.attr("get")(key)).cast<std::string>());
    }
  };
  require("format", py::int_(kFormat).equal(fields.attr("get")("format")), "1");
  py::object epoch = fields.attr("get")("epoch");
  require("epoch", is_plain_int(epoch) && epoch >= py::int_(0), "an epoch number (0 or more)");
  py::object name = fields.attr("get")("checkpoint");
  bool plain_name = py::isinstance<py::str>(name) &&
                    py::str(name).cast<std::string>().rfind(kCheckpointPrefix, 0) == 0 &&
                    g["os"].attr("path").attr("basename")(name).equal(name);
  require("checkpoint", plain_name, "the name of a checkpoint in the state folder");
  py::object best_model = fields.attr("get")("best_model", py::none());
  require("best_model", best_model.is_none() || best_model.equal(name + py::str(kBestModelSuffix)),
          "null or the name of the checkpoint's copy of best.h5");
  py::object best_value = fields.attr("get")("best_value");
  require("best_value", py::isinstance<py::float_>(best_value) || is_plain_int(best_value), "a number");
  py::object rows = fields.attr("get")("summary_rows");
  bool rows_fit = py::isinstance<py::list>(rows);
  if (rows_fit) {
    for (py::handle row : rows) rows_fit = rows_fit && py::isinstance<py::dict>(row);
  }
  require("summary_rows", rows_fit, "a list of summary rows");
  py::object counters = fields.attr("get")("logger_steps", py::dict());
  bool counters_fit = py::isinstance<py::dict>(counters);
  if (counters_fit) {
    for (auto item : py::dict(counters)) counters_fit = counters_fit && is_plain_int(item.second);
  }
  require("logger_steps", counters_fit, "an object of step counters");
  // States written before weight averaging existed have no "ema".
  require("ema", py::isinstance<py::bool_>(fields.attr("get")("ema", py::bool_(false))), "true or false");
  return fields;
}

// Keras creates an optimizer's variables on its first step; a checkpoint can
// only be read into variables that exist, so they are created now. (Under a
// distribution strategy the trainer built them in the strategy's scope
// already.)
void build_optimizer(const py::object& self) {
  py::object optimizer = self.attr("optimizer");
  if (!py::hasattr(optimizer, "build")) return;  // a legacy optimizer: its slots are restored when created
  if (py::bool_(py::getattr(optimizer, "built", py::getattr(optimizer, "_built", py::bool_(false))))) return;
  optimizer.attr("build")(self.attr("model").attr("trainable_variables"));
}

py::list variables_of(const py::object& self) {
  py::list variables;
  for (py::handle variable : self.attr("model").attr("variables")) variables.append(variable);
  py::object optimizer_variables = self.attr("optimizer").attr("variables");
  if (PyCallable_Check(optimizer_variables.ptr())) optimizer_variables = optimizer_variables();  // Keras 2
  for (py::handle variable : optimizer_variables) variables.append(variable);
  return variables;
}

// Reads the checkpoint into the model and the optimizer (and `averages`, new
// ones that nothing else uses yet, when not None), all or nothing: on any
// failure every variable of the model and optimizer gets its value back before
// the error goes on.
void read_checkpoint(const Globals& g, const py::object& self, const py::object& prefix, const py::object& averages) {
  std::vector<std::pair<py::object, py::object>> previous;
  for (py::handle variable : variables_of(self)) {
    py::object value = variable.attr("numpy")();
    previous.emplace_back(py::reinterpret_borrow<py::object>(variable), value);
  }
  try {
    py::object status = checkpoint_of(g, self, averages).attr("read")(prefix);
    // A built optimizer has all its variables, so everything in the
    // checkpoint must find its variable and the other way round.
    if (py::hasattr(self.attr("optimizer"), "build")) {
      status.attr("assert_consumed")();
    } else {
      status.attr("assert_existing_objects_matched")();
    }
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;
    for (auto& [variable, value] : previous) variable.attr("assign")(value);
    py::raise_from(error, PyExc_ValueError,
                   ("resume: the training state " + py::str(prefix).cast<std::string>() +
                    " cannot be loaded into this trainer's model and optimizer (is it damaged, or was it written "
                    "by another model?): " +
                    py::str(error.value()).cast<std::string>())
                       .c_str());
    throw py::error_already_set();
  }
}

// Puts the run folder back to the moment of the state: best.h5 becomes the
// model of the state's best value (states written before it kept a copy leave
// it alone), and TensorBoard forgets what the stopped run logged after the
// state, which the resumed run logs again. A failure here costs only that
// tidying: it is a warning, and the resume stands.
void tidy_after_stop(const Globals& g, const py::object& self, const py::object& folder, const py::dict& state) {
  try {
    py::object best = py::getattr(self, "best", py::none());
    if (state.contains("best_model") && !best.is_none()) {
      py::object copy = state["best_model"];
      run_files::restore_model_copy(best, copy.is_none() ? copy : join(g, folder, copy));
    }
    py::object logger = self.attr("logger");
    if (py::hasattr(logger, "drop_later_events")) logger.attr("drop_later_events")();
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_OSError)) throw;
    pyclass::warn("resume: the run folder could not be put back to its training state: " +
                  py::str(error.value()).cast<std::string>());
  }
}

}  // namespace

void save(const Globals& g, const py::object& self, const py::object& epoch) {
  py::object folder = self.attr("state_folder");
  // Of a multi-worker run, the chief writes the state; every worker restores it.
  if (folder.is_none() || !trainer_common::is_chief(g, self)) return;
  py::object checkpoint;
  try {
    checkpoint = checkpoint_of(g, self, weight_averaging::saved_averages(g, self));
  } catch (py::error_already_set& error) {
    // Stand-ins for a Keras model or optimizer (in tests, say) cannot be
    // checkpointed: the run goes on without a state, and says so once.
    if (!error.matches(PyExc_ValueError)) throw;
    self.attr("state_folder") = py::none();
    pyclass::warn("no training state is written, so this run cannot be resumed: " +
                  py::str(error.value()).cast<std::string>());
    return;
  }
  py::object os = g["os"];
  os.attr("makedirs")(folder, py::arg("exist_ok") = true);

  py::dict state;
  state["format"] = kFormat;
  state["epoch"] = epoch;
  std::string name = kCheckpointPrefix + py::str(epoch).cast<std::string>() + "-" +
                     py::str(py::module_::import("uuid").attr("uuid4")().attr("hex")).cast<std::string>().substr(0, 8);
  state["checkpoint"] = name;
  state["best_value"] = self.attr("best_value");
  state["summary_rows"] = self.attr("summary_rows");
  state["logger_steps"] = logger_counters(self.attr("logger"));
  if (!weight_averaging::saved_averages(g, self).is_none()) state["ema"] = true;
  // The state keeps its own copy of best.h5, the model of best_value: a
  // best.h5 written after this state (by an epoch the kill cut short) is
  // replaced by it on resume.
  py::object best = py::getattr(self, "best", py::none());
  py::object best_copy = join(g, folder, py::str(name + kBestModelSuffix));
  bool has_best = !best.is_none() && os.attr("path").attr("isfile")(best).cast<bool>();
  state["best_model"] = has_best ? py::object(py::str(name + kBestModelSuffix)) : py::object(py::none());
  // Serialised first: a value JSON cannot hold fails before anything is written.
  py::object text = g["json"].attr("dumps")(state, py::arg("indent") = 1);

  try {
    py::object written = checkpoint.attr("write")(join(g, folder, py::str(name)));
    if (has_best) run_files::keep_model_copy(best, best_copy);
    std::string file_prefix = py::str(os.attr("path").attr("basename")(written)).cast<std::string>() + ".";
    for (py::handle entry : os.attr("listdir")(folder)) {
      if (py::str(entry).cast<std::string>().rfind(file_prefix, 0) == 0) {
        run_files::sync_to_disk(join(g, folder, py::reinterpret_borrow<py::object>(entry)));
      }
    }
    run_files::write_text_atomically(join(g, folder, py::str(kStateFile)),
                                     [&](const py::object& file) { file.attr("write")(text); });
  } catch (py::error_already_set& error) {
    // A failed save (a full disk, say) leaves none of its files behind, and
    // the previous state stays the current one.
    run_files::remove_partial_files(folder, name);
    py::int_ needed(0);
    for (py::handle variable : variables_of(self)) needed = needed + variable.attr("numpy")().attr("nbytes");
    run_files::raise_if_disk_full(error, join(g, folder, py::str(name)), needed);
    throw;
  }
  remove_stale_files(g, folder, name);
}

py::object restore(const Globals& g, const py::object& self) {
  py::object folder = self.attr("state_folder");
  if (folder.is_none()) throw py::value_error("resume: state_folder is None, so this trainer keeps no training state");
  py::object os = g["os"];
  py::object path = join(g, folder, py::str(kStateFile));
  if (!os.attr("path").attr("isfile")(path).cast<bool>()) {
    PyErr_SetString(PyExc_FileNotFoundError,
                    ("resume: there is no training state to resume from: " + py::str(path).cast<std::string>() +
                     " does not exist (a run writes it after every finished epoch)")
                        .c_str());
    throw py::error_already_set();
  }
  py::dict state = read_state_file(g, path);
  py::object prefix = join(g, folder, state["checkpoint"]);
  if (!os.attr("path").attr("isfile")(prefix + py::str(".index")).cast<bool>()) {
    PyErr_SetString(PyExc_FileNotFoundError,
                    ("resume: " + py::str(path).cast<std::string>() + " names the checkpoint " +
                     py::str(prefix).cast<std::string>() + ", whose files are missing")
                        .c_str());
    throw py::error_already_set();
  }

  build_optimizer(self);
  // A run may turn weight averaging on or off when it resumes.
  bool averaging = !self.attr("ema_decay").is_none();
  bool saved_averages = py::bool_(state.attr("get")("ema", py::bool_(false)));
  py::object averages = saved_averages ? weight_averaging::new_averages(g, self) : py::object(py::none());
  read_checkpoint(g, self, prefix, averages.is_none() ? averages : averages.attr("checkpointed"));

  // The checkpoint fitted: from here on nothing can fail.
  self.attr("best_value") = state["best_value"];
  self.attr("summary_rows") = py::list(state["summary_rows"]);
  py::object logger = self.attr("logger");
  for (auto item : py::dict(state.attr("get")("logger_steps", py::dict()))) {
    if (py::hasattr(logger, item.first)) py::setattr(logger, item.first, item.second);
  }
  weight_averaging::adopt(g, self, averaging ? averages : py::object(py::none()));
  // The restored model was validated before the stop.
  self.attr("skip_initial_validation") = true;
  self.attr("resumed") = true;
  tidy_after_stop(g, self, folder, state);
  // Last, so that a warning turned into an error finds the resume complete.
  if (averaging && !saved_averages) {
    pyclass::warn("resume: " + py::str(path).cast<std::string>() +
                  " holds no weight averages (its run trained with ema_decay None): the averages start from the "
                  "restored weights when training starts");
  } else if (!averaging && saved_averages) {
    pyclass::warn("resume: " + py::str(path).cast<std::string>() +
                  " holds weight averages, but ema_decay is None: they are dropped, and validation and the saved "
                  "models use the raw weights");
  }
  return py::object(state["epoch"]) + py::int_(1);
}

}  // namespace training_state
