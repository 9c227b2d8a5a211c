"""RelBench's databases and entity tasks as rerozer's tables and training tables.

>>> import pandas as pd
>>> from types import SimpleNamespace as Table  # stands in for relbench.base.Table
>>> users = pd.DataFrame({"user_id": [0, 1], "joined": pd.to_datetime(["2024-01-01", "2024-01-02"])})
>>> tables = from_relbench(SimpleNamespace(table_dict={
...     "users": Table(df=users, fkey_col_to_pkey_table={}, pkey_col="user_id", time_col="joined")}))
>>> tables["users"].primary_key, tables["users"].time_column
('user_id', 'joined')

``from_relbench`` takes each table's primary key, foreign keys and time
column from RelBench's ``Table`` metadata and keeps every other column as a
feature, with the semantic types a ``col_to_stype_dict`` (as RelBench's
``get_stype_proposal`` makes it) declares, and the inferred ones otherwise.
Times are read at the precision pandas holds them (microseconds under
pandas 3, nanoseconds before), never assumed to be nanoseconds.

``task_tables`` turns an entity task's train, validation and test tables
into ``TrainingTable`` objects: the entity column's keys, the time column's
cut-off times in the graph's unit, and the target column as float64 labels,
for ``Loader(..., labels=part.labels)``.

Needs relbench and pandas (``pip install "rerozer[relbench]"``) only for the
objects passed in; nothing is imported from relbench here.
"""

from __future__ import annotations

from collections.abc import Mapping
from types import SimpleNamespace  # noqa: F401  (the module example's database)
from typing import Any

import numpy as np

from ..tables.columns import TIME_UNITS, time_array
from ..tables.table import Table
from .training import TrainingTable

# RelBench's (PyTorch Frame's) semantic types, by the names of their values,
# and the declarations of a Table they become.
_DECLARED = {"numerical": "numerical", "categorical": "categorical",
             "text_embedded": "text", "text_tokenized": "text"}


def _stype_name(value: object) -> str:
    return str(getattr(value, "value", value))


def from_relbench(
    database: Any, col_to_stype_dict: Mapping[str, Mapping[str, object]] | None = None
) -> dict[str, Table]:
    """The tables of a RelBench ``Database`` (``database.table_dict``).

    ``col_to_stype_dict[table][column]`` (a ``torch_frame.stype`` or its
    name) declares a column numerical, categorical or text
    (``text_embedded``); a table named there keeps only the columns named,
    as RelBench's graph builder does. Timestamp columns other than the time
    column stay numerical features (times in the graph's unit), and
    multi-category columns are taken by their values (lists of strings).

    Raises ValueError naming the table and column for a semantic type that
    has no counterpart here (``sequence_numerical``, ``embedding``).
    """
    tables: dict[str, Table] = {}
    for name, table in database.table_dict.items():
        frame = table.df
        keys = dict(table.fkey_col_to_pkey_table)
        options: dict[str, Any] = {}
        if col_to_stype_dict is not None and name in col_to_stype_dict:
            declared: dict[str, list[str]] = {"numerical": [], "categorical": [], "text": []}
            features = []
            roles = {table.pkey_col, table.time_col, *keys}
            for column, semantic in col_to_stype_dict[name].items():
                if column in roles:
                    continue
                kind = _stype_name(semantic)
                if kind not in _DECLARED and kind not in ("timestamp", "multicategorical"):
                    raise ValueError(
                        f"{name}.{column} is of the semantic type {kind!r}, which rerozer's "
                        "features do not take: leave it out of col_to_stype_dict"
                    )
                features.append(column)
                if kind in _DECLARED:
                    declared[_DECLARED[kind]].append(column)
            options = {"features": features, **declared}
        tables[name] = Table(
            frame, primary_key=table.pkey_col, foreign_keys=keys, time_column=table.time_col,
            **options,
        )
    return tables


def task_tables(task: Any, *, time_unit: str = "s") -> tuple[TrainingTable, ...]:
    """The train, validation and test tables of a RelBench entity task.

    Each is a ``TrainingTable`` of ``task.entity_table``: keys from
    ``task.entity_col``, cut-off times from ``task.time_col`` in
    ``time_unit`` (the graph's; a time finer than it is an error), labels
    from ``task.target_col`` (the test table is read with its targets,
    ``mask_input_cols=False``), and ``horizon`` the task's ``timedelta``.
    """
    if time_unit not in TIME_UNITS:
        raise ValueError(f"time_unit must be one of {', '.join(TIME_UNITS)}, got {time_unit!r}")
    window = np.asarray(task.timedelta.to_timedelta64())
    horizon = int(window.astype(f"timedelta64[{time_unit}]").astype(np.int64))
    parts = []
    # One database for the three splits; RelBench cuts it at the test
    # timestamp for training and validation labels itself.
    database = task.get_db(upto_test_timestamp=False)
    for split in ("train", "val", "test"):
        frame = task.get_table(split, mask_input_cols=False, db=database).df
        what = f"the {split} table of {type(task).__name__}"
        times = time_array(np.asarray(frame[task.time_col].to_numpy()), time_unit,
                           f"{what}.{task.time_col}")
        keys = np.asarray(frame[task.entity_col].to_numpy())
        if keys.dtype.kind == "f":  # whole numbers that pandas holds as floats
            keys = keys.astype(np.int64)
        labels = np.asarray(frame[task.target_col].to_numpy(), dtype=np.float64)
        parts.append(TrainingTable(
            task.entity_table, keys, np.ascontiguousarray(times, dtype=np.int64), labels,
            horizon, time_unit,
        ))
    return tuple(parts)
