"""Validation metrics of a detection run: summary.csv, the logger, DVCLive and MLflow."""

import json
import os
import sys

import pytest
import tensorflow as tf
from quillon.forgeline.trainer.detection import DetectionTrainer
from trainer_doubles import SUMMARY_KEYS, FakeLive, detection_metrics, fake_mlflow_module, make_trainer

MLFLOW_NAMES = [
    "mAP 0.50",
    "mAP 0.75",
    "mAP 0.50-0.95",
    "mACC 0.50",
    "mACC 0.75",
    "mACC 0.50-0.95",
    "mAR 0.50",
    "mAR 0.75",
    "mAR 0.50-0.95",
    "Overall ACC",
    "Overall AP",
    "Overall AR",
    "learning-rate",
]


@pytest.fixture
def no_mlflow(monkeypatch):
    monkeypatch.setitem(sys.modules, "mlflow", None)


def test_every_call_rewrites_the_summary_and_feeds_the_logger(tmp_path, no_mlflow, recwarn):
    trainer = make_trainer(DetectionTrainer, tmp_path, model=object())
    losses = {"total-loss": 1.5}
    trainer.update_metrics(detection_metrics(0.1))
    assert (tmp_path / "summary.csv").read_text().splitlines()[1:] == [
        "0,0.2,0.1,0.05,0.1,0.05,0.025,0.3,0.15,0.075,0.9,0.7,0.8"
    ]
    trainer.update_metrics(detection_metrics(0.4), losses, epoch=2)
    trainer.update_metrics(detection_metrics(0.5), epoch=4)

    lines = (tmp_path / "summary.csv").read_bytes().decode("utf-8").split("\r\n")
    assert lines[0] == "epoch," + ",".join(SUMMARY_KEYS)
    assert [line.split(",")[:5] for line in lines[1:4]] == [
        ["0", "0.2", "0.1", "0.05", "0.1"],
        ["2", "0.2", "0.1", "0.05", "0.4"],
        ["4", "0.2", "0.1", "0.05", "0.5"],
    ]
    assert lines[4:] == [""]

    calls = trainer.logger.calls
    assert [list(summary) for _, summary in trainer.logger.events] == [SUMMARY_KEYS] * 3
    assert calls[1][1] is losses
    assert calls[0][1] == {} and calls[0][1] is calls[2][1]  # the shared default
    assert list(trainer.summary_rows[0]) == SUMMARY_KEYS + ["epoch"]
    assert not recwarn.list


def test_dvclive_and_mlflow_receive_their_names_in_order(tmp_path, monkeypatch):
    mlflow = fake_mlflow_module(active=True)
    monkeypatch.setitem(sys.modules, "mlflow", mlflow)
    schedule = tf.keras.optimizers.schedules.ExponentialDecay(0.5, decay_steps=1, decay_rate=0.5)
    trainer = make_trainer(DetectionTrainer, tmp_path, model=object(), optimizer=tf.keras.optimizers.SGD(schedule))
    live = FakeLive("dir", True, "html")

    trainer.update_metrics(detection_metrics(0.1), epoch=7, live=live)

    logged = [(name, plot) for _, name, _, plot in live.calls]
    assert logged == [
        (name, False)
        for name in (
            "mACC 0.50",
            "mACC 0.75",
            "mACC 0.50-0.95",
            "mAP 0.50",
            "mAP 0.75",
            "mAP 0.50-0.95",
            "mAR 0.50",
            "mAR 0.75",
            "mAR 0.50-0.95",
        )
    ] + [("Overall ACC", True), ("Overall AP", True), ("Overall AR", True), ("Learning Rate", True)]
    assert live.calls[0][2] == 0.1 and live.calls[3][2] == 0.2
    ((values, step),) = mlflow.logged_metrics
    assert list(values) == MLFLOW_NAMES and step == 7
    # The schedule's value is a tensor; it is logged as a number.
    assert not isinstance(values["learning-rate"], tf.Tensor)
    assert float(values["learning-rate"]) == pytest.approx(0.5)
    assert float(live.calls[-1][2]) == pytest.approx(0.5)


