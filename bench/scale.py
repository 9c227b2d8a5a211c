"""Every stage of the pipeline on the demo shop at several scales: CPU, wall
time and peak memory per stage, and how each grows with the data.

    .venv/bin/python bench/scale.py [--scales 10 50] [--repeats 1] [--no-relbench] [--no-rows] [--terminal]

For each scale, the demo's shop (examples/database.py, ``--scale`` times its
default size: 10 gives about 1.6 million rows in six tables, 50 about 8
million) is generated and written into an SQLite file and a folder of
Parquet files (the "write" stages). Then, in fresh processes:

* ours: ``read_sqlite`` -> ``build_graph`` -> ``training_table`` ->
  ``link_training_table`` -> ``save_graph`` -> ``load_graph`` ->
  ``check_graph`` -> a ``Loader`` and its first batch -> another
  ``Loader`` of the same graph and its first batch;
* ``read_sqlite`` row by row through Python's sqlite3 module, the path it
  takes without the ADBC SQLite driver (or from a connection), against
  the Arrow path of "ours" (``--no-rows`` leaves it out);
* ``read_parquet`` of the same tables, and, as the floor of any reader
  built on Python's sqlite3 module, the SQLite file's rows fetched as
  Python tuples and dropped;
* when relbench is installed, RelBench's path on the same SQLite file: its
  ``Database`` from DataFrames read with pandas (times parsed, keys
  renumbered as its datasets renumber them), the same two task tables in
  DuckDB SQL as its tasks write them, and ``make_pkey_fkey_graph``.

With ``--terminal``, "ours" runs once more in a pseudo-terminal with its
progress bars as they are by default, and the longest time each stage
wrote nothing to it is printed.

The cases take turns repeat by repeat (interleaved), and each stage's
median is printed. Per stage: CPU seconds of the process (every thread),
wall seconds, and the peak resident set during the stage (the high-water
mark, reset through /proc/self/clear_refs just before it), both absolute
and as added to the resident set the stage started with. "arrays" is the
bytes of the arrays ``read_sqlite`` returned. The growth exponent between
two scales a < b is log(cost_b / cost_a) / log(b / a): 1 is linear.

Linux only. Not part of the tests.
"""

from __future__ import annotations

import argparse
import inspect
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

CUTOFFS = ["2024-08-01", "2024-09-01", "2024-10-01", "2024-11-01"]
HORIZON = 30 * 86400


def status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


class Stages:
    """Measures named stages of one process."""

    def __init__(self) -> None:
        self.records: dict[str, dict[str, float]] = {}

    @contextmanager
    def stage(self, name: str) -> Iterator[None]:
        Path("/proc/self/clear_refs").write_text("5")  # reset the high-water mark
        before = status_kib("VmRSS")
        cpu, wall, start = time.process_time(), time.perf_counter(), time.monotonic()
        yield
        self.records[name] = {
            "start": start,
            "cpu": time.process_time() - cpu,
            "wall": time.perf_counter() - wall,
            "peak_mib": status_kib("VmHWM") / 1024,
            "added_mib": (status_kib("VmHWM") - before) / 1024,
            "before_mib": before / 1024,
        }


def array_bytes(tables: Any) -> int:
    import numpy as np

    total = 0
    for table in tables.values():
        for column in table.columns.values():
            total += int(np.asarray(column).nbytes) if not hasattr(column, "nbytes") else int(column.nbytes)
    return total


def write(scale: float, folder: Path) -> dict[str, Any]:
    from database import Sizes, make_tables, write_parquet, write_sqlite

    stages = Stages()
    with stages.stage("make_tables"):
        tables = make_tables(Sizes().scaled(scale))
    rows = sum(t.num_rows for t in tables.values())
    with stages.stage("write_sqlite"):
        write_sqlite(tables, folder / "shop.sqlite")
    with stages.stage("write_parquet"):
        write_parquet(tables, folder / "parquet")
    return {"stages": stages.records, "rows": rows}


