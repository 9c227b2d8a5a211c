"""The public names of ``rerozer_tables.tasks.relbench``, under their former module name."""

from .tasks.relbench import from_relbench, task_tables

__all__ = ["from_relbench", "task_tables"]
