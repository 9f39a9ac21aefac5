#include "trainer/weight_averaging.hpp"

#include <cmath>
#include <string>

#include "trainer/trainer_common.hpp"

namespace weight_averaging {

namespace {

const char* const kRegistry = "_weight_averages";

bool is_real_number(const py::object& value) {
  return PyNumber_Check(value.ptr()) && !py::isinstance<py::bool_>(value) && !PyComplex_Check(value.ptr());
}

[[noreturn]] void raise_bad_option(const char* attribute, const char* expected, const py::object& value) {
  throw py::value_error(std::string("train: ") + attribute + " must be " + expected + ", got " +
                        py::repr(value).cast<std::string>());
}

// `fn(variable, *args)`; under a strategy, on every device with that device's
// copy of `variable` and of any variable among `args`.
void on_each_device(const py::object& strategy, const py::object& variable, const py::object& fn,
                    const py::tuple& args) {
  if (strategy.is_none()) {
    fn(variable, *args);
  } else {
    strategy.attr("extended").attr("update")(variable, fn, py::arg("args") = args);
  }
}

// Adds to the graph being traced the update of every average from its weight.
void update(const py::object& tf, const py::object& strategy, const py::list& weights, const py::list& averages,
            const py::object& updates, const py::object& decay, const py::object& warmup) {
  trainer_common::in_scope(strategy, [&] {
    updates.attr("assign_add")(1);
    py::object steps = tf.attr("cast")(updates, tf.attr("float64")) / warmup;
    // 1 - exp(-x) as -expm1(-x): exact for the small x of the first steps.
    py::object rate = decay * tf.attr("negative")(tf.attr("math").attr("expm1")(tf.attr("negative")(steps)));
    py::cpp_function update_one([tf](py::object average, py::object weight, py::object rate) {
      py::object decay_t = tf.attr("cast")(rate, average.attr("dtype"));
      py::object value = tf.attr("cast")(weight, average.attr("dtype"));
      return average.attr("assign")(average * decay_t + value * (py::float_(1.0) - decay_t));
    });
    for (size_t index = 0; index < py::len(averages); ++index) {
      on_each_device(strategy, averages[index], update_one, py::make_tuple(weights[index], rate));
    }
  });
}

py::object registry(const Globals& g) { return g[kRegistry]; }

}  // namespace

bool requested(const py::object& self) {
  py::object decay = self.attr("ema_decay");
  if (decay.is_none()) return false;
  if (!is_real_number(decay) || !(py::float_(decay).cast<double>() > 0.0 && py::float_(decay).cast<double>() < 1.0)) {
    raise_bad_option("ema_decay",
                     "None (no weight averaging) or a number between 0 and 1, both excluded (such as 0.9999)", decay);
  }
  py::object warmup = self.attr("ema_warmup_steps");
  double steps = is_real_number(warmup) ? py::float_(warmup).cast<double>() : 0.0;
  if (!(steps > 0.0) || !std::isfinite(steps)) {
    raise_bad_option("ema_warmup_steps", "a positive number of optimizer steps (such as 2000)", warmup);
  }
  return true;
}

py::object new_averages(const Globals& g, const py::object& self) {
  py::object tf = g["tf"];
  py::object model = self.attr("model");
  py::object strategy = trainer_common::model_strategy(g, model);
  py::list weights;
  for (py::handle variable : model.attr("weights")) {
    if (trainer_common::is_floating(g, variable)) weights.append(variable);
  }

  py::list averages;
  py::list moving_averages;  // of the non-trainable weights: each replica keeps its own
  py::object updates, decay, warmup;
  trainer_common::in_scope(strategy, [&] {
    py::object aggregation = tf.attr("VariableAggregation");
    for (py::handle weight : weights) {
      py::object average =
          tf.attr("Variable")(weight, py::arg("trainable") = false, py::arg("aggregation") = aggregation.attr("MEAN"));
      averages.append(average);
      if (!py::bool_(weight.attr("trainable"))) moving_averages.append(average);
    }
    updates = tf.attr("Variable")(0, py::arg("dtype") = tf.attr("int64"), py::arg("trainable") = false,
                                  py::arg("aggregation") = aggregation.attr("ONLY_FIRST_REPLICA"));
    decay = tf.attr("Variable")(0.0, py::arg("dtype") = tf.attr("float64"), py::arg("trainable") = false);
    warmup = tf.attr("Variable")(1.0, py::arg("dtype") = tf.attr("float64"), py::arg("trainable") = false);
  });

  // The step holds the trainer weakly: the averages belong to it, not the
  // other way round.
  py::object trainer = py::module_::import("weakref").attr("ref")(self);
  py::cpp_function step(
      [tf, trainer, strategy, weights, averages, updates, decay, warmup](py::object data) {
        py::object losses = trainer().attr("train_step")(data);
        // After the step's variable updates: the averages take the new weights.
        py::object after_step = tf.attr("control_dependencies")(tf.attr("nest").attr("flatten")(losses));
        trainer_common::within(after_step, [&] { update(tf, strategy, weights, averages, updates, decay, warmup); });
        return losses;
      },
      py::arg("data"));
  py::cpp_function exchange_all([tf, strategy, weights, averages]() {
    py::cpp_function exchange_one([tf](py::object average, py::object weight) {
      py::object raw = tf.attr("identity")(weight);
      weight.attr("assign")(average);
      average.attr("assign")(raw);
    });
    trainer_common::in_scope(strategy, [&] {
      for (size_t index = 0; index < py::len(averages); ++index) {
        on_each_device(strategy, averages[index], exchange_one, py::make_tuple(weights[index]));
      }
    });
  });

  py::dict fields;
  fields["averages"] = averages;
  fields["updates"] = updates;
  fields["decay"] = decay;
  fields["warmup"] = warmup;
  fields["checkpointed"] =
      tf.attr("train").attr("Checkpoint")(py::arg("averages") = averages, py::arg("updates") = updates);
  fields["step"] = pyclass::graph_function(g, "train_step_with_weight_averages", step, {pyclass::param("data")});
  fields["exchange"] = pyclass::graph_function(g, "exchange_weight_averages", exchange_all);
  fields["strategy"] = strategy;
  fields["replica_averaging"] = strategy.is_none() || py::len(moving_averages) == 0
                                    ? py::object(py::none())
                                    : trainer_common::replica_averaging(g, strategy, moving_averages);
  return py::module_::import("types").attr("SimpleNamespace")(**fields);
}

// While no trainer keeps averages (averaging is off), the trainers are not
// even looked up: nothing changes for them.
void adopt(const Globals& g, const py::object& self, const py::object& averages) {
  py::object trainers = registry(g);
  if (!averages.is_none()) {
    trainers[self] = averages;
  } else if (py::len(trainers) > 0) {
    trainers.attr("pop")(self, py::none());
  }
}

py::object averages_of(const Globals& g, const py::object& self) {
  py::object trainers = registry(g);
  if (py::len(trainers) == 0) return py::object();
  py::object averages = trainers.attr("get")(self);
  return averages.is_none() ? py::object() : averages;
}

void start(const Globals& g, const py::object& self, bool on) {
  if (!on) {
    adopt(g, self, py::none());
    return;
  }
  py::object averages = averages_of(g, self);
  if (!averages) {
    averages = new_averages(g, self);
    adopt(g, self, averages);
  }
  // Variables, so that another decay for a later `train` needs no new trace.
  trainer_common::in_scope(averages.attr("strategy"), [&] {
    averages.attr("decay").attr("assign")(py::float_(self.attr("ema_decay")));
    averages.attr("warmup").attr("assign")(py::float_(self.attr("ema_warmup_steps")));
  });
}

py::object training_step(const Globals& g, const py::object& self) {
  py::object averages = averages_of(g, self);
  return averages ? averages.attr("step") : self.attr("train_step");
}

void average_over_replicas(const Globals& g, const py::object& self) {
  py::object averages = averages_of(g, self);
  if (averages && !averages.attr("replica_averaging").is_none()) averages.attr("replica_averaging")();
}

void exchange(const py::object& averages) { averages.attr("exchange")(); }

py::object saved_averages(const Globals& g, const py::object& self) {
  py::object averages = averages_of(g, self);
  if (!averages || self.attr("ema_decay").is_none()) return py::none();
  return averages.attr("checkpointed");
}

}  // namespace weight_averaging
