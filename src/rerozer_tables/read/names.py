"""How each database compares the names of its tables and columns.

SQLite and DuckDB ignore the case of names (of ASCII letters): ``Users``,
``users`` and ``USERS`` are one table, and a database cannot hold two of
them. PostgreSQL keeps a quoted name exactly, so ``"Users"`` and ``users``
are two tables, as ``Users.parquet`` and ``users.parquet`` are two files.
Every reader finds the tables and columns that keys, foreign keys and
options name through its database's ``NameRule``, so that a name never
matches a table or column that the database itself tells apart.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass

_ASCII_UPPER = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
_FOLD = str.maketrans(_ASCII_UPPER, _ASCII_UPPER.lower())


@dataclass(frozen=True)
class NameRule:
    """The name rule of one kind of database: ``ignores_case`` for one whose
    names compare ignoring the case of ASCII letters."""

    database: str
    ignores_case: bool

    def same(self, a: str, b: str) -> bool:
        """Whether the database takes the two names for one."""
        return a == b or (self.ignores_case and a.translate(_FOLD) == b.translate(_FOLD))

    def find(self, written: str, present: Iterable[str], what: str = "name") -> str | None:
        """The name in ``present`` that ``written`` names, or None.

        A name written exactly as it is present is that one. Otherwise, in
        a database that ignores case, the one name equal to it but for case;
        in one that keeps case, a name written by a user (an option, a
        Parquet foreign key) may still differ in case from the one table or
        column it names, and ValueError naming ``what`` is raised when
        several differ only in case, as the choice would be a guess.
        """
        names = list(present)
        if written in names:
            return written
        folded = written.translate(_FOLD)
        close = [name for name in names if name.translate(_FOLD) == folded]
        if len(close) > 1 and not self.ignores_case:
            listed = ", ".join(map(repr, close))
            raise ValueError(
                f"{what} {written!r}, which matches no name exactly, but {listed} alike but for "
                f"case: {self.database} tells them apart, so write the name exactly"
            )
        return close[0] if close else None


SQLITE = NameRule("SQLite", ignores_case=True)
DUCKDB = NameRule("DuckDB", ignores_case=True)
POSTGRES = NameRule("PostgreSQL", ignores_case=False)
PARQUET = NameRule("Parquet", ignores_case=False)
