// An exponential moving average (EMA) of a model's weights, kept while it
// trains when the trainer's `ema_decay` is set: after every optimizer step
//
//   decay_t = ema_decay * (1 - exp(-t / ema_warmup_steps))    (t: updates so far)
//   average = decay_t * average + (1 - decay_t) * weight
//
// for every floating-point variable of the model (the trainable weights and
// batch normalisation's moving statistics). The warm-up keeps the early
// averages close to the weights, which are still far from trained.
//
// The update runs in the same compiled function as the training step. Under
// a tf.distribute strategy each device updates its own copy of the averages
// from its own copy of the weights, so a step moves no data between devices:
// copies of trainable weights are identical on every replica, and the copies
// of the moving statistics are set to their mean over the replicas at the end
// of every epoch, as the statistics themselves are (the mean of the replicas'
// averages is the average of the replicas' mean, the update being linear).
//
// Validation and the saved models use the averages: they are exchanged with
// the model's weights for that time, then exchanged back, so the optimizer
// always goes on from the raw weights.
//
// The averages of a trainer live in the module global `_weight_averages` (a
// weakref.WeakKeyDictionary keyed by the trainer), so that a trainer without
// them has nothing new among its attributes.
#pragma once

#include <pybind11/pybind11.h>

#include "pyclass/pyclass.hpp"

namespace weight_averaging {

namespace py = pybind11;
using pyclass::Globals;

// Checks the trainer's `ema_decay` (None, or a number in (0, 1)) and
// `ema_warmup_steps` (a positive number), raising ValueError naming the
// attribute; returns whether averaging is on.
bool requested(const py::object& self);

// At the start of `train`: with averaging on, starts the averages as copies of
// the model's weights unless the trainer has them already (from an earlier
// `train` or from `resume`), and gives them the trainer's decay and warm-up;
// with it off, drops any the trainer has.
void start(const Globals& g, const py::object& self, bool on);

// What `train` calls for every step: the trainer's `train_step`, followed in
// the same compiled function by the update of the averages when the trainer
// keeps them.
py::object training_step(const Globals& g, const py::object& self);

// At the end of every epoch, under the model's strategy: sets the averages of
// the moving statistics to their mean over the replicas (a collective, which
// every worker calls, as average_replica_variables).
void average_over_replicas(const Globals& g, const py::object& self);

// The trainer's averages, or an empty object when it keeps none.
py::object averages_of(const Globals& g, const py::object& self);

// Exchanges the model's weights and `averages` (so calling it twice restores
// both).
void exchange(const py::object& averages);

// Runs `body` with the averages in the model, then puts the raw weights back,
// also when `body` raises. Without averages, only runs `body`.
template <typename Body>
void with_averaged_weights(const Globals& g, const py::object& self, Body body) {
  py::object averages = averages_of(g, self);
  if (!averages) {
    body();
    return;
  }
  exchange(averages);
  try {
    body();
  } catch (...) {
    exchange(averages);
    throw;
  }
  exchange(averages);
}

// ---- Training state ----

// The object the training state's checkpoint saves of the trainer's averages
// (the averages and the update count), or None when averaging is off or has
// not started.
py::object saved_averages(const Globals& g, const py::object& self);

// New averages for the trainer's model, not yet the trainer's, and the
// object a checkpoint reads them from (`.checkpointed`): `resume` reads the
// state into them, then `adopt`s them.
py::object new_averages(const Globals& g, const py::object& self);

// Makes `averages` the trainer's; None drops the trainer's averages.
void adopt(const Globals& g, const py::object& self, const py::object& averages);

}  // namespace weight_averaging
