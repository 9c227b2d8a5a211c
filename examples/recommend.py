"""Recommend products: which products will a customer buy in the next 30 days?

    python examples/recommend.py [--model id-aware]   # train, print validation and test MAP@10
    ./dev recommend [ARGS]                    # the same

The shop of examples/database.py, with tastes (half of a customer's order
items come from a favourite category), is written to SQLite and read back; a
customer's purchases are the order items of their orders, a view joined
here. link_training_table gives each (customer, cut-off) example the
products bought in (cut-off, cut-off + 30 days], split_by_time divides the
examples into training, validation and test months, and (for the
two-tower model) a LinkLoader samples each example's customer subgraph,
one of its products' subgraphs and --negatives random products'
subgraphs, all at the cut-off.

--model two-tower (the default) has two towers over one heterogeneous
GraphSAGE (three layers, PyG's to_hetero). A product's embedding comes from
its own subgraph (its order items of the last 30 days, counted by the
number of edges of each node, and its tags). A customer's comes from its
subgraph (its five latest orders, their items and products) and from the
mean embedding of the products inside that subgraph (LinkBatch.source_side
tells them from the item subgraphs): what the customer bought lately. A
score is their dot product plus a bias from the product's embedding.
Training picks each positive among itself and its example's negatives
(cross-entropy over their scores; the LinkLoader samples one positive per
example and epoch); validation and test rank every product, whose
subgraphs are sampled at each cut-off.

--model id-aware samples the customers' subgraphs alone, with an entity
Loader (--orders latest orders, 20 by default, their items and products),
and scores the products found inside each customer's own subgraph: the
GNN runs over that subgraph with its edges followed both ways and the
customer marked by a learned vector, so that each product node's
embedding says what it is to this customer. Every product outside the
subgraph is ranked below those inside, by the customer's vector (its
embedding plus the mean vector of the products in its subgraph) against
a learned vector and bias per product and the product's purchases of the
last 30 days. Training takes the binary cross-entropy of the products
inside (is it a positive?) and the cross-entropy of each positive among
all products. --inside scored ranks every product in one order instead:
those inside by their logits from the GNN, the others by that learned
score, so that a popular product of the customer's favourite category
that it never bought may come before one it bought once (and the
cross-entropy over all products takes the logits of those inside).

Both models give tables without feature columns (customers, orders) a
learned vector per row, looked up by the batch's global node ids (n_id).
The popularity baseline ranks products by how many were bought in the 30
days before the cut-off. Every ranking is evaluated under one rule,
RelBench's: every product ranked, every positive counted. Each epoch
prints the validation MAP@10 of the model and of popularity; the end
prints validation and test MAP@10 and recall@10 of the best epoch.
"""

from __future__ import annotations

import argparse
import copy
import sys
import tempfile
import time
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from database import DAY, SPAN, START, Sizes, make_tables, write_sqlite
from rerozer_tables import (
    Graph, LinkLoader, LinkTrainingTable, Loader, Table, build_graph, link_training_table,
    map_at_k, read_sqlite, recall_at_k, split_by_time,
)
from rerozer_tables.tasks.link_training import gather_ranges

SOURCE, ITEM = "customers", "products"
HORIZON = 30 * DAY
# Monthly cut-offs over the last ten months: six train, two validate, two test.
CUTOFFS = START + SPAN - DAY * 30 * np.arange(10, 0, -1, dtype=np.int64)
VAL_START, TEST_START = int(CUTOFFS[6]), int(CUTOFFS[8])
K = 10
# The share of order items drawn from the customer's favourite category: in
# a shop of popularity alone every customer would want the same products,
# and nothing could beat ranking them by popularity.
TASTES = 0.5


def customer_request(orders: int = 5) -> dict[str, list[int]]:
    """A customer's subgraph: the five (``orders``) latest orders, their
    items and the items' products (whose categories tell the customer's
    tastes)."""
    return {
        "orders__customer_id__customers": [orders, 0, 0],
        "order_items__order_id__orders": [0, -1, 0],
        "products__rev_product_id__order_items": [0, 0, 1],
    }


