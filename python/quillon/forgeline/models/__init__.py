"""Reference models that the demo and the tests train."""
