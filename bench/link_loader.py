"""What a LinkLoader example costs against an entity Loader example on the same sources.

    .venv/bin/python bench/link_loader.py [--scale 1] [--passes 5] [--negatives 4] [--baseline REV]
                                          [--shuffle]

Builds the shop of examples/recommend.py (examples/database.py with
tastes), its link training table (customers at monthly cut-offs, the
products they buy in the next 30 days; examples with at least one), and
times whole epochs over those examples two ways, in turns pass by pass so
that load from other users of the machine falls on both alike:

* ``entity``: a Loader of the customers at their cut-offs, with the
  customers' request of examples/recommend.py;
* ``link``:   a LinkLoader of the same examples, with the same request for
  the customers, the products' request for one positive per example (its
  default) and ``--negatives`` negatives per example; each distinct
  (product, cut-off) seed of a batch sampled once (its default);
* ``link-unshared``: the same with ``share_items=False``, a subgraph per
  item seed of each example;
* ``link-all``: the same as ``link`` with every positive of every example
  (``positives="all"``); with ``--baseline REV``, also the LinkLoader of
  revision REV (its link_loader.py on this tree's other modules);
* ``items of ...``: a Loader of products over the positives and negatives
  that one epoch of that link loader drew, at their examples' cut-offs,
  with the products' request and as many batches: the second call of a
  link loader that samples every seed (``share_items=False``) alone.

The examples are in the link table's order (cut-off by cut-off), so a
batch's examples mostly share one cut-off; ``--shuffle`` mixes them, as
training does, which leaves fewer item seeds to share.

The products' subgraphs (their order items of the last 30 days) are larger
than the customers' (five orders), and positives are the popular products,
so each link loader is compared with ``entity + items`` too: the
difference is the link loader's own work.

Both gather features and run in this thread (``workers=0``). Prints the
median CPU seconds per epoch (``--clock wall``: elapsed seconds), examples
per second, the ratio link / entity per example and the subgraphs a link
example samples (1 + its positives + the negatives), which is the ratio to
expect when every subgraph costs what a customer's does. Not part of the
tests.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
import types
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

from database import Sizes, make_tables, write_sqlite  # noqa: E402
from features_cost import cpu_seconds  # noqa: E402
from recommend import (  # noqa: E402
    CUTOFFS, HORIZON, ITEM, SOURCE, TASTES, customer_request, product_request, purchases,
)
from rerozer_tables import LinkLoader, Loader, build_graph, link_training_table, read_sqlite  # noqa: E402


def epoch(loader: Loader, clock: str) -> float:
    now = time.perf_counter if clock == "wall" else cpu_seconds
    began = now()
    for _ in loader:
        pass
    return now() - began


def baseline_loader(revision: str) -> type[LinkLoader]:
    """The ``LinkLoader`` of an earlier revision's link_loader.py, run on
    this tree's other modules (for revisions whose module imports what this
    tree still has): the loader's own work before and after a change, side
    by side in one run."""
    source = subprocess.run(
        ["git", "show", f"{revision}:src/rerozer_tables/load/link_loader.py"], cwd=ROOT,
        capture_output=True, text=True, check=True,
    ).stdout
    name = "rerozer_tables.load._bench_baseline_link_loader"
    module = types.ModuleType(name)
    module.__package__ = "rerozer_tables.load"
    sys.modules[name] = module
    exec(compile(source, f"{revision}:link_loader.py", "exec"), module.__dict__)
    return module.LinkLoader  # type: ignore[no-any-return]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="database size factor")
    parser.add_argument("--passes", type=int, default=5)
    parser.add_argument("--batch-size", type=int, default=256)
    parser.add_argument("--negatives", type=int, default=4)
    parser.add_argument("--clock", choices=["cpu", "wall"], default="cpu")
    parser.add_argument("--shuffle", action="store_true", help="shuffle the examples (seed 0)")
    parser.add_argument("--baseline", metavar="REV",
                        help="also time the LinkLoader of git revision REV")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="rerozer-bench-") as tmp:
        database = Path(tmp) / "shop.sqlite"
        write_sqlite(make_tables(Sizes().scaled(args.scale), tastes=TASTES), database)
        tables = read_sqlite(database)
    graph = build_graph(tables)
    table = link_training_table(
        {**tables, "purchases": purchases(tables, graph)}, SOURCE, CUTOFFS,
        target=("purchases", "customer_id", "product_id"), horizon=HORIZON,
    )
    table = table.take(table.num_positives > 0)
    item_counts, item_windows = product_request()
    link = dict(batch_size=args.batch_size, negatives=args.negatives,
                num_neighbors=customer_request(), item_num_neighbors=item_counts,
                item_sampling_time_offsets=item_windows, check=False, shuffle=args.shuffle)
    loaders: dict[str, Loader] = {
        "entity": Loader(graph, SOURCE, table.keys, table.times, batch_size=args.batch_size,
                         num_neighbors=customer_request(), check=False, shuffle=args.shuffle),
        "link": LinkLoader(graph, table, **link),  # type: ignore[arg-type]
        "link-unshared": LinkLoader(graph, table, share_items=False, **link),  # type: ignore[arg-type]
        "link-all": LinkLoader(graph, table, positives="all", **link),  # type: ignore[arg-type]
    }
    if args.baseline:
        loaders[f"link@{args.baseline}"] = baseline_loader(args.baseline)(graph, table, **link)
    # The item subgraphs of one epoch of each link loader, sampled by an
    # entity Loader of products: what its second call per batch costs alone.
    positives: dict[str, float] = {}
    roots: dict[str, int] = {}
    for name in ("link", "link-all"):
        seeds, seed_times = [], []
        roots[name] = 0
        for batch in loaders[name]:
            roots[name] += np.unique(np.concatenate([batch.pos_index, batch.neg_index.ravel()])).size
            example = np.repeat(np.arange(batch.seed_node.size), np.diff(batch.pos_ptr))
            seeds += [batch.pos_node, batch.neg_node.reshape(-1)]
            seed_times += [batch.seed_time[example], np.repeat(batch.seed_time, args.negatives)]
        items = np.concatenate(seeds)
        positives[name] = (items.size - len(table) * args.negatives) / len(table)
        per_batch = -(-items.size // len(loaders[name]))
        loaders[f"items of {name}"] = Loader(
            graph, ITEM, graph.key(ITEM, items), np.concatenate(seed_times), batch_size=per_batch,
            num_neighbors=item_counts, sampling_time_offsets=item_windows, check=False,
        )
    for loader in loaders.values():
        epoch(loader, args.clock)  # warm-up
    times: dict[str, list[float]] = {name: [] for name in loaders}
    for p in range(args.passes):
        for name in (list(loaders) if p % 2 == 0 else list(loaders)[::-1]):
            times[name].append(epoch(loaders[name], args.clock))
    print(f"{len(table):,} examples in batches of {args.batch_size}{' (shuffled)' if args.shuffle else ''}, "
          f"{args.negatives} negatives, "
          f"{args.passes} passes (median {args.clock} seconds per epoch)")
    medians = {name: statistics.median(values) for name, values in times.items()}
    for name, median in medians.items():
        print(f"  {name:<17} {median:8.3f} s   {len(table) / median:10,.0f} examples/s")
    for name in ("link", "link-all"):
        print(f"  {name}: {roots[name]:,} item subgraphs per epoch for "
              f"{round(len(table) * (positives[name] + args.negatives)):,} item seeds")
    for name in loaders:
        if not name.startswith("link"):
            continue
        mode = "link-all" if name.startswith("link-all") else "link"
        shared = "" if name.startswith("link-unshared") or "@" in name else " (shared)"
        both = medians["entity"] + medians[f"items of {mode}"]
        subgraphs = 1 + positives[mode] + args.negatives
        print(f"  {name}: x{medians[name] / medians['entity']:.2f} an entity example "
              f"(subgraphs per example: 1 + {positives[mode]:.2f} positives + {args.negatives} "
              f"negatives = {subgraphs:.2f}{shared}); x{medians[name] / both:.2f} its two calls alone "
              f"(entity + items of {mode}: the rest is drawing and joining)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
