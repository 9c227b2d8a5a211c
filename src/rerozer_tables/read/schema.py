"""What every reader knows of a schema: columns, keys, foreign keys and the
time column of each table, and the rules that turn them into ``Table`` options.

Names compare by the database's own rule (``rerozer_tables.read.names``):
ignoring case in SQLite and DuckDB, exactly in PostgreSQL and Parquet.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

from ..tables.columns import TIME_UNITS
from .names import SQLITE, NameRule

# Declared column types that mark a time column (the first word, any case).
TIME_TYPES = ("DATE", "DATETIME", "TIMESTAMP")


# A time column as read_sqlite takes it: a column name, or a column name with
# the unit of the integers it holds.
TimeColumn = str | tuple[str, str] | None


@dataclass
class _Schema:
    columns: list[tuple[str, str]]  # (name, declared type), in table order
    primary_key: list[str]
    # (child columns, parent table, parent columns: None where the key names
    # the parent's primary key implicitly), in the order they were declared
    foreign_keys: list[tuple[list[str], str, list[str | None]]]
    names: NameRule = SQLITE  # how the database compares names

    def column(self, name: str) -> str | None:
        """The column's name as declared, found by the database's name rule."""
        return self.names.find(name, (column for column, _ in self.columns), "the column")


def _is_time_type(declared: str) -> bool:
    words = declared.split("(")[0].split()
    return bool(words) and words[0].upper() in TIME_TYPES


def _time_column(
    table: str, schema: _Schema, time_columns: Mapping[str, TimeColumn]
) -> tuple[str | None, str | None]:
    """The table's time column and the unit of its integers (None: the graph's)."""
    if table in time_columns:
        chosen = time_columns[table]
        if chosen is None:
            return None, None
        name, unit = (chosen, None) if isinstance(chosen, str) else chosen
        column = schema.column(name)
        if column is None:
            raise ValueError(f"time_columns names {table}.{name}, which does not exist")
        return column, unit
    timed = [name for name, declared in schema.columns if _is_time_type(declared)]
    if len(timed) > 1:
        raise ValueError(
            f"{table} has several time columns ({', '.join(timed)}): "
            f"choose one with time_columns={{{table!r}: ...}}"
        )
    return (timed[0] if timed else None), None


def _checked_time_columns(
    names: list[str], time_columns: Mapping[str, object] | None, rule: NameRule = SQLITE
) -> dict[str, TimeColumn]:
    """``time_columns`` keyed by the tables' declared names, its values checked."""
    checked: dict[str, TimeColumn] = {}
    for table, chosen in (time_columns or {}).items():
        found = rule.find(str(table), names, "time_columns names the table")
        if found is None:
            raise ValueError(f"time_columns names the table {table!r}, which does not exist")
        if not (
            chosen is None
            or isinstance(chosen, str)
            or (
                isinstance(chosen, tuple) and len(chosen) == 2
                and isinstance(chosen[0], str) and isinstance(chosen[1], str)
            )
        ):
            raise TypeError(
                f"time_columns[{table!r}] must be a column name, (column name, unit) or None, "
                f"got {chosen!r}"
            )
        if isinstance(chosen, tuple) and chosen[1] not in TIME_UNITS:
            raise ValueError(
                f"time_columns[{table!r}]: the unit must be one of {', '.join(TIME_UNITS)}, "
                f"got {chosen[1]!r}"
            )
        checked[found] = chosen
    return checked


def _link_keys(
    names: list[str], schemas: Mapping[str, _Schema], rule: NameRule = SQLITE
) -> tuple[dict[str, str | None], dict[str, dict[str, str]]]:
    """The key column of each table, and its foreign keys as child column ->
    parent table, checked against the parents' keys; names are found by
    ``rule``."""
    # The key column of each table: its one primary-key column, or for a
    # table without one, the column that foreign keys refer to.
    key_of = {name: s.primary_key[0] if len(s.primary_key) == 1 else None for name, s in schemas.items()}
    # Child column -> parent table of each table, by the names they were declared with.
    links: dict[str, dict[str, str]] = {name: {} for name in names}
    for child, schema in schemas.items():
        for child_columns, written_parent, referred in schema.foreign_keys:
            if len(child_columns) > 1:
                raise ValueError(
                    f"{child}: the foreign key ({', '.join(child_columns)}) -> {written_parent} has "
                    "several columns; composite keys are not supported: give "
                    f"{written_parent} a single-column surrogate key (an INTEGER PRIMARY KEY) and "
                    f"refer to it from one column of {child}"
                )
            column = schema.column(child_columns[0]) or child_columns[0]
            parent = rule.find(written_parent, names, f"{child}.{column} refers to the table")
            if parent is None:
                raise ValueError(f"{child}.{column} refers to the unknown table {written_parent!r}")
            target = key_of[parent]
            if referred[0] is not None:
                target = schemas[parent].column(referred[0])
                if target is None:
                    raise ValueError(
                        f"{child}.{column} refers to {parent}.{referred[0]}, which is not a "
                        f"column of {parent}"
                    )
            if target is None:
                raise ValueError(f"{child}.{column} refers to {parent}, which has no single-column key")
            if key_of[parent] is None and not schemas[parent].primary_key:
                key_of[parent] = target
            if target != key_of[parent]:
                raise ValueError(
                    f"{child}.{column} refers to {parent}.{target}, but the key of {parent} "
                    f"is {key_of[parent]}"
                )
            links[child][column] = parent
    return key_of, links
