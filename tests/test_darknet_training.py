"""A generated Darknet dataset trains DetectionTrainer for an epoch, validation included."""

import os

import numpy as np
import yaml
from PIL import Image
from quillon.forgeline.datasets.darknet import DarknetDatasetYaml
from quillon.forgeline.trainer.detection import DetectionTrainer
from trainer_doubles import CLASSES, SIZE, RecordingCallbacks, RecordingEvaluator, make_trainer

BATCH = 4


def write_split(root, names, unlabelled):
    """Writes small PNG and JPEG images; those in `unlabelled` get no annotation file."""
    images, labels = root / "images", root / "labels"
    images.mkdir(parents=True)
    labels.mkdir(parents=True)
    rng = np.random.default_rng(len(names))
    for index, name in enumerate(names):
        pixels = rng.integers(0, 256, (24 + index, 40, 3), dtype=np.uint8)
        Image.fromarray(pixels).save(str(images / name))
        if name in unlabelled:
            continue
        rows = [f"{index % 2} 0.5 0.5 0.4 0.3", f"{(index + 1) % 2} 0.2 0.3 0.2 0.2"]  # labels of two classes
        text = "\n".join(rows[: index % 3]) + "\n"  # 0, 1 or 2 objects
        (labels / (os.path.splitext(name)[0] + ".txt")).write_text(text)
    return {"images": str(images), "annotations": str(labels)}


def test_one_epoch_with_validation(tmp_path):
    train_names = [f"train_{index}.{'png' if index % 2 else 'jpg'}" for index in range(14)]
    val_names = [f"val_{index}.{'PNG' if index % 2 else 'jpeg'}" for index in range(6)]
    description = {
        "type": "darknet",
        "classes": CLASSES[1:],  # the background class makes the trainer's three
        "train": write_split(
            tmp_path / "train", train_names, unlabelled={"train_3.png", "train_8.jpg", "train_13.png"}
        ),
        "validation": write_split(tmp_path / "val", val_names, unlabelled={"val_0.jpeg"}),
    }
    info_file = tmp_path / "dataset.yaml"
    info_file.write_text(yaml.safe_dump(description))

    dataset = DarknetDatasetYaml(str(info_file), [SIZE, SIZE, 3])
    assert dataset.classes == ["background"] + CLASSES[1:]
    assert (dataset.num_train_samples, dataset.num_val_samples) == (11, 5)

    events = []
    evaluator = RecordingEvaluator(events=events)
    trainer = make_trainer(DetectionTrainer, tmp_path / "run", classes=dataset.classes)
    weights = [weight.numpy().copy() for weight in trainer.model.trainable_weights]

    trainer.train(
        epochs=1,
        train_ds=dataset.build_train_iterator(BATCH),
        val_ds=dataset.build_val_iterator(),
        evaluator=evaluator,
        callback_handler=RecordingCallbacks(events),
    )

    steps = [details for name, details in events if name == "on_step_end"]
    assert len(steps) == 3  # 11 samples in batches of 4
    assert all(np.isfinite(float(step["losses"]["total-loss"])) for step in steps)
    assert any(
        not np.allclose(before, after.numpy()) for before, after in zip(weights, trainer.model.trainable_weights)
    )

    # The initial validation and the one after epoch 1 each saw every labelled validation image once.
    assert evaluator.passes == [0, 1]
    for epoch in (0, 1):
        truths = [record[5]["gt"] for record in evaluator.records if record[4] == epoch]
        assert sorted(truth["image_path"] for truth in truths) == sorted(set(val_names) - {"val_0.jpeg"})
        for truth in truths:
            assert truth["image"].shape[:2] == (24 + val_names.index(truth["image_path"]), 40)
            assert np.all((truth["boxes"] >= 0) & (truth["boxes"] <= 1))
    assert os.path.exists(tmp_path / "run" / "last.h5") and os.path.exists(tmp_path / "run" / "best.h5")
