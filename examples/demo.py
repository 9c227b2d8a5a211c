"""One epoch of temporal neighbourhood sampling over a generated shop database.

    python examples/demo.py                 # sample, print the summary
    python examples/demo.py --plot sub.png  # and draw one example's subgraph

The job goes through a real database file, as a user's data would: the shop
tables of examples/database.py are written to an SQLite file with FOREIGN KEY
constraints and TIMESTAMP columns, then read back with rerozer_tables'
read_sqlite, built into a graph, checked, saved as .npy files and loaded again
as memory maps. The epoch walks a training table of (customer, cutoff time)
pairs with a Loader whose worker threads sample the batches; every subgraph
is grown from the customer looking only at rows up to the cutoff time, which
the summary checks. The exit status is 1 when that check finds a later node.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import numpy.typing as npt

from database import (
    DAY, Counts, Offsets, Sizes, customer_request, make_tables, training_table, write_sqlite,
)
from rerozer_tables import (
    Batch, Graph, Loader, build_graph, check_graph, load_graph, read_sqlite, save_graph,
)


@dataclass
class EpochStats:
    """Totals over the batches of one epoch."""

    num_hops: int
    node_types: list[str]
    examples: int = 0
    batches: int = 0
    edges: int = 0
    seconds: float = 0.0
    timed_nodes: int = 0
    later_nodes: int = 0
    # nodes[t][h]: entry h of num_sampled_nodes[t], summed over batches.
    nodes: dict[str, npt.NDArray[np.int64]] = field(default_factory=dict)
    # edges_by_type[k][h]: entry h of num_sampled_edges[k], summed over batches.
    edges_by_type: dict[str, npt.NDArray[np.int64]] = field(default_factory=dict)

    def add(self, batch: Batch, node_time: dict[str, npt.NDArray[np.int64]]) -> None:
        self.examples += batch.seed_node.size
        self.batches += 1
        self.edges += batch.num_edges
        for node_type, counts in batch.num_sampled_nodes.items():
            self.nodes[node_type] = self.nodes.get(node_type, 0) + counts
        for key, counts in batch.num_sampled_edges.items():
            self.edges_by_type[key] = self.edges_by_type.get(key, 0) + counts
        for node_type, times in node_time.items():
            sampled_times = times[batch.out_node[node_type]]
            example_times = batch.seed_time[batch.out_batch[node_type]]
            self.timed_nodes += sampled_times.size
            self.later_nodes += int(np.count_nonzero(sampled_times > example_times))


def run_epoch(
    loader: Loader, graph: Graph, num_hops: int, keep_batch: int | None = None
) -> tuple[EpochStats, Batch | None]:
    """Sample every batch once; return the totals and batch ``keep_batch``."""
    stats = EpochStats(num_hops=num_hops, node_types=graph.node_types)
    kept = None
    began = time.perf_counter()
    for batch in loader:
        stats.add(batch, graph.node_time)
        if batch.index == keep_batch:
            kept = batch
    stats.seconds = time.perf_counter() - began
    return stats, kept


def describe_request(counts: list[int] | None, windows: list[list[int | None]] | None) -> str:
    if windows is not None:
        lo, hi = windows[0]
        start = "-inf" if lo is None else f"{lo // DAY} d"
        same = all(row == windows[0] for row in windows)
        return f"window ({start}, {hi // DAY} d]" + (" each hop" if same else ", ...")
    assert counts is not None
    return ", ".join("all" if c < 0 else str(c) for c in counts)


def print_summary(
    graph: Graph, stats: EpochStats, workers: int, num_neighbors: Counts, offsets: Offsets
) -> None:
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

    print("Request and mean sampled edges per example, by edge type and hop")
    print("(counts: the most recent k at or before the cutoff when the source has times,")
    print(" else k at random; 'all' takes every one; a window takes the times in it)")
    requests = {
        key: describe_request(num_neighbors.get(key), offsets.get(key)) for key in graph.num_edges()
    }
    width = max(len(key) for key in requests)
    asked = max(len("request"), *(len(text) for text in requests.values()))
    header = f"{'edge type':<{width}}  {'request':<{asked}}" + "".join(f"{h:>8}" for h in hops)
    print(header)
    print("-" * len(header))
    for key, request in requests.items():
        per_example = stats.edges_by_type[key] / max(stats.examples, 1)
        print(f"{key:<{width}}  {request:<{asked}}" + "".join(f"{v:>8.2f}" for v in per_example))
    print()

    rate = stats.edges / stats.seconds if stats.seconds > 0 else float("inf")
    print(
        f"Sampled edges: {stats.edges:,} in {stats.seconds:.3f} s of epoch with {workers} "
        f"workers: {rate:,.0f} edges/s, {stats.examples / max(stats.seconds, 1e-9):,.0f} examples/s"
    )
    verdict = "OK" if stats.later_nodes == 0 else "FAILED"
    print(
        f"Time check: {stats.later_nodes:,} of {stats.timed_nodes:,} sampled timed nodes are "
        f"later than their example's time: {verdict}"
    )


def run(args: argparse.Namespace, workdir: Path, parser: argparse.ArgumentParser) -> int:
    # 1. Write the generated shop to a real SQLite file.
    database = workdir / "shop.sqlite"
    database.unlink(missing_ok=True)
    write_sqlite(make_tables(Sizes().scaled(args.scale), seed=args.data_seed), database)

    # 2. Read it back, build, check, save, and load the graph as memory maps.
    began = time.perf_counter()
    tables = read_sqlite(database)
    built = build_graph(tables)
    check_graph(built)
    save_graph(built, workdir / "graph")
    del built
    graph = load_graph(workdir / "graph", mmap=True)
    seconds = time.perf_counter() - began
    rows = sum(table.num_rows for table in tables.values())
    sizes = ", ".join(f"{name} {table.num_rows:,}" for name, table in tables.items())
    # Flushed so that they come before the progress bar, which writes to stderr.
    print(f"Database: {len(tables)} tables, {rows:,} rows: {sizes}")
    print(
        f"SQLite {database.stat().st_size / 2**20:.1f} MiB -> graph {graph.nbytes / 2**20:.1f} MiB "
        f"(read, built, checked, saved and memory-mapped in {seconds:.2f} s)",
        flush=True,
    )

    # 3. One epoch: customers at monthly cutoffs, by key and cutoff time.
    positions, cutoffs = training_table(graph.node_time["customers"], seed=args.data_seed)
    if not 0 <= args.example < positions.size:
        parser.error(f"--example must lie in [0, {positions.size})")
    num_neighbors, offsets = customer_request()
    num_hops = max(len(v) for v in [*num_neighbors.values(), *offsets.values()])
    loader = Loader(
        graph, "customers", graph.key("customers", positions), cutoffs.astype("datetime64[s]"),
        batch_size=args.batch_size, num_neighbors=num_neighbors, sampling_time_offsets=offsets,
        seed=args.seed, workers=args.workers, progress=True,
    )
    keep = args.example // args.batch_size if args.plot else None
    stats, kept = run_epoch(loader, graph, num_hops, keep)
    print_summary(graph, stats, args.workers, num_neighbors, offsets)

    if args.plot and kept is not None:
        from subgraph_plot import draw_example

        x = args.example % args.batch_size
        customer = graph.key("customers", positions[args.example : args.example + 1])[0]
        nodes, edges, written = draw_example(
            kept.result, graph, x, int(cutoffs[args.example]), args.plot,
            title=f"example {args.example}: customer {customer}",
        )
        print(f"Plot: {nodes} nodes and {edges} edges of example {args.example} -> {written}")
    return 0 if stats.later_nodes == 0 else 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="database size factor")
    parser.add_argument("--batch-size", type=int, default=128)
    parser.add_argument("--workers", type=int, default=2, help="loader worker threads")
    parser.add_argument("--data-seed", type=int, default=0, help="seed of the generated data")
    parser.add_argument("--seed", type=int, default=123, help="seed of the loader's sampling")
    parser.add_argument(
        "--plot", metavar="FILE.png",
        help="draw one example's subgraph into FILE.png (relative to the current directory)",
    )
    parser.add_argument(
        "--example", type=int, default=0, help="position in the epoch of the example to draw"
    )
    parser.add_argument(
        "--workdir", metavar="DIR",
        help="keep shop.sqlite and the saved graph in DIR (default: a temporary directory)",
    )
    args = parser.parse_args(argv)
    if args.workdir:
        workdir = Path(args.workdir)
        workdir.mkdir(parents=True, exist_ok=True)
        return run(args, workdir, parser)
    with tempfile.TemporaryDirectory(prefix="rerozer-demo-") as tmp:
        return run(args, Path(tmp), parser)


if __name__ == "__main__":
    sys.exit(main())
