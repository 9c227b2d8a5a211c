"""The drop-in NeighborLoader against a plain-Python model of PyG's temporal
NeighborLoader with pyg-lib (which has no build for Python 3.12), written
from PyG's rules:

- edges of an edge type are held by destination; within a destination, by
  the source's time when the source type has times (a stable sort: ties in
  edge_index order), and in edge_index order otherwise;
- a batch samples each seed's subgraph on its own (temporal sampling is
  always disjoint): nodes are told apart by (seed, node), and a node already
  in the seed's subgraph is not added again, its edge pointing at it;
- per hop, edge types in the data's order, and for each the nodes of its
  destination type added in the previous hop, in order; a timed source type
  offers the sources at or before the seed's time, of which "last" takes
  the last k (all for -1), in column order;
- n_id, batch and edge_index are in the order nodes and edges were added.
"""

import warnings

import numpy as np
import pytest

pytestmark = pytest.mark.torch
torch = pytest.importorskip("torch")
pytest.importorskip("torch_geometric")
from torch_geometric.data import Data, HeteroData  # noqa: E402

from rerozer_tables.pyg import NeighborLoader  # noqa: E402


def pyg_csc(src, dst, src_time):
    """Per destination, the sources in PyG's order."""
    order = sorted(range(len(src)), key=lambda e: (dst[e], src_time[src[e]] if src_time else 0))
    columns = {}
    for e in order:
        columns.setdefault(dst[e], []).append(src[e])
    return columns


def pyg_last(data, num_neighbors, entity, seeds, seed_times):
    """One batch as PyG with pyg-lib samples it, temporal_strategy="last"."""
    times = {t: data[t].time.tolist() for t in data.node_types if "time" in data[t]}
    columns = {
        e: pyg_csc(*data[e].edge_index.tolist(), times.get(e[0])) for e in data.edge_types
    }
    nodes = {t: [] for t in data.node_types}
    local = {t: {} for t in data.node_types}
    for i, v in enumerate(seeds):
        local[entity][(i, v)] = i
        nodes[entity].append((i, v))
    begin = {t: 0 for t in data.node_types}
    end = {t: len(nodes[t]) for t in data.node_types}
    count_nodes = {t: [len(nodes[t])] for t in data.node_types}
    count_edges = {e: [] for e in data.edge_types}
    edges = {e: ([], []) for e in data.edge_types}
    for hop in range(len(next(iter(num_neighbors.values())))):
        for e in data.edge_types:
            src, _, dst = e
            k = num_neighbors[e][hop]
            added = 0
            for i in range(begin[dst], end[dst]):
                b, v = nodes[dst][i]
                column = columns[e].get(v, [])
                if src in times:
                    column = [u for u in column if times[src][u] <= seed_times[b]]
                if k == 0:
                    column = []
                elif k > 0:
                    if src not in times and k < len(column):
                        raise AssertionError("a random draw: keep the oracle's graphs deterministic")
                    column = column[max(0, len(column) - k):]
                for u in column:
                    if (b, u) not in local[src]:
                        local[src][(b, u)] = len(nodes[src])
                        nodes[src].append((b, u))
                    edges[e][0].append(local[src][(b, u)])
                    edges[e][1].append(i)
                    added += 1
            count_edges[e].append(added)
        for t in data.node_types:
            begin[t], end[t] = end[t], len(nodes[t])
            count_nodes[t].append(end[t] - begin[t])
    return nodes, edges, count_nodes, count_edges


def random_shop(seed, customers=6, orders=25, products=5, tags=7):
    """Customers and orders with times (ties on purpose), products and tags
    without; orders link customers and products, tags link products."""
    rng = np.random.default_rng(seed)
    data = HeteroData()
    data["customers"].time = torch.tensor(rng.integers(0, 6, customers))
    data["customers"].x = torch.tensor(rng.normal(size=(customers, 2)), dtype=torch.float32)
    data["orders"].time = torch.tensor(rng.integers(0, 10, orders))
    data["orders"].x = torch.arange(orders, dtype=torch.float32)
    data["products"].num_nodes = products
    data["products"].price = np.arange(products) * 1.5
    data["tags"].num_nodes = tags
    buyer = torch.tensor(rng.integers(0, customers, orders))
    item = torch.tensor(rng.integers(0, products, orders))
    tagged = torch.tensor(rng.integers(0, products, tags))
    order_ids = torch.arange(orders)
    # Edge lists in a shuffled order, so the sort has work to do.
    shuffled = torch.tensor(rng.permutation(orders))
    data["orders", "by", "customers"].edge_index = torch.stack([order_ids, buyer])[:, shuffled]
    data["customers", "placed", "orders"].edge_index = torch.stack([buyer, order_ids])
    data["orders", "of", "products"].edge_index = torch.stack([order_ids, item])[:, shuffled]
    data["products", "in", "orders"].edge_index = torch.stack([item, order_ids])
    data["tags", "on", "products"].edge_index = torch.stack([torch.arange(tags), tagged])
    return data


