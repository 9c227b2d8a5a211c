"""``Table``: one relational table as the graph builder takes it."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from .columns import TIME_UNITS, AnyArray, BoolArray, column_array


def _named_columns(columns: object, primary_key: str | None) -> dict[str, Any]:
    """Name -> column of a mapping, a DataFrame or a pyarrow Table."""
    if isinstance(columns, Mapping):
        return dict(columns)
    frame: Any = columns
    if hasattr(frame, "column_names") and hasattr(frame, "column"):  # pyarrow.Table
        return {str(name): frame.column(name) for name in frame.column_names}
    if hasattr(frame, "columns") and hasattr(frame, "__getitem__"):  # pandas.DataFrame
        named = {str(name): frame[name] for name in frame.columns}
        # A primary key kept as the index, as after df.set_index("id").
        index: Any = getattr(frame, "index", None)
        if primary_key is not None and primary_key not in named:
            if getattr(index, "name", None) == primary_key:
                named[primary_key] = index.to_series()
        return named
    raise TypeError(
        "columns must be a mapping of column name to array-like, a pandas DataFrame "
        f"or a pyarrow Table, got {type(columns).__name__}"
    )


@dataclass(frozen=True, init=False)
class Table:
    """One table: its columns, primary key, foreign keys and time column.

    Parameters
    ----------
    columns
        A mapping of column name to array-like (lists, numpy arrays, pandas
        Series, pyarrow arrays), a pandas DataFrame (a primary key may be its
        named index) or a pyarrow Table. ``build_graph`` reads the keys, the
        time and the feature columns.
    primary_key
        The column whose values identify rows: integers or strings, unique,
        not null. Without one, rows are identified by their position
        0, 1, 2, ... and foreign keys into this table hold positions.
    foreign_keys
        Child column -> parent table name. A value refers to the parent row
        with that primary-key value; a null refers to none and gives no edge.
    time_column
        The column holding each row's time: integers (counts of
        ``time_unit``, or of the graph's time unit, since 1970-01-01 UTC),
        datetime64 of any unit, or ISO-8601 strings. A table without one
        takes its times from its timed parents (see ``build_graph``), or
        has none and is sampled at random.
    time_unit
        The unit of integer times in ``time_column`` (``"s"`` for epoch
        seconds, ``"ms"``, ..., ``"D"``); ``build_graph`` converts them
        exactly to the graph's unit. None: they are in the graph's unit.
    features
        The feature columns (see ``rerozer_tables.graph.features``): by default
        (None) every column other than the primary key, the foreign keys and
        the time column; ``[]`` keeps none.
    categorical, numerical, text
        Feature columns declared categorical (integers or strings), numerical
        (numbers, booleans, timestamps) or text (strings, embedded by the
        ``text_embedder`` given to ``build_graph``). A declaration overrides
        the type inferred for the column (``rerozer_tables.inference``:
        integers whose every value occurs in at least 5 rows, and strings,
        are categorical; lists of strings are multi-category columns).

    Examples
    --------
    >>> import numpy as np
    >>> orders = Table(
    ...     {"id": [10, 11], "user_id": ["u1", None], "at": ["2024-01-02", "2024-01-03"]},
    ...     primary_key="id", foreign_keys={"user_id": "users"}, time_column="at",
    ... )
    >>> orders.num_rows
    2
    """

    columns: dict[str, Any] = field(repr=False)
    primary_key: str | None
    foreign_keys: dict[str, str]
    time_column: str | None
    time_unit: str | None
    features: list[str] | None = None
    categorical: list[str] = field(default_factory=list)
    numerical: list[str] = field(default_factory=list)
    text: list[str] = field(default_factory=list)
    num_rows: int = field(init=False)

    def __init__(
        self,
        columns: object,
        primary_key: str | None = None,
        foreign_keys: Mapping[str, str] | None = None,
        time_column: str | None = None,
        time_unit: str | None = None,
        *,
        features: Sequence[str] | None = None,
        categorical: Sequence[str] = (),
        numerical: Sequence[str] = (),
        text: Sequence[str] = (),
    ) -> None:
        named = _named_columns(columns, primary_key)
        keys = dict(foreign_keys or {})
        for role, name in (
            [("primary_key", primary_key), ("time_column", time_column)]
            + [("foreign_keys", column) for column in keys]
        ):
            if name is not None and name not in named:
                known = ", ".join(map(repr, named)) or "none"
                raise ValueError(f"{role} names the column {name!r}, which is not one of {known}")
        roles = {primary_key: "the primary key", time_column: "the time column"}
        roles.update({column: "a foreign key" for column in keys})
        declarations = (("categorical", categorical), ("numerical", numerical), ("text", text))
        for role, names in (("features", features or ()), *declarations):
            for name in names:
                if name not in named:
                    known = ", ".join(map(repr, named)) or "none"
                    raise ValueError(f"{role} names the column {name!r}, which is not one of {known}")
                # The time column is a feature too when features= names it (a
                # row's own date as input, as RelBench's graphs have it).
                if name in roles and not (role == "features" and name == time_column):
                    raise ValueError(f"{role} names {name!r}, which is {roles[name]}, not a feature")
        declared: dict[str, str] = {}
        for role, names in declarations:
            for name in names:
                if features is not None and name not in features:
                    raise ValueError(f"{role} names {name!r}, which is not one of the features")
                if declared.setdefault(name, role) != role:
                    raise ValueError(f"{role} names {name!r}, which {declared[name]} names too")
        lengths = {name: len(column) for name, column in named.items()}
        if len(set(lengths.values())) > 1:
            listed = ", ".join(f"{name} {length}" for name, length in lengths.items())
            raise ValueError(f"columns differ in length: {listed}")
        object.__setattr__(self, "columns", named)
        object.__setattr__(self, "primary_key", primary_key)
        object.__setattr__(self, "foreign_keys", keys)
        if time_unit is not None and time_column is None:
            raise ValueError(f"time_unit {time_unit!r} is given without a time_column")
        if time_unit is not None and time_unit not in TIME_UNITS:
            raise ValueError(f"time_unit must be one of {', '.join(TIME_UNITS)}, got {time_unit!r}")
        object.__setattr__(self, "time_column", time_column)
        object.__setattr__(self, "time_unit", time_unit)
        object.__setattr__(self, "features", None if features is None else list(features))
        object.__setattr__(self, "categorical", list(categorical))
        object.__setattr__(self, "numerical", list(numerical))
        object.__setattr__(self, "text", list(text))
        object.__setattr__(self, "num_rows", next(iter(lengths.values()), 0))

    def column(self, name: str) -> tuple[AnyArray, BoolArray | None]:
        """The column as a numpy array, and its null mask (None without nulls)."""
        try:
            return column_array(self.columns[name])
        except ValueError as error:
            raise ValueError(f"column {name!r} {error}") from None
