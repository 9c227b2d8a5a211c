"""A small shop database, generated from a fixed seed, and written to SQLite.

Six tables, times in seconds (TIMESTAMP columns in the SQLite file):

=============  ===========  =========================================  ============
table          primary key  foreign keys                               time
=============  ===========  =========================================  ============
customers      id           -                                          signed_up
products       sku (text)   -                                          none
product_tags   id           product_id -> products                     none
orders         id           customer_id -> customers                   placed_at
order_items    id           order_id -> orders, product_id -> products  placed_at
reviews        id           customer_id -> customers,                  written_at
                            product_id -> products
=============  ===========  =========================================  ============

Orders and reviews come after their customer's sign-up, and an order item
carries its order's time, as in a real log. Keys are not row positions
(customers start at 1001, products are SKU strings), so reading the file back
exercises the key mapping.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from rerozer_tables import Table
from rerozer_tables.tables.progress import progress_bar

DAY = 24 * 3600
START = 1_672_531_200  # 2023-01-01 00:00:00 UTC
SPAN = 730 * DAY
FIRST_CUSTOMER = 1001


@dataclass(frozen=True)
class Sizes:
    customers: int = 4_000
    products: int = 600
    orders: int = 40_000
    reviews: int = 12_000

    def scaled(self, factor: float) -> Sizes:
        return Sizes(*(max(1, int(round(n * factor))) for n in vars(self).values()))


def _after(rng: np.random.Generator, earliest: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """A time between each ``earliest`` and the end of the span, skewed towards it."""
    room = START + SPAN - earliest
    return earliest + (room * rng.beta(1.0, 2.0, size=earliest.size)).astype(np.int64)


CATEGORIES = 12


def make_tables(
    sizes: Sizes = Sizes(), seed: int = 0, tastes: float = 0.0, progress: bool | None = None
) -> dict[str, Table]:
    """The six tables, with their keys, times and a few other columns.

    ``progress`` shows a bar (its elapsed time) while they are drawn, as the
    library's stages do: by default in a terminal after a couple of seconds.

    ``tastes`` > 0 gives every product one of ``CATEGORIES`` categories (a
    ``category`` column of products) and every customer a favourite one:
    that share of the order items is then drawn among the products of the
    customer's favourite category (by popularity), the rest among all
    products. Without it products are drawn by popularity alone, the same
    for every customer; the other draws are the same either way.
    """
    with progress_bar(None, "make_tables", "table", progress):
        return _draw_tables(sizes, seed, tastes)


def _draw_tables(sizes: Sizes, seed: int, tastes: float) -> dict[str, Table]:
    rng = np.random.default_rng(seed)

    customer_time = START + rng.integers(0, SPAN * 3 // 4, size=sizes.customers)
    # A few busy customers and popular products, as in real shops.
    activity = rng.pareto(1.5, size=sizes.customers) + 1.0
    popularity = rng.pareto(1.2, size=sizes.products) + 1.0

    order_customer = rng.choice(sizes.customers, size=sizes.orders, p=activity / activity.sum())
    order_time = _after(rng, customer_time[order_customer])

    items_per_order = rng.integers(1, 5, size=sizes.orders)
    item_order = np.repeat(np.arange(sizes.orders), items_per_order)
    item_product = rng.choice(
        sizes.products, size=item_order.size, p=popularity / popularity.sum()
    )
    item_time = order_time[item_order]

    review_customer = rng.choice(sizes.customers, size=sizes.reviews, p=activity / activity.sum())
    review_product = rng.choice(
        sizes.products, size=sizes.reviews, p=popularity / popularity.sum()
    )
    review_time = _after(rng, customer_time[review_customer])

    tags_per_product = rng.integers(1, 7, size=sizes.products)
    tag_product = np.repeat(np.arange(sizes.products), tags_per_product)

    def ids(n: int, first: int = 1) -> npt.NDArray[np.int64]:
        return np.arange(first, first + n, dtype=np.int64)

    def when(seconds: npt.NDArray[np.int64]) -> npt.NDArray[np.datetime64]:
        return seconds.astype("datetime64[s]")

    category = None
    if tastes > 0:
        # Drawn after every other draw, so that the rest of the shop stays as it is.
        taste_rng = np.random.default_rng([seed, 1])
        category = taste_rng.integers(0, CATEGORIES, size=sizes.products)
        favourite = taste_rng.integers(0, CATEGORIES, size=sizes.customers)
        wanted = favourite[order_customer[item_order]]
        to_taste = taste_rng.random(item_order.size) < tastes
        for c in range(CATEGORIES):
            chosen = np.flatnonzero(to_taste & (wanted == c))
            members = np.flatnonzero(category == c)
            if chosen.size and members.size:
                weight = popularity[members] / popularity[members].sum()
                item_product[chosen] = taste_rng.choice(members, size=chosen.size, p=weight)

    customer_id = ids(sizes.customers, FIRST_CUSTOMER)
    order_id = ids(sizes.orders)
    sku = np.array([f"SKU-{i:05d}" for i in range(sizes.products)])
    return {
        "customers": Table(
            {"id": customer_id, "signed_up": when(customer_time)},
            primary_key="id", time_column="signed_up",
        ),
        "products": Table(
            {"sku": sku, "price": np.round(rng.lognormal(3.0, 0.8, size=sizes.products), 2),
             **({} if category is None else {"category": np.array([f"cat-{c}" for c in category])})},
            primary_key="sku",
        ),
        "product_tags": Table(
            {"id": ids(tag_product.size), "product_id": sku[tag_product],
             "tag": np.array([f"tag-{t}" for t in rng.integers(0, 40, size=tag_product.size)])},
            primary_key="id", foreign_keys={"product_id": "products"},
        ),
        "orders": Table(
            {"id": order_id, "customer_id": customer_id[order_customer],
             "placed_at": when(order_time)},
            primary_key="id", foreign_keys={"customer_id": "customers"}, time_column="placed_at",
        ),
        "order_items": Table(
            {"id": ids(item_order.size), "order_id": order_id[item_order],
             "product_id": sku[item_product], "quantity": rng.integers(1, 4, size=item_order.size),
             "placed_at": when(item_time)},
            primary_key="id", foreign_keys={"order_id": "orders", "product_id": "products"},
            time_column="placed_at",
        ),
        "reviews": Table(
            {"id": ids(sizes.reviews), "customer_id": customer_id[review_customer],
             "product_id": sku[review_product], "stars": rng.integers(1, 6, size=sizes.reviews),
             "written_at": when(review_time)},
            primary_key="id", foreign_keys={"customer_id": "customers", "product_id": "products"},
            time_column="written_at",
        ),
    }


def _sql_type(values: npt.NDArray[np.generic]) -> str:
    kind = values.dtype.kind
    return {"i": "INTEGER", "u": "INTEGER", "f": "REAL", "M": "TIMESTAMP"}.get(kind, "TEXT")


def _sql_values(values: npt.NDArray[np.generic]) -> list[object]:
    if values.dtype.kind == "M":
        # SQLite's own text form of a timestamp: 'YYYY-MM-DD HH:MM:SS'.
        text = np.datetime_as_string(values.astype("datetime64[s]"), unit="s")
        return list(np.char.replace(text, "T", " ").tolist())
    return list(values.tolist())


# Rows converted to Python values and inserted at a time: the writers hold
# one chunk of rows as Python objects, never a whole column.
CHUNK_ROWS = 100_000


def write_sqlite(tables: Mapping[str, Table], path: str | Path, progress: bool | None = None) -> None:
    """Write ``tables`` to a new SQLite file, with PRIMARY KEY and FOREIGN KEY
    constraints (enforced while inserting) and TIMESTAMP columns.

    Tables are written in the given order, so parents must come before their
    children; a foreign key refers to its parent's primary key. Rows are
    inserted ``CHUNK_ROWS`` at a time, so memory stays that of the tables.
    ``progress`` shows a bar over the rows as ``read_sqlite``'s does.
    """
    connection = sqlite3.connect(path)
    total = sum(table.num_rows for table in tables.values())
    with progress_bar(total, "write_sqlite", "row", progress) as bar:
        try:
            _write_sqlite(connection, tables, bar)
        finally:
            connection.close()


def _write_sqlite(connection: sqlite3.Connection, tables: Mapping[str, Table], bar: Any) -> None:
    """The tables into ``connection``, ``bar`` advanced by the rows of each chunk."""
    connection.execute("PRAGMA foreign_keys = ON")
    for name, table in tables.items():
        arrays = {column: np.asarray(values) for column, values in table.columns.items()}
        lines = []
        for column, values in arrays.items():
            primary = " PRIMARY KEY" if column == table.primary_key else ""
            not_null = " NOT NULL" if column == table.time_column else ""
            lines.append(f"{column} {_sql_type(values)}{primary}{not_null}")
        for column, parent in table.foreign_keys.items():
            lines.append(
                f"FOREIGN KEY ({column}) REFERENCES {parent} ({tables[parent].primary_key})"
            )
        connection.execute(f"CREATE TABLE {name} (\n  " + ",\n  ".join(lines) + "\n)")
        marks = ", ".join("?" * len(arrays))
        for start in range(0, table.num_rows, CHUNK_ROWS):
            columns = [_sql_values(values[start : start + CHUNK_ROWS]) for values in arrays.values()]
            connection.executemany(f"INSERT INTO {name} VALUES ({marks})", zip(*columns))
            bar.set_postfix_str(name, refresh=False)
            bar.update(len(columns[0]) if columns else 0)
    connection.commit()


# Column types of the server databases, by numpy kind: names that PostgreSQL
# and DuckDB both know.
_SERVER_TYPES = {"i": "BIGINT", "u": "BIGINT", "f": "DOUBLE PRECISION", "M": "TIMESTAMP"}


def _create_statements(tables: Mapping[str, Table]) -> list[tuple[str, str]]:
    """(table name, CREATE TABLE statement) with primary and foreign keys."""
    statements = []
    for name, table in tables.items():
        lines = []
        for column, values in table.columns.items():
            primary = " PRIMARY KEY" if column == table.primary_key else ""
            not_null = " NOT NULL" if column == table.time_column else ""
            sql_type = _SERVER_TYPES.get(np.asarray(values).dtype.kind, "TEXT")
            lines.append(f"{column} {sql_type}{primary}{not_null}")
        for column, parent in table.foreign_keys.items():
            lines.append(f"FOREIGN KEY ({column}) REFERENCES {parent} ({tables[parent].primary_key})")
        statements.append((name, f"CREATE TABLE {name} (\n  " + ",\n  ".join(lines) + "\n)"))
    return statements


def _arrow_table(table: Table, start: int = 0, stop: int | None = None) -> Any:
    """Rows ``start:stop`` of ``table`` as a pyarrow Table."""
    import pyarrow as pa

    arrays = {}
    for column, values in table.columns.items():
        array = np.asarray(values)[start:stop]
        if array.dtype.kind == "M":
            array = array.astype("datetime64[us]")
        arrays[column] = pa.array(array)
    return pa.table(arrays)


def write_postgres(tables: Mapping[str, Table], uri: str) -> None:
    """Write ``tables`` into the PostgreSQL database at ``uri`` (through the
    ADBC driver's bulk COPY), with the keys and types of ``write_sqlite``;
    parents must come before their children."""
    import adbc_driver_postgresql.dbapi as postgres

    with postgres.connect(uri) as connection, connection.cursor() as cursor:
        for name, statement in _create_statements(tables):
            cursor.execute(statement)
            cursor.adbc_ingest(name, _arrow_table(tables[name]), mode="append")
        connection.commit()


def write_duckdb(tables: Mapping[str, Table], path: str | Path) -> None:
    """Write ``tables`` into a new DuckDB file, as ``write_postgres`` does."""
    import duckdb

    connection = duckdb.connect(str(path))
    try:
        for name, statement in _create_statements(tables):
            connection.execute(statement)
            connection.register("incoming", _arrow_table(tables[name]))
            connection.execute(f"INSERT INTO {name} SELECT * FROM incoming")
            connection.unregister("incoming")
    finally:
        connection.close()


def write_parquet(
    tables: Mapping[str, Table], folder: str | Path, *, rows_per_part: int | None = None
) -> None:
    """Write each table to ``folder/NAME.parquet`` (Parquet holds no keys),
    ``CHUNK_ROWS`` rows (one row group) at a time; with ``rows_per_part``,
    to a folder ``folder/NAME/`` of part files ``part-00000.parquet``, ...
    of at most that many rows each, as tools that write large tables in
    pieces do (``read_parquet`` reads either)."""
    import pyarrow.parquet as parquet

    root = Path(folder)
    root.mkdir(parents=True, exist_ok=True)
    for name, table in tables.items():
        if rows_per_part is None:
            parts = [(root / f"{name}.parquet", 0, table.num_rows)]
        else:
            (root / name).mkdir(exist_ok=True)
            starts = range(0, max(table.num_rows, 1), rows_per_part)
            parts = [(root / name / f"part-{i:05d}.parquet", start, min(start + rows_per_part, table.num_rows))
                     for i, start in enumerate(starts)]
        for path, first, last in parts:
            writer = None
            try:
                for start in range(first, max(last, first + 1), CHUNK_ROWS):
                    chunk = _arrow_table(table, start, min(start + CHUNK_ROWS, last))
                    if writer is None:
                        writer = parquet.ParquetWriter(path, chunk.schema)
                    writer.write_table(chunk)
            finally:
                if writer is not None:
                    writer.close()


def training_table(
    customer_time: npt.ArrayLike, num_cutoffs: int = 6, seed: int = 0
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """(customer, cutoff time) pairs: at each monthly cutoff of the last half year,
    every customer who had signed up by then, in a shuffled order."""
    times = np.asarray(customer_time, dtype=np.int64)
    cutoffs = START + SPAN - DAY * 30 * np.arange(num_cutoffs, 0, -1, dtype=np.int64)
    nodes, seed_times = [], []
    for cutoff in cutoffs:
        members = np.flatnonzero(times <= cutoff)
        nodes.append(members)
        seed_times.append(np.full(members.size, cutoff, dtype=np.int64))
    node = np.concatenate(nodes).astype(np.int64)
    time = np.concatenate(seed_times)
    order = np.random.default_rng(seed).permutation(node.size)
    return np.ascontiguousarray(node[order]), np.ascontiguousarray(time[order])


Counts = dict[str, list[int]]
Offsets = dict[str, list[list[int | None]]]


def customer_request(num_hops: int = 3) -> tuple[Counts, Offsets]:
    """``num_neighbors`` and ``sampling_time_offsets`` for customer seeds.

    Timed sources are taken most recent first (``num_neighbors``) or by window
    (reviews of the last 90 days); untimed sources (a product's tags) are drawn
    at random.
    """
    def counts(*per_hop: int) -> list[int]:
        return list(per_hop[:num_hops]) + [0] * max(0, num_hops - len(per_hop))

    num_neighbors = {
        "product_tags__product_id__products": counts(0, 2, 2),
        "products__rev_product_id__product_tags": counts(0, 0, 0),
        "orders__customer_id__customers": counts(8, 0, 0),
        "customers__rev_customer_id__orders": counts(0, 1, 0),
        "order_items__order_id__orders": counts(0, -1, 0),
        "orders__rev_order_id__order_items": counts(0, 0, 1),
        "order_items__product_id__products": counts(0, 0, 3),
        "products__rev_product_id__order_items": counts(0, 0, 1),
        "customers__rev_customer_id__reviews": counts(0, 1, 0),
        "reviews__product_id__products": counts(0, 2, 2),
        "products__rev_product_id__reviews": counts(0, 1, 0),
    }
    sampling_time_offsets: Offsets = {
        "reviews__customer_id__customers": [[-90 * DAY, 0]] * num_hops,
    }
    return num_neighbors, sampling_time_offsets
