"""Base interface of the losses the trainers optimise."""


class ForgelineLoss:
    """A training loss.

    Subclasses implement ``compute_loss(targets, predictions)``. It runs inside
    the trainer's ``tf.GradientTape`` in a ``tf.function``, so it must use
    TensorFlow ops only:

      targets: tuple of the batch elements that follow the images (for
        detection: the padded boxes tensor).
      predictions: the model outputs, as a tuple (segmentation: the output
        tensor as the model returns it).

    It returns a dict of scalar tensors with at least ``"total-loss"``, the
    value that gets differentiated; other entries are logged.
    """

    TOTAL_LOSS_KEY = "total-loss"

    def compute_loss(self, targets, predictions):
        raise NotImplementedError(
            f"{type(self).__name__} must implement compute_loss(targets, predictions) "
            f"returning a dict with a {self.TOTAL_LOSS_KEY!r} scalar tensor"
        )

    def __call__(self, targets, predictions):
        """Runs compute_loss and checks the result has the key the trainer needs.

        The check is plain Python, so inside a tf.function it costs nothing
        after tracing.
        """
        losses = self.compute_loss(targets, predictions)
        if not hasattr(losses, "keys"):
            raise TypeError(
                f"{type(self).__name__}.compute_loss must return a dict of losses, got {type(losses).__name__}"
            )
        if self.TOTAL_LOSS_KEY not in losses:
            raise KeyError(
                f"{type(self).__name__}.compute_loss returned keys {list(losses.keys())}, "
                f"missing {self.TOTAL_LOSS_KEY!r}"
            )
        return losses
