"""The public names of ``rerozer_tables.tasks.metrics``, under their former module name."""

from .tasks.metrics import map_at_k, recall_at_k, top_k

__all__ = ["map_at_k", "recall_at_k", "top_k"]
