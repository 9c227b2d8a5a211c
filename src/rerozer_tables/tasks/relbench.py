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

``task_tables`` turns a task's train, validation and test tables into
``TrainingTable`` objects for an entity task (the entity column's keys, the
time column's cut-off times in the graph's unit, and the target column as
float64 labels, for ``Loader(..., labels=part.labels)``) and into
``LinkTrainingTable`` objects for a recommendation task (for
``LinkLoader``).

Needs relbench and pandas (``pip install "rerozer[relbench]"``) only for the
objects passed in; nothing is imported from relbench here.
"""

from __future__ import annotations

from collections.abc import Mapping
from types import SimpleNamespace  # noqa: F401  (the module example's database)
from typing import Any

import numpy as np

from ..graph.graph import KeyMap
from ..tables.columns import TIME_UNITS, AnyArray, Int64Array, time_array
from ..tables.table import Table
from .link_training import LinkTrainingTable
from .training import Float64Array, TrainingTable

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
    as RelBench's graph builder does. Timestamp columns stay features (the
    time column too, when declared ``timestamp`` as ``get_stype_proposal``
    declares it): numbers in the graph's unit in ``x``, and PyTorch Frame's
    timestamp encoding in ``to_hetero_data(tensor_frame=True)``.
    Multi-category columns are taken by their values (lists of strings).

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
                kind = _stype_name(semantic)
                # The time column stays a feature when declared a timestamp,
                # as RelBench's graph builder keeps it.
                if column in roles and not (column == table.time_col and kind == "timestamp"):
                    continue
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


# RelBench's task types (``TaskType`` values) by what they become.
_ENTITY_TYPES = ("binary_classification", "regression", "multiclass_classification",
                 "multilabel_classification")
_LINK_TYPES = ("recommendation",)


def _task_type(task: Any) -> str:
    kind = str(getattr(getattr(task, "task_type", None), "value", getattr(task, "task_type", None)))
    if kind not in _ENTITY_TYPES + _LINK_TYPES:
        raise ValueError(
            f"{type(task).__name__} is a task of type {kind!r}, which task_tables does not take: "
            f"it takes {', '.join(_ENTITY_TYPES + _LINK_TYPES)}"
        )
    return kind


def _keys(values: Any) -> AnyArray:
    keys = np.asarray(values)
    if keys.dtype.kind == "f":  # whole numbers that pandas holds as floats
        keys = keys.astype(np.int64)
    return keys


def _labels(column: Any, kind: str, what: str) -> Float64Array:
    """float64 labels; a multilabel target (one list or array of 0/1 per
    row) becomes a matrix of one row per example."""
    if kind != "multilabel_classification":
        return np.asarray(column.to_numpy(), dtype=np.float64)
    rows = [np.asarray(row, dtype=np.float64).ravel() for row in column]
    widths = {row.size for row in rows}
    if len(widths) > 1:
        raise ValueError(f"{what}: multilabel targets of different lengths {sorted(widths)}")
    return np.stack(rows) if rows else np.zeros((0, 0), dtype=np.float64)


def _items(column: Any, item_keys: KeyMap, what: str) -> tuple[Int64Array, Int64Array]:
    """The offsets and items of a recommendation table's item lists (keys of
    the item table), each list's items as distinct increasing row positions."""
    lists = [np.asarray(row).ravel() if row is not None else np.zeros(0, np.int64) for row in column]
    counts = np.array([row.size for row in lists], dtype=np.int64)
    flat = _keys(np.concatenate(lists)) if lists and counts.sum() else np.zeros(0, np.int64)
    positions, missing = item_keys.lookup(flat) if flat.size else (flat, flat)
    if missing.size:
        raise ValueError(f"{what}: item {flat[missing[0]].item()!r} matches no row of the item table")
    offsets = np.zeros(counts.size + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    parts = [np.unique(positions[offsets[i] : offsets[i + 1]]) for i in range(counts.size)]
    np.cumsum([part.size for part in parts], out=offsets[1:])
    items = np.concatenate(parts).astype(np.int64) if parts else np.zeros(0, np.int64)
    return offsets, items


def task_tables(
    task: Any, *, time_unit: str = "s"
) -> tuple[TrainingTable, ...] | tuple[LinkTrainingTable, ...]:
    """The train, validation and test tables of a RelBench task.

    An entity task (binary or multiclass classification, regression,
    multilabel classification) gives ``TrainingTable``s of
    ``task.entity_table``: keys from ``task.entity_col``, cut-off times from
    ``task.time_col`` in ``time_unit`` (the graph's; a time finer than it is
    an error), labels from ``task.target_col`` as float64 (a matrix of one
    row per example for a multilabel task), and ``horizon`` the task's
    ``timedelta``. A recommendation task gives ``LinkTrainingTable``s from
    ``task.src_entity_table`` to ``task.dst_entity_table``: each example's
    items (``task.dst_entity_col``, keys of the item table) as the row
    positions of the item table in the task's database, which are the
    graph's node ids of ``from_relbench(task.get_db())``. The test table is
    read with its targets (``mask_input_cols=False``). Any other task type
    raises ValueError naming it.
    """
    if time_unit not in TIME_UNITS:
        raise ValueError(f"time_unit must be one of {', '.join(TIME_UNITS)}, got {time_unit!r}")
    kind = _task_type(task)
    window = np.asarray(task.timedelta.to_timedelta64())
    horizon = int(window.astype(f"timedelta64[{time_unit}]").astype(np.int64))
    # One database for the three splits; RelBench cuts it at the test
    # timestamp for training and validation labels itself.
    database = task.get_db(upto_test_timestamp=False)
    item_keys = None
    if kind in _LINK_TYPES:
        held = database.table_dict[task.dst_entity_table]
        item_keys = KeyMap.from_keys(_keys(held.df[held.pkey_col].to_numpy()), task.dst_entity_table)
    entity_parts: list[TrainingTable] = []
    link_parts: list[LinkTrainingTable] = []
    for split in ("train", "val", "test"):
        frame = task.get_table(split, mask_input_cols=False, db=database).df
        what = f"the {split} table of {type(task).__name__}"
        times = np.ascontiguousarray(time_array(
            np.asarray(frame[task.time_col].to_numpy()), time_unit, f"{what}.{task.time_col}"
        ), dtype=np.int64)
        if item_keys is not None:
            offsets, items = _items(frame[task.dst_entity_col], item_keys, f"{what}.{task.dst_entity_col}")
            link_parts.append(LinkTrainingTable(
                task.src_entity_table, task.dst_entity_table,
                _keys(frame[task.src_entity_col].to_numpy()), times, offsets, items, horizon,
                time_unit,
            ))
            continue
        labels = _labels(frame[task.target_col], kind, f"{what}.{task.target_col}")
        entity_parts.append(TrainingTable(
            task.entity_table, _keys(frame[task.entity_col].to_numpy()), times, labels, horizon,
            time_unit,
        ))
    return tuple(link_parts) if item_keys is not None else tuple(entity_parts)
