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

* ``popularity, all history``, ``taste x12, all history``: the same with
  each product's purchases since the start (the shop's popularity does
  not change over time; 12 categories make x12 the odds of a favourite
  category's product when half of the items come from it);
* ``oracle``: the shop's own chance that the customer's next item is the
  product (its hidden popularity and the customer's hidden favourite
  category, drawn again here as examples/database.py draws them): the
  best ranking in expectation when items are drawn independently, as
  they are; and the same with the subgraph's products first.

The subgraph-first lines bound what a model that ranks every product
outside the customer's subgraph below those inside can reach; the oracle
line bounds every model. The ratios to popularity are printed beside each.
Not part of the tests.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

from database import CATEGORIES, SPAN, Sizes, make_tables  # noqa: E402
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


def hidden(sizes: Sizes, seed: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The shop's hidden popularity per product, category per product and
    favourite category per customer, drawn as make_tables draws them."""
    rng = np.random.default_rng(seed)
    rng.integers(0, SPAN * 3 // 4, size=sizes.customers)
    rng.pareto(1.5, size=sizes.customers)
    weight = rng.pareto(1.2, size=sizes.products) + 1.0
    taste_rng = np.random.default_rng([seed, 1])
    category = taste_rng.integers(0, CATEGORIES, size=sizes.products)
    favourite = taste_rng.integers(0, CATEGORIES, size=sizes.customers)
    return weight, category, favourite


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="database size factor")
    parser.add_argument("--orders", type=int, nargs="+", default=[5, 20])
    args = parser.parse_args()
    sizes = Sizes().scaled(args.scale)
    tables = make_tables(sizes, seed=0, tastes=TASTES)
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
    product = graph.position(ITEM, bought.columns["product_id"])
    at = np.asarray(bought.columns["placed_at"]).astype("datetime64[s]").astype(np.int64)
    ever = np.stack([np.bincount(product[at <= t], minlength=graph.num_nodes[ITEM]) for t in test.times.tolist()])
    favourite = history.argmax(axis=1)[:, None]
    weight, hidden_category, hidden_favourite = hidden(sizes, 0)
    if not (np.char.add("cat-", hidden_category.astype(str)) == np.asarray(tables[ITEM].columns["category"])).all():
        raise SystemExit("the shop no longer draws its categories as hidden() does: update it")
    overall = weight / weight.sum()
    within = np.zeros_like(weight)
    for c in range(CATEGORIES):
        members = hidden_category == c
        within[members] = weight[members] / weight[members].sum()
    customer = graph.position(SOURCE, test.keys)
    oracle = (1 - TASTES) * overall[None, :] + TASTES * within[None, :] * (
        hidden_category[None, :] == hidden_favourite[customer][:, None])
    lines = [("popularity", popular), ("taste x8", taste),
             ("popularity, all history", ever.astype(float)),
             ("taste x12, all history", ever * (1.0 + 11 * (category[None, :] == favourite))),
             ("oracle", oracle)]
    for orders in args.orders:
        found = inside(graph, test, orders)
        lines += [(f"{orders} orders' subgraph first, by popularity", np.where(found > 0, 1e9 + popular, popular)),
                  (f"{orders} orders' subgraph first, by taste x8", np.where(found > 0, 1e9 + taste, taste)),
                  (f"{orders} orders' subgraph first, by oracle", np.where(found > 0, 1e9 + oracle, oracle))]
    print(f"test MAP@10 of {len(test):,} examples, scale {args.scale} (every product ranked, every positive counted)")
    for name, scores in lines:
        value = map_at_k(scores, test, 10)
        print(f"  {name:<44} {value:.4f}  x{value / base:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
