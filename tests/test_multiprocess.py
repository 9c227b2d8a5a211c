"""Forked workers over one memory-mapped graph (examples/multiprocess.py)."""

import dataclasses
import os
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

from multiprocess import Job, Request, run_workers, sample_stream  # noqa: E402
from rerozer_tables import Graph, edges_to_csc, load_graph, save_graph  # noqa: E402

pytestmark = pytest.mark.skipif(
    not Path("/proc/self/smaps_rollup").exists(), reason="needs Linux /proc/self/smaps_rollup"
)

NUM_NODES = 250_000
NUM_EDGES = 5_000_000  # 40 MB of row array, beside a 2 MB colptr
REQUEST = Request({"node__to__node": np.array([10, 10], dtype=np.int64)}, {}, "node")


def batches(seed, count=16, size=64):
    rng = np.random.default_rng(seed)
    empty = np.array([], dtype=np.int64)
    return [(rng.integers(0, NUM_NODES, size=size, dtype=np.int64), empty) for _ in range(count)]


@pytest.fixture(scope="module")
def graph_dirs(tmp_path_factory):
    """The same untimed random graph saved twice: native int64, and big-endian."""
    rng = np.random.default_rng(7)
    src = rng.integers(0, NUM_NODES, size=NUM_EDGES)
    dst = rng.integers(0, NUM_NODES, size=NUM_EDGES)
    colptr, row = edges_to_csc(src, dst, NUM_NODES)
    del src, dst
    graph = Graph(
        node_types=["node"],
        edge_types=[("node", "to", "node")],
        colptr={"node__to__node": colptr},
        row={"node__to__node": row},
        node_time={},
    )
    dirs = {}
    for dtype in ("<i8", ">i8"):
        dirs[dtype] = tmp_path_factory.mktemp("graph") / "graph"
        # save_graph flushes its files to disk: their pages are clean, so no
        # reader's memory figures count them as its own.
        stored = dataclasses.replace(
            graph,
            colptr={key: array.astype(dtype) for key, array in graph.colptr.items()},
            row={key: array.astype(dtype) for key, array in graph.row.items()},
        )
        save_graph(stored, dirs[dtype])
    return dirs, colptr.nbytes + row.nbytes


def test_seeds_give_distinct_streams_each_reproducible_in_one_process(graph_dirs):
    dirs, _ = graph_dirs
    work = batches(1)
    seeds = [11, 12, 13, 11]
    reports = run_workers([Job(dirs["<i8"], seed, work, REQUEST) for seed in seeds])

    assert len({report.pid for report in reports}) == len(seeds)
    digests = [report.digest for report in reports]
    # Equal seeds over equal batches agree across processes; the others differ.
    assert digests[0] == digests[3]
    assert len(set(digests[:3])) == 3
    # Each worker's stream is what a single process produces with its seed.
    for seed, report in zip(seeds, reports):
        assert sample_stream(load_graph(dirs["<i8"]), seed, work, REQUEST)[0] == report.digest
    # ...and with the graph in ordinary memory instead of memory-mapped.
    in_memory = load_graph(dirs["<i8"], mmap=False)
    assert not any(isinstance(v, np.memmap) for v in in_memory.row.values())
    assert sample_stream(in_memory, seeds[1], work, REQUEST)[0] == digests[1]


@pytest.mark.skipif(
    bool(os.environ.get("REROZER_SANITIZER_BUILD")),
    reason="the sanitizer's allocator and shadow memory swamp the figures",
)
@pytest.mark.parametrize(
    "dtype, copied",
    [
        pytest.param("<i8", False, id="native-int64-read-in-place"),
        pytest.param(">i8", True, id="big-endian-read-through-a-copy"),
    ],
)
def test_private_memory_of_each_worker_does_not_hold_the_graph(graph_dirs, dtype, copied):
    dirs, graph_bytes = graph_dirs
    jobs = [Job(dirs[dtype], seed, batches(seed), REQUEST) for seed in (21, 22, 23)]
    reports = run_workers(jobs)
    graph_kib = graph_bytes // 1024
    for report in reports:
        # The workers did read much of the graph: those pages are resident...
        assert report.rss_kib > graph_kib // 2
        if copied:
            # ...and a graph read through a copy shows up as private memory,
            # which proves the measurement can see one.
            assert report.private_dirty_kib > graph_kib
        else:
            # ...but read in place they stay shared: the private growth is
            # the worker's own state, far below the graph's size.
            assert report.private_dirty_kib < graph_kib // 4
