"""Rows per second and peak memory of the table readers, against pandas.

    .venv/bin/python bench/readers.py [--scale 7] [--repeats 5] [--clients]

Writes the demo's shop (examples/database.py, ``--scale`` times its default
size: 7 gives about 1.1 million rows in six tables) into an SQLite file, a
PostgreSQL server started for the run (tests/postgres_server.py, on a unix
socket), a DuckDB file and a folder of Parquet files. Then each reader reads
every table, beside the pandas call a user would write instead
(``pandas.read_sql("SELECT * FROM t", connection)`` per table; for Parquet,
``pandas.read_parquet``). Every measurement runs in a fresh process, the
cases taking turns repeat by repeat, and prints the median seconds, rows per
second, the ratio to pandas, and the peak memory the read added (resident
set high-water mark, reset through /proc/self/clear_refs, minus the
resident set before the read) against the bytes of the arrays it returned.

``--clients`` also times the PostgreSQL clients that read_postgres could
be built on, fetching every table in one process: the ADBC driver into Arrow,
connectorx into Arrow (when installed), and psycopg's binary COPY into rows.

Linux only. Not part of the tests.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "tests"))

CASES = [
    ("sqlite", "read_sqlite"), ("sqlite", "pandas"),
    ("postgres", "read_postgres"), ("postgres", "pandas"), ("postgres", "pandas-adbc"),
    ("duckdb", "read_duckdb"), ("duckdb", "pandas"),
    ("parquet", "read_parquet"), ("parquet", "pandas"),
]


def status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def array_bytes(value: Any) -> int:
    """Bytes of the arrays a reader returned (numpy arrays, pyarrow arrays)."""
    nbytes = getattr(value, "nbytes", None)
    if isinstance(nbytes, int):
        return nbytes
    if isinstance(value, dict):
        return sum(array_bytes(v) for v in value.values())
    return sum(array_bytes(v) for v in getattr(value, "columns", {}).values())


def worker(source: str, how: str, where: dict[str, Any]) -> dict[str, float]:
    """One timed read in this process: seconds, peak KiB added, array bytes."""
    import pandas as pd

    import rerozer_tables as rt

    names, order = where["names"], where["names"]
    keys, links = where["keys"], where["links"]
    connection: Any = None
    if how == "pandas" and source == "sqlite":
        import sqlite3

        connection = sqlite3.connect(where["sqlite"])
    elif how == "pandas" and source == "postgres":
        import psycopg

        connection = psycopg.connect(where["postgres"])
    elif how == "pandas-adbc":
        import adbc_driver_postgresql.dbapi as adbc

        connection = adbc.connect(where["postgres"])
    elif how == "pandas" and source == "duckdb":
        import duckdb

        connection = duckdb.connect(where["duckdb"], read_only=True)
    readers = {
        "read_sqlite": lambda: rt.read_sqlite(where["sqlite"]),
        "read_postgres": lambda: rt.read_postgres(where["postgres"]),
        "read_duckdb": lambda: rt.read_duckdb(where["duckdb"], tables=order),
        "read_parquet": lambda: rt.read_parquet(
            where["parquet"], tables=order, primary_keys=keys, foreign_keys=links
        ),
    }

    def read() -> Any:
        if how in readers:
            return readers[how]()
        if source == "parquet":
            return {n: pd.read_parquet(Path(where["parquet"]) / f"{n}.parquet") for n in names}
        with warnings.catch_warnings():  # pandas warns about DBAPI connections it does not test
            warnings.simplefilter("ignore", UserWarning)
            return {n: pd.read_sql(f"SELECT * FROM {n}", connection) for n in names}

    # Every library any case uses is loaded before the measurement, so that
    # the peak counts the data read, not the code loaded.
    import adbc_driver_postgresql.dbapi  # noqa: F401
    import duckdb  # noqa: F401
    import pyarrow.parquet  # noqa: F401

    Path("/proc/self/clear_refs").write_text("5")
    before = status_kib("VmRSS")
    start = time.perf_counter()
    result = read()
    seconds = time.perf_counter() - start
    peak = status_kib("VmHWM") - before
    if how.startswith("pandas"):
        size = sum(int(frame.memory_usage(deep=True).sum()) for frame in result.values())
    else:
        size = sum(array_bytes(table) for table in result.values())
    return {"seconds": seconds, "peak_kib": peak, "array_bytes": size}


def clients(uri: str, names: list[str], repeats: int) -> None:
    """Median seconds to fetch every table with each PostgreSQL client."""
    import urllib.parse

    import adbc_driver_postgresql.dbapi as adbc
    import psycopg

    def with_adbc() -> None:
        with adbc.connect(uri) as connection, connection.cursor() as cursor:
            for name in names:
                cursor.execute(f"SELECT * FROM {name}")
                cursor.fetch_arrow_table()

    def with_copy() -> None:
        with psycopg.connect(uri) as connection, connection.cursor(binary=True) as cursor:
            for name in names:
                with cursor.copy(f"COPY {name} TO STDOUT (FORMAT BINARY)") as copy:
                    list(copy.rows())

    runs = {"ADBC driver -> Arrow": with_adbc, "psycopg binary COPY -> rows": with_copy}
    try:
        import connectorx

        # connectorx takes a socket folder as the URI's host, percent-encoded.
        parts = urllib.parse.urlsplit(uri)
        query = dict(urllib.parse.parse_qsl(parts.query))
        cx_uri = (
            f"postgresql://{parts.username}:{parts.password}@{urllib.parse.quote(query['host'], safe='')}"
            f":{query['port']}{parts.path}"
        )
        runs["connectorx -> Arrow"] = lambda: [
            connectorx.read_sql(cx_uri, f"SELECT * FROM {name}", return_type="arrow") for name in names
        ]
    except ImportError:
        print("connectorx is not installed: left out")
    times: dict[str, list[float]] = {label: [] for label in runs}
    for _ in range(repeats):
        for label, run in runs.items():
            start = time.perf_counter()
            run()
            times[label].append(time.perf_counter() - start)
    fastest = min(statistics.median(t) for t in times.values())
    print(f"\nPostgreSQL clients, every table, median of {repeats} (in one process, taking turns)")
    for label, measured in times.items():
        median = statistics.median(measured)
        print(f"  {label:30s} {median:7.3f} s   {median / fastest:5.2f} x the fastest")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=7.0)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--clients", action="store_true")
    parser.add_argument("--worker", nargs=3, metavar=("SOURCE", "HOW", "JSON"), help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker:
        source, how, where = options.worker
        print(json.dumps(worker(source, how, json.loads(where))))
        return

    import database
    from postgres_server import postgres_server

    tables = database.make_tables(database.Sizes().scaled(options.scale))
    rows = sum(table.num_rows for table in tables.values())
    print(f"The shop at scale {options.scale}: {rows:,} rows in {len(tables)} tables")
    with tempfile.TemporaryDirectory(prefix="rerozer-readers-") as folder, postgres_server(port=5440) as server:
        where = {
            "sqlite": f"{folder}/shop.sqlite", "duckdb": f"{folder}/shop.duckdb",
            "parquet": f"{folder}/parquet", "postgres": server.uri(), "names": list(tables),
            "keys": {name: table.primary_key for name, table in tables.items()},
            "links": {name: table.foreign_keys for name, table in tables.items()},
        }
        database.write_sqlite(tables, where["sqlite"])
        database.write_duckdb(tables, where["duckdb"])
        database.write_parquet(tables, where["parquet"])
        database.write_postgres(tables, server.uri())
        if options.clients:
            clients(server.uri(), list(tables), options.repeats)
        results: dict[tuple[str, str], list[dict[str, float]]] = {case: [] for case in CASES}
        for repeat in range(options.repeats):
            # Alternate the order, so that load from others falls on all alike.
            for case in CASES if repeat % 2 == 0 else CASES[::-1]:
                done = subprocess.run(
                    [sys.executable, __file__, "--worker", *case, json.dumps(where)],
                    capture_output=True, text=True, check=True,
                )
                results[case].append(json.loads(done.stdout))
    print(f"\nEvery table, median of {options.repeats} runs, each in a fresh process")
    print(f"  {'source':9s} {'reader':14s} {'seconds':>8s} {'rows/s':>12s} {'vs pandas':>10s}"
          f" {'peak MiB':>9s} {'arrays MiB':>11s} {'peak/arrays':>12s}")
    for source, how in CASES:
        measured = results[(source, how)]
        seconds = statistics.median(m["seconds"] for m in measured)
        pandas_seconds = statistics.median(m["seconds"] for m in results[(source, "pandas")])
        peak = statistics.median(m["peak_kib"] for m in measured) / 1024
        arrays = statistics.median(m["array_bytes"] for m in measured) / 2**20
        print(f"  {source:9s} {how:14s} {seconds:8.3f} {rows / seconds:12,.0f} {pandas_seconds / seconds:9.2f}x"
              f" {peak:9.1f} {arrays:11.1f} {peak / arrays:11.2f}x")
    print("\nvs pandas: pandas' seconds / these seconds (above 1: faster than pandas)")


if __name__ == "__main__":
    main()
