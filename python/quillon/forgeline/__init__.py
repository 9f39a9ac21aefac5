"""Training core: trainers, datasets, losses and callbacks."""
