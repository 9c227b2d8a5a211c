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

from helpers import WaitingDict
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

LONG_CALL_TYPES = [("s", f"e{i}", "a") for i in range(8)]
LONG_CALL_WINDOW = {f"s__e{i}__a": i64(-1, 0).reshape(1, 2) for i in range(8)}
# What a long call is: long enough that a signal sent some way into it and
# not handled until it returns would wait several seconds.
LONG_CALL_SECONDS = 6.0


def long_call_sampler(sampler_class=rerozer.NeighborSampler):
    """A sampler whose calls select nothing at a steady cost per seed: every
    seed is node 0 of type a, whose one column (the same for 8 edge types)
    holds 2^22 sources at even times, and each seed's window (t - 1, t]
    around an odd time holds none of them; each seed costs two binary
    searches over the column per edge type."""
    size = 1 << 22
    keys = [f"s__{rel}__a" for _, rel, _ in LONG_CALL_TYPES]
    colptr, row = i64(0, size), np.arange(size, dtype=np.int64)
    return sampler_class(
        ["a", "s"], LONG_CALL_TYPES, {key: colptr for key in keys}, {key: row for key in keys},
        {"s": 2 * np.arange(size, dtype=np.int64), "a": i64(0)})


def long_call_seeds(num_seeds, seed=0):
    """Seeds and odd seed times for a call of long_call_sampler()."""
    times = 2 * np.random.default_rng(seed).integers(0, 1 << 22, num_seeds) + 1
    return np.zeros(num_seeds, dtype=np.int64), times


def seeds_for_a_long_call(sampler):
    """The number of seeds whose call lasts LONG_CALL_SECONDS, from timing
    calls of growing size on this machine and build (a sanitizer build is
    many times slower) until one lasts 0.2 s."""
    num_seeds = 1 << 10
    while True:
        seeds, times = long_call_seeds(num_seeds)
        start = time.perf_counter()
        sampler.sample({}, LONG_CALL_WINDOW, "a", seeds, times)
        elapsed = time.perf_counter() - start
        if elapsed >= 0.2:
            return int(num_seeds * LONG_CALL_SECONDS / elapsed)
        num_seeds *= 2


def interrupted_call(sampler, num_seeds, delay):
    """Starts a call over num_seeds seeds and sends SIGINT delay seconds
    later. Returns the seconds from the signal to the KeyboardInterrupt, or
    None when the call returned before the signal was due (it is then not
    sent, or ignored)."""
    seeds, times = long_call_seeds(num_seeds)
    cancel = threading.Event()
    sent = []
    in_call = True

    def interrupt():
        if not cancel.wait(delay):
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)

    def on_sigint(signum, frame):
        # A signal that was pending when the call returned is handled at
        # once after it, before in_call is cleared.
        if in_call:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, on_sigint)
    timer = threading.Thread(target=interrupt)
    try:
        timer.start()
        try:
            sampler.sample({}, LONG_CALL_WINDOW, "a", seeds, times)
        except KeyboardInterrupt:
            return time.perf_counter() - sent[0]
        finally:
            in_call = False
            cancel.set()
            timer.join()
        return None
    finally:
        signal.signal(signal.SIGINT, previous)


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("delay", [0.3, 1.5], ids=["early", "late"])
@pytest.mark.parametrize("flavour", FLAVOURS)
def test_sigint_interrupts_a_long_call_promptly(flavour, delay):
    # A call of LONG_CALL_SECONDS (at least 4 s), interrupted some way into
    # it, ends within 1 s of the signal: handled only when the call returns,
    # the signal would wait for seconds. The length is calibrated, not
    # assumed; a call that still ends before its signal (the machine got
    # faster) is run again twice as long.
    sampler_class = FLAVOURS[flavour][0]
    sampler = long_call_sampler(sampler_class)
    num_seeds = seeds_for_a_long_call(sampler)
    for _ in range(3):
        latency = interrupted_call(sampler, num_seeds, delay)
        if latency is not None:
            break
        num_seeds *= 2
    else:
        pytest.fail(f"calls of up to {num_seeds // 2} seeds ended within {delay} s")
    assert latency < 1.0, (latency, num_seeds)

    # The sampler is usable, and the interrupted call left nothing behind:
    # at even times each seed's window holds exactly one source.
    seeds, times = long_call_seeds(3)
    small = plain(sampler.sample({}, LONG_CALL_WINDOW, "a", seeds, times + 1))
    assert small == plain(long_call_sampler(sampler_class).sample({}, LONG_CALL_WINDOW, "a", seeds, times + 1))
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
