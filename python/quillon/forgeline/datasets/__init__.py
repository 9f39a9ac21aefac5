"""Dataset base classes and image helpers."""
