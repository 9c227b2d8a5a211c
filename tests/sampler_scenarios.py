"""Scenarios that each run in a child process of their own (see
tests/test_process_lifecycle.py): a daemon thread sampling while the
interpreter exits, a call from a __del__ run while it finalises, dropped
samplers whose arrays are kept, a wait interrupted by SIGINT, forks during
a call, and interrupts raised while the per-hop parameters are fetched.

Run as ``python sampler_scenarios.py NAME [ARG]``. A scenario that works
exits with status 0 after printing what the test checks; an abort, a hang or
a failed assertion shows as another status, a timeout or a traceback.
"""

import ctypes
import gc
import os
import signal
import sys
import threading
import time
import warnings

import numpy as np

import rerozer
from helpers import WaitingDict

A = "n__a__n"
B = "n__b__n"


def i64(*values):
    return np.array(values, dtype=np.int64)


def random_graph(num_nodes=400, degree=40, seed=0):
    """One node type n and two edge types a and b over the same random
    columns of `degree` sources each; no node times."""
    rng = np.random.default_rng(seed)
    colptr = np.arange(0, (num_nodes + 1) * degree, degree, dtype=np.int64)
    row = rng.integers(0, num_nodes, num_nodes * degree, dtype=np.int64)
    return dict(node_types=["n"], edge_types=[("n", "a", "n"), ("n", "b", "n")],
                colptr={A: colptr, B: colptr.copy()}, row={A: row, B: row.copy()},
                node_time={})


def seeds_of(size, seed=1):
    return np.random.default_rng(seed).integers(0, 400, size, dtype=np.int64)


def plain(result):
    return tuple(tuple((key, tuple(value.tolist())) for key, value in table.items())
                 for table in result)


def uniform_call(sampler, seeds, counts=(4, 3)):
    return plain(sampler.sample({A: i64(*counts), B: i64(*counts)}, {}, "n", seeds, i64()))


def long_call():
    """(sampler, window, seeds, times) of a call that runs its hops for
    seconds without selecting anything: every seed is node 0 of type a,
    whose one column holds 2^22 sources at even times, and each seed's
    window (t - 1, t] around an odd time holds none of them."""
    size = 1 << 22
    sampler = rerozer.NeighborSampler(
        ["a", "s"], [("s", "e", "a")], {"s__e__a": i64(0, size)},
        {"s__e__a": np.arange(size, dtype=np.int64)},
        {"s": 2 * np.arange(size, dtype=np.int64), "a": i64(0)})
    seeds = np.zeros(1 << 20, dtype=np.int64)
    times = 2 * np.random.default_rng(0).integers(0, size, seeds.size) + 1
    return sampler, {"s__e__a": i64(-1, 0).reshape(1, 2)}, seeds, times


class AnnouncingDict(dict):
    """A dictionary whose lookups set `looked_up`: a call that was given it
    has begun fetching its parameters."""

    def __init__(self, data):
        super().__init__(data)
        self.looked_up = threading.Event()

    def __getitem__(self, key):
        self.looked_up.set()
        return super().__getitem__(key)


# --- Interpreter exit -----------------------------------------------------------

class SlowToFinalise:
    """Sleeps for `seconds` when freed. slow_finalisation() makes one that
    only the collection made while the interpreter finalises frees, so that
    finalisation then takes that long and daemon threads reach the end of
    their lock-free sections during it (as in a program whose exit takes a
    while)."""

    def __init__(self, seconds):
        self.seconds = seconds
        self.cycle = self

    def __del__(self, sleep=time.sleep):
        sleep(self.seconds)


def slow_finalisation(seconds):
    gc.disable()
    SlowToFinalise(seconds)


def exit_during_hops():
    """A daemon thread is inside the hops of a long call when the main
    thread returns; the interpreter finalises under it."""
    slow_finalisation(2)
    sampler, window, seeds, times = long_call()
    offsets = AnnouncingDict(window)
    seeds, times = seeds[:1 << 17], times[:1 << 17]

    def load():
        while True:
            sampler.sample({}, offsets, "a", seeds, times)

    thread = threading.Thread(target=load, daemon=True)
    thread.start()
    offsets.looked_up.wait()
    # Once the lookups have returned, `load` is the thread's innermost frame
    # again; while this thread holds the interpreter lock the other one can
    # then only be inside the lock-free hops.
    while sys._current_frames()[thread.ident].f_code is not load.__code__:
        time.sleep(0.001)


def exit_with_loading_threads():
    """Daemon threads sample in loops, two of them sharing one sampler (one
    often waits for the other's call) and one on a sampler of its own,
    while the main thread returns."""
    slow_finalisation(1)
    graph = random_graph()
    shared = rerozer.NeighborSampler(**graph)
    own = rerozer.NeighborSampler(**graph)
    started = [threading.Event() for _ in range(3)]

    def load(sampler, started_event):
        seeds = seeds_of(4096)
        request = {A: i64(8, 8), B: i64(8, 8)}
        while True:
            sampler.sample(request, {}, "n", seeds, i64())
            started_event.set()

    for sampler, event in zip([shared, shared, own], started):
        threading.Thread(target=load, args=(sampler, event), daemon=True).start()
    for event in started:
        event.wait()


