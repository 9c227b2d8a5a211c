"""The ``Graph`` of a PyG ``HeteroData``, built once per data object and
shared by the ``NeighborLoader``s made on it.

Edges are laid out as PyG lays them out for its sampler: per edge type,
columns by destination; within a column, by the source's time when the
source type has times, ties (and every column of an untimed source type)
in the order of ``edge_index``. Node and edge types keep the data's order,
which is the order the sampler visits them in within a hop.
"""

from __future__ import annotations

import threading
import weakref
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..graph.check import check_graph
from ..graph.csc import edges_to_csc
from ..graph.graph import EdgeType, Graph, edge_type_key
from ..tables.columns import Int64Array


def to_numpy(value: Any, what: str) -> Any:
    """A tensor's (or an array's) values as a numpy array, on the CPU."""
    if hasattr(value, "detach"):
        value = value.detach().cpu().numpy()
    array = np.asarray(value)
    if array.dtype == object:
        raise TypeError(f"{what} must be a tensor or an array, got {type(value).__name__}")
    return array


def _times(value: Any, what: str) -> Int64Array:
    times = to_numpy(value, what)
    if times.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {tuple(times.shape)}")
    if times.size and not np.issubdtype(times.dtype, np.integer):
        raise ValueError(
            f"{what} must hold integer times (as RelBench's graphs hold seconds), got {times.dtype}"
        )
    return np.ascontiguousarray(times, dtype=np.int64)


@dataclass(frozen=True)
class HeteroLayout:
    """What a loader needs from a ``HeteroData`` besides its graph."""

    graph: Graph
    # Per node type, the node attributes that a batch slices by n_id.
    node_attributes: dict[str, list[str]]


def _fingerprint(data: Any, time_attr: str | None) -> tuple[Any, ...]:
    """What the graph was built from: a data object changed since (another
    edge_index or time tensor, other node counts) builds a new one."""
    nodes = tuple(
        (t, data[t].num_nodes, id(data[t][time_attr]) if time_attr and time_attr in data[t] else 0)
        for t in data.node_types
    )
    edges = tuple((e, id(data[e].edge_index) if "edge_index" in data[e] else 0) for e in data.edge_types)
    return time_attr, nodes, edges


# By id of the data object (HeteroData cannot be hashed), with a weak
# reference to it: an entry goes when its data object does.
_built: dict[int, tuple[weakref.ref[Any], dict[str | None, tuple[tuple[Any, ...], HeteroLayout]]]] = {}
_lock = threading.Lock()


def _forget(key: int) -> None:
    with _lock:
        _built.pop(key, None)


def hetero_layout(data: Any, time_attr: str | None) -> HeteroLayout:
    """The layout of ``data`` with ``time_attr`` as node times: built on the
    first call for a data object, the same object on later calls while the
    data's edges, times and node counts are the same objects."""
    fingerprint = _fingerprint(data, time_attr)
    with _lock:
        entry = _built.get(id(data))
        held = entry[1].get(time_attr) if entry is not None and entry[0]() is data else None
        if held is not None and held[0] == fingerprint:
            return held[1]
    layout = _build(data, time_attr)
    with _lock:
        entry = _built.get(id(data))
        if entry is None or entry[0]() is not data:
            entry = (weakref.ref(data), {})
            _built[id(data)] = entry
            weakref.finalize(data, _forget, id(data))
        entry[1][time_attr] = (fingerprint, layout)
    return layout


def _refuse_edge_attributes(data: Any, edge_type: EdgeType, time_attr: str | None) -> None:
    store = data[edge_type]
    if "edge_index" not in store:
        raise ValueError(
            f"edge type {edge_type} has no edge_index (as adj or adj_t?): NeighborLoader takes "
            "edges as edge_index"
        )
    for key in store.keys():
        if key == "edge_index":
            continue
        if key == time_attr:
            raise ValueError(
                f"edge-level time ({time_attr!r} on edge type {edge_type}) is not supported: "
                "give the times to the node types (data[node_type].time) instead"
            )
        if store.is_edge_attr(key):
            raise ValueError(
                f"edge attribute {key!r} of edge type {edge_type} is not supported: the sampler "
                "returns no edge ids to slice it by"
            )


def _build(data: Any, time_attr: str | None) -> HeteroLayout:
    node_types = list(data.node_types)
    edge_types = [tuple(e) for e in data.edge_types]
    num_nodes = {t: int(data[t].num_nodes or 0) for t in node_types}
    node_time: dict[str, Int64Array] = {}
    if time_attr is not None:
        for t in node_types:
            if time_attr in data[t]:
                times = _times(data[t][time_attr], f"data[{t!r}].{time_attr}")
                if times.size != num_nodes[t]:
                    raise ValueError(
                        f"data[{t!r}].{time_attr} holds {times.size} times for {num_nodes[t]} nodes"
                    )
                node_time[t] = times
        for edge_type in edge_types:
            _refuse_edge_attributes(data, edge_type, time_attr)
        if not node_time:
            raise ValueError(
                f"time_attr={time_attr!r} names no node attribute of any node type"
            )
    else:
        for edge_type in edge_types:
            _refuse_edge_attributes(data, edge_type, None)
    colptr: dict[str, Int64Array] = {}
    row: dict[str, Int64Array] = {}
    for src, rel, dst in edge_types:
        key = edge_type_key((src, rel, dst))
        edges = to_numpy(data[src, rel, dst].edge_index, f"edge_index of {(src, rel, dst)}")
        if edges.ndim != 2 or edges.shape[0] != 2:
            raise ValueError(
                f"edge_index of {(src, rel, dst)} must have shape [2, edges], got {tuple(edges.shape)}"
            )
        if edges.size and (edges[0].min() < 0 or edges[0].max() >= num_nodes[src]):
            raise ValueError(f"edge_index of {(src, rel, dst)}: source ids must lie in [0, {num_nodes[src]})")
        colptr[key], row[key] = edges_to_csc(edges[0], edges[1], num_nodes[dst], src_time=node_time.get(src))
    graph = Graph(node_types, edge_types, colptr, row, node_time, num_nodes=num_nodes)
    check_graph(graph)
    attributes = {t: [k for k in data[t].keys() if k != "num_nodes" and data[t].is_node_attr(k)]
                  for t in node_types}
    return HeteroLayout(graph, attributes)
