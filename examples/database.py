"""A small shop database, generated in memory from a fixed seed.

Six tables, times in seconds (the sampler does not care about the unit):

=============  =========================================  =====================
table          foreign keys                               time
=============  =========================================  =====================
customers      -                                          sign-up
products       -                                          none
product_tags   product_id -> products                     none
orders         customer_id -> customers                   order placed
order_items    order_id -> orders, product_id -> products  the order's time
reviews        customer_id -> customers,                  review written
               product_id -> products
=============  =========================================  =====================

Orders and reviews come after their customer's sign-up, and an order item
carries its order's time, as in a real log.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from csc import Table

DAY = 24 * 3600
START = 1_672_531_200  # 2023-01-01 00:00:00 UTC
SPAN = 730 * DAY


@dataclass(frozen=True)
class Sizes:
    customers: int = 4_000
    products: int = 600
    orders: int = 40_000
    reviews: int = 12_000

    def scaled(self, factor: float) -> Sizes:
        return Sizes(*(max(1, int(round(n * factor))) for n in vars(self).values()))


def _after(rng: np.random.Generator, earliest: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """A time between each ``earliest`` and the end of the span, skewed towards it."""
    room = START + SPAN - earliest
    return earliest + (room * rng.beta(1.0, 2.0, size=earliest.size)).astype(np.int64)


def make_tables(sizes: Sizes = Sizes(), seed: int = 0) -> dict[str, Table]:
    rng = np.random.default_rng(seed)

    customer_time = START + rng.integers(0, SPAN * 3 // 4, size=sizes.customers)
    # A few busy customers and popular products, as in real shops.
    activity = rng.pareto(1.5, size=sizes.customers) + 1.0
    popularity = rng.pareto(1.2, size=sizes.products) + 1.0

    order_customer = rng.choice(sizes.customers, size=sizes.orders, p=activity / activity.sum())
    order_time = _after(rng, customer_time[order_customer])

    items_per_order = rng.integers(1, 5, size=sizes.orders)
    item_order = np.repeat(np.arange(sizes.orders), items_per_order)
    item_product = rng.choice(
        sizes.products, size=item_order.size, p=popularity / popularity.sum()
    )
    item_time = order_time[item_order]

    review_customer = rng.choice(sizes.customers, size=sizes.reviews, p=activity / activity.sum())
    review_product = rng.choice(
        sizes.products, size=sizes.reviews, p=popularity / popularity.sum()
    )
    review_time = _after(rng, customer_time[review_customer])

    tags_per_product = rng.integers(1, 7, size=sizes.products)
    tag_product = np.repeat(np.arange(sizes.products), tags_per_product)

    return {
        "customers": Table(num_rows=sizes.customers, time=customer_time),
        "products": Table(num_rows=sizes.products),
        "product_tags": Table(
            num_rows=tag_product.size,
            foreign_keys={"product_id": ("products", tag_product)},
        ),
        "orders": Table(
            num_rows=sizes.orders,
            time=order_time,
            foreign_keys={"customer_id": ("customers", order_customer)},
        ),
        "order_items": Table(
            num_rows=item_order.size,
            time=item_time,
            foreign_keys={
                "order_id": ("orders", item_order),
                "product_id": ("products", item_product),
            },
        ),
        "reviews": Table(
            num_rows=sizes.reviews,
            time=review_time,
            foreign_keys={
                "customer_id": ("customers", review_customer),
                "product_id": ("products", review_product),
            },
        ),
    }


def training_table(
    customer_time: npt.ArrayLike, num_cutoffs: int = 6, seed: int = 0
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """(customer, cutoff time) pairs: at each monthly cutoff of the last half year,
    every customer who had signed up by then, in a shuffled order."""
    times = np.asarray(customer_time, dtype=np.int64)
    cutoffs = START + SPAN - DAY * 30 * np.arange(num_cutoffs, 0, -1, dtype=np.int64)
    nodes, seed_times = [], []
    for cutoff in cutoffs:
        members = np.flatnonzero(times <= cutoff)
        nodes.append(members)
        seed_times.append(np.full(members.size, cutoff, dtype=np.int64))
    node = np.concatenate(nodes).astype(np.int64)
    time = np.concatenate(seed_times)
    order = np.random.default_rng(seed).permutation(node.size)
    return np.ascontiguousarray(node[order]), np.ascontiguousarray(time[order])


Counts = dict[str, list[int]]
Offsets = dict[str, list[list[int | None]]]


def customer_request(num_hops: int = 3) -> tuple[Counts, Offsets]:
    """``num_neighbors`` and ``sampling_time_offsets`` for customer seeds.

    Timed sources are taken most recent first (``num_neighbors``) or by window
    (reviews of the last 90 days); untimed sources (a product's tags) are drawn
    at random.
    """
    def counts(*per_hop: int) -> list[int]:
        return list(per_hop[:num_hops]) + [0] * max(0, num_hops - len(per_hop))

    num_neighbors = {
        "product_tags__product_id__products": counts(0, 2, 2),
        "products__rev_product_id__product_tags": counts(0, 0, 0),
        "orders__customer_id__customers": counts(8, 0, 0),
        "customers__rev_customer_id__orders": counts(0, 1, 0),
        "order_items__order_id__orders": counts(0, -1, 0),
        "orders__rev_order_id__order_items": counts(0, 0, 1),
        "order_items__product_id__products": counts(0, 0, 3),
        "products__rev_product_id__order_items": counts(0, 0, 1),
        "customers__rev_customer_id__reviews": counts(0, 1, 0),
        "reviews__product_id__products": counts(0, 2, 2),
        "products__rev_product_id__reviews": counts(0, 1, 0),
    }
    sampling_time_offsets: Offsets = {
        "reviews__customer_id__customers": [[-90 * DAY, 0]] * num_hops,
    }
    return num_neighbors, sampling_time_offsets