def product_request() -> tuple[dict[str, list[int]], dict[str, list[list[int | None]]]]:
    """A product's subgraph: its order items of the last 30 days (how
    popular it is now) and its tags."""
    return (
        {"product_tags__product_id__products": [-1]},
        {"order_items__product_id__products": [[-HORIZON, 0]]},
    )


def purchases(tables: dict[str, Table], graph: Graph) -> Table:
    """Who bought what when: each order item with its order's customer."""
    items, orders = tables["order_items"], tables["orders"]
    order_rows = graph.position("orders", items.columns["order_id"])
    return Table(
        {"customer_id": np.asarray(orders.columns["customer_id"])[order_rows],
         "product_id": items.columns["product_id"], "placed_at": items.columns["placed_at"]},
        foreign_keys={"customer_id": SOURCE, "product_id": ITEM}, time_column="placed_at",
    )


def popularity(bought: Table, graph: Graph, part: LinkTrainingTable) -> npt.NDArray[np.float64]:
    """Per example, each product's purchases in the 30 days before its cut-off."""
    product = graph.position(ITEM, bought.columns["product_id"])
    at = np.asarray(bought.columns["placed_at"]).astype("datetime64[s]").astype(np.int64)
    scores = np.zeros((len(part), graph.num_nodes[ITEM]))
    for cutoff in np.unique(part.times).tolist():
        window = (at > cutoff - HORIZON) & (at <= cutoff)
        scores[part.times == cutoff] = np.bincount(product[window], minlength=scores.shape[1])
    return scores


