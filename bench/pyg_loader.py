"""What the drop-in NeighborLoader costs against our own Loader on the same request.

    .venv/bin/python bench/pyg_loader.py [--scale 0.5] [--passes 5] [--batch-size 512]

Builds the demo shop as a RelBench dataset (examples/relbench/shop.py) and
the training table of its customer-orders task, and times whole epochs over
those examples two ways, in turns pass by pass so that load from other
users of the machine falls on both alike:

* ``drop-in``: ``rerozer_tables.pyg.NeighborLoader`` on the ``HeteroData``
  that RelBench's ``make_pkey_fkey_graph`` builds, as examples/relbench/
  gnn_entity.py makes it (``time_attr``, ``input_nodes``, ``input_time``,
  RelBench's transform attaching the labels): each batch a ``HeteroData``
  with every node attribute (``tf``, ``time``) sliced by ``n_id``;
* ``loader``: our own path, ``from_relbench`` -> ``build_graph`` ->
  ``Loader`` (labels, no feature gathering beside the frames) with each
  batch made a ``HeteroData`` by ``to_hetero_data(tensor_frame=True)``.

Same examples in the same order (no shuffle), same counts per hop, same
strategy, one thread (``num_workers=0``/``workers=0``). Prints the median
CPU seconds per epoch (``--clock wall``: elapsed seconds), examples per
second and the ratio drop-in / loader. Not part of the tests.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples" / "relbench"))
sys.path.insert(0, str(ROOT / "bench"))

from features_cost import cpu_seconds  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=0.5)
    parser.add_argument("--passes", type=int, default=5)
    parser.add_argument("--batch-size", type=int, default=512)
    parser.add_argument("--num-neighbors", type=int, nargs="+", default=[64, 32])
    parser.add_argument("--strategy", choices=["last", "uniform"], default="last")
    parser.add_argument("--clock", choices=["cpu", "wall"], default="cpu")
    args = parser.parse_args()

    warnings.simplefilter("ignore")
    import torch
    from relbench.modeling.graph import get_node_train_table_input, make_pkey_fkey_graph
    from relbench.modeling.utils import get_stype_proposal
    from shop import CustomerOrders, ShopDataset
    from torch_frame.config.text_embedder import TextEmbedderConfig
    from text_embedder import HashTextEmbedding

    from rerozer_tables import Loader, build_graph
    from rerozer_tables.pyg import NeighborLoader
    from rerozer_tables.relbench import from_relbench, task_tables

    began = time.perf_counter()
    task = CustomerOrders(ShopDataset(args.scale))
    db = task.get_db()
    stypes = get_stype_proposal(db)
    config = TextEmbedderConfig(text_embedder=HashTextEmbedding(), batch_size=256)
    data, _ = make_pkey_fkey_graph(db, col_to_stype_dict=stypes, text_embedder_cfg=config)
    table_input = get_node_train_table_input(task.get_table("train"), task)
    drop_in = NeighborLoader(
        data, num_neighbors=args.num_neighbors, time_attr="time", input_nodes=table_input.nodes,
        input_time=table_input.time, transform=table_input.transform, batch_size=args.batch_size,
        temporal_strategy=args.strategy,
    )
    graph = build_graph(from_relbench(db, stypes), text_embedder=lambda s: HashTextEmbedding()(s).numpy())
    train = task_tables(task)[0]
    own = Loader(graph, task.entity_table, train.keys, train.times, labels=train.labels,
                 batch_size=args.batch_size, num_neighbors=args.num_neighbors,
                 temporal_strategy=args.strategy)
    examples = len(train)
    print(f"{examples:,} examples in batches of {args.batch_size}, {args.num_neighbors} neighbours, "
          f"{args.strategy!r}; data in {time.perf_counter() - began:.1f} s")
    now = time.perf_counter if args.clock == "wall" else cpu_seconds

    def drop_in_epoch() -> float:
        start = now()
        for batch in drop_in:
            del batch
        return now() - start

    def loader_epoch() -> float:
        start = now()
        for batch in own:
            data = batch.to_hetero_data(tensor_frame=True)
            del data
        return now() - start

    drop_in_epoch(), loader_epoch()  # warm
    times: dict[str, list[float]] = {"drop-in": [], "loader": []}
    for _ in range(args.passes):
        times["drop-in"].append(drop_in_epoch())
        times["loader"].append(loader_epoch())
    medians = {name: statistics.median(values) for name, values in times.items()}
    print(f"{args.passes} passes (median {args.clock} seconds per epoch)")
    for name, seconds in medians.items():
        print(f"  {name:8} {seconds:7.3f} s {examples / seconds:12,.0f} examples/s")
    print(f"  drop-in / loader: x{medians['drop-in'] / medians['loader']:.2f}")
    del torch


if __name__ == "__main__":
    main()
