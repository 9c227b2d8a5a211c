"""What feature gathering and Batch.to_hetero_data() add to an epoch of the demo.

    .venv/bin/python bench/features_cost.py [--scale 1] [--passes 5] [--workers 0]

Builds the demo's shop database (examples/database.py) through SQLite, saves
and memory-maps the graph, and times whole epochs of the demo's request
(customers at monthly cut-offs, 3 hops, batches of 128) three ways:

* ``sample``:    the Loader with ``features=False``;
* ``features``:  the Loader gathering each batch's feature rows;
* ``hetero``:    the same, and every batch converted by ``to_hetero_data()``.

The three take turns pass by pass, so that load from other users of the
machine falls on all alike. Prints the median epoch time of each and its
ratio to ``sample``, in CPU seconds of the process and its workers
(``--clock cpu``, the default: steady when other work shares the machine)
or in elapsed seconds (``--clock wall``). torch is imported (and warmed up) before the first
pass. Not part of the tests.
"""

from __future__ import annotations

import argparse
import resource
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

from database import Sizes, customer_request, make_tables, training_table, write_sqlite  # noqa: E402
from rerozer_tables import Loader, build_graph, load_graph, read_sqlite, save_graph  # noqa: E402

VARIANTS = ("sample", "features", "hetero")


def cpu_seconds() -> float:
    """CPU time of this process and of its ended children (the loader's workers)."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


def epoch(loader: Loader, convert: bool, clock: str) -> float:
    now = time.perf_counter if clock == "wall" else cpu_seconds
    began = now()
    for batch in loader:
        if convert:
            batch.to_hetero_data()
    return now() - began


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="database size factor")
    parser.add_argument("--passes", type=int, default=5)
    parser.add_argument("--batch-size", type=int, default=128)
    parser.add_argument("--workers", type=int, default=0, help="loader worker processes")
    parser.add_argument(
        "--clock", choices=["cpu", "wall"], default="cpu",
        help="cpu: CPU seconds of this process and its workers (steady on a shared machine); "
        "wall: elapsed seconds",
    )
    args = parser.parse_args()

    import torch  # imported before timing: its first import takes seconds

    torch.set_num_threads(1)
    with tempfile.TemporaryDirectory(prefix="rerozer-bench-") as tmp:
        database = Path(tmp) / "shop.sqlite"
        write_sqlite(make_tables(Sizes().scaled(args.scale)), database)
        save_graph(build_graph(read_sqlite(database)), Path(tmp) / "graph")
        graph = load_graph(Path(tmp) / "graph", mmap=True)
        positions, cutoffs = training_table(graph.node_time["customers"])
        num_neighbors, offsets = customer_request()

        def loader(features: bool) -> Loader:
            return Loader(
                graph, "customers", graph.key("customers", positions), cutoffs,
                batch_size=args.batch_size,
                num_neighbors=num_neighbors, sampling_time_offsets=offsets,
                workers=args.workers, features=features, check=False,
            )

        loaders = {"sample": loader(False), "features": loader(True), "hetero": loader(True)}
        epoch(loaders["hetero"], True, args.clock)  # warm-up: page cache, torch's first conversion
        times: dict[str, list[float]] = {v: [] for v in VARIANTS}
        for p in range(args.passes):
            order = VARIANTS if p % 2 == 0 else VARIANTS[::-1]
            for variant in order:
                times[variant].append(epoch(loaders[variant], variant == "hetero", args.clock))
        batches = len(loaders["sample"])
    print(
        f"Demo epoch: {positions.size:,} examples in {batches} batches of {args.batch_size}, "
        f"workers={args.workers}, {args.passes} passes (median {args.clock} seconds per epoch)"
    )
    base = statistics.median(times["sample"])
    for variant in VARIANTS:
        median = statistics.median(times[variant])
        print(f"  {variant:<9} {median:8.3f} s   x{median / base:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