def request(data, counts):
    """Counts per hop for timed sources; -1 (all) for untimed ones, whose
    draws would otherwise be random."""
    return {e: (counts if "time" in data[e[0]] else [-1] * len(counts)) for e in data.edge_types}


@pytest.mark.parametrize(("seed", "counts", "batch_size"), [
    (0, [2, 2], 4), (1, [1, 3], 3), (2, [3, 1, 2], 6), (3, [-1, 2], 5), (4, [0, 2], 2),
    (5, [2, 0, -1], 7),
])
def test_last_samples_what_pyg_samples(seed, counts, batch_size):
    data = random_shop(seed)
    rng = np.random.default_rng(seed + 100)
    seeds = rng.integers(0, 6, 12)
    # Seed times drawn from the whole range: some before their own row's time.
    seed_times = rng.integers(0, 10, 12)
    num_neighbors = request(data, counts)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        loader = NeighborLoader(data, num_neighbors, input_nodes=("customers", torch.tensor(seeds)),
                                input_time=torch.tensor(seed_times), time_attr="time",
                                temporal_strategy="last", batch_size=batch_size)
    batches = list(loader)
    assert len(batches) == len(loader) == -(-12 // batch_size)
    for number, batch in enumerate(batches):
        chosen = list(range(number * batch_size, min(12, (number + 1) * batch_size)))
        nodes, edges, count_nodes, count_edges = pyg_last(
            data, num_neighbors, "customers", seeds[chosen].tolist(), seed_times[chosen].tolist())
        assert batch["customers"].input_id.tolist() == chosen
        assert batch["customers"].seed_time.tolist() == seed_times[chosen].tolist()
        assert batch["customers"].batch_size == len(chosen)
        for t in data.node_types:
            assert batch[t].n_id.tolist() == [v for _, v in nodes[t]], t
            assert batch[t].batch.tolist() == [b for b, _ in nodes[t]], t
            assert batch[t].num_sampled_nodes == count_nodes[t], t
        for e in data.edge_types:
            assert batch[e].edge_index.tolist() == [edges[e][0], edges[e][1]], e
            assert batch[e].num_sampled_edges == count_edges[e], e
        # Every node attribute sliced by n_id, others as they were.
        n_id = {t: batch[t].n_id for t in data.node_types}
        assert torch.equal(batch["orders"].x, data["orders"].x[n_id["orders"]])
        assert torch.equal(batch["customers"].time, data["customers"].time[n_id["customers"]])
        np.testing.assert_array_equal(batch["products"].price.numpy(),
                                      data["products"].price[n_id["products"].numpy()])
        assert batch["tags"].num_nodes == n_id["tags"].numel()


def test_the_oracle_sees_late_seeds_and_time_ties():
    """The graphs above hold what the comparison is about."""
    data = random_shop(0)
    times = data["orders"].time.tolist()
    assert len(set(times)) < len(times)  # ties within columns
    nodes, _, _, _ = pyg_last(data, request(data, [1]), "customers", [0, 0], [0, 9])
    assert len(nodes["orders"]) <= 2


def one_column(candidates=5, late=2):
    """One customer whose orders are `candidates` at or before time 10 and `late` after."""
    data = HeteroData()
    data["customers"].num_nodes = 1
    data["customers"].time = torch.tensor([0])
    total = candidates + late
    data["orders"].num_nodes = total
    data["orders"].time = torch.tensor([10 - i % 3 for i in range(candidates)] + [11] * late)
    data["orders", "by", "customers"].edge_index = torch.stack([torch.arange(total), torch.zeros(total, dtype=torch.long)])
    return data


def test_uniform_draws_every_pair_of_candidates_alike():
    data = one_column()
    torch.manual_seed(0)
    loader = NeighborLoader(data, [2], input_nodes="customers", input_time=torch.tensor([10]),
                            time_attr="time", temporal_strategy="uniform", batch_size=1)
    counts = {}
    draws = 2000
    for _ in range(draws):
        batch, = loader
        pair = tuple(sorted(batch["orders"].n_id.tolist()))
        counts[pair] = counts.get(pair, 0) + 1
    assert set(counts) == {(a, b) for a in range(5) for b in range(a + 1, 5)}  # never a late one
    expected = draws / 10
    chi2 = sum((c - expected) ** 2 / expected for c in counts.values())
    assert chi2 < 33.7  # 9 degrees of freedom, p = 1e-4


@pytest.mark.parametrize(("strategy", "count", "taken"), [
    ("uniform", 5, [0, 1, 2, 3, 4]), ("uniform", -1, [0, 1, 2, 3, 4]), ("uniform", 9, [0, 1, 2, 3, 4]),
    # Column order by time (10, 9, 8, 10, 9 -> 2, 1, 4, 0, 3): the last two.
    ("last", 2, [0, 3]), ("last", 1, [3]), ("last", -1, [2, 1, 4, 0, 3]),
])
def test_a_count_at_least_the_candidates_takes_them_all(strategy, count, taken):
    loader = NeighborLoader(one_column(), [count], input_nodes="customers", input_time=torch.tensor([10]),
                            time_attr="time", temporal_strategy=strategy, batch_size=1)
    batch, = loader
    got = batch["orders"].n_id.tolist()
    assert (got if strategy == "last" else sorted(got)) == taken


def test_shuffle_follows_torch_like_pyg():
    data = random_shop(0)
    kwargs = dict(input_nodes="orders", time_attr="time", batch_size=4, shuffle=True,
                  temporal_strategy="uniform")

    def epoch(seed, **more):
        torch.manual_seed(seed)
        loader = NeighborLoader(data, [2, 2], **kwargs, **more)
        return [(b["orders"].input_id.tolist(), b["customers"].n_id.tolist()) for b in loader]

    torch.manual_seed(7)
    expected = [b.tolist() for b in torch.utils.data.DataLoader(range(25), batch_size=4, shuffle=True)]
    assert [ids for ids, _ in epoch(7)] == expected  # the DataLoader's order
    assert epoch(7) == epoch(7) == epoch(7, num_workers=2)
    assert epoch(7) != epoch(8)


def test_input_nodes_forms_and_drop_last():
    data = random_shop(1)
    mask = torch.zeros(25, dtype=torch.bool)
    mask[[3, 5, 8]] = True
    by_mask = NeighborLoader(data, [1], input_nodes=("orders", mask), time_attr="time", batch_size=2)
    assert [b["orders"].input_id.tolist() for b in by_mask] == [[3, 5], [8]]  # node ids, as PyG
    by_index = NeighborLoader(data, [1], input_nodes=("orders", torch.tensor([8, 3])), time_attr="time",
                              batch_size=2, drop_last=True)
    batch, = by_index
    assert batch["orders"].input_id.tolist() == [0, 1] and batch["orders"].n_id[:2].tolist() == [8, 3]
    assert "seed_time" not in batch["orders"]  # PyG sets it from input_time only
    every = NeighborLoader(data, [1], input_nodes=("orders", None), time_attr="time", batch_size=10,
                           drop_last=True)
    assert len(every) == 2 and len(list(every)) == 2


def test_the_graph_is_built_once_per_data_object():
    data = random_shop(2)
    first = NeighborLoader(data, [1], input_nodes="orders", time_attr="time", batch_size=4)
    second = NeighborLoader(data, [2, 2], input_nodes="customers", time_attr="time", batch_size=4)
    assert first.layout is second.layout
    other = NeighborLoader(random_shop(2), [1], input_nodes="orders", time_attr="time", batch_size=4)
    assert other.layout is not first.layout
    data["orders", "by", "customers"].edge_index = data["orders", "by", "customers"].edge_index[:, :3]
    changed = NeighborLoader(data, [1], input_nodes="orders", time_attr="time", batch_size=4)
    assert changed.layout is not first.layout
    assert changed.layout.graph.row["orders__by__customers"].size == 3


def test_late_seeds_warn_by_default_and_are_refused_with_leak_guard():
    data = random_shop(3)
    data["customers"].time = torch.tensor([0, 2, 2, 3, 5, 1])  # two later than 2, two at it
    late = 2
    arguments = (data, [1])
    kwargs = dict(input_nodes="customers", input_time=torch.full((6,), 2), time_attr="time",
                  batch_size=6)
    with pytest.warns(UserWarning, match=f"^{late} of 6 input nodes of customers come after"):
        batch, = NeighborLoader(*arguments, **kwargs)
    assert batch["customers"].n_id.tolist() == list(range(6))
    with pytest.raises(ValueError, match="customers key .* exists from .* after the example's time 2"):
        NeighborLoader(*arguments, **kwargs, leak_guard=True)


@pytest.mark.parametrize(("change", "kwargs", "error", "message"), [
    (None, {"replace": True}, ValueError, "replace=True is not supported"),
    (None, {"weight_attr": "w"}, ValueError, "weight_attr='w' is not supported"),
    (None, {"subgraph_type": "induced"}, ValueError, "subgraph_type='induced' is not supported"),
    (None, {"time_attr": None}, ValueError, "time_attr=None is not supported.*disjoint=True"),
    (None, {"pin_memory": True}, TypeError, "DataLoader argument 'pin_memory'"),
    (None, {"temporal_strategy": "first"}, ValueError, "temporal_strategy must be"),
    (None, {"input_nodes": "shops"}, ValueError, "'shops', which is not a node type"),
    (None, {"persistent_workers": True}, ValueError, "persistent_workers option needs num_workers"),
    ("edge_time", {}, ValueError, r"edge-level time \('time' on edge type \('orders', 'by', 'customers'\)"),
    ("edge_attr", {}, ValueError, "edge attribute 'weight' of edge type"),
    ("float_time", {}, ValueError, "data\\['orders'\\].time must hold integer times"),
])
def test_what_it_does_not_support_is_refused_by_name(change, kwargs, error, message):
    data = random_shop(0)
    if change == "edge_time":
        data["orders", "by", "customers"].time = torch.arange(25)
    elif change == "edge_attr":
        data["orders", "by", "customers"].weight = torch.ones(25)
    elif change == "float_time":
        data["orders"].time = data["orders"].time.float()
    options = {"input_nodes": "orders", "time_attr": "time", "batch_size": 4, **kwargs}
    with pytest.raises(error, match=message):
        NeighborLoader(data, [1], **options)


def test_homogeneous_data_is_refused():
    with pytest.raises(ValueError, match="data must be a torch_geometric.data.HeteroData, got Data"):
        NeighborLoader(Data(edge_index=torch.zeros((2, 0), dtype=torch.long), num_nodes=1), [1],
                       time_attr="time")


def test_disjoint_sampling_without_time_and_transform():
    data = random_shop(4)
    del data["customers"].time, data["orders"].time
    seen = []

    def transform(batch):
        seen.append(batch["orders"].batch_size)
        batch.marked = True
        return batch

    loader = NeighborLoader(data, [-1], input_nodes="orders", disjoint=True, batch_size=25,
                            transform=transform)
    batch, = loader
    assert seen == [25] and batch.marked
    # Each order's customer and product, in its own subgraph.
    assert batch["customers", "placed", "orders"].edge_index.shape[1] == 25
    assert batch["customers"].batch.tolist() == list(range(25))


def test_tensor_frames_are_sliced_and_future_timestamps_hidden_with_leak_guard():
    torch_frame = pytest.importorskip("torch_frame")
    data = one_column(candidates=3, late=0)
    data["orders"].time = torch.tensor([0, 86400, 2 * 86400])  # 1970-01-01, -02, -03
    # The example's own day (1970-01-02, a Friday), the third day, missing.
    stamps = torch.tensor([[[1970, 0, 1, 4, 0, 0, 0]], [[1970, 0, 2, 5, 0, 0, 0]], [[-1] * 7]])
    data["orders"].tf = torch_frame.TensorFrame(
        {torch_frame.stype.timestamp: stamps, torch_frame.stype.numerical: torch.tensor([[1.0], [2.0], [3.0]])},
        {torch_frame.stype.timestamp: ["shipped"], torch_frame.stype.numerical: ["total"]})
    kwargs = dict(input_nodes="customers", input_time=torch.tensor([86400]), time_attr="time",
                  temporal_strategy="last", batch_size=1)
    plain, = NeighborLoader(data, [-1], **kwargs)
    guarded, = NeighborLoader(data, [-1], **kwargs, leak_guard=True)
    assert plain["orders"].n_id.tolist() == [0, 1]
    for batch in (plain, guarded):
        assert batch["orders"].tf.feat_dict[torch_frame.stype.numerical][:, 0].tolist() == [1.0, 2.0]
    assert plain["orders"].tf.feat_dict[torch_frame.stype.timestamp].tolist() == stamps[:2].tolist()
    # Shipped on day 3, after the example time (day 2, which is kept): hidden with leak_guard.
    assert guarded["orders"].tf.feat_dict[torch_frame.stype.timestamp].tolist() == [
        stamps[0].tolist(), [[-1] * 7]]
    assert data["orders"].tf.feat_dict[torch_frame.stype.timestamp].tolist() == stamps.tolist()