def _accepts(function: Callable[..., Any], name: str) -> bool:
    return name in inspect.signature(function).parameters


def ours(folder: Path) -> dict[str, Any]:
    import rerozer_tables as rt

    # In a terminal (--terminal) every stage shows what it shows by default.
    terminal = os.environ.get("REROZER_SCALE_TERMINAL") == "1"
    quiet = {"progress": False} if _accepts(rt.read_sqlite, "progress") and not terminal else {}
    stages = Stages()
    with stages.stage("read_sqlite"):
        tables = rt.read_sqlite(folder / "shop.sqlite", **quiet)
    arrays = array_bytes(tables)
    with stages.stage("build_graph"):
        graph = rt.build_graph(tables)
    reuse = {"graph": graph} if _accepts(rt.training_table, "graph") else {}
    with stages.stage("training_table"):
        rt.training_table(tables, "customers", CUTOFFS, target=("orders", "customer_id"),
                          horizon=HORIZON, aggregate="exists", **reuse, **quiet)
    with stages.stage("link_training_table"):
        rt.link_training_table(tables, "customers", CUTOFFS,
                               target=("reviews", "customer_id", "product_id"),
                               horizon=HORIZON, **reuse, **quiet)
    del tables
    path = folder / "shop.graph"
    with stages.stage("save_graph"):
        rt.save_graph(graph, path, **quiet)
    del graph
    with stages.stage("load_graph"):
        loaded = rt.load_graph(path, mmap=True)
    with stages.stage("check_graph"):
        rt.check_graph(loaded, **quiet)
    import numpy as np

    customers = loaded.num_nodes["customers"]
    keys = loaded.key("customers", np.arange(min(customers, 4096)))
    times = np.full(keys.size, np.datetime64("2024-11-01", "s").astype(np.int64))
    times = np.maximum(times, loaded.node_time["customers"][: keys.size])
    with stages.stage("first_batch"):
        loader = rt.Loader(loaded, "customers", keys, times, batch_size=512, num_neighbors=[10, 10],
                           progress=terminal)
        next(iter(loader))
    with stages.stage("another_loader_batch"):  # a second Loader of the same graph
        loader = rt.Loader(loaded, "customers", keys, times, batch_size=512, num_neighbors=[10, 10],
                           progress=False)
        next(iter(loader))
    return {"stages": stages.records, "arrays": arrays}


def rows(folder: Path) -> dict[str, Any]:
    import rerozer_tables as rt
    from rerozer_tables.read import sqlite as sqlite_reader

    arrow = getattr(sqlite_reader, "sqlite_arrow", None)
    if arrow is not None:
        arrow.connect = lambda path: None  # no driver: every table row by row
    stages = Stages()
    with stages.stage("read_sqlite"):
        tables = rt.read_sqlite(folder / "shop.sqlite", progress=False)
    return {"stages": stages.records, "arrays": array_bytes(tables)}


def parquet(folder: Path) -> dict[str, Any]:
    import rerozer_tables as rt

    tables = ["customers", "products", "product_tags", "orders", "order_items", "reviews"]
    keys = {"customers": "id", "products": "sku", "product_tags": "id", "orders": "id",
            "order_items": "id", "reviews": "id"}
    links = {"product_tags": {"product_id": "products"}, "orders": {"customer_id": "customers"},
             "order_items": {"order_id": "orders", "product_id": "products"},
             "reviews": {"customer_id": "customers", "product_id": "products"}}
    import sqlite3

    import pyarrow.parquet  # noqa: F401  (loaded before the measurement)

    stages = Stages()
    # The floor of any reader built on Python's sqlite3 module: its row
    # tuples alone, fetched and dropped a chunk at a time.
    with stages.stage("sqlite3_rows_only"):
        connection = sqlite3.connect(folder / "shop.sqlite")
        for name in tables:
            cursor = connection.execute(f"SELECT * FROM {name} ORDER BY rowid")
            while cursor.fetchmany(1 << 16):
                pass
        connection.close()
    with stages.stage("read_parquet"):
        read = rt.read_parquet(folder / "parquet", tables=tables, primary_keys=keys, foreign_keys=links)
    return {"stages": stages.records, "arrays": array_bytes(read)}


