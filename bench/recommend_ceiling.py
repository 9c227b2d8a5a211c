"""How far can rankings without a model go on examples/recommend.py's task?

    .venv/bin/python bench/recommend_ceiling.py [--scale 1] [--orders 5 20]

Builds examples/recommend.py's shop and test examples and prints the test
MAP@10 (RelBench's convention: every product ranked, every positive
counted) of hand-made rankings that know more than a model could:

* ``popularity``: products by their purchases in the 30 days before the
  cut-off (the example's baseline);
* ``taste x8``: popularity times 9 for the products of the customer's
  favourite category, read from its whole history (the shop draws half of
  a customer's order items from that category, by popularity);
* ``subgraph first, by popularity`` and ``subgraph first, by taste x8``:
  the products inside the customer's subgraph of ``--orders`` latest
  orders first, as the ID-aware model ranks them, each part ordered as
  said.

The last line bounds what an ID-aware model can reach with that subgraph;
the ratios to popularity are printed beside each. Not part of the tests.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

from database import Sizes, make_tables  # noqa: E402
from recommend import (  # noqa: E402
    CUTOFFS, HORIZON, ITEM, SOURCE, TASTES, TEST_START, VAL_START, customer_request, popularity,
    purchases,
)
from rerozer_tables import Loader, build_graph, link_training_table, map_at_k, split_by_time  # noqa: E402


def inside(graph, part, orders: int) -> np.ndarray:  # type: ignore[no-untyped-def]
    """1 where a product is inside the example's customer subgraph."""
    found = np.zeros((len(part), graph.num_nodes[ITEM]))
    for batch in Loader(graph, SOURCE, part.keys, part.times, batch_size=512,
                        num_neighbors=customer_request(orders)):
        found[batch.example_index[batch.out_batch[ITEM]], batch.out_node[ITEM]] = 1
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="database size factor")
    parser.add_argument("--orders", type=int, nargs="+", default=[5, 20])
    args = parser.parse_args()
    tables = make_tables(Sizes().scaled(args.scale), seed=0, tastes=TASTES)
    graph = build_graph(tables)
    bought = purchases(tables, graph)
    examples = link_training_table({**tables, "purchases": bought}, SOURCE, CUTOFFS,
                                   target=("purchases", "customer_id", "product_id"), horizon=HORIZON)
    test = split_by_time(examples.take(examples.num_positives > 0), VAL_START, TEST_START)[2]
    popular = popularity(bought, graph, test)
    category = np.unique(np.asarray(tables[ITEM].columns["category"]), return_inverse=True)[1].ravel()
    history = np.zeros((len(test), int(category.max()) + 1))
    rows, products = np.nonzero(inside(graph, test, 10**6))
    np.add.at(history, (rows, category[products]), 1)
    taste = popular * (1 + 8 * (category[None, :] == history.argmax(axis=1)[:, None]))
    base = map_at_k(popular, test, 10)
    lines = [("popularity", popular), ("taste x8", taste)]
    for orders in args.orders:
        found = inside(graph, test, orders)
        lines += [(f"{orders} orders' subgraph first, by popularity", np.where(found > 0, 1e9 + popular, popular)),
                  (f"{orders} orders' subgraph first, by taste x8", np.where(found > 0, 1e9 + taste, taste))]
    print(f"test MAP@10 of {len(test):,} examples, scale {args.scale} (every product ranked, every positive counted)")
    for name, scores in lines:
        value = map_at_k(scores, test, 10)
        print(f"  {name:<44} {value:.4f}  x{value / base:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
