"""Several worker processes sampling over one memory-mapped graph.

    python examples/multiprocess.py [--workers 3] [--scale 1.0]

The graph is saved once with ``rerozer_tables.save_graph`` (one ``.npy`` file
per array) and checked once with ``check_graph(graph, verify=True)``: these
workers sample without ``rerozer_tables.Loader``, which would run
``check_graph`` itself, and the sampler trusts the graph's layout, so a
damaged or hand-made graph gives wrong samples without an error. A graph
sampled without the ``Loader`` must pass ``check_graph`` once. Each worker,
forked from this process, then opens it with ``load_graph(..., mmap=True)``
and builds its own ``NeighborSampler`` over it.
The sampler reads C-contiguous native int64 arrays in place, so the graph's
pages are the page cache's, shared by every worker, and a worker's private
memory holds only its own working state. (An array of another layout, say
big-endian, is read through a private copy.)

Each worker has its own seed and its own share of the epoch. A worker's stream
depends only on its seed and its batches: replaying a worker's job in this
process gives identical results, which the script checks. (For training,
``rerozer_tables.Loader(workers=N)`` does this with a seed per batch; this
script measures what each worker's memory holds.)
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import multiprocessing as mp
import os
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from rerozer import NeighborSampler
from rerozer_tables import Graph, build_graph, check_graph, load_graph, save_graph

Batch = tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]  # (seed_node, seed_time)


def memory_kib() -> dict[str, int]:
    """This process's memory totals from /proc/self/smaps_rollup, in KiB.

    Private_Dirty is memory only this process has written: its heap, its
    copies. Pages of a read-only file mapping are clean and count as shared
    once another process maps them too.
    """
    totals = {}
    with open("/proc/self/smaps_rollup") as rollup:
        for line in rollup:
            name, _, rest = line.partition(":")
            if rest.strip().endswith("kB"):
                totals[name] = int(rest.split()[0])
    return totals


@dataclass(frozen=True)
class Request:
    num_neighbors: dict[str, Any]
    sampling_time_offsets: dict[str, Any]
    entity_table: str


@dataclass(frozen=True)
class Job:
    directory: Path
    seed: int
    batches: list[Batch]
    request: Request


@dataclass(frozen=True)
class Report:
    seed: int
    pid: int
    digest: str
    edges: int
    # Growth from the worker's start to its end: private memory written, and
    # resident memory (which includes the shared graph pages it read).
    private_dirty_kib: int
    rss_kib: int


def sample_stream(
    graph: Graph, seed: int, batches: list[Batch], request: Request
) -> tuple[str, int]:
    """Sample every batch with a new sampler; return a digest of the results and the edge count."""
    return sample_with(graph.sampler(seed=seed), batches, request)


def sample_with(
    sampler: NeighborSampler, batches: list[Batch], request: Request
) -> tuple[str, int]:
    digest = hashlib.sha256()
    edges = 0
    for seed_node, seed_time in batches:
        result = sampler.sample(
            request.num_neighbors,
            request.sampling_time_offsets,
            request.entity_table,
            seed_node,
            seed_time,
        )
        for part in result:
            for key, array in part.items():
                digest.update(key.encode())
                digest.update(array.tobytes())
        edges += sum(int(rows.size) for rows in result[0].values())
    return digest.hexdigest(), edges


def run_job(job: Job) -> Report:
    before = memory_kib()
    graph = load_graph(job.directory, mmap=True)
    sampler = graph.sampler(seed=job.seed)
    digest, edges = sample_with(sampler, job.batches, job.request)
    # Measured while the sampler, and whatever it holds, is still alive.
    after = memory_kib()
    return Report(
        seed=job.seed,
        pid=os.getpid(),
        digest=digest,
        edges=edges,
        private_dirty_kib=after["Private_Dirty"] - before["Private_Dirty"],
        rss_kib=after["Rss"] - before["Rss"],
    )


def _worker(job: Job, connection: Any) -> None:
    try:
        connection.send(run_job(job))
    except BaseException as error:  # report, do not hang the parent
        connection.send(error)
    finally:
        connection.close()


def run_workers(jobs: list[Job]) -> list[Report]:
    """Run every job in its own forked process, all at once; reports in job order."""
    context = mp.get_context("fork")
    # Objects made before the fork are left alone by the children's collector,
    # so it does not turn shared pages into private copies.
    gc.freeze()
    try:
        started = []
        for job in jobs:
            receiver, sender = context.Pipe(duplex=False)
            process = context.Process(target=_worker, args=(job, sender))
            process.start()
            sender.close()
            started.append((process, receiver))
        reports = []
        for process, receiver in started:
            outcome = receiver.recv()
            process.join()
            if isinstance(outcome, BaseException):
                raise RuntimeError(f"worker {process.pid} failed") from outcome
            reports.append(outcome)
        return reports
    finally:
        gc.unfreeze()


def main(argv: list[str] | None = None) -> int:
    from database import Sizes, customer_request, make_tables, training_table

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=3)
    parser.add_argument("--scale", type=float, default=1.0, help="database size factor")
    parser.add_argument("--batch-size", type=int, default=128)
    parser.add_argument("--seed", type=int, default=1000, help="worker w samples with seed + w")
    args = parser.parse_args(argv)

    graph = build_graph(make_tables(Sizes().scaled(args.scale)))
    seed_node, seed_time = training_table(graph.node_time["customers"])
    num_neighbors, offsets = customer_request()
    request = Request(num_neighbors, offsets, "customers")
    starts = range(0, seed_node.size, args.batch_size)
    size = args.batch_size
    batches = [(seed_node[s : s + size], seed_time[s : s + size]) for s in starts]
    graph_bytes = graph.nbytes

    with tempfile.TemporaryDirectory(prefix="rerozer-graph-") as tmp:
        directory = Path(tmp) / "graph"
        save_graph(graph, directory)
        del graph
        # Once, before any worker samples: the layout, and every array against
        # the checksum recorded when it was saved.
        check_graph(load_graph(directory), verify=True)
        jobs = [
            Job(directory, args.seed + w, batches[w :: args.workers], request)
            for w in range(args.workers)
        ]
        reports = run_workers(jobs)
        replayed = [
            sample_stream(load_graph(directory), job.seed, job.batches, job.request)
            for job in jobs
        ]

    print(f"Graph arrays: {graph_bytes / 2**20:.1f} MiB, memory-mapped by {args.workers} workers")
    print(f"{'worker':>6} {'pid':>8} {'seed':>6} {'batches':>7} {'edges':>9} {'digest':>14} "
          f"{'replay':>7} {'private+':>9} {'rss+':>8}")
    same = True
    for w, (job, report, (digest, _)) in enumerate(zip(jobs, reports, replayed)):
        match = digest == report.digest
        same &= match
        print(
            f"{w:>6} {report.pid:>8} {report.seed:>6} {len(job.batches):>7} {report.edges:>9,} "
            f"{report.digest[:12]:>14} {'same' if match else 'DIFFERS':>7} "
            f"{report.private_dirty_kib / 1024:>7.1f}Mi {report.rss_kib / 1024:>6.1f}Mi"
        )
    print("Growth while loading and sampling: private+ is what the worker wrote itself, "
          "rss+ adds the shared graph pages it read.")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
