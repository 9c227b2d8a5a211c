"""The public names of ``rerozer_tables.load.frames``, under their former module name."""

from .load.frames import CONSTANT, add_tensor_frames, column_stats, tensor_frame

__all__ = ["CONSTANT", "add_tensor_frames", "column_stats", "tensor_frame"]
