"""Training under tf.distribute: several replicas of one machine, and several workers.

Each scenario runs in a fresh process (this file run as a script), since
logical CPU devices and a multi-worker cluster must be set up before
TensorFlow's first operation.
"""

import contextlib
import csv
import json
import os
import socket
import subprocess
import sys

import numpy as np
import pytest
import tensorflow as tf
from quillon.forgeline.datasets.utils import worker_share
from quillon.forgeline.demo.data import generate_detection_dataset
from trainer_doubles import RUN_FILES

TIMEOUT = 300  # seconds; a hung collective must fail the test, not the whole run


def run_scenario(*arguments, env=None):
    return subprocess.Popen(
        [sys.executable, __file__, *map(str, arguments)],
        env={**os.environ, **(env or {})},
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )


def finished(process):
    try:
        output, _ = process.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        output, _ = process.communicate()
    assert process.returncode == 0, output[-6000:]
    return output


def test_mirrored_replicas_train_as_one_device_and_a_batch_norm_model_trains_and_saves(tmp_path):
    finished(run_scenario("mirrored", tmp_path))

    run = tmp_path / "segment" / "run"
    assert sorted(os.listdir(run)) == RUN_FILES
    assert json.loads((run / "config.json").read_text())["replicas"] == 2
    saved = tf.keras.models.load_model(run / "last.h5", compile=False, safe_mode=False)
    assert any(isinstance(layer, tf.keras.layers.BatchNormalization) for layer in saved.layers)

    # The state of a 2-replica run resumes on one device: it does not depend on the number of replicas.
    from quillon.forgeline.models.segmentation import build_segmentation_model
    from quillon.forgeline.trainer.segmentation import SegmentationTrainer
    from trainer_doubles import RecordingLogger

    model = build_segmentation_model((32, 32, 3), len(json.loads((run / "config.json").read_text())["classes"]))
    optimizer = tf.keras.optimizers.Adam(tf.keras.optimizers.schedules.CosineDecay(0.0, 10))  # as the job's
    trainer = SegmentationTrainer(
        model, None, optimizer, None, logger=RecordingLogger(), checkpoint=str(tmp_path / "resumed")
    )
    trainer.state_folder = str(run / "state")
    assert trainer.resume() == 2
    for expected, actual in zip(saved.weights, model.weights):
        np.testing.assert_array_equal(actual.numpy(), expected.numpy())


def test_the_train_command_trains_on_the_devices_it_is_given(tmp_path):
    from quillon.forgeline.demo.data_segment import generate_segmentation_dataset

    masks = generate_segmentation_dataset(str(tmp_path / "masks"), train_images=8, validation_images=1, size=16)
    description = {
        "classes": masks["classes"],
        "train": {"images": masks["train_images"], "masks": masks["train_masks"]},
        "validation": {"images": masks["val_images"], "masks": masks["val_masks"]},
    }
    (tmp_path / "segment.yaml").write_text(json.dumps(description))  # JSON is YAML
    finished(run_scenario("train", tmp_path))
    config = json.loads((tmp_path / "out" / "run" / "config.json").read_text())
    assert (config["devices"], config["replicas"]) == (2, 2)


def test_two_workers_train_alike_and_only_the_chief_writes_the_run(tmp_path):
    generate_detection_dataset(tmp_path / "data", seed=0, train_images=8, validation_images=2)
    ports = free_ports(2)
    workers = [run_scenario("worker", tmp_path, index, *ports) for index in range(2)]
    for worker in workers:
        finished(worker)

    chief_run, other_run = tmp_path / "run-0", tmp_path / "run-1"
    assert sorted(os.listdir(chief_run)) == RUN_FILES
    assert os.listdir(chief_run / "validation") == ["results.txt"]
    with open(chief_run / "summary.csv", newline="") as summary:
        assert [row["epoch"] for row in csv.DictReader(summary)] == ["1", "2"]
    tf.keras.models.load_model(chief_run / "best.h5", compile=False, safe_mode=False)
    assert not other_run.exists()

    chief, other = (np.load(tmp_path / f"weights-{index}.npz") for index in range(2))
    assert len(chief.files) > 0 and chief.files == other.files
    for name in chief.files:
        np.testing.assert_array_equal(chief[name], other[name])

    reports = [json.loads((tmp_path / f"worker-{index}.json").read_text()) for index in range(2)]
    assert [report["chief"] for report in reports] == [True, False]
    assert reports[1]["logged"] == 0  # the other worker's logger was never written to
    shares = [set(report["trained_on"]) for report in reports]
    train_files = sorted(os.listdir(tmp_path / "data" / "train" / "images"))
    assert shares[0].isdisjoint(shares[1]) and sorted(shares[0] | shares[1]) == train_files
    assert len(shares[0]) == len(shares[1]) == 4
    assert reports[0]["validated_on"] and not reports[1]["validated_on"]