class SamplesWhenFreed:
    """Makes a call on a sampler when freed and prints whether its result is
    a fresh sampler's. call_from_del_during_finalisation() makes one that
    only the collection made while the interpreter finalises frees."""

    def __init__(self, graph, seeds):
        self.sampler = rerozer.NeighborSampler(**graph, seed=3)
        self.seeds = seeds
        self.expected = uniform_call(rerozer.NeighborSampler(**graph, seed=3), seeds)
        self.cycle = self

    def __del__(self):
        same = uniform_call(self.sampler, self.seeds) == self.expected
        print("same" if same else "differs", flush=True)


def call_from_del_during_finalisation():
    """The main thread, finalising the interpreter, calls a sampler from a
    __del__: the call takes the interpreter lock back and returns."""
    gc.disable()
    SamplesWhenFreed(random_graph(), seeds_of(256))


# --- Dropped samplers ------------------------------------------------------------

def allocated_bytes():
    """Bytes the process's allocator has handed out and not had back: the
    sanitizer's count where its runtime is loaded, otherwise malloc's."""
    process = ctypes.CDLL(None)
    try:
        sanitizer_count = process.__sanitizer_get_current_allocated_bytes
    except AttributeError:
        pass
    else:
        sanitizer_count.restype = ctypes.c_size_t
        return sanitizer_count()

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
            "uordblks", "fordblks", "keepcost")]

    process.mallinfo2.restype = MallInfo2
    info = process.mallinfo2()
    return info.uordblks + info.hblkhd


def dropped_samplers(how):
    """Twelve samplers, each dropped after two calls while its results are
    held; the first result is then dropped, and of the second only the out_row
    of edge type b (16384 values) is kept, as the array itself or as a copy.
    Prints the bytes still allocated beyond the kept arrays."""
    graph = random_graph()
    seeds = seeds_of(16384)
    request = {A: i64(4), B: i64(1)}
    kept = []

    def one_sampler():
        sampler = rerozer.NeighborSampler(**graph, seed=5)
        first = sampler.sample(request, {}, "n", seeds, i64())
        second = sampler.sample(request, {}, "n", seeds, i64())
        del first  # its blocks go to the pool while the sampler lives
        del sampler  # the results outlive it
        row = second[0][B]
        kept.append(row if how == "array" else row.copy())

    one_sampler()  # warms up numpy and the module
    kept.clear()
    gc.collect()
    before = allocated_bytes()
    for _ in range(12):
        one_sampler()
    gc.collect()
    extra = allocated_bytes() - before - sum(array.nbytes for array in kept)

    expected = rerozer.NeighborSampler(**graph, seed=5)
    expected.sample(request, {}, "n", seeds, i64())
    row = expected.sample(request, {}, "n", seeds, i64())[0][B]
    assert all(np.array_equal(array, row) for array in kept)
    print(extra)


# --- Waiting for another thread's call -------------------------------------------

def sigint_while_waiting():
    """The main thread's call waits for another thread's call, which runs
    Python code that does not return until the main thread's call has
    ended; SIGINTs arrive meanwhile. The handler raises KeyboardInterrupt
    only when the frame it interrupts is at the line of that call (a
    handler run there can only run inside the call: the line calls nothing
    else, and the call cannot return before the other one ends), so the
    exception can only come from the wait."""
    graph = random_graph()
    seeds = seeds_of(64)
    sampler = rerozer.NeighborSampler(**graph, seed=4)
    request = WaitingDict({A: i64(4, 3), B: i64(4, 3)})
    second_request = {A: i64(4, 3), B: i64(4, 3)}
    no_times = i64()
    main_code = sys._getframe().f_code
    call_line = []
    call_ended = threading.Event()

    def on_sigint(signum, frame):
        if frame.f_code is main_code and [frame.f_lineno] == call_line:
            raise KeyboardInterrupt

    def first():
        first.result = plain(sampler.sample(request, {}, "n", seeds, i64()))

    def send_sigints():
        while not call_ended.wait(0.02):
            os.kill(os.getpid(), signal.SIGINT)

    signal.signal(signal.SIGINT, on_sigint)
    first_thread = threading.Thread(target=first)
    first_thread.start()
    request.inside.wait()
    sender = threading.Thread(target=send_sigints)
    sender.start()
    try:
        call_line.append(sys._getframe().f_lineno + 1)
        sampler.sample(second_request, {}, "n", seeds, no_times)
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    call_ended.set()
    sender.join()
    request.release.set()
    first_thread.join()

    # The interrupted call drew nothing: the stream goes on from the first.
    serial = rerozer.NeighborSampler(**graph, seed=4)
    assert first.result == uniform_call(serial, seeds)
    assert uniform_call(sampler, seeds) == uniform_call(serial, seeds)
    print(outcome)


# --- Forks -------------------------------------------------------------------------

