"""A ``Batch`` as a ``torch_geometric.data.HeteroData``.

torch and torch_geometric are optional: they are imported here, when a batch
is first converted, and through ``importlib`` so that type checkers do not
read all of torch to check this package.
"""

from __future__ import annotations

import importlib
import sys
import warnings
import weakref
from typing import Any

import numpy as np

from .batch_arrays import BatchArrays

INSTALL_HINT = (
    'Batch.to_hetero_data() needs torch and torch_geometric: pip install "rerozer[torch]" '
    "(or install torch and torch_geometric yourself)"
)


_imported: tuple[Any, Any] | None = None


def import_torch() -> tuple[Any, Any]:
    """``(torch, torch_geometric.data.HeteroData)``, or ImportError saying what to install.

    Kept after the first import, as long as it is the torch in
    ``sys.modules``: a batch is converted in every training step, and the
    warnings filter set around the import costs more than the rest of a
    small conversion.
    """
    global _imported
    if _imported is not None and sys.modules.get("torch") is _imported[0]:
        return _imported
    try:
        torch = importlib.import_module("torch")
        with warnings.catch_warnings():
            # torch_geometric's import still uses torch.jit.script, which the
            # torch releases we support deprecate; that is no concern of ours.
            warnings.filterwarnings("ignore", message=r".*torch\.jit\.script.* is deprecated",
                                    category=FutureWarning)
            hetero_data = importlib.import_module("torch_geometric.data").HeteroData
    except ImportError as error:
        raise ImportError(f"{INSTALL_HINT} ({error})") from error
    _imported = torch, hetero_data
    return _imported


class _Builder:
    """Makes ``HeteroData`` objects with given stores.

    PyG creates a store through attribute machinery that costs more than the
    rest of a conversion together. When the installed PyG keeps its stores as
    this one does (checked once, against a ``HeteroData`` built through its
    public interface), stores are made directly; otherwise through that
    interface.
    """

    def __init__(self, hetero_data: Any) -> None:
        self.hetero_data = hetero_data
        self.direct = False
        try:
            storage = importlib.import_module("torch_geometric.data.storage")
            self.node_storage, self.edge_storage = storage.NodeStorage, storage.EdgeStorage
            self.direct = self._same(self._direct, self._public)
        except Exception:  # any other layout: the public way
            self.direct = False

    def _public(self, nodes: dict[str, dict[str, Any]], edges: dict[Any, dict[str, Any]]) -> Any:
        data = self.hetero_data()
        for key, values in nodes.items():
            data.get_node_store(key).update(values)
        for key, values in edges.items():
            data.get_edge_store(*key).update(values)
        return data

    def _direct(self, nodes: dict[str, dict[str, Any]], edges: dict[Any, dict[str, Any]]) -> Any:
        data = self.hetero_data()
        parent = weakref.ref(data)
        for stores, kind, entries in (
            (data.__dict__["_node_store_dict"], self.node_storage, nodes),
            (data.__dict__["_edge_store_dict"], self.edge_storage, edges),
        ):
            for key, values in entries.items():
                store = kind.__new__(kind)
                store.__dict__.update(_mapping=values, _parent=parent, _key=key)
                stores[key] = store
        return data

    def _same(self, direct: Any, public: Any) -> bool:
        nodes = {"a": {"x": 1, "n_id": 2}, "b": {"x": 3}}
        edges = {("a", "to", "b"): {"edge_index": 4}}
        one, two = direct(nodes, edges), public(nodes, edges)
        return bool(
            one.metadata() == two.metadata()
            and all(type(one[k]) is type(two[k]) and one[k].to_dict() == two[k].to_dict()
                    and one[k]._key == two[k]._key and one[k]._parent() is one
                    for k in [*two.node_types, *two.edge_types])
            and one["a"].x == 1 and one["a", "to", "b"].edge_index == 4
        )

    def __call__(self, nodes: dict[str, dict[str, Any]], edges: dict[Any, dict[str, Any]]) -> Any:
        return self._direct(nodes, edges) if self.direct else self._public(nodes, edges)


_builder: _Builder | None = None


def to_hetero_data(batch: BatchArrays) -> Any:
    """See ``Batch.to_hetero_data``. Tensors are made with ``torch.from_numpy``
    alone: a batch's arrays are its own and writable (torch warns about a
    read-only array, and then shares it all the same)."""
    global _builder
    torch, hetero_data = import_torch()
    if _builder is None or _builder.hetero_data is not hetero_data:
        _builder = _Builder(hetero_data)
    tensor = torch.from_numpy
    x, x_cat, entity = batch.x, batch.x_cat, batch.entity_table
    out_batch, num_sampled_nodes = batch.out_batch, batch.num_sampled_nodes
    nodes: dict[str, dict[str, Any]] = {}
    for node_type, ids in batch.out_node.items():
        features = x.get(node_type)
        values = {
            "n_id": tensor(ids),
            "batch": tensor(out_batch[node_type]),
            "num_sampled_nodes": tensor(num_sampled_nodes[node_type]),
            "x": tensor(np.zeros((ids.size, 0), np.float32) if features is None else features),
        }
        if node_type in x_cat:
            values["x_cat"] = tensor(x_cat[node_type])
        if node_type in batch.time:
            values["time"] = tensor(batch.time[node_type])
        if node_type in batch.x_text:
            values["x_text"] = tensor(batch.x_text[node_type])
        if node_type in batch.x_multi:
            offsets, codes = batch.x_multi[node_type]
            values["x_multi"], values["x_multi_offset"] = tensor(codes), tensor(offsets)
        if node_type == entity:
            values["input_id"] = tensor(batch.example_index)
            values["seed_time"] = tensor(batch.seed_time)
            values["batch_size"] = int(batch.seed_node.size)
            if batch.y is not None:
                values["y"] = tensor(batch.y)
        nodes[node_type] = values
    edge_index, num_sampled_edges = batch.edge_index, batch.num_sampled_edges
    edges = {
        edge_type: {
            "edge_index": tensor(edge_index[edge_type]),
            "num_sampled_edges": tensor(num_sampled_edges["__".join(edge_type)]),
        }
        for edge_type in batch.edge_types
    }
    data = _builder(nodes, edges)
    data.time_unit = batch.time_unit  # of time and seed_time: the graph's unit
    return data