def build_model(graph: Graph, hidden: int, kind: str = "two-tower") -> Any:
    import torch
    from torch import nn

    with warnings.catch_warnings():  # PyG's import still uses torch.jit.script
        warnings.filterwarnings("ignore", message=r".*torch\.jit\.script.* is deprecated",
                                category=FutureWarning)
        from torch_geometric.nn import SAGEConv, to_hetero

    class Encoder(nn.Module):
        """Per node type: standardised numbers (NaN -> 0), an embedding per
        categorical column, the log of the node's age in days at its
        example's cut-off for timed types, a constant and the log of its
        number of edges in the sample."""

        def __init__(self) -> None:
            super().__init__()
            self.linear, self.embeddings, self.shallow = nn.ModuleDict(), nn.ModuleDict(), nn.ModuleDict()
            for node_type in graph.node_types:
                held = graph.features.get(node_type)
                numbers = held.x.shape[1] if held is not None else 0
                sizes = [held.vocabularies[c].size + 1 for c in held.categorical] if held else []
                x = np.asarray(held.x, dtype=np.float64) if numbers else np.zeros((1, 0))
                std = np.nanstd(x, axis=0) if numbers else np.ones(0)
                self.register_buffer(f"mean_{node_type}",
                                     torch.tensor(np.nanmean(x, axis=0) if numbers else np.zeros(0),
                                                  dtype=torch.float32))
                self.register_buffer(f"std_{node_type}",
                                     torch.tensor(np.where(std > 0, std, 1.0), dtype=torch.float32))
                self.embeddings[node_type] = nn.ModuleList(nn.Embedding(n, 8) for n in sizes)
                # A table without feature columns gives its nodes nothing to
                # tell them apart: a learned vector per row (looked up by the
                # batch's global node ids, n_id) does.
                shallow = 0 if numbers or sizes else 8
                if shallow:
                    self.shallow[node_type] = nn.Embedding(graph.num_nodes[node_type], shallow)
                timed = 1 if node_type in graph.node_time else 0
                self.linear[node_type] = nn.Linear(numbers + 8 * len(sizes) + shallow + timed + 2, hidden)

        def forward(self, data: Any, seed_time: Any) -> dict[str, Any]:
            # Each node's edges in the sample: for a product, how many order
            # items it had in the 30 days before the cut-off.
            degree = {t: torch.zeros(data[t].n_id.size(0)) for t in graph.node_types}
            for (_, _, dst), edge_index in data.edge_index_dict.items():
                degree[dst] += torch.bincount(edge_index[1], minlength=degree[dst].size(0))
            out = {}
            for node_type in graph.node_types:
                store = data[node_type]
                mean, std = getattr(self, f"mean_{node_type}"), getattr(self, f"std_{node_type}")
                parts = [torch.nan_to_num((store.x - mean) / std)]
                parts += [e(store.x_cat[:, c] + 1) for c, e in enumerate(self.embeddings[node_type])]
                if node_type in self.shallow:
                    parts.append(self.shallow[node_type](store.n_id))
                if node_type in graph.node_time:
                    node_time = torch.from_numpy(graph.node_time[node_type][store.n_id.numpy()])
                    age = (seed_time[store.batch] - node_time).clamp(min=0).float() / DAY
                    parts.append(torch.log1p(age).unsqueeze(1))
                parts.append(torch.ones(store.n_id.size(0), 1))
                parts.append(torch.log1p(degree[node_type]).unsqueeze(1))
                out[node_type] = self.linear[node_type](torch.cat(parts, dim=1))
            return out

    class GNN(nn.Module):
        def __init__(self) -> None:
            super().__init__()
            self.convs = nn.ModuleList(SAGEConv((-1, -1), hidden) for _ in range(3))

        def forward(self, x: Any, edge_index: Any) -> Any:
            for i, conv in enumerate(self.convs):
                x = conv(x, edge_index)
                x = x.relu() if i + 1 < len(self.convs) else x
            return x

    class TwoTower(nn.Module):
        def __init__(self) -> None:
            super().__init__()
            self.encoder = Encoder()
            self.gnn = to_hetero(GNN(), (graph.node_types, graph.edge_types), aggr="sum")
            self.bias = nn.Linear(hidden, 1)
            self.taste = nn.Linear(hidden, hidden)

        def forward(self, data: Any, seed_time: Any) -> dict[str, Any]:
            return self.gnn(self.encoder(data, seed_time), data.edge_index_dict)

        def user(self, data: Any, h: dict[str, Any], size: int) -> Any:
            """The customers' embeddings: their own, plus a map of the mean
            embedding of the products inside their own subgraphs (in a
            LinkBatch, those of the source side), what they bought lately."""
            store = data[ITEM]
            own = getattr(store, "source_side", None)
            mine = torch.ones(store.n_id.size(0), dtype=torch.bool) if own is None else own
            example = store.batch[mine]
            sums = torch.zeros(size, h[ITEM].size(1)).index_add_(0, example, h[ITEM][mine])
            counts = torch.zeros(size).index_add_(0, example, torch.ones(example.size(0)))
            return h[SOURCE][:size] + self.taste(sums / counts.clamp(min=1).unsqueeze(1))

        def score(self, user: Any, item: Any) -> Any:
            """Scores [users, items] of embeddings [users, h] and [items, h]."""
            return user @ item.T + self.bias(item).squeeze(-1)

    def both_ways(edge_index: dict[Any, Any]) -> dict[Any, Any]:
        """The sampled edges with each also in the opposite direction (under
        the graph's reverse edge type): a sample's edges point towards its
        seed, and the products must hear from the customer too."""
        out = dict(edge_index)
        for (src, rel, dst), edges in edge_index.items():
            opposite = (dst, rel[4:] if rel.startswith("rev_") else f"rev_{rel}", src)
            if opposite in out and edges.size(1):
                out[opposite] = torch.cat([out[opposite], edges.flip(0)], dim=1)
        return out

    class IdAware(nn.Module):
        """Scores the products inside a customer's own subgraph above every
        other product. The GNN runs on the customer's subgraph alone, with
        the customer (its seed) marked by a learned vector so that messages
        know whose subgraph it is; each product node's logit is read from
        its embedding there plus a learned vector per product (its global
        id, n_id). The products outside the subgraph are ordered below them
        by the customer's embedding against a learned vector and bias per
        product (shallow embeddings of all 600), plus a learned weight of
        each product's purchases in the 30 days before the cut-off."""

        def __init__(self) -> None:
            super().__init__()
            self.encoder = Encoder()
            self.gnn = to_hetero(GNN(), (graph.node_types, graph.edge_types), aggr="sum")
            self.seed_mark = nn.Parameter(torch.zeros(hidden))
            self.product = nn.Embedding(graph.num_nodes[ITEM], hidden)
            nn.init.zeros_(self.product.weight)
            self.head = nn.Linear(hidden, 1)
            self.items = nn.Embedding(graph.num_nodes[ITEM], hidden)
            self.item_bias = nn.Embedding(graph.num_nodes[ITEM], 1)
            nn.init.zeros_(self.item_bias.weight)
            self.recent = nn.Parameter(torch.ones(1))
            # Each product's categorical features (its category) as codes,
            # so that products of one category share part of their vector.
            held = graph.features.get(ITEM)
            codes = np.zeros((graph.num_nodes[ITEM], 0), np.int64) if held is None else held.x_cat
            sizes = [] if held is None else [held.vocabularies[c].size + 1 for c in held.categorical]
            self.register_buffer("codes", torch.from_numpy(np.asarray(codes) + 1))
            self.kinds = nn.ModuleList(nn.Embedding(n, hidden) for n in sizes)
            for table in [self.items, *self.kinds]:  # dot products start near 0
                nn.init.normal_(table.weight, std=0.1)

        def item_vectors(self) -> Any:
            """Every product's vector: its own, plus its categories' vectors."""
            vectors = self.items.weight
            for c, kind in enumerate(self.kinds):
                vectors = vectors + kind(self.codes[:, c])
            return vectors

        def forward(self, data: Any, seed_time: Any, recent: Any = None) -> tuple[Any, Any]:
            """A logit per product node of the batch (an example's product
            inside its subgraph), and every product's score per example
            (``recent``: log(1 + purchases in the last 30 days), [examples, products])."""
            x = self.encoder(data, seed_time)
            size = data[SOURCE].batch_size
            x[SOURCE] = torch.cat([x[SOURCE][:size] + self.seed_mark, x[SOURCE][size:]])
            x[ITEM] = x[ITEM] + self.product(data[ITEM].n_id)
            h = self.gnn(x, both_ways(data.edge_index_dict))
            # The customer: its embedding plus the mean vector of the
            # products inside its subgraph (what it bought lately).
            vectors = self.item_vectors()
            store = data[ITEM]
            sums = torch.zeros(size, vectors.size(1)).index_add_(0, store.batch, vectors[store.n_id])
            counts = torch.zeros(size).index_add_(0, store.batch, torch.ones(store.batch.size(0)))
            user = h[SOURCE][:size] + sums / counts.clamp(min=1).unsqueeze(1)
            every = user @ vectors.T + self.item_bias.weight.T
            if recent is not None:
                every = every + self.recent * recent
            # A product inside the subgraph: its score below, plus what the
            # GNN read in the customer's subgraph around it.
            inside = self.head(h[ITEM]).squeeze(-1) + every[store.batch, store.n_id]
            return inside, every

    return TwoTower() if kind == "two-tower" else IdAware()


