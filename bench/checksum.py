"""What the per-array checksums of saved graphs cost, per GiB.

    .venv/bin/python bench/checksum.py [--gib 0.5] [--passes 5]

Saves one graph of about ``--gib`` GiB (one edge type; ``row`` holds nearly
all of it) into a temporary folder, then prints medians over ``--passes``:

- the checksum ``save_graph`` records (CRC-32 through zlib) over the arrays
  in memory, beside two other stdlib hashes for comparison;
- ``load_graph(mmap=True)`` without and with ``verify=True`` (the page cache
  is warm after the first pass, so this is the checksum's cost, not the
  disk's), and ``check_graph(graph, verify=True)`` against ``check_graph``;
- ``save_graph`` once, against the time its checksums took.

Every figure is seconds per GiB of array data. Not part of the tests.
"""

from __future__ import annotations

import argparse
import hashlib
import statistics
import sys
import tempfile
import time
import zlib
from collections.abc import Callable
from pathlib import Path

import numpy as np

from rerozer_tables import Graph, check_graph, edges_to_csc, load_graph, save_graph
from rerozer_tables.storage import crc32


def median_seconds(run: Callable[[], object], passes: int) -> float:
    seconds = []
    for _ in range(passes):
        began = time.perf_counter()
        run()
        seconds.append(time.perf_counter() - began)
    return statistics.median(seconds)


def chunked(update: Callable[[memoryview], object], data: np.ndarray) -> None:
    view = memoryview(data.reshape(-1).view(np.uint8))
    for start in range(0, view.nbytes, 16 << 20):
        update(view[start : start + (16 << 20)])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gib", type=float, default=0.5, help="graph size in GiB")
    parser.add_argument("--passes", type=int, default=5)
    args = parser.parse_args(argv)

    num_edges = int(args.gib * 2**30 / 8)
    num_nodes = max(1, num_edges // 16)
    rng = np.random.default_rng(0)
    colptr, row = edges_to_csc(rng.integers(0, num_nodes, num_edges),
                               rng.integers(0, num_nodes, num_edges), num_nodes)
    graph = Graph(["n"], [("n", "to", "n")], {"n__to__n": colptr}, {"n__to__n": row}, {})
    gib = graph.nbytes / 2**30
    print(f"graph arrays: {gib:.3f} GiB, medians of {args.passes} passes, seconds per GiB")

    arrays = [colptr, row]

    def crc_all() -> None:
        for array in arrays:
            crc32(array)

    def blake2b_all() -> None:
        for array in arrays:
            digest = hashlib.blake2b(digest_size=16)
            chunked(digest.update, array)

    def sha1_all() -> None:
        for array in arrays:
            digest = hashlib.sha1()
            chunked(digest.update, array)

    def adler_all() -> None:
        for array in arrays:
            value = 1
            for start in range(0, array.nbytes, 16 << 20):
                value = zlib.adler32(array.view(np.uint8)[start : start + (16 << 20)], value)

    for name, run in (("crc32 (recorded)", crc_all), ("adler32", adler_all),
                      ("sha1", sha1_all), ("blake2b-128", blake2b_all)):
        print(f"  {name:<34} {median_seconds(run, args.passes) / gib:7.3f}")

    with tempfile.TemporaryDirectory(prefix="rerozer-checksum-") as tmp:
        path = Path(tmp) / "graph"
        began = time.perf_counter()
        save_graph(graph, path)
        saved = time.perf_counter() - began
        print(f"  {'save_graph (once, with fsync)':<34} {saved / gib:7.3f}")
        del graph, colptr, row, arrays

        plain = median_seconds(lambda: load_graph(path), args.passes)
        verified = median_seconds(lambda: load_graph(path, verify=True), args.passes)
        loaded = load_graph(path)
        checked = median_seconds(lambda: check_graph(loaded), args.passes)
        checked_verified = median_seconds(lambda: check_graph(loaded, verify=True), args.passes)
    print(f"  {'load_graph(mmap=True)':<34} {plain / gib:7.3f}")
    print(f"  {'load_graph(mmap=True, verify=True)':<34} {verified / gib:7.3f}"
          f"   (+{(verified - plain) / gib:.3f})")
    print(f"  {'check_graph':<34} {checked / gib:7.3f}")
    print(f"  {'check_graph(verify=True)':<34} {checked_verified / gib:7.3f}"
          f"   (+{(checked_verified - checked) / gib:.3f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
