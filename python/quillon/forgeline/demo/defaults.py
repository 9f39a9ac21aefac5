"""The demos' own defaults, importable without TensorFlow: how many training images each demo generates.
The training defaults are the jobs' (``quillon.forgeline.jobs.defaults``)."""

IMAGES = {"detect": 400, "segment": 600, "headpose": 600}
