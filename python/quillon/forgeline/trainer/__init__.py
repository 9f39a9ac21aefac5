"""Trainer extension modules."""