def relbench(folder: Path) -> dict[str, Any]:
    import sqlite3
    import warnings

    import duckdb
    import numpy as np
    import pandas as pd
    from relbench.base import Database, Table
    from relbench.modeling.graph import make_pkey_fkey_graph
    from relbench.modeling.utils import get_stype_proposal
    from torch_frame import stype

    schema = {  # (primary key, foreign keys, time column)
        "customers": ("id", {}, "signed_up"),
        "products": ("sku", {}, None),
        "product_tags": ("id", {"product_id": "products"}, None),
        "orders": ("id", {"customer_id": "customers"}, "placed_at"),
        "order_items": ("id", {"order_id": "orders", "product_id": "products"}, "placed_at"),
        "reviews": ("id", {"customer_id": "customers", "product_id": "products"}, "written_at"),
    }
    stages = Stages()
    with stages.stage("read_sqlite"):
        connection = sqlite3.connect(folder / "shop.sqlite")
        frames = {}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)
            for name, (_, _, time_col) in schema.items():
                frame = pd.read_sql(f"SELECT * FROM {name}", connection)
                if time_col is not None:
                    frame[time_col] = pd.to_datetime(frame[time_col])
                frames[name] = frame
        connection.close()
        # Keys renumbered to positions, as RelBench's datasets hold them.
        index = {name: pd.Index(frames[name][pkey]) for name, (pkey, _, _) in schema.items()}
        for name, (pkey, links, _) in schema.items():
            for column, parent in links.items():
                frames[name][column] = index[parent].get_indexer(frames[name][column])
            frames[name][pkey] = np.arange(len(frames[name]))
        db = Database({name: Table(frames[name], links, pkey, time_col)
                       for name, (pkey, links, time_col) in schema.items()})
    with stages.stage("training_table"):
        cutoffs = pd.DataFrame({"timestamp": pd.to_datetime(CUTOFFS)})
        customers, orders = db.table_dict["customers"].df, db.table_dict["orders"].df  # noqa: F841
        duckdb.sql("""
            SELECT t.timestamp, c.id AS customer_id,
                   CAST(COUNT(o.id) > 0 AS INTEGER) AS label
            FROM cutoffs t CROSS JOIN customers c
            LEFT JOIN orders o ON o.customer_id = c.id AND o.placed_at > t.timestamp
                AND o.placed_at <= t.timestamp + INTERVAL '30 days'
            WHERE c.signed_up <= t.timestamp
            GROUP BY t.timestamp, c.id
        """).df()
    with stages.stage("link_training_table"):
        reviews = db.table_dict["reviews"].df  # noqa: F841
        duckdb.sql("""
            SELECT t.timestamp, r.customer_id, LIST(DISTINCT r.product_id) AS product_id
            FROM cutoffs t JOIN reviews r ON r.written_at > t.timestamp
                AND r.written_at <= t.timestamp + INTERVAL '30 days'
            GROUP BY t.timestamp, r.customer_id
        """).df()
    with stages.stage("make_pkey_fkey_graph"):
        col_to_stype = get_stype_proposal(db)
        for columns in col_to_stype.values():
            for column, kind in columns.items():
                if kind == stype.text_embedded:
                    columns[column] = stype.categorical
        make_pkey_fkey_graph(db, col_to_stype)
    return {"stages": stages.records}


CASES = {"write": None, "ours": ours, "rows": rows, "parquet": parquet, "relbench": relbench}


def run(case: str, folder: Path, scale: float) -> dict[str, Any]:
    command = [sys.executable, __file__, "--worker", case, "--folder", str(folder), "--scale", str(scale)]
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"{case} at scale {scale} failed:\n{done.stderr[-4000:]}")
    result: dict[str, Any] = json.loads(done.stdout.strip().splitlines()[-1])
    return result