def test_real_dvclive_and_mlflow_sessions(tmp_path, monkeypatch):
    mlflow = pytest.importorskip("mlflow")
    Live = pytest.importorskip("dvclive").Live
    from mlflow.tracking import MlflowClient

    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MLFLOW_ALLOW_FILE_STORE", "true")
    mlflow.set_tracking_uri(f"file:{tmp_path / 'mlruns'}")
    trainer = make_trainer(DetectionTrainer, tmp_path / "run", model=object(), optimizer=tf.keras.optimizers.SGD(0.25))
    live = Live(str(tmp_path / "live"), save_dvc_exp=False, report=None)
    with mlflow.start_run() as run:
        trainer.update_metrics(detection_metrics(0.1), epoch=3, live=live)
    live.end()

    recorded = MlflowClient().get_run(run.info.run_id).data.metrics
    assert sorted(recorded) == sorted(MLFLOW_NAMES)
    assert recorded["learning-rate"] == pytest.approx(0.25)
    history = MlflowClient().get_metric_history(run.info.run_id, "mAP 0.50")
    assert [(m.step, m.value) for m in history] == [(3, pytest.approx(0.2))]
    with open(tmp_path / "live" / "metrics.json") as f:
        assert json.load(f)["Learning Rate"] == pytest.approx(0.25)
    plotted = os.listdir(tmp_path / "live" / "plots" / "metrics")
    assert "Overall ACC.tsv" in plotted and "mAP 0.50.tsv" not in plotted


def test_a_locked_summary_keeps_the_row_for_the_next_write(tmp_path, no_mlflow, monkeypatch, capsys):
    trainer = make_trainer(DetectionTrainer, tmp_path, model=object())
    trainer.update_metrics(detection_metrics(0.1), epoch=1)
    before = (tmp_path / "summary.csv").read_bytes()
    capsys.readouterr()

    real_replace = os.replace

    def locked(source, target):
        if str(target).endswith("summary.csv"):
            raise PermissionError(13, "Permission denied", str(target))
        return real_replace(source, target)

    monkeypatch.setattr(os, "replace", locked)
    trainer.update_metrics(detection_metrics(0.2), epoch=2)
    assert capsys.readouterr().out == (
        "\t - [WARNING]: Error writing evaluation summary. Please close the file to allow Forgeline to write metrics\n"
    )
    assert (tmp_path / "summary.csv").read_bytes() == before

    monkeypatch.setattr(os, "replace", real_replace)
    trainer.update_metrics(detection_metrics(0.3), epoch=3)
    epochs = [line.split(",")[0] for line in (tmp_path / "summary.csv").read_text().splitlines()[1:]]
    assert epochs == ["1", "2", "3"]
    assert sorted(os.listdir(tmp_path)) == ["config.json", "labels.txt", "summary.csv"]


def test_incomplete_metrics_are_rejected_before_anything_is_logged(tmp_path, monkeypatch):
    mlflow = fake_mlflow_module(active=True)
    monkeypatch.setitem(sys.modules, "mlflow", mlflow)
    trainer = make_trainer(DetectionTrainer, tmp_path, model=object())
    live = FakeLive("dir", True, "html")
    metrics = detection_metrics(0.1)
    del metrics["OR"]
    with pytest.raises(ValueError, match="no 'OR' entry"):
        trainer.update_metrics(metrics, live=live)
    with pytest.raises(TypeError, match=r"Argument 'metrics' has incorrect type \(expected dict, got list\)"):
        trainer.update_metrics([1])
    assert (live.calls, mlflow.logged_metrics, trainer.logger.calls, trainer.summary_rows) == ([], [], [], [])
    assert not (tmp_path / "summary.csv").exists()
