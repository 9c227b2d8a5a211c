"""The benchmark workloads: what one `sample` call asks for, and the seeds of
a fixed sequence of calls.

    W1 most-recent   temporal sampler, customers with seed times, 2 hops,
                     the 128 most recent neighbours per edge type and hop
    W2 uniform       sampler without node times, customers, 3 hops with
                     counts [15, 10, 5], drawn uniformly without replacement
    W3 time windows  temporal sampler, products with seed times, 2 hops,
                     every edge in the last 30 days on every edge type
    W4 most-recent   as W1 with 3 hops of 128 most recent neighbours
    W0 fixed cost    one seed, 2 hops of the 2 most recent neighbours over
                     the wide graph (6 node types, 12 edge types): a call
                     that does almost nothing, so its time is the per-call
                     cost of the boundary and the result dictionaries
    W5 temporal      W1's request on the sampler of rerozer_tables._temporal:
       uniform       128 per edge type and hop drawn among all neighbours at
                     or before the seed time
    W6 uniform,      W1's request on a sampler without node times: 128 per
       W1's request  edge type and hop drawn among the whole column, the
                     selection W5 is held against per sampled edge

    W7 retail        the retail graph (customers and products without
       windows       times; 1e6 transactions and 250,000 reviews over two
                     years): 512 customers at random times of the second
                     year, 2 hops of 30-day windows on every edge type whose
                     source has times, and every neighbour (-1) on the others

    S1-S4          W1-W4 as the shared workloads folder defines them, on its
                   reference graph (relgraph.py, scale 0.25) with its seeds:
                   S3 starts from customers, windows on timed sources and
                   every neighbour (-1) on the others; every call of a run
                   takes the same seed batch

W3 starts from products rather than customers: a customer has a handful of
orders in any 30-day window, a product hundreds, so the window path does
real work instead of measuring per-call overhead.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from generate import DAY, RELGRAPH, RETAIL, SPAN, START_TIME, edge_type_key, relgraph_module


@dataclass(frozen=True)
class Workload:
    name: str
    title: str
    temporal: bool  # build the sampler with node times, pass seed times
    entity: str
    batch: int  # default number of seeds per call
    counts: tuple[int, ...] = ()  # per hop, on every edge type (count mode)
    window_hops: int = 0  # hops of (-window, 0] on every edge type (window mode)
    window: int = 0
    graph: str = ""  # the one graph it runs on, when not every size
    # "uniform": counts on temporal edge types draw among all edges up to the
    # seed time (the sampler of rerozer_tables._temporal), which the floor
    # does not do.
    strategy: str = "last"
    # With windows: the count per hop on edge types whose source has no
    # times (None: windows on every edge type, as the bench graphs have
    # times everywhere).
    untimed_count: int | None = None

    def describe(self) -> str:
        if self.counts:
            mode = f"counts {list(self.counts)} per edge type"
        else:
            mode = f"{self.window_hops} hops, window of the last {self.window // DAY} days"
            if self.untimed_count is not None:
                mode += f" where the source has times, count {self.untimed_count} elsewhere"
        times = "node and seed times" if self.temporal else "no times"
        drawn = ", drawn among all up to the seed time" if self.strategy == "uniform" else ""
        return f"{self.title}: {self.entity}, {mode}{drawn}, {times}"

    def request(self, graph: dict) -> tuple[dict, dict]:
        """(num_neighbors, sampling_time_offsets) for every edge type."""
        keys = [edge_type_key(e) for e in graph["edge_types"]]
        if self.counts:
            counts = np.array(self.counts, dtype=np.int64)
            return {k: counts.copy() for k in keys}, {}
        offsets = np.array([[-self.window, 0]] * self.window_hops, dtype=np.int64)
        if self.untimed_count is None:
            return {}, {k: offsets.copy() for k in keys}
        counts = np.array([self.untimed_count] * self.window_hops, dtype=np.int64)
        timed = [edge_type_key(e) for e in graph["edge_types"] if e[0] in graph["node_time"]]
        return ({k: counts.copy() for k in keys if k not in timed},
                {k: offsets.copy() for k in timed})


WORKLOADS = {
    w.name: w
    for w in [
        Workload("W1", "most-recent", True, "customers", 512, counts=(128, 128)),
        Workload("W2", "uniform", False, "customers", 1024, counts=(15, 10, 5)),
        Workload("W3", "time windows", True, "products", 512, window_hops=2, window=30 * DAY),
        Workload("W4", "most-recent 3 hops", True, "customers", 512, counts=(128, 128, 128)),
        Workload("W0", "fixed cost", True, "customers", 1, counts=(2, 2), graph="wide"),
        Workload("W5", "temporal uniform", True, "customers", 512, counts=(128, 128),
                 strategy="uniform"),
        Workload("W6", "uniform, W1's request", False, "customers", 512, counts=(128, 128)),
        Workload("W7", "retail windows", True, "customers", 512, window_hops=2, window=30 * DAY,
                 graph=RETAIL, untimed_count=-1),
        Workload("S1", "shared W1 most-recent", True, "customers", 512, counts=(128, 128),
                 graph=RELGRAPH),
        Workload("S2", "shared W2 uniform", False, "customers", 1024, counts=(15, 10, 5),
                 graph=RELGRAPH),
        Workload("S3", "shared W3 windows", True, "customers", 512, window_hops=2,
                 window=30 * DAY, graph=RELGRAPH, untimed_count=-1),
        Workload("S4", "shared W4 most-recent 3 hops", True, "customers", 512,
                 counts=(128, 128, 128), graph=RELGRAPH),
    ]
}

# The position of each shared workload in relgraph.workloads(g).
SHARED_INDEX = {"S1": 0, "S2": 1, "S3": 2, "S4": 3}


def shared_batch(graph: dict, workload: Workload) -> tuple[np.ndarray, np.ndarray]:
    """The seeds and seed times relgraph.workloads gives this workload; its
    request must equal ours, or the figures would not be the shared ones."""
    meta = graph["meta"]
    shared = dict(graph, counts=meta["counts"], t0=meta["t0"], span=meta["span"])
    name, timed, num_neighbors, offsets, entity, seeds, times = (
        relgraph_module().workloads(shared)[SHARED_INDEX[workload.name]])
    ours = workload.request(graph)
    same = (timed == workload.temporal and entity == workload.entity
            and all(sorted(a) == sorted(b) and all(np.array_equal(a[k], b[k]) for k in a)
                    for a, b in zip(ours, (num_neighbors, offsets))))
    if not same:
        raise RuntimeError(f"{workload.name} no longer matches the shared {name!r}")
    return np.ascontiguousarray(seeds), np.ascontiguousarray(times)


def seed_batches(graph: dict, workload: Workload, batch: int, calls: int,
                 seed: int = 7) -> list[tuple[np.ndarray, np.ndarray]]:
    """`calls` batches of (seed_node, seed_time), the same for every build.

    With times, each seed gets a time in the second half of the covered span
    and a node of the entity table that exists by then (node time at or
    before the seed time), as a training table of a temporal task would.
    Without times, seeds are uniform over the table and seed_time is empty.
    """
    if workload.name in SHARED_INDEX:
        return [shared_batch(graph, workload)] * calls
    rng = np.random.default_rng(seed)
    empty = np.empty(0, dtype=np.int64)
    if workload.entity not in graph["node_time"]:
        # An entity table without times: any row, at a time in the second
        # half of the span of the graph's times.
        count = len(graph["colptr"][next(
            edge_type_key(e) for e in graph["edge_types"] if e[2] == workload.entity)]) - 1
        low = min(int(t.min()) for t in graph["node_time"].values())
        high = max(int(t.max()) for t in graph["node_time"].values())
        middle = low + (high - low) // 2
        return [(rng.integers(0, count, batch, dtype=np.int64),
                 rng.integers(middle, high + 1, batch, dtype=np.int64) if workload.temporal
                 else empty) for _ in range(calls)]
    node_time = graph["node_time"][workload.entity]
    if not workload.temporal:
        return [(rng.integers(0, len(node_time), batch, dtype=np.int64), empty)
                for _ in range(calls)]
    by_time = np.argsort(node_time, kind="stable")
    sorted_times = node_time[by_time]
    batches = []
    for _ in range(calls):
        times = START_TIME + SPAN // 2 + rng.integers(0, SPAN - SPAN // 2, batch, dtype=np.int64)
        existing = np.searchsorted(sorted_times, times, side="right")
        existing = np.maximum(existing, 1)  # at least the oldest node
        picks = (rng.random(batch) * existing).astype(np.int64)
        nodes = by_time[picks].astype(np.int64)
        batches.append((np.ascontiguousarray(nodes), np.ascontiguousarray(times)))
    return batches


def sampler_class(workload: Workload):
    """The class whose sampler runs the workload."""
    if workload.strategy == "uniform":
        from rerozer_tables._temporal import NeighborSampler
    else:
        from rerozer import NeighborSampler
    return NeighborSampler


def sampler_arguments(graph: dict, workload: Workload) -> tuple:
    """Positional arguments of NeighborSampler for this workload."""
    node_time = graph["node_time"] if workload.temporal else {}
    return (graph["node_types"], graph["edge_types"], graph["colptr"], graph["row"], node_time)
