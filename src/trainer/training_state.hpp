// The training state of a run, kept in the run folder so that a stopped run
// can go on exactly where it stopped: the training model's weights, the
// optimizer's variables and, when the run keeps them, the weight averages
// with their update count (a TensorFlow checkpoint), and a JSON file with the
// last finished epoch, the best score, the summary rows, the logger's step
// counters and whether the checkpoint holds weight averages ("ema"; states
// written before weight averaging existed have no such field and hold none).
//
// state.json is written last and names the checkpoint it belongs to, so it is
// the one file that makes a new state current: a kill at any moment leaves
// either the previous complete state or the new one.
#pragma once

#include <pybind11/pybind11.h>

#include "pyclass/pyclass.hpp"

namespace training_state {

namespace py = pybind11;
using pyclass::Globals;

// Writes the state of trainer `self` after `epoch` into `self.state_folder`
// (nothing when it is None, nor on a worker other than the chief), then
// removes the files of earlier states.
void save(const Globals& g, const py::object& self, const py::object& epoch);

// Loads the state from `self.state_folder` into the trainer's model and
// optimizer, weight averages, best score, summary rows and logger counters;
// returns the epoch to start at. Weight averages in the state are dropped with
// a warning when the trainer's `ema_decay` is None; a state without them
// resumed with `ema_decay` set warns that they start from the restored
// weights. A missing, unreadable or unfitting state raises, naming the
// file, and leaves the model, the optimizer and the trainer as they were.
py::object restore(const Globals& g, const py::object& self);

}  // namespace training_state
