"""End-to-end demos: train a model on built-in data with the toolkit's trainers.

Run ``python -m quillon.forgeline.demo detect`` (or ``segment``, ``headpose``); ``--help`` lists the options.
"""
