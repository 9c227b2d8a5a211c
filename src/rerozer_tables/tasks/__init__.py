"""Tasks: training tables for entities and links, ``split_by_time``, ranking
metrics, and RelBench's databases and tasks."""
