"""The training jobs: train a task's reference model on a data description, end to end.

``detect``, ``segment`` and ``headpose`` each hold one job function that builds
the dataset, model, schedule, optimizer, logger, evaluator and trainer and
trains; the demo (``quillon.forgeline.demo``) calls them on the data it
generates and ``python -m quillon.forgeline train`` on the user's data.
``options`` declares the options they share; ``descriptions`` checks a
user's data description before anything is written.
"""