def wait_for_child(pid, timeout=60):
    """The child's exit status, or None (the child killed) when it has not
    ended within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return None


def fork_while_a_call_runs_python_code():
    """A thread's call waits in a lookup of its parameters when the main
    thread forks. The child's first call on the sampler runs, and continues
    the stream from the state copied at the fork (nothing drawn yet)."""
    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
    graph = random_graph()
    seeds = seeds_of(64)
    sampler = rerozer.NeighborSampler(**graph, seed=9)
    request = WaitingDict({A: i64(4, 3), B: i64(4, 3)})
    thread = threading.Thread(
        target=lambda: sampler.sample(request, {}, "n", seeds, i64()))
    thread.start()
    request.inside.wait()
    pid = os.fork()
    if pid == 0:
        fresh = rerozer.NeighborSampler(**graph, seed=9)
        same = uniform_call(sampler, seeds) == uniform_call(fresh, seeds)
        again = uniform_call(sampler, seeds) == uniform_call(fresh, seeds)
        os._exit(0 if same and again else 3)
    status = wait_for_child(pid)
    request.release.set()
    thread.join()
    print("child", status)


def fork_during_hops():
    """A thread samples in a loop, mostly inside the hops and the copies,
    while the main thread forks five times; each child makes calls on the
    sampler (and frees their arrays) and exits."""
    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
    graph = random_graph()
    sampler = rerozer.NeighborSampler(**graph, seed=9)
    seeds = seeds_of(16384)
    stop = threading.Event()
    calls = []

    def load():
        while not stop.is_set():
            calls.append(uniform_call(sampler, seeds, counts=(6, 6)))

    thread = threading.Thread(target=load)
    thread.start()
    statuses = []
    for _ in range(5):
        count = len(calls)
        while len(calls) == count:
            time.sleep(0.001)
        pid = os.fork()
        if pid == 0:
            results = [sampler.sample({A: i64(6, 6), B: i64(6, 6)}, {}, "n", seeds, i64())
                       for _ in range(3)]
            ok = all(set(seeds.tolist()) <= set(result[2]["n"].tolist())
                     for result in results)
            del results
            os._exit(0 if ok else 3)
        statuses.append(wait_for_child(pid))
    stop.set()
    thread.join()
    print("children", *statuses)


# --- Interrupts while the parameters are fetched ------------------------------------

class InterruptingDict(dict):
    """A num_neighbors dictionary whose n-th lookup raises `error`."""

    def __init__(self, data, n, error):
        super().__init__(data)
        self.lookups = 0
        self.n = n
        self.error = error

    def __getitem__(self, key):
        self.lookups += 1
        if self.lookups == self.n:
            raise self.error("interrupted")
        return super().__getitem__(key)


class InterruptingIndex:
    """An offset bound whose conversion to an integer raises `error`."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error("interrupted")


def interrupt_during_prefetch(case):
    """A lookup or a conversion in hop 2 of 3 raises; prints the exception's
    class and whether the failed call drew anything (whether the sampler's
    next call differs from a fresh sampler's first)."""
    kind, error_name = case.split("-")
    error = {"KeyboardInterrupt": KeyboardInterrupt, "SystemExit": SystemExit,
             "LookupError": LookupError}[error_name]
    graph = random_graph()
    seeds = seeds_of(16)
    if kind == "lookup":
        # lookups 1-2 check the request; then hop 0 (a, b), hop 1 (a, b), hop 2 (a, b)
        failing = (InterruptingDict({A: i64(2, 2, 2), B: i64(2, 2, 2)}, 7, error), {},
                   "n", seeds, i64())
        good = ({A: i64(2, 2, 2), B: i64(2, 2, 2)}, {}, "n", seeds, i64())
    else:
        # Edge type b comes from a node type m with times, by time window; the
        # upper bound of hop 2's window raises. Edge type a draws in every hop.
        c = "m__c__n"
        graph = dict(node_types=["n", "m"], edge_types=[("n", "a", "n"), ("m", "c", "n")],
                     colptr={A: graph["colptr"][A], c: graph["colptr"][B]},
                     row={A: graph["row"][A], c: graph["row"][B]},
                     node_time={"m": np.zeros(400, dtype=np.int64)})
        times = np.full(seeds.size, 1000, dtype=np.int64)
        windows = [[None, 0], [None, 0], [None, InterruptingIndex(error)]]
        failing = ({A: i64(2, 2, 2)}, {c: windows}, "n", seeds, times)
        good = ({A: i64(2, 2, 2)}, {c: [[None, 0]] * 3}, "n", seeds, times)
    sampler = rerozer.NeighborSampler(**graph, seed=11)
    try:
        sampler.sample(*failing)
    except BaseException as exc:  # noqa: BLE001 - the class is printed
        raised = type(exc).__name__
    else:
        raised = "nothing"
    fresh = rerozer.NeighborSampler(**graph, seed=11)
    drew = plain(sampler.sample(*good)) != plain(fresh.sample(*good))
    print(raised, "drew" if drew else "drew-nothing")


if __name__ == "__main__":
    scenario = globals()[sys.argv[1]]
    scenario(*sys.argv[2:])
