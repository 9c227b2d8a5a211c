"""What releasing the interpreter lock during `sample` buys; prints medians.

    python bench/threads.py [--size medium] [--repeats 5]

(a) ticker   the longest gap of a thread that ticks every 1 ms while the
             main thread makes one call of about --call-seconds
(b) scaling  throughput of 2 threads, each with its own sampler over one
             graph, relative to 1 thread making the same calls, on W1 and W2
(c) sigint   time from SIGINT to KeyboardInterrupt during such a long call

The graph is the bench graph of --size (generated and cached on first use).
Nothing passes or fails here.
"""

from __future__ import annotations

import argparse
import os
import signal
import statistics
import sys
import threading
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import generate  # noqa: E402
from workloads import WORKLOADS, sampler_arguments, seed_batches  # noqa: E402

import rerozer  # noqa: E402


def make_call(graph: dict, name: str, batch: int, calls: int):
    """A sampler factory and the list of (request, seeds) of `calls` calls."""
    workload = WORKLOADS[name]
    num_neighbors, offsets = workload.request(graph)
    batches = seed_batches(graph, workload, batch, calls)

    def new_sampler():
        return rerozer.NeighborSampler(*sampler_arguments(graph, workload), seed=1)

    def run(sampler, index: int):
        seeds, times = batches[index % len(batches)]
        return sampler.sample(num_neighbors, offsets, workload.entity, seeds, times)

    return new_sampler, run


def long_call(graph: dict, seconds: float):
    """A sampler and a call of W1 whose batch is scaled to take `seconds`
    (measured on a call of a tenth of that size, since large batches cost
    more per seed than small ones)."""
    batch = 512
    for fraction in (0.02, 0.1):
        new_sampler, run = make_call(graph, "W1", batch, 1)
        sampler = new_sampler()
        start = time.perf_counter()
        del_result = run(sampler, 0)
        per_seed = (time.perf_counter() - start) / batch
        del del_result
        batch = max(512, int(fraction * seconds / per_seed))
    batch = max(512, int(seconds / per_seed))
    new_sampler, run = make_call(graph, "W1", batch, 1)
    return new_sampler(), lambda sampler: run(sampler, 0), batch


def ticker_gap(sampler, call) -> tuple[float, float]:
    """(longest gap between ticks, call seconds) with a 1 ms ticker running."""
    ticks: list[float] = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=tick)
    thread.start()
    time.sleep(0.05)
    start = time.perf_counter()
    result = call(sampler)
    end = time.perf_counter()
    stop.set()
    del result  # freeing a large result takes the lock too, but after the call
    thread.join()
    inside = [t for t in ticks if start <= t <= end]
    points = [start] + inside + [end]
    return max(b - a for a, b in zip(points, points[1:])), end - start


def sigint_latency(sampler, call, after: float) -> float | None:
    """Seconds from SIGINT, sent `after` seconds into the call, until the
    call raises KeyboardInterrupt; None when the call returned first."""
    sent: list[float] = []

    def interrupt():
        time.sleep(after)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=interrupt)
    thread.start()
    try:
        result = call(sampler)
        del result
        time.sleep(10)  # returned before the signal: it lands here
        return None
    except KeyboardInterrupt:
        caught = time.perf_counter()
    finally:
        thread.join()
    return caught - sent[0] if sent else None


def throughput(graph: dict, name: str, threads: int, calls: int) -> float:
    """Calls per second of `threads` threads, each with its own sampler
    making `calls` calls."""
    new_sampler, run = make_call(graph, name, WORKLOADS[name].batch, calls)
    samplers = [new_sampler() for _ in range(threads)]
    for sampler in samplers:
        run(sampler, 0)
    barrier = threading.Barrier(threads + 1)

    def work(sampler):
        barrier.wait()
        for i in range(calls):
            run(sampler, i)

    workers = [threading.Thread(target=work, args=(s,)) for s in samplers]
    for worker in workers:
        worker.start()
    barrier.wait()
    start = time.perf_counter()
    for worker in workers:
        worker.join()
    return threads * calls / (time.perf_counter() - start)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--size", default="medium", choices=sorted(generate.SIZES))
    p.add_argument("--repeats", type=int, default=5)
    p.add_argument("--call-seconds", type=float, default=5.0)
    p.add_argument("--calls", type=int, default=40, help="calls per thread in (b)")
    args = p.parse_args()

    graph = generate.load(generate.ensure(args.size, quiet=True))
    print(f"rerozer {rerozer.__file__}\ngraph {args.size}, {args.repeats} repeats, medians\n")

    sampler, call, batch = long_call(graph, args.call_seconds)
    gaps, lengths = [], []
    for _ in range(args.repeats):
        gap, length = ticker_gap(sampler, call)
        gaps.append(gap)
        lengths.append(length)
    print(f"(a) 1 ms ticker during a W1 call of {batch} seeds "
          f"({statistics.median(lengths):.2f} s): longest gap "
          f"{1e3 * statistics.median(gaps):.1f} ms (max {1e3 * max(gaps):.1f} ms)")

    for name in ("W1", "W2"):
        ratios = []
        for _ in range(args.repeats):
            one = throughput(graph, name, 1, args.calls)
            two = throughput(graph, name, 2, args.calls)
            ratios.append(two / one)
        print(f"(b) {name}: 2 threads / 1 thread throughput {statistics.median(ratios):.2f}x "
              f"(runs: {', '.join(f'{r:.2f}' for r in ratios)})")

    latencies = [sigint_latency(sampler, call, 0.5) for _ in range(args.repeats)]
    measured = [x for x in latencies if x is not None]
    if measured:
        print(f"(c) SIGINT 0.5 s into the call -> KeyboardInterrupt after "
              f"{1e3 * statistics.median(measured):.1f} ms (max {1e3 * max(measured):.1f} ms, "
              f"{len(measured)} of {len(latencies)} calls interrupted)")
    else:
        print("(c) every call returned before the signal")
    return 0


if __name__ == "__main__":
    sys.exit(main())
