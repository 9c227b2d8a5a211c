"""Repeated calls leak neither memory nor references, whether they succeed or
fail, and a sampler releases every array it held when it is deleted.

One sampler answers a cycle of requests: three that succeed (uniform,
most-recent and time-window selections) and one for every way a call can
fail, and two constructions fail (KeyError, UnicodeDecodeError) over the
same arrays. Its graph (node types paper, author; papers have times 10..50):

    author__writes__paper  papers 0 and 1 cited by authors 0..9 and 10..19
    paper__cites__paper    paper 2: papers 3, 1 (times 40, 20: out of order)
                           paper 3: paper 9 (no time, no column)
                           paper 4: [3, 10), beyond row's 3 entries
"""

import ctypes
import gc
import os
import sys
import weakref

import numpy as np
import pytest

import rerozer

W = "author__writes__paper"
C = "paper__cites__paper"
UNDER_SANITIZER = os.environ.get("REROZER_SANITIZER_BUILD") == "1"
WARM_UP_ROUNDS = 300
ROUNDS = 2000


def i64(*values):
    return np.array(values, dtype=np.int64)


def make_graph():
    colptr = {W: i64(0, 10, 20, 20, 20, 20), C: i64(0, 0, 0, 2, 3, 10)}
    row = {W: np.arange(20, dtype=np.int64), C: i64(3, 1, 9)}
    node_time = {"paper": i64(10, 20, 30, 40, 50)}
    return colptr, row, node_time


def make_requests():
    """(entity, num_neighbors, offsets, seed_node, seed_time, expected
    exception or None) for every outcome."""
    return [
        ("paper", {W: i64(3, 2), C: i64(-1, -1)}, {}, i64(0, 1), i64(100, 100), None),
        ("paper", {W: i64(3)}, {C: [[None, 0]]}, i64(0, 1, 0), i64(), None),
        ("paper", {W: i64(-1)}, {C: np.array([[-50, 0]])}, i64(1), i64(60), None),
        ("paper", {W: i64(3), C: i64(-1)}, {}, i64(0, 2), i64(100, 100), RuntimeError),
        ("venue", {W: i64(3), C: i64(-1)}, {}, i64(0), i64(), RuntimeError),
        ("paper", {W: i64(3)}, {C: [[None, 1.5]]}, i64(0), i64(), RuntimeError),
        ("paper", {W: np.array([1.0]), C: i64(1)}, {}, i64(0), i64(), RuntimeError),
        ("paper", {W: i64(1), C: i64(-1)}, {}, i64(0, 3), i64(100, 100), IndexError),
        ("paper", {W: i64(1), C: i64(-1)}, {}, i64(0, 4), i64(), IndexError),
        ("paper", {W: i64(1), C: i64(-1)}, {}, i64(0, 7), i64(), IndexError),
        ("paper", {W: i64(1, 1)}, {C: [[None, 0]]}, i64(0), i64(), IndexError),
        ("paper", {W: i64(1)}, {}, i64(0), i64(), KeyError),
        ("paper", {W: i64(1), C: i64(1)}, {}, [0], i64(), TypeError),
        ("paper", {W: [[1], [1, 2]], C: i64(1)}, {}, i64(0), i64(), ValueError),
    ]


def call(sampler, request):
    entity, num_neighbors, offsets, seed_node, seed_time, error = request
    try:
        sampler.sample(num_neighbors, offsets, entity, seed_node, seed_time)
    except Exception as exc:  # noqa: BLE001 - the class is checked below
        assert type(exc) is error, (request, exc)
    else:
        assert error is None, request


def memory_in_use():
    """Bytes in use: under the sanitizer its allocator's count of live heap
    bytes (freed memory sits in its quarantine, so the resident size keeps
    growing), otherwise the resident set size."""
    if UNDER_SANITIZER:
        allocated = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
        allocated.restype = ctypes.c_size_t
        return allocated()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def referenced_objects(graph, requests):
    """Every object the caller handed over, with the containers holding it."""
    objects = []
    for table in graph:
        objects.append(table)
        objects.extend(table.values())
    for _, num_neighbors, offsets, seed_node, seed_time, _ in requests:
        objects.extend([num_neighbors, offsets, seed_node, seed_time])
        objects.extend(num_neighbors.values())
        objects.extend(offsets.values())
    return objects