@pytest.mark.parametrize(
    "size, batch, workers, worker, replicas, entries, replica_batch, samples",
    [
        (10, 4, 1, 0, 2, list(range(10)), 2, 8),  # one worker, two devices: whole batches only
        (9, 4, 2, 1, 2, [1, 3, 5, 7], 2, 4),  # every other entry; both workers take 2 steps
        (9, 4, 2, 0, 4, [0, 2, 4, 6, 8], 1, 4),  # the larger share leaves one out
    ],
)
def test_each_worker_reads_its_share_in_whole_global_batches(
    size, batch, workers, worker, replicas, entries, replica_batch, samples
):
    context = tf.distribute.InputContext(workers, worker, replicas)
    assert worker_share(list(range(size)), batch, context, "owner") == (entries, replica_batch, samples)
    assert worker_share(list(range(size)), batch, None, "owner") == (list(range(size)), batch, None)


@pytest.mark.parametrize(
    "size, batch, message",
    [
        (10, 3, "owner: the batch size 3 must be a multiple of the 2 replicas"),
        (3, 4, "owner: 3 training samples are too few for one batch of 4 over 2 workers"),
    ],
)
def test_a_share_that_cannot_make_whole_batches_says_why(size, batch, message):
    with pytest.raises(ValueError, match=message):
        worker_share(list(range(size)), batch, tf.distribute.InputContext(2, 0, 2), "owner")


def free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    for listener in sockets:
        listener.bind(("127.0.0.1", 0))
    ports = [listener.getsockname()[1] for listener in sockets]
    for listener in sockets:
        listener.close()
    return ports


# ---- The scenarios, each in its own process ----


def mirrored_scenario(folder):
    cpu = tf.config.list_physical_devices("CPU")[0]
    tf.config.set_logical_device_configuration(cpu, [tf.config.LogicalDeviceConfiguration()] * 2)
    strategy = tf.distribute.MirroredStrategy(["/cpu:0", "/cpu:1"])

    import quillon.forgeline.trainer.detection as detection
    from quillon.forgeline.demo.segment import run_segmentation_demo
    from quillon.forgeline.trainer.detection import DetectionTrainer
    from trainer_doubles import RecordingCallbacks, RecordingLoss, detection_model, make_trainer, train_batches

    class ReplicaCountingLoss(RecordingLoss):
        def compute_loss(self, targets, predictions):
            self.replicas = tf.distribute.get_replica_context().num_replicas_in_sync
            return super().compute_loss(targets, predictions)

    # The same three steps of a global batch of 4, with regularisation, on one device and on two replicas,
    # without and with weight averaging (whose averages last.h5 holds).
    tf.keras.utils.set_random_seed(0)
    regularizer = tf.keras.regularizers.l2(0.01)
    initial = detection_model(regularizer).get_weights()
    runs = {}
    for ema_decay in (None, 0.9):
        for replicas in (1, 2):
            with strategy.scope() if replicas == 2 else contextlib.nullcontext():
                model = detection_model(regularizer)
                model.set_weights(initial)
                optimizer = tf.keras.optimizers.Adam(0.01)  # under the strategy: built by the trainer, in the scope
            events, loss = [], ReplicaCountingLoss()
            run_folder = folder / f"{replicas}-{ema_decay}"
            trainer = make_trainer(DetectionTrainer, run_folder, model=model, optimizer=optimizer, loss=loss)
            trainer.ema_decay, trainer.ema_warmup_steps = ema_decay, 2
            trainer.train(1, train_batches(count=3, batch_size=4), callback_handler=RecordingCallbacks(events))
            step_losses = [
                {key: float(value) for key, value in details["losses"].items() if key != "step-time (seconds)"}
                for event, details in events
                if event == "on_step_end"
            ]
            saved = tf.keras.models.load_model(run_folder / "last.h5", compile=False).get_weights()
            runs[ema_decay, replicas] = (model, loss.replicas, step_losses, saved)
    for ema_decay in (None, 0.9):
        (one_model, one_replicas, one_losses, one_saved) = runs[ema_decay, 1]
        (two_model, two_replicas, two_losses, two_saved) = runs[ema_decay, 2]
        assert (one_replicas, two_replicas) == (1, 2)
        assert len(one_losses) == len(two_losses) == 3
        for one, two in zip(one_losses, two_losses):
            assert one.keys() == two.keys() == {"total-loss", "box-loss", "L2-loss", "learning-rate"}
            np.testing.assert_allclose([one[key] for key in sorted(one)], [two[key] for key in sorted(two)], rtol=1e-5)
        for one, two in zip(one_model.get_weights() + one_saved, two_model.get_weights() + two_saved):
            np.testing.assert_allclose(one, two, rtol=1e-5, atol=1e-6)
    raw, averaged = runs[0.9, 2][0].get_weights(), runs[0.9, 2][3]
    assert not all(np.allclose(a, b) for a, b in zip(raw[:2] + raw[-4:], averaged)), "last.h5 holds the raw weights"

    # With batch normalisation each replica averages its own moving statistics; after the epoch every
    # replica holds the same averages.
    with strategy.scope():
        model = detection_model(batch_norm=True)
        optimizer = tf.keras.optimizers.SGD(0.01)
    trainer = make_trainer(
        DetectionTrainer, folder / "batch-norm", model=model, optimizer=optimizer, loss=RecordingLoss()
    )
    trainer.ema_decay = 0.9
    trainer.train(1, train_batches(count=3, batch_size=4))
    averages = detection._weight_averages[trainer].averages
    assert len(averages) == len(model.weights)
    for average in averages:
        first, second = (copy.numpy() for copy in average.values)
        np.testing.assert_array_equal(first, second)

    # A model with batch normalisation, the segmentation pipeline and trainer, the demo job.
    run_segmentation_demo(
        folder / "segment", epochs=1, images=8, batch_size=4, input_size=32, display=0, strategy=strategy
    )


