"""Seeded synthetic relational graphs for the benchmarks.

A small shop: customers place orders for products and write reviews about
them. Every foreign key becomes two edge types, one per direction, so that a
sample can walk from any table to any other:

    customers --places-->      orders    (column of an order: its customer)
    orders    --placed_by-->   customers (column of a customer: their orders)
    products  --ordered_in-->  orders    (column of an order: its product)
    orders    --contains-->    products  (column of a product: its orders)
    customers --writes-->      reviews
    reviews   --written_by-->  customers
    products  --reviewed_in--> reviews
    reviews   --about-->       products

The retail graph (`--size retail`, generate_retail) has other tables and
another shape: customers and products without times, and transactions and
reviews over two years with milder skew.

Customer activity and product popularity follow power laws (Zipf-like
weights over a random permutation of the ids), so column lengths range from
one to tens of thousands on the medium graph. Every node has a time in
seconds: customers sign up and products are listed over the covered span,
an order happens after both its customer and its product exist, and a review
follows one of the orders (same customer and product) by a few days.
Every CSC column is ordered by the time of its source nodes (ties by source
id), which the temporal selections require.

The graph is a dictionary in the sampler's input format: `node_types`,
`edge_types`, `colptr` and `row` keyed by `src__rel__dst`, `node_time`
keyed by node type, all arrays int64. Graphs are cached as uncompressed
`.npz` files under build/bench-cache/ so that every benchmark subprocess
loads the same bytes.

    python bench/generate.py --size medium      # generate (or load) and describe
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path

import numpy as np

# Bump when the generated content changes, so stale caches are not reused.
GENERATOR_VERSION = 2

# Target total number of edges (over all eight edge types).
SIZES = {"small": 100_000, "medium": 10_000_000, "large": 100_000_000}

# The retail graph: four tables whose entity tables have no times, long
# skewed fact tables over two years (see generate_retail).
RETAIL = "retail"
RETAIL_SPAN = 2 * 365 * 86_400
RETAIL_ROWS = {"customers": 50_000, "products": 12_500, "transactions": 1_000_000,
               "reviews": 250_000}
RETAIL_EDGE_TYPES = [
    ("customers", "makes", "transactions"),
    ("transactions", "made_by", "customers"),
    ("products", "sold_in", "transactions"),
    ("transactions", "sells", "products"),
    ("customers", "writes", "reviews"),
    ("reviews", "written_by", "customers"),
    ("products", "reviewed_in", "reviews"),
    ("reviews", "about", "products"),
]

# The reference graph every session quotes: relgraph.py of the shared
# workloads folder (../shared/workloads from the project's root, or the folder
# named by REROZER_SHARED_WORKLOADS), built at RELGRAPH_SCALE.
RELGRAPH = "relgraph"
RELGRAPH_SCALE = 0.25

# The wide graph: the small shop of WIDE_EDGES edges plus stores and
# categories, 6 node types and 12 edge types, for the fixed cost of a call.
WIDE = "wide"
WIDE_EDGES = 8_000
WIDE_EDGE_TYPES = [
    ("stores", "sells", "orders"),
    ("orders", "sold_at", "stores"),
    ("categories", "groups", "products"),
    ("products", "in_category", "categories"),
]

NODE_TYPES = ["customers", "products", "orders", "reviews"]
EDGE_TYPES = [
    ("customers", "places", "orders"),
    ("orders", "placed_by", "customers"),
    ("products", "ordered_in", "orders"),
    ("orders", "contains", "products"),
    ("customers", "writes", "reviews"),
    ("reviews", "written_by", "customers"),
    ("products", "reviewed_in", "reviews"),
    ("reviews", "about", "products"),
]

DAY = 86_400
START_TIME = 1_609_459_200  # 2021-01-01T00:00:00Z, in seconds
SPAN = 3 * 365 * DAY

ROOT = Path(__file__).resolve().parent.parent
CACHE_DIR = ROOT / "build" / "bench-cache"


def edge_type_key(edge_type: tuple[str, str, str]) -> str:
    return "__".join(edge_type)


def shared_workloads_dir() -> Path:
    """The folder of relgraph.py and loader_overhead.py."""
    return Path(os.environ.get("REROZER_SHARED_WORKLOADS", ROOT.parent / "shared" / "workloads"))


def relgraph_module():
    """relgraph.py of the shared workloads folder, imported."""
    folder = shared_workloads_dir()
    if not (folder / "relgraph.py").exists():
        raise SystemExit(f"no relgraph.py in {folder}: set REROZER_SHARED_WORKLOADS to its folder")
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))
    import relgraph

    return relgraph


def generate_relgraph(seed: int = 0) -> dict:
    """The shared reference graph at RELGRAPH_SCALE, in this module's format;
    its meta keeps what relgraph.workloads needs (counts, t0, span)."""
    built = relgraph_module().build(RELGRAPH_SCALE, seed=seed)
    return {
        "node_types": list(built["node_types"]),
        "edge_types": [tuple(e) for e in built["edge_types"]],
        "colptr": built["colptr"],
        "row": built["row"],
        "node_time": built["node_time"],
        "meta": {"target_edges": sum(len(r) for r in built["row"].values()), "seed": seed,
                 "version": GENERATOR_VERSION, "counts": built["counts"], "t0": built["t0"],
                 "span": built["span"]},
    }


def _zipf_choice(rng: np.random.Generator, n: int, size: int, exponent: float) -> np.ndarray:
    """`size` ids in [0, n) drawn with weight rank**-exponent, the ranks
    assigned to ids by a random permutation."""
    weights = np.arange(1, n + 1, dtype=np.float64) ** -exponent
    cdf = np.cumsum(weights)
    cdf /= cdf[-1]
    ranks = np.searchsorted(cdf, rng.random(size), side="right")
    np.minimum(ranks, n - 1, out=ranks)
    return rng.permutation(n)[ranks].astype(np.int64)


def _csc(src: np.ndarray, dst: np.ndarray, num_dst: int, src_time: np.ndarray):
    """CSC arrays of the edges src -> dst: one column per destination node,
    each column ordered by source time, then source id."""
    order = np.lexsort((src, src_time[src], dst))
    row = src[order]
    counts = np.bincount(dst, minlength=num_dst)
    colptr = np.zeros(num_dst + 1, dtype=np.int64)
    np.cumsum(counts, out=colptr[1:])
    return colptr, np.ascontiguousarray(row, dtype=np.int64)


def table_sizes(target_edges: int) -> dict[str, int]:
    # Eight edge types, one edge per fact row in each: 4 * (orders + reviews).
    # About 20 orders per customer and 300 per product on average, the
    # proportions of a retail transaction log.
    facts = max(target_edges // 4, 16)
    orders = facts * 3 // 4
    return {
        "customers": max(orders // 20, 4),
        "products": max(orders // 300, 4),
        "orders": orders,
        "reviews": facts - orders,
    }


def generate(target_edges: int, seed: int = 0) -> dict:
    """Builds one graph with about `target_edges` edges; same arguments,
    same bytes."""
    rng = np.random.default_rng(seed)
    n = table_sizes(target_edges)
    end = START_TIME + SPAN

    customer_time = START_TIME + rng.integers(0, SPAN, n["customers"], dtype=np.int64)
    product_time = START_TIME + rng.integers(0, SPAN * 9 // 10, n["products"], dtype=np.int64)

    # Orders: a power-law customer and product each, placed after both exist.
    order_customer = _zipf_choice(rng, n["customers"], n["orders"], 0.8)
    order_product = _zipf_choice(rng, n["products"], n["orders"], 0.9)
    earliest = np.maximum(customer_time[order_customer], product_time[order_product])
    order_time = earliest + (rng.random(n["orders"]) * (end - earliest)).astype(np.int64)

    # Reviews: follow distinct orders by an exponential delay (mean one week).
    reviewed = rng.choice(n["orders"], size=n["reviews"], replace=False)
    review_customer = order_customer[reviewed]
    review_product = order_product[reviewed]
    delay = rng.exponential(7 * DAY, n["reviews"]).astype(np.int64)
    review_time = np.minimum(order_time[reviewed] + delay, end)

    node_time = {
        "customers": customer_time,
        "products": product_time,
        "orders": order_time,
        "reviews": review_time,
    }
    orders = np.arange(n["orders"], dtype=np.int64)
    reviews = np.arange(n["reviews"], dtype=np.int64)
    # (src ids, dst ids) of each edge type, in EDGE_TYPES order.
    pairs = [
        (order_customer, orders),
        (orders, order_customer),
        (order_product, orders),
        (orders, order_product),
        (review_customer, reviews),
        (reviews, review_customer),
        (review_product, reviews),
        (reviews, review_product),
    ]
    colptr, row = {}, {}
    for edge_type, (src, dst) in zip(EDGE_TYPES, pairs):
        key = edge_type_key(edge_type)
        colptr[key], row[key] = _csc(src, dst, n[edge_type[2]], node_time[edge_type[0]])
    return {
        "node_types": list(NODE_TYPES),
        "edge_types": list(EDGE_TYPES),
        "colptr": colptr,
        "row": row,
        "node_time": {t: np.ascontiguousarray(v, dtype=np.int64) for t, v in node_time.items()},
        "meta": {"target_edges": target_edges, "seed": seed, "version": GENERATOR_VERSION},
    }


def generate_wide(seed: int = 0) -> dict:
    """The shop of WIDE_EDGES edges with two more tables: every order is
    sold at one of 16 stores, every product is in one of 12 categories."""
    graph = generate(WIDE_EDGES, seed)
    rng = np.random.default_rng(seed + 1)
    n = {t: len(v) for t, v in graph["node_time"].items()}
    n["stores"], n["categories"] = 16, 12
    graph["node_types"] += ["stores", "categories"]
    graph["edge_types"] += WIDE_EDGE_TYPES
    node_time = graph["node_time"]
    node_time["stores"] = START_TIME + rng.integers(0, SPAN // 10, n["stores"], dtype=np.int64)
    node_time["categories"] = START_TIME + rng.integers(0, SPAN // 10, n["categories"],
                                                        dtype=np.int64)
    order_store = rng.integers(0, n["stores"], n["orders"], dtype=np.int64)
    product_category = rng.integers(0, n["categories"], n["products"], dtype=np.int64)
    orders = np.arange(n["orders"], dtype=np.int64)
    products = np.arange(n["products"], dtype=np.int64)
    pairs = [(order_store, orders), (orders, order_store),
             (product_category, products), (products, product_category)]
    for edge_type, (src, dst) in zip(WIDE_EDGE_TYPES, pairs):
        key = edge_type_key(edge_type)
        graph["colptr"][key], graph["row"][key] = _csc(src, dst, n[edge_type[2]],
                                                       node_time[edge_type[0]])
    graph["meta"]["target_edges"] = WIDE_EDGES
    return graph


def generate_retail(seed: int = 0) -> dict:
    """The shape of a retail log: 50,000 customers and 12,500 products
    without times; 1,000,000 transactions and 250,000 reviews over two
    years, numbered in time order, each with a customer and a product drawn
    Zipf-like (exponent 0.3: a product has 80 transactions on average,
    about 220 at the 99th percentile and about 950 at most). Columns whose
    sources have times are ordered by them; the others by source id."""
    rng = np.random.default_rng(seed)
    n = RETAIL_ROWS
    node_time = {}
    ends = {}
    for table in ("transactions", "reviews"):
        times = np.sort(START_TIME + rng.integers(0, RETAIL_SPAN, n[table], dtype=np.int64))
        node_time[table] = times
        ends[table] = (_zipf_choice(rng, n["customers"], n[table], 0.3),
                       _zipf_choice(rng, n["products"], n[table], 0.3))
    untimed = {t: np.zeros(n[t], dtype=np.int64) for t in ("customers", "products")}
    ids = {t: np.arange(n[t], dtype=np.int64) for t in ("transactions", "reviews")}
    pairs = []
    for table in ("transactions", "reviews"):
        customer, product = ends[table]
        pairs += [(customer, ids[table]), (ids[table], customer),
                  (product, ids[table]), (ids[table], product)]
    colptr, row = {}, {}
    for edge_type, (src, dst) in zip(RETAIL_EDGE_TYPES, pairs):
        key = edge_type_key(edge_type)
        src_time = node_time.get(edge_type[0], untimed.get(edge_type[0]))
        colptr[key], row[key] = _csc(src, dst, n[edge_type[2]], src_time)
    return {
        "node_types": list(RETAIL_ROWS),
        "edge_types": list(RETAIL_EDGE_TYPES),
        "colptr": colptr,
        "row": row,
        "node_time": node_time,
        "meta": {"target_edges": 4 * (n["transactions"] + n["reviews"]), "seed": seed,
                 "version": GENERATOR_VERSION},
    }


def cache_path(size: str, seed: int) -> Path:
    return CACHE_DIR / f"{size}-seed{seed}-v{GENERATOR_VERSION}.npz"


def save(graph: dict, path: Path) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    arrays = {"meta": np.array(json.dumps({
        "node_types": graph["node_types"],
        "edge_types": graph["edge_types"],
        **graph["meta"],
    }))}
    for key, value in graph["colptr"].items():
        arrays[f"colptr.{key}"] = value
    for key, value in graph["row"].items():
        arrays[f"row.{key}"] = value
    for key, value in graph["node_time"].items():
        arrays[f"node_time.{key}"] = value
    tmp = path.with_name(path.name + f".tmp{os.getpid()}.npz")
    np.savez(tmp, **arrays)
    os.replace(tmp, path)


def load(path: Path) -> dict:
    with np.load(path, allow_pickle=False) as data:
        meta = json.loads(str(data["meta"]))
        graph = {
            "node_types": meta["node_types"],
            "edge_types": [tuple(e) for e in meta["edge_types"]],
            "colptr": {},
            "row": {},
            "node_time": {},
            "meta": {k: v for k, v in meta.items() if k not in ("node_types", "edge_types")},
        }
        for name in data.files:
            if name == "meta":
                continue
            table, key = name.split(".", 1)
            graph[table][key] = data[name]
    return graph


def ensure(size: str, seed: int = 0, quiet: bool = False) -> Path:
    """Path of the cached graph of this size and seed, generating it first
    when it is not cached yet."""
    path = cache_path(size, seed)
    if not path.exists():
        if not quiet:
            print(f"[bench] generating the {size} graph (seed {seed}) into {path}",
                  file=sys.stderr, flush=True)
        start = time.perf_counter()
        if size == WIDE:
            graph = generate_wide(seed)
        elif size == RETAIL:
            graph = generate_retail(seed)
        elif size == RELGRAPH:
            graph = generate_relgraph(seed)
        else:
            graph = generate(SIZES[size], seed)
        save(graph, path)
        if not quiet:
            print(f"[bench]   done in {time.perf_counter() - start:.1f} s", file=sys.stderr,
                  flush=True)
    return path


def describe(graph: dict) -> str:
    lines = []
    total = 0
    for t in graph["node_types"]:
        times = graph["node_time"].get(t)
        count = f"{len(times):>12,} nodes" if times is not None else "  (no times)"
        lines.append(f"  {t:<12} {count}")
    for e in graph["edge_types"]:
        key = edge_type_key(e)
        colptr = graph["colptr"][key]
        degrees = np.diff(colptr)
        total += len(graph["row"][key])
        lines.append(
            f"  {key:<36} {len(graph['row'][key]):>12,} edges, column length "
            f"mean {degrees.mean():.1f} p99 {np.percentile(degrees, 99):.0f} max {degrees.max():,}"
        )
    lines.append(f"  total {total:,} edges")
    return "\n".join(lines)


def check_sorted(graph: dict) -> None:
    """Raises AssertionError unless every column is ordered by source time."""
    for e in graph["edge_types"]:
        key = edge_type_key(e)
        colptr, row = graph["colptr"][key], graph["row"][key]
        if e[0] not in graph["node_time"]:
            continue
        times = graph["node_time"][e[0]][row]
        column = np.repeat(np.arange(len(colptr) - 1), np.diff(colptr))
        later = times[1:] >= times[:-1]
        same_column = column[1:] == column[:-1]
        assert np.all(later | ~same_column), f"{key}: a column is not ordered by time"
        assert colptr[0] == 0 and colptr[-1] == len(row), f"{key}: colptr does not cover row"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", choices=sorted([*SIZES, WIDE, RETAIL, RELGRAPH]), default="small")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--check", action="store_true", help="verify column order and colptr")
    args = parser.parse_args()
    path = ensure(args.size, args.seed)
    start = time.perf_counter()
    graph = load(path)
    print(f"{path} ({path.stat().st_size / 2**20:.0f} MiB, loaded in "
          f"{time.perf_counter() - start:.2f} s)")
    print(describe(graph))
    if args.check:
        check_sorted(graph)
        print("  every column is ordered by source time")


if __name__ == "__main__":
    main()
