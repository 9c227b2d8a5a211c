"""One epoch of temporal neighbourhood sampling over a generated shop database.

    python examples/demo.py                 # sample, print the summary
    python examples/demo.py --plot sub.png  # and draw one example's subgraph

The database (examples/database.py) is built in memory from a fixed seed and
turned into the sampler's dictionaries by examples/csc.py. The epoch walks a
training table of (customer, cutoff time) pairs in batches; every subgraph is
grown from the customer looking only at rows up to the cutoff time, which the
summary checks. The exit status is 1 when that check finds a later node.
"""

from __future__ import annotations

import argparse
import sys
import time
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt
from tqdm import tqdm

from csc import Graph, tables_to_graph
from database import Sizes, customer_request, make_tables, training_table
from rerozer import NeighborSampler

Result = tuple[dict[str, npt.NDArray[np.int64]], ...]


@dataclass
class EpochStats:
    """Totals over the batches of one epoch."""

    num_hops: int
    node_types: list[str]
    examples: int = 0
    batches: int = 0
    edges: int = 0
    sample_seconds: float = 0.0
    timed_nodes: int = 0
    later_nodes: int = 0
    # nodes[t][h]: entry h of num_sampled_nodes[t], summed over batches.
    nodes: dict[str, npt.NDArray[np.int64]] = field(default_factory=dict)

    def add(
        self,
        result: Result,
        seed_time: npt.NDArray[np.int64],
        node_time: dict[str, npt.NDArray[np.int64]],
        seconds: float,
    ) -> None:
        out_row, _, out_node, out_batch, num_sampled_nodes, _ = result
        self.examples += seed_time.size
        self.batches += 1
        self.sample_seconds += seconds
        self.edges += sum(int(rows.size) for rows in out_row.values())
        for node_type, counts in num_sampled_nodes.items():
            self.nodes[node_type] = self.nodes.get(node_type, 0) + counts
        for node_type, times in node_time.items():
            sampled_times = times[out_node[node_type]]
            example_times = seed_time[out_batch[node_type]]
            self.timed_nodes += sampled_times.size
            self.later_nodes += int(np.count_nonzero(sampled_times > example_times))


def run_epoch(
    graph: Graph,
    sampler: NeighborSampler,
    seed_node: npt.NDArray[np.int64],
    seed_time: npt.NDArray[np.int64],
    batch_size: int,
    keep_batch: int | None = None,
) -> tuple[EpochStats, Result | None]:
    """Sample every batch once; return the totals and the result of batch ``keep_batch``."""
    num_neighbors, sampling_time_offsets = customer_request()
    num_hops = max(
        max(len(counts) for counts in num_neighbors.values()),
        max(len(rows) for rows in sampling_time_offsets.values()),
    )
    stats = EpochStats(num_hops=num_hops, node_types=graph.node_types)
    kept = None
    starts = range(0, seed_node.size, batch_size)
    for index, start in enumerate(tqdm(starts, desc="epoch", unit="batch")):
        nodes = seed_node[start : start + batch_size]
        times = seed_time[start : start + batch_size]
        began = time.perf_counter()
        result = sampler.sample(num_neighbors, sampling_time_offsets, "customers", nodes, times)
        stats.add(result, times, graph.node_time, time.perf_counter() - began)
        if index == keep_batch:
            kept = result
    return stats, kept


def print_summary(graph: Graph, stats: EpochStats) -> None:
    total_edges = sum(graph.num_edges().values())
    print()
    print(
        f"Graph: {len(graph.node_types)} node types, {len(graph.edge_types)} edge types, "
        f"{total_edges:,} edges"
    )
    print(
        f"Epoch: {stats.examples:,} examples in {stats.batches} batches, "
        f"{stats.num_hops} hops"
    )
    print()
    print("Mean nodes per example, by node type and hop (hop k: first reached in hop k)")
    hops = [f"hop {h}" for h in range(1, stats.num_hops + 1)]
    header = f"{'node type':<14}" + "".join(f"{name:>9}" for name in ["seeds", *hops, "total"])
    print(header)
    print("-" * len(header))
    totals = np.zeros(stats.num_hops + 1)
    for node_type in stats.node_types:
        per_example = stats.nodes[node_type] / max(stats.examples, 1)
        totals += per_example
        cells = [*per_example, per_example.sum()]
        print(f"{node_type:<14}" + "".join(f"{value:>9.2f}" for value in cells))
    print("-" * len(header))
    print(f"{'all':<14}" + "".join(f"{value:>9.2f}" for value in [*totals, totals.sum()]))
    print()
    rate = stats.edges / stats.sample_seconds if stats.sample_seconds > 0 else float("inf")
    print(
        f"Sampled edges: {stats.edges:,} in {stats.sample_seconds:.3f} s spent in sample(): "
        f"{rate:,.0f} edges/s, {stats.examples / max(stats.sample_seconds, 1e-9):,.0f} examples/s"
    )
    verdict = "OK" if stats.later_nodes == 0 else "FAILED"
    print(
        f"Time check: {stats.later_nodes:,} of {stats.timed_nodes:,} sampled timed nodes are "
        f"later than their example's time: {verdict}"
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="database size factor")
    parser.add_argument("--batch-size", type=int, default=128)
    parser.add_argument("--data-seed", type=int, default=0, help="seed of the generated data")
    parser.add_argument("--seed", type=int, default=123, help="seed of the sampler")
    parser.add_argument(
        "--plot", metavar="FILE.png",
        help="draw one example's subgraph into FILE.png (relative to the current directory)",
    )
    parser.add_argument(
        "--example", type=int, default=0, help="position in the epoch of the example to draw"
    )
    args = parser.parse_args(argv)

    tables = make_tables(Sizes().scaled(args.scale), seed=args.data_seed)
    graph = tables_to_graph(tables)
    sampler = NeighborSampler(**graph.arguments(), seed=args.seed)
    seed_node, seed_time = training_table(graph.node_time["customers"], seed=args.data_seed)
    rows = sum(table.num_rows for table in tables.values())
    sizes = ", ".join(f"{name} {table.num_rows:,}" for name, table in tables.items())
    # Flushed so that it comes before the progress bar, which writes to stderr.
    print(f"Database: {len(tables)} tables, {rows:,} rows: {sizes}", flush=True)
    if not 0 <= args.example < seed_node.size:
        parser.error(f"--example must lie in [0, {seed_node.size})")

    keep = args.example // args.batch_size if args.plot else None
    stats, kept = run_epoch(graph, sampler, seed_node, seed_time, args.batch_size, keep)
    print_summary(graph, stats)

    if args.plot and kept is not None:
        from subgraph_plot import draw_example

        x = args.example % args.batch_size
        nodes, edges, written = draw_example(
            kept, graph, x, int(seed_time[args.example]), args.plot,
            title=f"example {args.example}: customer {seed_node[args.example]}",
        )
        print(f"Plot: {nodes} nodes and {edges} edges of example {args.example} -> {written}")
    return 0 if stats.later_nodes == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
