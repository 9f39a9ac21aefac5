"""TensorBoard drawing: the report writer the trainers hand to their evaluators, and box drawing."""
