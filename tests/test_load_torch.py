"""Batch.to_hetero_data() with real torch and torch_geometric, and the
training example end to end. Marked ``torch``."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from rerozer_tables import Loader, Table, build_graph, load_graph, save_graph

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def shop(with_tags=True):
    tables = {
        "users": Table({"id": ["a", "b", "c"], "t": [1, 2, 3], "plan": ["x", "y", None]},
                       primary_key="id", time_column="t"),
        "posts": Table({"by": ["a", "a", "b", "c", "b"], "t": [2, 5, 3, 4, 6],
                        "likes": [1.0, 2.0, None, 4.0, 5.0]},
                       foreign_keys={"by": "users"}, time_column="t"),
        "tags": Table({"name": ["p", "q"]}),  # no edges, no numerical features
    }
    if not with_tags:
        del tables["tags"]
    return build_graph(tables)


def request():
    return {("posts", "by", "users"): [-1, 0], ("users", "rev_by", "posts"): [0, 1]}


def shares(tensor, array):
    """The tensor is a view of the array (empty arrays hold no memory to share)."""
    return array.size == 0 or np.shares_memory(tensor.numpy(), array)


@pytest.mark.torch
def test_hetero_data_holds_the_batch_without_copies(tmp_path):
    import torch

    save_graph(shop(), tmp_path / "g")
    graph = load_graph(tmp_path / "g")  # memory-mapped features
    batch = next(iter(Loader(graph, "users", ["a", "b", "c"], [9, 9, 3], batch_size=3,
                             num_neighbors=request())))
    data = batch.to_hetero_data()
    for node_type, nodes in batch.out_node.items():
        store = data[node_type]
        assert shares(store.n_id, nodes) and shares(store.batch, batch.out_batch[node_type])
        assert shares(store.num_sampled_nodes, batch.num_sampled_nodes[node_type])
        assert store.x.dtype == torch.float32 and shares(store.x, batch.x[node_type])
        assert store.x.shape == (nodes.size, graph.features[node_type].x.shape[1])
    assert data["tags"].x.shape == (0, 0)
    assert data["users"].x_cat.dtype == torch.int64 and shares(data["users"].x_cat, batch.x_cat["users"])
    assert data["posts"].x_cat.shape == (batch.out_node["posts"].size, 0)
    # In the graph's order, as the batch's dictionaries are.
    assert list(batch.edge_index) == data.edge_types == graph.edge_types
    assert data.node_types == list(batch.out_node)
    for edge_type in graph.edge_types:
        store = data[edge_type]
        assert store.edge_index.tolist() == batch.edge_index[edge_type].tolist()
        assert shares(store.edge_index, batch.edge_index[edge_type])
        assert store.num_sampled_edges.tolist() == batch.num_sampled_edges["__".join(edge_type)].tolist()
    users = data["users"]
    assert shares(users.input_id, batch.example_index) and shares(users.seed_time, batch.seed_time)
    assert users.seed_time.tolist() == [9, 9, 3] and users.batch_size == 3
    assert data.time_unit == batch.time_unit == graph.time_unit == "s"
    assert "input_id" not in data["posts"]
    # What a PyG model reads: the dictionaries by node and edge type.
    assert set(data.x_dict) == set(graph.node_types)
    assert data["posts"].x.shape[0] == batch.out_node["posts"].size > 0


@pytest.mark.torch
@pytest.mark.parametrize("labels", [None, [1, 0, 1]], ids=["no-labels", "labels"])
def test_hetero_data_made_directly_is_what_pyg_makes(labels):
    """The stores made without PyG's attribute machinery hold what its
    public interface puts there, in the same order, and PyG's own methods
    work on them as on its own objects."""
    import copy

    from rerozer_tables.load import torch_bridge

    batch = next(iter(Loader(shop(with_tags=False), "users", ["a", "b", "c"], [9, 9, 3],
                             batch_size=3, num_neighbors=request(), labels=labels)))
    data = batch.to_hetero_data()
    builder = torch_bridge._builder
    assert builder is not None and builder.direct  # the installed PyG takes the direct path
    builder.direct = False
    try:
        public = batch.to_hetero_data()
    finally:
        builder.direct = True

    def contents(made):
        return [(getattr(store, "_key", None),
                 [(k, (v.dtype, v.shape, v.numpy().tobytes()) if hasattr(v, "numpy") else v)
                  for k, v in store.items()])
                for store in made.stores]

    assert ("y" in data["users"]) == (labels is not None) and data["users"].batch_size == 3
    for one, two in [(data, public), (data.clone(), public.clone()), (copy.copy(data), public),
                     (data.to("cpu"), public), (data.node_type_subgraph(["users"]),
                                                public.node_type_subgraph(["users"]))]:
        assert contents(one) == contents(two) and one.metadata() == two.metadata()
        assert repr(one) == repr(two) and one.time_unit == "s"
        assert all(store._parent() is one for store in one.stores)
    assert data.validate() and data.num_nodes == public.num_nodes
    assert data.to_homogeneous().edge_index.tolist() == public.to_homogeneous().edge_index.tolist()


@pytest.mark.torch
def test_a_heterogeneous_gnn_runs_on_a_batch():
    import torch
    from torch_geometric.nn import SAGEConv, to_hetero

    graph = shop(with_tags=False)  # every node type receives messages

    class GNN(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.conv = SAGEConv((-1, -1), 4)

        def forward(self, x, edge_index):
            return self.conv(x, edge_index)

    model = to_hetero(GNN(), (graph.node_types, graph.edge_types), aggr="sum")
    batch = next(iter(Loader(graph, "users", ["a", "b"], [9, 9], batch_size=2,
                             num_neighbors=request())))
    data = batch.to_hetero_data()
    x = {t: torch.cat([torch.nan_to_num(data[t].x), torch.ones(data[t].x.shape[0], 1)], 1)
         for t in data.node_types}
    out = model(x, data.edge_index_dict)
    assert out["users"][: data["users"].batch_size].shape == (2, 4)


@pytest.mark.torch
def test_tensors_outlive_their_batch_and_loader():
    """The tensors keep the sampler's result arrays alive after the batch,
    its loader and the graph are gone."""
    import gc

    loader = Loader(shop(), "users", ["a", "b", "c"], [9, 9, 9], batch_size=3,
                    num_neighbors=request())
    batch = next(iter(loader))
    expected = {t: nodes.copy() for t, nodes in batch.out_node.items()}
    edges = {t: e.copy() for t, e in batch.edge_index.items()}
    data = batch.to_hetero_data()
    del batch, loader
    gc.collect()
    for node_type, nodes in expected.items():
        assert data[node_type].n_id.tolist() == nodes.tolist()
    for edge_type, edge_index in edges.items():
        assert data[edge_type].edge_index.tolist() == edge_index.tolist()


@pytest.mark.torch
def test_readme_example_runs_and_prints_what_it_shows(tmp_path):
    text = (Path(__file__).resolve().parents[1] / "README.md").read_text()
    code, shown = re.search(
        r"From an SQLite file to a PyG batch.*?```python\n(.*?)```\n\nprints\n\n```\n(.*?)```",
        text, re.S,
    ).groups()
    completed = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                               text=True, timeout=300, check=False)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout == shown


@pytest.mark.torch
@pytest.mark.training_run
def test_readme_first_model_trains_on_the_demo_shop(tmp_path):
    text = (Path(__file__).resolve().parents[1] / "README.md").read_text()
    code = re.search(r"## From a database to a trained model.*?```python\n(.*?)```", text, re.S)[1]
    sys.path.insert(0, str(EXAMPLES))
    try:
        from database import Sizes, make_tables, write_sqlite
    finally:
        sys.path.remove(str(EXAMPLES))
    write_sqlite(make_tables(Sizes().scaled(0.25)), tmp_path / "shop.sqlite")
    completed = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                               text=True, timeout=600, check=False)
    assert completed.returncode == 0, completed.stderr
    losses = [float(v) for v in re.findall(r"^epoch \d: loss (\S+)$", completed.stdout, re.M)]
    assert len(losses) == 3 and losses[-1] < losses[0], completed.stdout


def test_a_missing_torch_is_named_with_what_to_install(monkeypatch):
    graph = shop()
    batch = next(iter(Loader(graph, "users", ["a"], [9], batch_size=1, num_neighbors=request())))
    monkeypatch.setitem(sys.modules, "torch", None)
    with pytest.raises(ImportError, match=re.escape(
        'Batch.to_hetero_data() needs torch and torch_geometric: pip install "rerozer[torch]"'
    )):
        batch.to_hetero_data()


@pytest.mark.torch
@pytest.mark.training_run
def test_train_example_learns_and_draws_its_curve(tmp_path):
    plot = tmp_path / "curve.png"
    completed = subprocess.run(
        [sys.executable, str(EXAMPLES / "train.py"), "--scale", "0.25", "--epochs", "2",
         "--batch-size", "256", "--plot", str(plot), "--workdir", str(tmp_path)],
        capture_output=True, text=True, timeout=600, check=False, cwd=tmp_path,
    )
    assert completed.returncode == 0, completed.stderr
    out = completed.stdout
    assert re.search(r"^Examples: train [\d,]+ .*val [\d,]+ .*test [\d,]+", out, re.M)
    epochs = re.findall(r"^epoch +\d+: train loss [\d.]+ .*validation AUROC GNN ([\d.]+), "
                        r"baseline ([\d.]+)", out, re.M)
    assert len(epochs) == 2
    assert all(0.0 <= float(v) <= 1.0 for pair in epochs for v in pair)
    assert re.search(r"^Test AUROC at the best validation epoch: GNN [\d.]+ \(epoch \d\), "
                     r"baseline [\d.]+ \(epoch \d\)$", out, re.M)
    assert plot.is_file() and plot.stat().st_size > 0
