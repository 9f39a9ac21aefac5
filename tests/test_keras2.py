"""The trainers run under Keras 2 (tf-keras, selected by TF_USE_LEGACY_KERAS=1)
as well as under Keras 3. The variable must be set before TensorFlow is
imported, so the trainer tests run again in a fresh interpreter."""

import glob
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
TRAINER_TESTS = sorted(
    glob.glob(os.path.join(HERE, "test_detection_*.py"))
    + glob.glob(os.path.join(HERE, "test_segmentation_trainer*.py"))
    + [os.path.join(HERE, "test_trainer_construction.py")]
)


@pytest.mark.skipif(os.environ.get("TF_USE_LEGACY_KERAS") == "1", reason="this is the Keras 2 run already")
def test_trainer_tests_pass_under_keras2():
    pytest.importorskip("tf_keras")
    env = dict(os.environ, TF_USE_LEGACY_KERAS="1")
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *TRAINER_TESTS],
        env=env,
        capture_output=True,
        text=True,
        timeout=1200,
    )
    assert result.returncode == 0, result.stdout[-8000:] + result.stderr[-2000:]