def worker_scenario(folder, index, *ports):
    os.environ["TF_CONFIG"] = json.dumps(
        {
            "cluster": {"worker": [f"127.0.0.1:{port}" for port in ports]},
            "task": {"type": "worker", "index": int(index)},
        }
    )
    strategy = tf.distribute.MultiWorkerMirroredStrategy()

    from quillon.forgeline.callbacks import TensorBoardLogger
    from quillon.forgeline.datasets.darknet import DarknetDatasetYaml
    from quillon.forgeline.trainer.detection import DetectionTrainer
    from trainer_doubles import SIZE, RecordingEvaluator, RecordingLogger, RecordingLoss, detection_model

    loaded = {True: [], False: []}

    class RecordingDataset(DarknetDatasetYaml):
        def load_instance(self, data, training=True):
            loaded[training].append(os.path.basename(data[0].decode()))
            return super().load_instance(data, training)

    dataset = RecordingDataset(str(folder / "data" / "data.yaml"), shape=[SIZE, SIZE, 3])
    tf.keras.utils.set_random_seed(0)
    with strategy.scope():
        model = detection_model(batch_norm=True)  # its moving statistics differ from worker to worker
        optimizer = tf.keras.optimizers.Adam(1e-3)
    chief = strategy.extended.should_checkpoint
    run_folder = folder / f"run-{index}"  # the other worker's must stay unwritten
    logger = TensorBoardLogger(str(run_folder / "tensorboard")) if chief else RecordingLogger()
    trainer = DetectionTrainer(
        model,
        dataset,
        optimizer,
        RecordingLoss(),
        logger=logger,
        checkpoint=str(run_folder),
        info={"worker": int(index)},
        classes=dataset.get_classes(),
        display=1,
        skip_initial_validation=True,
    )
    trainer.ema_decay = 0.9  # averages updated on each device, exchanged into the model on the chief only
    trainer.train(
        2, dataset.build_train_iterator(4, strategy=strategy), dataset.build_val_iterator(), RecordingEvaluator()
    )
    if chief:
        logger.close()

    np.savez(folder / f"weights-{index}.npz", *model.get_weights())
    report = {
        "chief": chief,
        "trained_on": sorted(set(loaded[True])),
        "validated_on": loaded[False],
        "logged": None if chief else len(logger.calls),
    }
    (folder / f"worker-{index}.json").write_text(json.dumps(report))


def train_scenario(folder):
    from quillon.forgeline.__main__ import main

    status = main(
        [
            "train",
            "segment",
            "--data",
            str(folder / "segment.yaml"),
            "--out",
            str(folder / "out"),
            "--devices",
            "2",
            "--epochs",
            "1",
            "--batch-size",
            "4",
            "--input-size",
            "16",
            "--model-size",
            "small",
        ]
    )
    assert status == 0


if __name__ == "__main__":
    import pathlib

    scenario, scenario_folder, *details = sys.argv[1:]
    {"mirrored": mirrored_scenario, "worker": worker_scenario, "train": train_scenario}[scenario](
        pathlib.Path(scenario_folder), *details
    )
