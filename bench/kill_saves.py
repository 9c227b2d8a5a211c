"""Kill a process that keeps saving a graph, and count what readers and the folder suffer.

    .venv/bin/python bench/kill_saves.py [--kills 500] [--seed 0] [--folder /dev/shm]

A child process saves two different graphs to one path in turns, for ever,
and is killed with SIGKILL after a random delay (up to three times the time
one save takes); then a new child takes over, ``--kills`` times in all. All
the while a reader process loads the path in a loop and compares what it got
with the two graphs. After each kill this process loads the path itself.

Prints the kills, the reader's loads and failed loads (an exception, or a
graph that is neither of the two whole graphs), how many kills left no
loadable graph at the path, and the leftovers: entries of the folder that the
graph at the path does not use (its link, the version folder it points to and
its lock file are in use), at the end and at their most after a kill.

Works with any ``rerozer_tables`` on the import path that has ``save_graph``
and ``load_graph``, so that one run can be made before a change and one after.
``--folder`` picks where the graph is written: on a tmpfs such as /dev/shm,
fsync costs nothing, saves are short, and a kill lands more often between
two steps of a save than on a disk.
Not part of the tests: the figures depend on timing.
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import signal
import statistics
import sys
import tempfile
import time
from collections import Counter
from multiprocessing.connection import Connection
from multiprocessing.synchronize import Event
from pathlib import Path

import numpy as np

from rerozer_tables import Graph, Table, build_graph, load_graph, save_graph


def shop(seed: int, num_orders: int) -> Graph:
    rng = np.random.default_rng(seed)
    return build_graph({
        "customers": Table({"id": np.arange(100, 400), "t": rng.integers(0, 50, 300)},
                           primary_key="id", time_column="t"),
        "orders": Table({"customer_id": rng.integers(100, 400, num_orders),
                         "t": rng.integers(50, 100, num_orders)},
                        foreign_keys={"customer_id": "customers"}, time_column="t"),
    })


GRAPHS = {1000: shop(1, 1000), 2000: shop(2, 2000)}


def arrays(graph: Graph) -> list[np.ndarray]:
    return [*graph.colptr.values(), *graph.row.values(), *graph.node_time.values(),
            *(key_map.keys for key_map in graph.keys.values())]


def whole(graph: Graph) -> bool:
    expected = GRAPHS.get(graph.num_nodes.get("orders", -1))
    if expected is None:
        return False
    got, want = arrays(graph), arrays(expected)
    return len(got) == len(want) and all(np.array_equal(a, b) for a, b in zip(got, want))


def read_loop(path: Path, stop: Event, report: Connection) -> None:
    loads, failures = 0, Counter[str]()
    while not stop.is_set():
        try:
            ok = whole(load_graph(path, mmap=True))
        except Exception as error:  # counted, not raised: the loop goes on
            failures[type(error).__name__] += 1
        else:
            loads += 1
            if not ok:
                failures["not a whole graph"] += 1
    report.send((loads, failures))


def save_loop(path: Path, started: Connection) -> None:
    started.send(True)
    graphs = list(GRAPHS.values())
    i = 0
    while True:
        save_graph(graphs[i % 2], path)
        i += 1


def in_use(path: Path) -> set[str]:
    names = {path.name, f".{path.name}.lock"}
    if path.is_symlink():
        names.add(os.path.basename(os.readlink(path)))
    return names


def leftovers(path: Path) -> int:
    return len(set(os.listdir(path.parent)) - in_use(path))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kills", type=int, default=500)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--folder", default=None, help="where to write (default: the temp folder)")
    args = parser.parse_args(argv)
    rng = np.random.default_rng(args.seed)
    context = mp.get_context("fork")

    with tempfile.TemporaryDirectory(prefix="rerozer-kills-", dir=args.folder) as tmp:
        path = Path(tmp) / "graph"
        seconds = []
        for i in range(20):
            began = time.perf_counter()
            save_graph(GRAPHS[1000 * (1 + i % 2)], path)
            seconds.append(time.perf_counter() - began)
        one_save = statistics.median(seconds)

        stop = context.Event()
        receive, send = context.Pipe(duplex=False)
        reader = context.Process(target=read_loop, args=(path, stop, send))
        reader.start()
        missing, most = Counter[str](), 0
        for _ in range(args.kills):
            ready, started = context.Pipe(duplex=False)
            saver = context.Process(target=save_loop, args=(path, started))
            saver.start()
            ready.recv()
            time.sleep(float(rng.uniform(0.0, 3.0 * one_save)))
            os.kill(saver.pid or 0, signal.SIGKILL)
            saver.join()
            try:
                if not whole(load_graph(path)):
                    missing["not a whole graph"] += 1
            except Exception as error:
                missing[type(error).__name__] += 1
            most = max(most, leftovers(path))
        stop.set()
        loads, failures = receive.recv()
        reader.join()
        final = leftovers(path)

    print(f"one save: {one_save * 1e3:.2f} ms (median of 20); kill delays uniform in [0, {3 * one_save * 1e3:.2f}] ms")
    print(f"kills: {args.kills} in {tmp}")
    print(f"reader: {loads} loads, {sum(failures.values())} failed {dict(failures)}")
    print(f"no loadable graph after a kill: {sum(missing.values())} {dict(missing)}")
    print(f"leftovers: {final} at the end, at most {most} after a kill")
    return 0


if __name__ == "__main__":
    sys.exit(main())