def silences(folder: Path, scale: float) -> dict[str, float]:
    """"ours" once more under a pseudo-terminal (CI unset, progress bars
    as they are by default): per stage, the longest time in seconds that
    nothing was written to the terminal."""
    import pty

    pid, fd = pty.fork()
    if pid == 0:  # the child: the worker, its stdout and stderr the terminal
        import fcntl
        import struct
        import termios

        # 24 rows of 100 columns: a terminal of no size gets empty bars.
        fcntl.ioctl(1, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
        env = {k: v for k, v in os.environ.items() if k != "CI"}
        env["REROZER_SCALE_TERMINAL"] = "1"
        command = [sys.executable, __file__, "--worker", "ours", "--folder", str(folder), "--scale", str(scale)]
        os.execve(sys.executable, command, env)
    writes, output = [], b""
    while True:
        try:
            data = os.read(fd, 1 << 16)
        except OSError:  # the child closed the terminal
            break
        if not data:
            break
        writes.append(time.monotonic())
        output += data
    os.waitpid(pid, 0)
    lines = [line for line in output.decode(errors="replace").splitlines() if line.startswith("{")]
    stages = json.loads(lines[-1])["stages"]
    longest = {}
    for name, record in stages.items():
        start, end = record["start"], record["start"] + record["wall"]
        points = [start] + [w for w in writes if start < w < end] + [end]
        longest[name] = max(b - a for a, b in zip(points, points[1:]))
    return longest


def has_relbench() -> bool:
    try:
        import relbench.modeling.graph  # noqa: F401
    except ImportError:
        return False
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scales", type=float, nargs="+", default=[10, 50])
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--no-relbench", action="store_true")
    parser.add_argument("--no-rows", action="store_true", help="leave out read_sqlite row by row")
    parser.add_argument("--terminal", action="store_true",
                        help="also run ours in a pseudo-terminal: the longest silence of each stage")
    parser.add_argument("--json", help="also write the medians to this file")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--folder", help=argparse.SUPPRESS)
    parser.add_argument("--scale", type=float, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        folder = Path(args.folder)
        result = write(args.scale, folder) if args.worker == "write" else CASES[args.worker](folder)
        print(json.dumps(result))
        return

    cases = ["ours"] + ([] if args.no_rows else ["rows"]) + ["parquet"]
    cases += [] if args.no_relbench or not has_relbench() else ["relbench"]
    print(f"load average {os.getloadavg()[0]:.2f}, {os.cpu_count()} cores; cases {', '.join(cases)}")
    medians: dict[float, dict[str, dict[str, dict[str, float]]]] = {}
    info: dict[float, dict[str, float]] = {}
    for scale in args.scales:
        with tempfile.TemporaryDirectory(prefix="rerozer-scale-") as tmp:
            folder = Path(tmp)
            written = run("write", folder, scale)
            runs: dict[str, list[dict[str, Any]]] = {case: [] for case in cases}
            for _ in range(args.repeats):
                for case in cases:  # interleaved
                    runs[case].append(run(case, folder, scale))
            medians[scale] = {"write": written["stages"]}
            for case, results in runs.items():
                medians[scale][case] = {
                    stage: {m: statistics.median(r["stages"][stage][m] for r in results)
                            for m in results[0]["stages"][stage]}
                    for stage in results[0]["stages"]
                }
            if args.terminal:
                quiet = silences(folder, scale)
                print(f"scale {scale:g}, in a terminal, longest silence per stage (s): "
                      + ", ".join(f"{k} {v:.1f}" for k, v in quiet.items()), flush=True)
            info[scale] = {"rows": written["rows"], "arrays": runs["ours"][0]["arrays"],
                           "parquet_arrays": runs["parquet"][0]["arrays"],
                           "sqlite_mib": (folder / "shop.sqlite").stat().st_size / 2**20,
                           "load": os.getloadavg()[0]}
        report(medians, info)
    if args.json:
        Path(args.json).write_text(json.dumps({"medians": medians, "info": info}, indent=1))


def report(medians: dict[float, Any], info: dict[float, dict[str, float]]) -> None:
    scales = sorted(medians)
    print()
    for scale in scales:
        i = info[scale]
        print(f"scale {scale:g}: {i['rows']:,.0f} rows, SQLite file {i['sqlite_mib']:.0f} MiB, "
              f"read_sqlite arrays {i['arrays'] / 2**20:.0f} MiB (read_parquet's "
              f"{i['parquet_arrays'] / 2**20:.0f} MiB), load average after {i['load']:.2f}")
    header = "case      stage                 " + "".join(
        f"  s={s:g}: cpu s  wall s  peak MiB (+added)" for s in scales)
    print(header + ("   growth cpu/peak" if len(scales) > 1 else ""))
    for case in medians[scales[0]]:
        for stage in medians[scales[0]][case]:
            cells = []
            for s in scales:
                m = medians[s][case][stage]
                cells.append(f"  {m['cpu']:10.2f} {m['wall']:7.2f} {m['peak_mib']:8.0f} (+{m['added_mib']:.0f})")
            growth = ""
            if len(scales) > 1:
                a, b = medians[scales[0]][case][stage], medians[scales[-1]][case][stage]
                ratio = math.log(scales[-1] / scales[0])
                cpu = math.log(max(b["cpu"], 1e-3) / max(a["cpu"], 1e-3)) / ratio
                peak = math.log(max(b["added_mib"], 1) / max(a["added_mib"], 1)) / ratio
                growth = f"   {cpu:5.2f} / {peak:5.2f}"
            print(f"{case:9} {stage:21}" + "".join(cells) + growth)
    for s in scales:
        m = medians[s]
        ours_read = m["ours"]["read_sqlite"]
        pq = m["parquet"]["read_parquet"]
        print(f"scale {s:g}: read_sqlite / read_parquet CPU {ours_read['cpu'] / pq['cpu']:.2f}x; "
              f"read_sqlite added peak / arrays {ours_read['added_mib'] * 2**20 / info[s]['arrays']:.2f}x")
        if "rows" in m:
            by_rows = m["rows"]["read_sqlite"]
            print(f"scale {s:g}: read_sqlite row by row / read_parquet CPU {by_rows['cpu'] / pq['cpu']:.2f}x, "
                  f"row by row / Arrow CPU {by_rows['cpu'] / ours_read['cpu']:.2f}x, added peak "
                  f"{by_rows['added_mib']:.0f} / {ours_read['added_mib']:.0f} MiB")
        peak = max(v["peak_mib"] for v in m["ours"].values())
        base = m["ours"]["read_sqlite"]["before_mib"]
        print(f"scale {s:g}: ours from SQLite to the first batch: peak RSS {peak:.0f} MiB = "
              f"{peak * 2**20 / info[s]['arrays']:.2f}x the arrays ({(peak - base) * 2**20 / info[s]['arrays']:.2f}x "
              f"over the {base:.0f} MiB before reading)")
        if "relbench" in m:
            path = [m["ours"][k] for k in ("read_sqlite", "build_graph", "training_table",
                                           "link_training_table")]
            ours_cpu = sum(v["cpu"] for v in path)
            # Peak over the resident set before the first stage (the
            # libraries loaded, no data yet).
            ours_peak = max(v["peak_mib"] for v in path) - path[0]["before_mib"]
            theirs = list(m["relbench"].values())
            theirs_cpu = sum(v["cpu"] for v in theirs)
            theirs_peak = max(v["peak_mib"] for v in theirs) - theirs[0]["before_mib"]
            print(f"scale {s:g}: to a graph and task tables, RelBench / ours: CPU {theirs_cpu:.1f} / "
                  f"{ours_cpu:.1f} s = {theirs_cpu / ours_cpu:.2f}x; peak added {theirs_peak:.0f} / "
                  f"{ours_peak:.0f} MiB = {theirs_peak / ours_peak:.2f}x")


if __name__ == "__main__":
    main()
