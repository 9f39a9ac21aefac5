"""Fine-tuning: start a model from the weights of another one (``--weights``)."""

import numpy as np

from quillon.forgeline.deploy.runs import load_model_file, model_file


def load_matching_weights(model, path):
    """Loads into ``model`` the weights of every layer of the model file or run folder ``path`` that matches.

    A layer matches the source layer of the same name whose weights have the
    same shapes (a different class count leaves the class outputs out); a
    layer whose name the source lacks is paired with the source layer of the
    same type at the same position among the layers of that type, as Keras
    numbers unnamed layers by the order they were made in. Returns (loaded,
    total): layers loaded, layers of ``model`` with weights.
    """
    source = load_model_file(model_file(path))
    by_name = {layer.name: layer for layer in source.layers}
    by_type = {}
    for layer in source.layers:
        by_type.setdefault(type(layer).__name__, []).append(layer)
    seen_of_type = {}
    loaded = total = 0
    for layer in model.layers:
        ordinal = seen_of_type.get(type(layer).__name__, 0)
        seen_of_type[type(layer).__name__] = ordinal + 1
        if not layer.weights:
            continue
        total += 1
        candidate = by_name.get(layer.name)
        if candidate is None:
            same_type = by_type.get(type(layer).__name__, [])
            candidate = same_type[ordinal] if ordinal < len(same_type) else None
        if candidate is not None and _same_shapes(layer, candidate):
            layer.set_weights(candidate.get_weights())
            loaded += 1
    return loaded, total


def _same_shapes(layer, other):
    mine, theirs = layer.get_weights(), other.get_weights()
    return len(mine) == len(theirs) and all(np.shape(a) == np.shape(b) for a, b in zip(mine, theirs))


def start_from(model, path):
    """``load_matching_weights`` with the count printed, as the train command shows it; None ``path``: nothing."""
    if path is None:
        return
    loaded, total = load_matching_weights(model, path)
    print(f"Weights: loaded {loaded} of {total} layers from {model_file(path)}")
