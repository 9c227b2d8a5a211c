"""What the Loader costs around `sample`, and what its workers buy; prints medians.

    python bench/loader.py [--size medium] [--repeats 5] [--examples 20480]

On the bench graph of --size, the examples are customers with seed times
(as W1 draws them), and the request is 3 hops of (16, 16, 8) neighbours over
every edge type, in batches of 512 (--batch). Two requests (--requests):
"most-recent", on the graph as generated (every table has times, so no
selection draws), and "draws", on the same graph with the orders' times
left out, so that the counts on the edge types from orders are drawn
uniformly and those from the other tables take the most recent:

(a) overhead   Loader(workers=0) against raw `sample` calls on one warm
               sampler with the same batches, seeded for each batch as the
               loader seeds it (and against a new sampler per batch), for
               each request; (b) to (d) run the first request only
(b) workers    examples/s of workers=2 (threads, and processes) against
               workers=0, beside the raw calls split between 2 threads
               (what the machine's 2 cores give at the time)
(c) overlap    an epoch whose loop runs a training step of S ms per batch
               (S: --step-ms, default the median raw sampling time per
               batch), against max(training, sampling): the training is the
               steps alone, the sampling the epoch of workers=2 without
               steps. The step is time.sleep (it releases the interpreter
               lock, as a real training step mostly does) or a busy loop in
               Python (it holds the lock).
(d) memory     peak resident memory added by an epoch with a 10 ms step
               per batch (high-water mark, reset through
               /proc/self/clear_refs just before it) against one batch's
               bytes; each configuration in a fresh process.

Every configuration runs once per repeat, the configurations in turn, so
that load on a shared machine falls on all of them alike. Nothing passes or
fails here.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import numpy as np  # noqa: E402

import generate  # noqa: E402
from workloads import WORKLOADS, seed_batches  # noqa: E402

from rerozer_tables import Graph, Loader  # noqa: E402

HOPS = [16, 16, 8]


REQUESTS = ("most-recent", "draws")


def load_graph(size: str, request: str = "most-recent") -> tuple[Graph, dict]:
    """The bench graph as a Graph (without the orders' times for the
    request "draws"), and the generated data."""
    data = generate.load(generate.ensure(size, quiet=True))
    node_time = dict(data["node_time"])
    if request == "draws":
        del node_time["orders"]
    graph = Graph(
        node_types=list(data["node_types"]),
        edge_types=[tuple(t) for t in data["edge_types"]],
        colptr=data["colptr"], row=data["row"], node_time=node_time,
    )
    return graph, data


def examples(data: dict, count: int, batch: int) -> tuple[np.ndarray, np.ndarray]:
    calls = -(-count // batch)
    pairs = seed_batches(data, WORKLOADS["W1"], batch, calls)
    nodes = np.concatenate([p[0] for p in pairs])[:count]
    times = np.concatenate([p[1] for p in pairs])[:count]
    return nodes, times


def make_loader(graph: Graph, nodes, times, batch: int, **options) -> Loader:
    request = {"__".join(t): HOPS for t in graph.edge_types}
    return Loader(graph, "customers", nodes, times, batch_size=batch, num_neighbors=request,
                  check=False, **options)


def raw_epoch(loader: Loader, fresh: bool) -> float:
    """The loader's batches as plain `sample` calls, on a new sampler per
    batch seeded as the loader seeds it, which gives the loader's results,
    or on one warm sampler (whose draws then go on from batch to batch:
    the same work, other picks)."""
    plan = loader.plan(0)
    job = loader._job
    sampler = job.graph.sampler(seed=0)
    start = time.perf_counter()
    for planned in plan:
        s = job.graph.sampler(seed=planned.seed) if fresh else sampler
        result = s.sample(job.num_neighbors, job.sampling_time_offsets, job.entity_table,
                          planned.seed_node, planned.seed_time)
        del result
    return time.perf_counter() - start


def raw_two_threads(loader: Loader) -> float:
    """The same calls split between two threads, each with its own sampler
    (even and odd batches): what two cores give the raw calls right now."""
    import threading

    plan = loader.plan(0)
    job = loader._job

    def run(share) -> None:
        sampler = job.graph.sampler(seed=0)
        for planned in share:
            result = sampler.sample(job.num_neighbors, job.sampling_time_offsets,
                                    job.entity_table, planned.seed_node, planned.seed_time)
            del result

    threads = [threading.Thread(target=run, args=(plan[w::2],)) for w in range(2)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start


def busy(seconds: float) -> None:
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


def loader_epoch(loader: Loader, step=None, seconds: float = 0.0) -> float:
    start = time.perf_counter()
    for batch in loader:
        if step is not None:
            step(seconds)
        del batch
    return time.perf_counter() - start


def steps_alone(count: int, step, seconds: float) -> float:
    start = time.perf_counter()
    for _ in range(count):
        step(seconds)
    return time.perf_counter() - start


def batch_bytes(batch) -> int:
    arrays = [batch.example_index, batch.seed_node, batch.seed_time]
    for part in batch.result:
        arrays.extend(part.values())
    seen, total = set(), 0
    for a in arrays:  # views of one buffer (edge_index rows) count once
        base = a if a.base is None else a.base
        if id(base) not in seen:
            seen.add(id(base))
            total += base.nbytes
    return total


def rss_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def memory_run(args) -> None:
    """One epoch in this (fresh) process; prints a JSON line."""
    graph, data = load_graph(args.size)
    nodes, times = examples(data, args.examples, args.batch)
    workers, kind, prefetch = args.memory.split(":")
    loader = make_loader(graph, nodes, times, args.batch, workers=int(workers), worker_kind=kind,
                         prefetch=int(prefetch))
    sizes = []
    before = rss_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # reset the high-water mark
    for batch in loader:
        sizes.append(batch_bytes(batch))
        time.sleep(0.01)  # a training step, so that the workers run ahead as far as they may
        del batch
    peak = rss_kib("VmHWM") - before
    print(json.dumps({"peak_kib": peak, "median_batch_kib": statistics.median(sizes) / 1024,
                      "max_batch_kib": max(sizes) / 1024}))


def profile_run(args) -> None:
    """Where a worker's time goes per batch: wall and thread CPU time in the
    `sample` call and in building the batch, and the caller's wait for its
    next batch, for workers=2 threads with each kind of step."""
    from rerozer_tables.load import plan as loader_module

    graph, data = load_graph(args.size)
    nodes, times = examples(data, args.examples, args.batch)
    loader = make_loader(graph, nodes, times, args.batch, workers=2)
    step_s = (args.step_ms or 7.0) / 1000
    timings: list[tuple[float, float, float, float]] = []
    original_batch = loader_module._Job.batch

    def timed_call(self, planned):
        wall, cpu = time.perf_counter(), time.thread_time()
        result = self.sampler(planned.seed).sample(
            self.job.num_neighbors, self.job.sampling_time_offsets, self.job.entity_table,
            planned.seed_node, planned.seed_time)
        wall2, cpu2 = time.perf_counter(), time.thread_time()
        batch = original_batch(self.job, planned, result, stack_edges=self.stack_edges)
        timings.append((wall2 - wall, cpu2 - cpu, time.perf_counter() - wall2, time.thread_time() - cpu2))
        return batch

    loader_module._Sampling.__call__ = timed_call
    for kind, step in (("none", None), ("sleep", time.sleep), ("busy", busy)):
        for _ in range(args.repeats):
            timings.clear()
            waits = []
            start = time.perf_counter()
            batches = iter(loader)
            while True:
                t = time.perf_counter()
                batch = next(batches, None)
                waits.append(time.perf_counter() - t)
                if batch is None:
                    break
                if step is not None:
                    step(step_s)
                del batch
            total = time.perf_counter() - start
        cols = list(zip(*timings))
        ms = [statistics.median(c) * 1000 for c in cols]
        print(f"step {kind:<5} ({step_s * 1000:.1f} ms): epoch {total:.3f} s; per batch in a worker: "
              f"sample {ms[0]:.2f} ms wall / {ms[1]:.2f} ms CPU, build {ms[2]:.2f} wall / "
              f"{ms[3]:.2f} CPU; caller waited {sum(waits):.3f} s in all "
              f"(first batch {waits[0] * 1000:.1f} ms)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", default="medium", choices=sorted(generate.SIZES))
    parser.add_argument("--examples", type=int, default=20_480)
    parser.add_argument("--batch", type=int, default=512)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--step-ms", type=float, default=None)
    parser.add_argument("--memory", default=None, help=argparse.SUPPRESS)  # one memory run
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--requests", default=",".join(REQUESTS),
                        help="requests of (a), comma-separated from most-recent,draws")
    parser.add_argument("--overhead-only", action="store_true", help="run (a) alone")
    parser.add_argument("--profile", action="store_true",
                        help="instead: where the time of workers=2 threads goes, per batch")
    args = parser.parse_args()
    if args.memory:
        memory_run(args)
        return
    if args.profile:
        profile_run(args)
        return

    print(f"load: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f} "
          f"(1, 5, 15 min) on {os.cpu_count()} cores")
    requests = [r for r in args.requests.split(",") if r]
    for request in requests:
        if request not in REQUESTS:
            raise SystemExit(f"unknown request {request!r} ({', '.join(REQUESTS)})")
    graph, data = load_graph(args.size, requests[0])
    nodes, times = examples(data, args.examples, args.batch)
    loaders = {"w0": make_loader(graph, nodes, times, args.batch)}
    if not args.overhead_only:
        loaders["t2"] = make_loader(graph, nodes, times, args.batch, workers=2)
        loaders["p2"] = make_loader(graph, nodes, times, args.batch, workers=2,
                                    worker_kind="process")
    # (a) for the other requests: the loader of each, named by its request.
    overhead = {requests[0]: loaders["w0"]}
    for request in requests[1:]:
        other, _ = load_graph(args.size, request)
        overhead[request] = make_loader(other, nodes, times, args.batch)
    num_batches = len(loaders["w0"])
    for loader in [*loaders.values(), *overhead.values()]:  # warm up: page in the graph
        loader_epoch(loader)
    print(f"{args.size} graph, {nodes.size} examples, batch {args.batch}, {num_batches} batches, "
          f"request {HOPS} over {len(graph.edge_types)} edge types, {args.repeats} repeats\n")

    times_by: dict[str, list[float]] = {}

    def record(name: str, seconds: float) -> None:
        times_by.setdefault(name, []).append(seconds)

    cpu_by: dict[str, list[float]] = {}

    def on_cpu(name: str, run) -> float:
        """Run, keep the process's CPU seconds (which a shared machine's load
        does not inflate), and return the wall seconds."""
        cpu = time.process_time()
        seconds = run()
        cpu_by.setdefault(name, []).append(time.process_time() - cpu)
        return seconds

    for _ in range(args.repeats):
        for request, loader in overhead.items():
            for name, run in ((f"raw {request}", lambda: raw_epoch(loader, fresh=False)),
                              (f"raw-fresh {request}", lambda: raw_epoch(loader, fresh=True)),
                              (f"w0 {request}", lambda: loader_epoch(loader))):
                record(name, on_cpu(name, run))
        if args.overhead_only:
            continue
        record("raw", on_cpu("raw", lambda: raw_epoch(loaders["w0"], fresh=False)))
        record("raw2", raw_two_threads(loaders["w0"]))
        for name, loader in loaders.items():
            record(name, on_cpu(name, lambda: loader_epoch(loader)))
    med = {name: statistics.median(values) for name, values in times_by.items()}

    def line(label: str, name: str, extra: str = "") -> None:
        values = times_by[name]
        cpu = f"  CPU {statistics.median(cpu_by[name]):.3f} s" if name in cpu_by else ""
        print(f"  {label:<34} {med[name]:7.3f} s  ({min(values):.3f}-{max(values):.3f})"
              f"  {nodes.size / med[name]:>10,.0f} examples/s{cpu} {extra}")

    def best(name: str) -> float:
        return min(times_by[name])

    cpu_med = {name: statistics.median(values) for name, values in cpu_by.items()}
    print("(a) overhead: epoch seconds, median (range), and median CPU seconds of the process")
    for request in overhead:
        raw, w0 = f"raw {request}", f"w0 {request}"
        print(f" request {request}:")
        line("raw sample, one sampler", raw)
        line("raw sample, a sampler per batch", f"raw-fresh {request}")
        line("Loader(workers=0)", w0, f"  {med[w0] / med[raw]:.2f}x raw "
             f"(CPU {cpu_med[w0] / cpu_med[raw]:.2f}x, best {best(w0) / best(raw):.2f}x)")
    if args.overhead_only:
        return
    step_s = (args.step_ms / 1000) if args.step_ms else med["raw"] / num_batches

    for _ in range(args.repeats):
        for kind, step in (("sleep", time.sleep), ("busy", busy)):
            record(f"steps-{kind}", steps_alone(num_batches, step, step_s))
            for name, loader in loaders.items():
                record(f"{name}+{kind}", loader_epoch(loader, step, step_s))
    med = {name: statistics.median(values) for name, values in times_by.items()}
    print("(b) workers (speed-up in examples/s: medians, and best against best)")
    line("raw sample on 2 threads", "raw2", f"  {med['raw'] / med['raw2']:.2f}x raw on 1 "
         f"(best {best('raw') / best('raw2'):.2f}x): what 2 cores give now")
    for name, label in (("t2", "threads"), ("p2", "processes")):
        line(f"Loader(workers=2) {label}", name, f"  {med['w0'] / med[name]:.2f}x workers=0 "
             f"(best {best('w0') / best(name):.2f}x)")
    print(f"(c) overlap: a step of {step_s * 1000:.2f} ms per batch "
          f"(sampling per batch, raw: {med['raw'] / num_batches * 1000:.2f} ms)")
    for kind in ("sleep", "busy"):
        training = med[f"steps-{kind}"]
        print(f"  step {kind}: steps alone {training:.3f} s")
        for name, label in (("w0", "workers=0"), ("t2", "workers=2 threads"), ("p2", "workers=2 processes")):
            bound = max(training, med[name])
            best_bound = max(best(f"steps-{kind}"), best(name))
            line(f"  {label} + step", f"{name}+{kind}",
                 f"  {med[f'{name}+{kind}'] / bound:.2f}x max(training, sampling {med[name]:.3f} s) "
                 f"(best {best(f'{name}+{kind}') / best_bound:.2f}x)")
    if args.no_memory:
        return
    print("(d) memory: peak resident memory added by an epoch, fresh process each "
          "(processes: the parent's alone)")
    for config in ("0:thread:2", "2:thread:1", "2:thread:2", "2:thread:4", "2:process:2"):
        out = subprocess.run(
            [sys.executable, __file__, "--size", args.size, "--examples", str(args.examples),
             "--batch", str(args.batch), "--memory", config],
            check=True, capture_output=True, text=True,
        ).stdout
        m = json.loads(out.strip().splitlines()[-1])
        workers, kind, prefetch = config.split(":")
        print(f"  workers={workers} {kind:<8} prefetch={prefetch} peak {m['peak_kib'] / 1024:7.1f} MiB = "
              f"{m['peak_kib'] / m['median_batch_kib']:5.1f} batches "
              f"(batch median {m['median_batch_kib'] / 1024:.1f} MiB, max {m['max_batch_kib'] / 1024:.1f} MiB)")


if __name__ == "__main__":
    main()
