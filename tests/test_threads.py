"""Calls running without the interpreter lock: samplers in threads, calls on
one sampler serialised by the sampler, parameters fetched before the hops,
and long calls interrupted by a signal.
"""

import gc
import os
import signal
import sys
import threading
import time

import numpy as np
import pytest

import rerozer
from rerozer_tables import _temporal

from reference import ReferenceSampler

A = "n__a__n"
B = "n__b__n"


def i64(*values):
    return np.array(values, dtype=np.int64)


def random_graph(num_nodes=400, degree=40, seed=0, timed=False):
    """One node type n and two edge types a and b over the same random
    columns of `degree` sources each; no node times, or with `timed` node
    n's time n // 4 and every column ordered by it."""
    rng = np.random.default_rng(seed)
    colptr = np.arange(0, (num_nodes + 1) * degree, degree, dtype=np.int64)
    row = rng.integers(0, num_nodes, num_nodes * degree, dtype=np.int64)
    node_time = {}
    if timed:
        row = np.sort(row.reshape(num_nodes, degree), axis=1).ravel()
        node_time = {"n": np.arange(num_nodes, dtype=np.int64) // 4}
    return dict(node_types=["n"], edge_types=[("n", "a", "n"), ("n", "b", "n")],
                colptr={A: colptr, B: colptr.copy()}, row={A: row, B: row.copy()},
                node_time=node_time)


def plain(result):
    return tuple(tuple((key, tuple(value.tolist())) for key, value in table.items())
                 for table in result)


def uniform_call(sampler, seeds, counts=(4, 3), times=None):
    """Counts on both edge types; with `times`, every seed at that time."""
    request = {A: i64(*counts), B: i64(*counts)}
    seed_time = i64() if times is None else np.full(len(seeds), times, dtype=np.int64)
    return plain(sampler.sample(request, {}, "n", seeds, seed_time))


# The samplers of both modules: rerozer's draws uniformly over graphs
# without times; that of rerozer_tables._temporal is given times, so that
# its counts draw among the edges up to the example time (node time 60 and
# earlier: about 60% of each column).
FLAVOURS = {
    "rerozer": (rerozer.NeighborSampler, False, None),
    "temporal-uniform": (_temporal.NeighborSampler, True, 60),
}


def seed_batches(calls, batch=64, seed=1):
    rng = np.random.default_rng(seed)
    return [rng.integers(0, 400, batch, dtype=np.int64) for _ in range(calls)]


def run_threads(targets):
    threads = [threading.Thread(target=target) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
        assert not thread.is_alive()


# --- Results and the random stream ------------------------------------------

def test_results_and_stream_match_the_reference_model():
    # Three calls in a row continue the stream exactly as the model does.
    graph = random_graph()
    sampler = rerozer.NeighborSampler(**graph, seed=5)
    model = ReferenceSampler(**graph, seed=5)
    for seeds in seed_batches(3, batch=8):
        request = {A: i64(3, 2), B: i64(2, 1)}
        got = sampler.sample(request, {}, "n", seeds, i64())
        expected = model.sample(request, {}, "n", seeds, i64())
        assert plain(got) == tuple(tuple((key, tuple(value)) for key, value in table.items())
                                   for table in expected)


def test_own_samplers_in_threads_match_one_thread():
    graph = random_graph()
    batches = seed_batches(20)
    single = rerozer.NeighborSampler(**graph, seed=9)
    expected = [uniform_call(single, seeds) for seeds in batches]
    results = [[] for _ in range(4)]

    def work(out):
        sampler = rerozer.NeighborSampler(**graph, seed=9)
        out.extend(uniform_call(sampler, seeds) for seeds in batches)

    run_threads([lambda out=out: work(out) for out in results])
    for got in results:
        assert got == expected


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_threads_sharing_a_sampler_get_the_serial_results(flavour):
    # Every call asks the same, so the i-th call to run gets the i-th result
    # of the same calls made one after another: the results of all threads
    # together are those of a serial run, each exactly once.
    sampler_class, timed, times = FLAVOURS[flavour]
    graph = random_graph(timed=timed)
    seeds = seed_batches(1, batch=128)[0]
    calls_per_thread = 15
    serial = sampler_class(**graph, seed=3)
    expected = [uniform_call(serial, seeds, times=times) for _ in range(4 * calls_per_thread)]
    assert len(set(expected)) == len(expected)  # the stream moves on each call

    shared = sampler_class(**graph, seed=3)
    got = []
    lock = threading.Lock()

    def work():
        for _ in range(calls_per_thread):
            result = uniform_call(shared, seeds, times=times)
            with lock:
                got.append(result)

    run_threads([work] * 4)
    assert sorted(got) == sorted(expected)


class WaitingDict(dict):
    """A num_neighbors dictionary whose first per-hop lookup announces itself
    and then waits, running Python code inside the call, until released."""

    def __init__(self, data):
        super().__init__(data)
        self.lookups = 0
        self.inside = threading.Event()
        self.release = threading.Event()

    def __getitem__(self, key):
        self.lookups += 1
        if self.lookups == 3:  # two lookups check the request, then the hops
            self.inside.set()
            assert self.release.wait(timeout=60)
        return super().__getitem__(key)


def test_second_thread_waits_for_a_call_running_python_code():
    graph = random_graph()
    seeds = seed_batches(1)[0]
    serial = rerozer.NeighborSampler(**graph, seed=4)
    first_expected = uniform_call(serial, seeds)
    second_expected = uniform_call(serial, seeds)

    sampler = rerozer.NeighborSampler(**graph, seed=4)
    request = WaitingDict({A: i64(4, 3), B: i64(4, 3)})
    outcome = {}

    def first():
        outcome["first"] = plain(sampler.sample(request, {}, "n", seeds, i64()))

    def second():
        assert request.inside.wait(timeout=60)
        try:
            outcome["second"] = uniform_call(sampler, seeds)
        except RuntimeError as error:  # the fault: refused instead of waiting
            outcome["second"] = error

    def release_later():
        assert request.inside.wait(timeout=60)
        time.sleep(0.2)  # the second call is now waiting for the first
        outcome["second_done_early"] = "second" in outcome
        request.release.set()

    run_threads([first, second, release_later])
    assert outcome["second_done_early"] is False
    assert outcome["first"] == first_expected
    assert outcome["second"] == second_expected


# --- Parameters fetched before the hops --------------------------------------

class FailingDict(dict):
    """A num_neighbors dictionary whose n-th lookup raises."""

    def __init__(self, data, n):
        super().__init__(data)
        self.lookups = 0
        self.n = n

    def __getitem__(self, key):
        self.lookups += 1
        if self.lookups == self.n:
            raise LookupError(f"lookup {self.n} refused")
        return super().__getitem__(key)


@pytest.mark.parametrize("failing_lookup, drawn_counts", [
    # lookups 1-2 check the request; then hop 0 (a, b), hop 1 (a, b), hop 2 (a, b)
    (8, {A: (2, 2, 2), B: (2, 2, 0)}),
    (7, {A: (2, 2, 0), B: (2, 2, 0)}),
    (3, {A: (0, 0, 0), B: (0, 0, 0)}),
], ids=["hop2-b", "hop2-a", "hop0-a"])
def test_failed_fetch_keeps_exactly_the_draws_before_it(failing_lookup, drawn_counts):
    graph = random_graph()
    seeds = seed_batches(1, batch=16)[0]
    sampler = rerozer.NeighborSampler(**graph, seed=11)
    request = FailingDict({A: i64(2, 2, 2), B: i64(2, 2, 2)}, failing_lookup)
    with pytest.raises(LookupError, match=f"lookup {failing_lookup} refused"):
        sampler.sample(request, {}, "n", seeds, i64())

    # A fresh sampler that made exactly the draws before the failure (counts
    # of 0 draw nothing) continues the stream like the failed one.
    fresh = rerozer.NeighborSampler(**graph, seed=11)
    fresh.sample({k: i64(*v) for k, v in drawn_counts.items()}, {}, "n", seeds, i64())
    assert uniform_call(sampler, seeds) == uniform_call(fresh, seeds)


def test_absurd_hop_count_fails_at_once_without_a_draw():
    graph = random_graph()
    seeds = seed_batches(1)[0]
    sampler = rerozer.NeighborSampler(**graph, seed=2)
    huge = np.broadcast_to(np.int64(1), (10**15,))
    start = time.perf_counter()
    with pytest.raises(MemoryError):
        sampler.sample({A: huge, B: huge}, {}, "n", seeds, i64())
    assert time.perf_counter() - start < 5
    fresh = rerozer.NeighborSampler(**graph, seed=2)
    assert uniform_call(sampler, seeds) == uniform_call(fresh, seeds)


# --- Interrupts ---------------------------------------------------------------

def long_call_sampler(sampler_class=rerozer.NeighborSampler):
    """A call that takes seconds while selecting nothing: every seed is node 0
    of type a, whose one column holds 2^22 sources at even times, and each
    seed's window (t - 1, t] around an odd time holds none of them; each seed
    costs two binary searches over the column."""
    size = 1 << 22
    sampler = sampler_class(
        ["a", "s"], [("s", "e", "a")], {"s__e__a": i64(0, size)},
        {"s__e__a": np.arange(size, dtype=np.int64)},
        {"s": 2 * np.arange(size, dtype=np.int64), "a": i64(0)})
    seeds = np.zeros(1 << 20, dtype=np.int64)
    times = 2 * np.random.default_rng(0).integers(0, size, seeds.size) + 1
    return sampler, seeds, times


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("flavour", FLAVOURS)
def test_sigint_interrupts_a_long_call_promptly(flavour):
    sampler_class = FLAVOURS[flavour][0]
    sampler, seeds, times = long_call_sampler(sampler_class)
    window = {"s__e__a": i64(-1, 0).reshape(1, 2)}
    sent = []

    def interrupt():
        time.sleep(0.3)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Thread(target=interrupt)
    returned = False
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            sampler.sample({}, window, "a", seeds, times)
            returned = True
            time.sleep(30)  # the signal then lands here, and the test fails below
    finally:
        timer.join()
    latency = time.perf_counter() - sent[0]
    assert not returned
    assert latency < 1.0

    # The sampler is usable, and the interrupted call left nothing behind:
    # at even times each seed's window holds exactly one source.
    fresh, _, _ = long_call_sampler(sampler_class)
    small = plain(sampler.sample({}, window, "a", seeds[:3], times[:3] + 1))
    assert small == plain(fresh.sample({}, window, "a", seeds[:3], times[:3] + 1))
    assert small[4] == (("a", (3, 0)), ("s", (0, 3)))


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_threads_leave_no_references_behind(flavour):
    sampler_class, timed, times = FLAVOURS[flavour]
    graph = random_graph(timed=timed)
    arrays = list(graph["colptr"].values()) + list(graph["row"].values())
    before = [sys.getrefcount(a) for a in arrays]
    sampler = sampler_class(**graph, seed=1)
    seeds = seed_batches(1)[0]
    run_threads([lambda: uniform_call(sampler, seeds, times=times)] * 4)
    del sampler
    gc.collect()
    assert [sys.getrefcount(a) for a in arrays] == before