def failing_constructions(graph):
    colptr, row, node_time = graph
    edge_types = [("author", "writes", "paper"), ("paper", "cites", "paper")]
    # Fails after some arrays were taken: row lacks an edge type.
    with pytest.raises(KeyError):
        rerozer.NeighborSampler(["paper", "author"], edge_types, colptr, {W: row[W]}, node_time)
    # A name that is not valid UTF-8 fails when it is looked up in node_time,
    # after every graph array was taken.
    with pytest.raises(UnicodeDecodeError):
        rerozer.NeighborSampler(["paper", "author", b"\xff"], edge_types, colptr, row,
                                node_time)


def test_repeated_calls_return_memory_and_references():
    graph = make_graph()
    sampler = rerozer.NeighborSampler(["paper", "author"], [("author", "writes", "paper"),
                                                           ("paper", "cites", "paper")], *graph)
    requests = make_requests()
    objects = referenced_objects(graph, requests)

    def round_of_calls():
        for request in requests:
            call(sampler, request)
        failing_constructions(graph)

    gc.collect()
    references = [sys.getrefcount(obj) for obj in objects]
    for _ in range(WARM_UP_ROUNDS):
        round_of_calls()
    gc.collect()
    before = memory_in_use()
    for _ in range(ROUNDS):
        round_of_calls()
    gc.collect()
    growth = memory_in_use() - before

    calls = ROUNDS * (len(requests) + 2)
    assert calls >= 30000
    # The smallest leak a call could make (a heap block, a key string, an
    # array) is 32 bytes or more; the resident size settles by up to about
    # 100 KB after the warm-up whatever the number of calls.
    assert growth <= 192 * 1024 + 2 * calls, (growth, calls)
    assert [sys.getrefcount(obj) for obj in objects] == references


class Tracked(np.ndarray):
    """An ndarray subclass, to which weak references can point."""


def tracked(*values):
    return np.array(values, dtype=np.int64).view(Tracked)


def test_deleting_the_sampler_releases_every_array():
    # Dense int64 arrays, a strided view, a byte-swapped array and a list:
    # the sampler may hold the arrays or copies of them, but nothing once it
    # is gone.
    strided_base = tracked(0, 9, 10, 9, 20, 9, 20, 9, 20, 9, 20, 9)
    colptr = {W: strided_base[::2], C: tracked(0, 0, 0, 2, 3, 10)}
    row = {W: np.arange(20, dtype=np.int64).view(Tracked),
           C: tracked(3, 1, 9).astype(">i8").view(Tracked)}
    times = [10, 20, 30, 40, 50]
    node_time = {"paper": times}
    arrays = [strided_base, *colptr.values(), *row.values()]
    watchers = [weakref.ref(array) for array in arrays]
    references = [sys.getrefcount(obj) for obj in (colptr, row, node_time, times)]

    sampler = rerozer.NeighborSampler(["paper", "author"], [("author", "writes", "paper"),
                                                           ("paper", "cites", "paper")],
                                      colptr, row, node_time)
    assert [sys.getrefcount(obj) for obj in (colptr, row, node_time, times)] == references
    del arrays, strided_base, colptr, row, node_time, times
    gc.collect()
    # Whatever the caller dropped, the sampler still reads its graph: paper
    # 1's column holds authors 10..19, which have no times, so count -1
    # takes all of them in order.
    result = sampler.sample({W: i64(-1), C: i64(-1)}, {}, "paper", i64(1), i64())
    assert result[2]["author"].tolist() == list(range(10, 20))

    del sampler, result
    gc.collect()
    assert [watcher() is None for watcher in watchers] == [True] * len(watchers)


def test_failed_construction_releases_every_array():
    colptr = {W: tracked(0, 10), C: tracked(0, 0)}
    row = {W: tracked(*range(10))}
    node_time = {"paper": tracked(10)}
    watchers = [weakref.ref(a) for a in [*colptr.values(), *row.values(),
                                         *node_time.values()]]
    with pytest.raises(KeyError) as excinfo:
        rerozer.NeighborSampler(["paper", "author"], [("author", "writes", "paper"),
                                                      ("paper", "cites", "paper")],
                                colptr, row, node_time)
    assert str(excinfo.value) == repr(C)
    del colptr, row, node_time, excinfo
    gc.collect()
    assert [watcher() is None for watcher in watchers] == [True] * len(watchers)
