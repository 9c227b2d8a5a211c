"""Where ``read_parquet`` finds a table: one file, or a folder of part files.

A table is ``NAME.parquet``, or a folder ``NAME`` (or ``NAME.parquet``)
holding part files, as tools that write a table in pieces lay them out,
possibly partitioned into ``column=value`` folders::

    orders/part-00000.parquet
    orders/part-00001.parquet
    reviews/year=2024/part-0.parquet      -> column year = 2024
    reviews/year=2025/part-0.parquet

Part files are read in the order of their paths, and a partition folder's
``column=value`` becomes a column of every row under it (integers when every
value of it is one, else strings). Names starting with ``_`` or ``.``
(``_SUCCESS``, ``_metadata``, checksum files) are not parts.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

from .arrow import require

READER = "read_parquet"


def _is_part(path: Path, root: Path) -> bool:
    hidden = any(part.startswith(("_", ".")) for part in path.relative_to(root).parts)
    return path.suffix == ".parquet" and path.is_file() and not hidden


def part_files(folder: Path) -> list[Path]:
    """The part files of a table folder, in the order of their paths."""
    return sorted(path for path in folder.rglob("*.parquet") if _is_part(path, folder))


def table_sources(root: Path) -> dict[str, Path]:
    """Table name -> its file or folder of parts, directly in ``root``.

    Raises ValueError when two entries give one name (``orders.parquet``
    beside ``orders/``).
    """
    sources: dict[str, Path] = {}
    for path in sorted(root.iterdir()):
        if path.name.startswith(("_", ".")):
            continue
        if path.is_file() and path.suffix == ".parquet":
            name = path.stem
        elif path.is_dir() and part_files(path):
            name = path.stem if path.suffix == ".parquet" else path.name
        else:
            continue
        if name in sources:
            raise ValueError(f"{root} holds two tables named {name}: {sources[name].name} and {path.name}")
        sources[name] = path
    return sources


def _dataset(path: Path) -> Any:
    dataset = require("pyarrow.dataset", "parquet", READER)
    partitioning = dataset.HivePartitioning.discover(infer_dictionary=False)
    return dataset.dataset(
        [str(p) for p in part_files(path)], format="parquet", partitioning=partitioning,
        partition_base_dir=str(path),
    )


def source_schema(path: Path) -> Any:
    """The Arrow schema of a table's file or folder (partition columns last)."""
    if path.is_file():
        return require("pyarrow.parquet", "parquet", READER).read_schema(path)
    return _dataset(path).schema


def read_source(path: Path) -> Any:
    """A table's file or folder as one Arrow table, parts in path order."""
    if path.is_file():
        return require("pyarrow.parquet", "parquet", READER).read_table(path)
    return _dataset(path).to_table()