def train_epoch(model: Any, optimizer: Any, loader: LinkLoader) -> float:
    """One pass; the loss of each positive is the cross-entropy of picking it
    among itself and its example's negatives (a sampled softmax)."""
    import torch

    model.train()
    total = seen = 0.0
    for batch in loader:
        data = batch.to_hetero_data()
        h = model(data, data[SOURCE].seed_time)
        users, items = model.user(data, h, len(batch.seed_node)), h[ITEM]
        store = data[ITEM]
        example = torch.repeat_interleave(torch.arange(users.size(0)), torch.diff(store.dst_pos_ptr))
        if example.numel() == 0:
            continue
        positive = items[store.dst_pos_index]
        pos = (users[example] * positive).sum(-1) + model.bias(positive).squeeze(-1)
        negative = items[store.dst_neg_index]  # [examples, negatives, hidden]
        neg = (users.unsqueeze(1) * negative).sum(-1) + model.bias(negative).squeeze(-1)
        logits = torch.cat([pos.unsqueeze(1), neg[example]], dim=1)
        loss = torch.nn.functional.cross_entropy(logits, torch.zeros(pos.size(0), dtype=torch.long))
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()
        total += float(loss.detach()) * pos.size(0)
        seen += pos.size(0)
    return total / max(seen, 1.0)


