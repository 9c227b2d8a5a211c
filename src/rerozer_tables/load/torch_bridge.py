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

    PyG creates an object and its stores through attribute machinery that
    costs more than the rest of a conversion together. When the installed
    PyG lays them out as this one does (checked once, against a
    ``HeteroData`` built through its public interface), the object's
    attributes are copied from one made once, and stores are made directly;
    otherwise everything goes through that interface.
    """

    def __init__(self, hetero_data: Any) -> None:
        self.hetero_data = hetero_data
        self.direct = False
        try:
            storage = importlib.import_module("torch_geometric.data.storage")
            self.base_storage = storage.BaseStorage
            self.node_storage, self.edge_storage = storage.NodeStorage, storage.EdgeStorage
            # What HeteroData() sets besides its three stores: the same
            # classes for every object.
            made = hetero_data()
            self.fixed = {k: v for k, v in made.__dict__.items()
                          if k not in ("_global_store", "_node_store_dict", "_edge_store_dict")}
            self.direct = self._same(self._direct, self._public)
        except Exception:  # any other layout: the public way
            self.direct = False

    def _public(self, nodes: dict[str, dict[str, Any]], edges: dict[Any, dict[str, Any]],
                attributes: dict[str, Any]) -> Any:
        data = self.hetero_data()
        for key, values in nodes.items():
            data.get_node_store(key).update(values)
        for key, values in edges.items():
            data.get_edge_store(*key).update(values)
        for name, value in attributes.items():
            setattr(data, name, value)
        return data

    def _direct(self, nodes: dict[str, dict[str, Any]], edges: dict[Any, dict[str, Any]],
                attributes: dict[str, Any]) -> Any:
        kind = self.hetero_data
        data = kind.__new__(kind)
        parent = weakref.ref(data)
        made = self.base_storage.__new__(self.base_storage)
        made.__dict__.update(_mapping=dict(attributes), _parent=parent)
        node_stores: dict[str, Any] = {}
        edge_stores: dict[Any, Any] = {}
        data.__dict__.update(self.fixed, _global_store=made, _node_store_dict=node_stores,
                             _edge_store_dict=edge_stores)
        for stores, store_kind, entries in (
            (node_stores, self.node_storage, nodes), (edge_stores, self.edge_storage, edges),
        ):
            new = store_kind.__new__
            for key, values in entries.items():
                store = new(store_kind)
                store.__dict__.update(_mapping=values, _parent=parent, _key=key)
                stores[key] = store
        return data

    def _same(self, direct: Any, public: Any) -> bool:
        def both() -> tuple[Any, Any]:
            nodes = {"a": {"x": 1, "n_id": 2}, "b": {"x": 3}}
            edges = {("a", "to", "b"): {"edge_index": 4}}
            return direct(nodes, edges, {"unit": "s"}), public(nodes, edges, {"unit": "s"})

        one, two = both()
        return bool(
            one.metadata() == two.metadata()
            and all(type(one[k]) is type(two[k]) and one[k].to_dict() == two[k].to_dict()
                    and one[k]._key == two[k]._key and one[k]._parent() is one
                    for k in [*two.node_types, *two.edge_types])
            and one["a"].x == 1 and one["a", "to", "b"].edge_index == 4
            and {k: type(v) for k, v in vars(one).items()} == {k: type(v) for k, v in vars(two).items()}
            and vars(one._global_store).keys() == vars(two._global_store).keys()
            and one._global_store._parent() is one and one.unit == two.unit == "s"
            and one.to_dict() == two.to_dict()
        )

    def __call__(self, nodes: dict[str, dict[str, Any]], edges: dict[Any, dict[str, Any]],
                 attributes: dict[str, Any] | None = None) -> Any:
        """A ``HeteroData`` with these node and edge stores and whole-object
        ``attributes``; the stores keep the dictionaries given."""
        attributes = {} if attributes is None else attributes
        if self.direct:
            return self._direct(nodes, edges, attributes)
        return self._public(nodes, edges, attributes)


_builder: _Builder | None = None


def to_hetero_data(batch: BatchArrays) -> Any:
    """See ``Batch.to_hetero_data``. Tensors are made with ``torch.from_numpy``
    alone: a batch's arrays are its own and writable (torch warns about a
    read-only array, and then shares it all the same)."""
    global _builder
    torch, hetero_data = import_torch()
    builder = _builder
    if builder is None or builder.hetero_data is not hetero_data:
        builder = _builder = _Builder(hetero_data)
    tensor = torch.from_numpy
    x, x_cat, times, x_text, x_multi = batch.x, batch.x_cat, batch.time, batch.x_text, batch.x_multi
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
        if node_type in times:
            values["time"] = tensor(times[node_type])
        if node_type in x_text:
            values["x_text"] = tensor(x_text[node_type])
        if node_type in x_multi:
            offsets, codes = x_multi[node_type]
            values["x_multi"], values["x_multi_offset"] = tensor(codes), tensor(offsets)
        nodes[node_type] = values
    entity = nodes.get(batch.entity_table)
    if entity is not None:
        entity["input_id"] = tensor(batch.example_index)
        entity["seed_time"] = tensor(batch.seed_time)
        entity["batch_size"] = int(batch.seed_node.size)
        if batch.y is not None:
            entity["y"] = tensor(batch.y)
    edge_index, num_sampled_edges = batch.edge_index, batch.num_sampled_edges
    edges: dict[Any, dict[str, Any]] = {}
    for edge_type in batch.edge_types:
        edges[edge_type] = {
            "edge_index": tensor(edge_index[edge_type]),
            "num_sampled_edges": tensor(num_sampled_edges["__".join(edge_type)]),
        }
    # time_unit (of time and seed_time: the graph's unit) is the whole batch's attribute.
    return builder(nodes, edges, {"time_unit": batch.time_unit})
