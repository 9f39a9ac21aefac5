"""What the class-labelled evaluators share: how a trainer configures them."""


class LabelledEvaluator:
    """Base of the evaluators that report per class; a subclass sets its classes in ``_set_labels``."""

    def __call__(self, val_messenger=None, labels=None):
        """Sets the report writer and the class labels (when given), and starts a new pass."""
        self.val_messenger = val_messenger
        if labels is not None:
            self._set_labels(labels)
        return self