def embed(model: Any, loader: Loader, table: str, size: int) -> Any:
    """Embeddings of every example of ``loader``, in example order."""
    import torch

    out = None
    for batch in loader:
        data = batch.to_hetero_data()
        store = data[table]
        h = model(data, store.seed_time)
        h = model.user(data, h, store.batch_size) if table == SOURCE else h[table][: store.batch_size]
        if out is None:
            out = torch.zeros(size, h.size(1))
        out[store.input_id] = h
    return out


def rank_scores(model: Any, graph: Graph, part: LinkTrainingTable, args: argparse.Namespace) -> Any:
    """Every product's score for every example of ``part``: customers and
    products embedded at the examples' cut-offs."""
    import torch

    model.eval()
    item_counts, item_windows = product_request()
    scores = torch.zeros(len(part), graph.num_nodes[ITEM])
    with torch.no_grad():
        users = embed(model, Loader(graph, SOURCE, part.keys, part.times, batch_size=args.batch_size,
                                    num_neighbors=customer_request(), workers=args.workers),
                      SOURCE, len(part))
        every = np.arange(graph.num_nodes[ITEM])
        for cutoff in np.unique(part.times).tolist():
            products = Loader(graph, ITEM, graph.key(ITEM, every), np.full(every.size, cutoff), batch_size=args.batch_size,
                              num_neighbors=item_counts, sampling_time_offsets=item_windows,
                              workers=args.workers)
            items = embed(model, products, ITEM, every.size)
            chosen = torch.from_numpy(np.flatnonzero(part.times == cutoff))
            scores[chosen] = model.score(users[chosen], items)
    return scores.numpy().astype(np.float64)


def subgraph_labels(batch: Any, part: LinkTrainingTable) -> npt.NDArray[np.bool_]:
    """Per product node of an entity batch of customers: is it one of its
    example's positives?"""
    nodes, owner = batch.out_node[ITEM], batch.example_index[batch.out_batch[ITEM]]
    wide = max(int(part.items.max(initial=0)), int(nodes.max(initial=0))) + 1
    taken = np.repeat(np.arange(len(part), dtype=np.int64), part.num_positives) * wide + part.items
    return np.isin(owner * wide + nodes, taken)


def train_id_aware(model: Any, optimizer: Any, loader: Loader, part: LinkTrainingTable,
                   recent: npt.NDArray[np.float64], scored: bool = False) -> float:
    """One pass of the ID-aware model: binary cross-entropy of every product
    inside a customer's subgraph against whether the customer takes it, plus
    the cross-entropy of each positive among all products (the order below)."""
    import torch

    model.train()
    total = seen = 0.0
    for batch in loader:
        data = batch.to_hetero_data()
        inside, every = model(data, data[SOURCE].seed_time,
                              torch.from_numpy(recent[batch.example_index]).float())
        target = torch.from_numpy(subgraph_labels(batch, part)).float()
        loss = torch.nn.functional.binary_cross_entropy_with_logits(inside, target) if target.numel() else 0.0
        ptr, picked = gather_ranges(part.offsets, batch.example_index)
        example = torch.from_numpy(np.repeat(np.arange(batch.seed_node.size), np.diff(ptr)))
        positives = torch.from_numpy(part.items[picked])
        if scored:  # one ranking: the products inside take their GNN logits
            every = every.index_put((data[ITEM].batch, data[ITEM].n_id), inside)
        loss = loss + torch.nn.functional.cross_entropy(every[example], positives)
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()
        total += float(loss.detach()) * batch.seed_node.size
        seen += batch.seed_node.size
    return total / max(seen, 1.0)


