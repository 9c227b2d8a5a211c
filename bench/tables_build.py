"""Time and peak memory of ``rerozer_tables.build_graph`` on a large foreign key.

    .venv/bin/python bench/tables_build.py [--rows 10000000] [--parents 1000000]

Builds a graph from two tables: ``parents`` (shuffled unique int64 primary
keys, times) and ``children`` (``--rows`` rows, one foreign key into parents
drawn with a power-law skew, int64 times). Prints the build time and the
peak memory the build added, against the bytes of the finished graph.

Peak memory is the resident-set high-water mark during the build, reset just
before it through /proc/self/clear_refs, minus the resident set before it:
memory the build allocated at its most, input tables not included. Linux only.
Not part of the tests.
"""

from __future__ import annotations

import argparse
import gc
import sys
import time
from pathlib import Path

import numpy as np

from rerozer_tables import Table, build_graph, check_graph


def status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def make_tables(rows: int, parents: int, seed: int) -> dict[str, Table]:
    rng = np.random.default_rng(seed)
    parent_keys = rng.permutation(np.arange(10 * parents, 11 * parents, dtype=np.int64))
    parent_time = rng.integers(1_500_000_000, 1_600_000_000, size=parents, dtype=np.int64)
    popularity = rng.pareto(1.2, size=parents) + 1.0
    cumulative = np.cumsum(popularity / popularity.sum())
    chosen = np.minimum(np.searchsorted(cumulative, rng.random(rows)), parents - 1)
    child_parent = parent_keys[chosen]
    child_time = rng.integers(1_500_000_000, 1_700_000_000, size=rows, dtype=np.int64)
    return {
        "parents": Table({"id": parent_keys, "t": parent_time}, primary_key="id", time_column="t"),
        "children": Table(
            {"parent_id": child_parent, "t": child_time},
            foreign_keys={"parent_id": "parents"},
            time_column="t",
        ),
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--rows", type=int, default=10_000_000, help="foreign-key rows")
    parser.add_argument("--parents", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--check", action="store_true", help="also time check_graph")
    args = parser.parse_args(argv)

    tables = make_tables(args.rows, args.parents, args.seed)
    gc.collect()
    before = status_kib("VmRSS")
    Path("/proc/self/clear_refs").write_text("5")  # reset the high-water mark
    began = time.perf_counter()
    graph = build_graph(tables)
    seconds = time.perf_counter() - began
    peak = status_kib("VmHWM") - before
    graph_mib = graph.nbytes / 2**20
    peak_mib = peak / 1024
    print(
        f"build_graph: {args.rows:,} foreign-key rows into {args.parents:,} parents "
        f"({sum(graph.num_edges().values()):,} edges in {len(graph.edge_types)} edge types)"
    )
    print(f"  time          {seconds:6.2f} s")
    print(f"  graph bytes   {graph_mib:8.1f} MiB")
    print(f"  peak added    {peak_mib:8.1f} MiB = {peak_mib / graph_mib:.2f} x the graph")
    if args.check:
        began = time.perf_counter()
        check_graph(graph)
        print(f"  check_graph   {time.perf_counter() - began:6.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
