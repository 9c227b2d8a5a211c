"""The public names of ``rerozer_tables.load.batch``, under their former module name."""

from .load.batch import Batch, Result, stacked_edges

__all__ = ["Batch", "Result", "stacked_edges"]