def rank_id_aware(model: Any, graph: Graph, part: LinkTrainingTable, recent: npt.NDArray[np.float64],
                  args: argparse.Namespace) -> npt.NDArray[np.float64]:
    """Every product's score for every example of ``part``: the products
    inside the customer's subgraph by the model, above every other product
    (all scores of those below 0, of these above 1)."""
    import torch

    model.eval()
    scores = np.zeros((len(part), graph.num_nodes[ITEM]))
    inside = np.zeros_like(scores)
    loader = Loader(graph, SOURCE, part.keys, part.times, batch_size=args.batch_size,
                    num_neighbors=customer_request(args.orders), workers=args.workers)
    with torch.no_grad():
        for batch in loader:
            data = batch.to_hetero_data()
            logits, every = model(data, data[SOURCE].seed_time,
                                  torch.from_numpy(recent[batch.example_index]).float())
            example = batch.example_index[batch.out_batch[ITEM]]
            if args.inside == "scored":
                scores[batch.example_index] = every.numpy()
                scores[example, batch.out_node[ITEM]] = logits.numpy()
                continue
            scores[batch.example_index] = torch.sigmoid(every).numpy() - 1.0
            inside[example, batch.out_node[ITEM]] = 1.0 + torch.sigmoid(logits).numpy()
    return np.where(inside > 0, inside, scores)


def run(args: argparse.Namespace, workdir: Path) -> int:
    import torch

    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)
    began = time.perf_counter()
    database = workdir / "shop.sqlite"
    database.unlink(missing_ok=True)
    write_sqlite(make_tables(Sizes().scaled(args.scale), seed=args.data_seed, tastes=TASTES), database)
    tables = read_sqlite(database)
    graph = build_graph(tables)
    bought = purchases(tables, graph)
    examples = link_training_table(
        {**tables, "purchases": bought}, SOURCE, CUTOFFS,
        target=("purchases", "customer_id", "product_id"), horizon=HORIZON, time_unit=graph.time_unit,
    )
    examples = examples.take(examples.num_positives > 0)  # nothing to rank for the rest
    train, val, test = split_by_time(examples, VAL_START, TEST_START)
    print(f"Examples: train {len(train):,}, val {len(val):,}, test {len(test):,} "
          f"({examples.num_positives.mean():.1f} products each; {int(test.num_late.sum())} test "
          f"positives did not exist at their cut-off); data in {time.perf_counter() - began:.1f} s",
          flush=True)
    print("Evaluation: every product ranked for every example, all positives counted "
          "(RelBench's convention)", flush=True)
    popular = {"val": popularity(bought, graph, val), "test": popularity(bought, graph, test)}
    parts = {"val": val, "test": test}
    baseline = {name: map_at_k(popular[name], parts[name], K) for name in parts}
    model = build_model(graph, args.hidden, args.model)
    if args.model == "two-tower":
        item_counts, item_windows = product_request()
        loader: Loader = LinkLoader(
            graph, train, batch_size=args.batch_size, negatives=args.negatives, positives=args.positives,
            num_neighbors=customer_request(), item_num_neighbors=item_counts,
            item_sampling_time_offsets=item_windows, shuffle=True, seed=args.seed, workers=args.workers,
        )

        def train_once() -> float:
            return train_epoch(model, optimizer, loader)  # type: ignore[arg-type]

        def ranked(name: str) -> npt.NDArray[np.float64]:
            return rank_scores(model, graph, parts[name], args)  # type: ignore[no-any-return]
    else:
        loader = Loader(graph, SOURCE, train.keys, train.times, batch_size=args.batch_size,
                        num_neighbors=customer_request(args.orders), shuffle=True, seed=args.seed,
                        workers=args.workers)

        recent = np.log1p(popularity(bought, graph, train))

        def train_once() -> float:
            return train_id_aware(model, optimizer, loader, train, recent, args.inside == "scored")

        def ranked(name: str) -> npt.NDArray[np.float64]:
            return rank_id_aware(model, graph, parts[name], np.log1p(popular[name]), args)
    with torch.no_grad():  # one batch initialises the lazy input sizes
        first = next(iter(loader)).to_hetero_data()
        model(first, first[SOURCE].seed_time)
    optimizer = torch.optim.Adam(model.parameters(), lr=args.lr)
    best: tuple[float, int, Any] = (-1.0, 0, None)
    for epoch in range(1, args.epochs + 1):
        started = time.perf_counter()
        loss = train_once()
        metric = map_at_k(ranked("val"), val, K)
        if metric > best[0]:
            best = (metric, epoch, copy.deepcopy(model.state_dict()))
        print(f"epoch {epoch:>2}: train loss {loss:.4f}, validation MAP@{K} GNN {metric:.4f}, "
              f"popularity {baseline['val']:.4f} ({time.perf_counter() - started:.1f} s)", flush=True)
    model.load_state_dict(best[2])
    val_scores, test_scores = ranked("val"), ranked("test")
    print(f"Validation MAP@{K} at the best epoch ({best[1]}): GNN {best[0]:.4f}, "
          f"popularity {baseline['val']:.4f}; recall@{K}: GNN {recall_at_k(val_scores, val, K):.4f}, "
          f"popularity {recall_at_k(popular['val'], val, K):.4f}")
    print(f"Test MAP@{K}: GNN {map_at_k(test_scores, test, K):.4f}, popularity {baseline['test']:.4f}; "
          f"recall@{K}: GNN {recall_at_k(test_scores, test, K):.4f}, "
          f"popularity {recall_at_k(popular['test'], test, K):.4f}")
    print(f"Total time: {time.perf_counter() - began:.1f} s")
    return 0


def parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", choices=["two-tower", "id-aware"], default="two-tower",
                        help="two towers over customer and product subgraphs, or the products "
                             "inside each customer's own subgraph scored (ID-aware)")
    parser.add_argument("--orders", type=int, default=20,
                        help="latest orders in the ID-aware model's customer subgraphs")
    parser.add_argument("--inside", choices=["first", "scored"], default="first",
                        help="id-aware: the products inside the customer's subgraph ranked above "
                             "every other, or every product by its score (those inside by the GNN's)")
    parser.add_argument("--scale", type=float, default=1.0, help="database size factor")
    parser.add_argument("--epochs", type=int, default=6)
    parser.add_argument("--batch-size", type=int, default=64)
    parser.add_argument("--negatives", type=int, default=8, help="random products per example")
    parser.add_argument("--positives", choices=["one", "all"], default="one",
                        help="two-tower: one positive per example and epoch, or all of them")
    parser.add_argument("--hidden", type=int, default=32, help="hidden channels")
    parser.add_argument("--lr", type=float, default=0.003, help="Adam's learning rate")
    parser.add_argument("--workers", type=int, default=1, help="loader worker threads")
    parser.add_argument("--threads", type=int, default=1, help="torch's CPU threads")
    parser.add_argument("--data-seed", type=int, default=0, help="seed of the generated data")
    parser.add_argument("--seed", type=int, default=0, help="seed of sampling and model")
    parser.add_argument("--workdir", metavar="DIR", help="keep shop.sqlite in DIR (default: a temporary one)")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    if args.workdir:
        Path(args.workdir).mkdir(parents=True, exist_ok=True)
        return run(args, Path(args.workdir))
    with tempfile.TemporaryDirectory(prefix="rerozer-recommend-") as workdir:
        return run(args, Path(workdir))


if __name__ == "__main__":
    sys.exit(main())
