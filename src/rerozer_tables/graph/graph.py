"""``Graph``: the sampler's dictionaries, with the primary-key maps of the tables."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np

from ..tables.columns import (
    AnyArray,
    Int64Array,
    affinity_keys,
    column_array,
    key_array,
    key_kind,
)
from ..tables.text_hash import text_positions

if TYPE_CHECKING:
    from rerozer import NeighborSampler

    from .._temporal import NeighborSampler as TemporalUniformSampler
    from .node_features import NodeFeatures

EdgeType = tuple[str, str, str]
TemporalStrategy = Literal["last", "uniform"]
TEMPORAL_STRATEGIES: tuple[TemporalStrategy, ...] = ("last", "uniform")


def check_temporal_strategy(temporal_strategy: object) -> TemporalStrategy:
    """``temporal_strategy`` itself; raises ValueError for anything but "last" or "uniform"."""
    if temporal_strategy == "last":
        return "last"
    if temporal_strategy == "uniform":
        return "uniform"
    raise ValueError(f"temporal_strategy must be 'last' or 'uniform', got {temporal_strategy!r}")


def edge_type_key(edge_type: Sequence[str]) -> str:
    """The sampler's dictionary key of an edge type: ``"src__rel__dst"``."""
    src, rel, dst = edge_type
    return f"{src}__{rel}__{dst}"


@dataclass(frozen=True)
class KeyMap:
    """The primary key of one table: ``keys[p]`` is the key of row position p.

    ``order`` lists the positions by increasing key, or is None when the keys
    already increase strictly. Keys are int64 or numpy strings.
    """

    keys: AnyArray
    order: Int64Array | None = None

    @classmethod
    def from_keys(cls, keys: AnyArray, what: str) -> KeyMap:
        """Index unique keys; raises ValueError naming the first repeated key."""
        if keys.size < 2 or bool(np.all(keys[1:] > keys[:-1])):
            return cls(keys, None)
        order = np.argsort(keys, kind="stable").astype(np.int64, copy=False)
        ordered = keys[order]
        repeated = np.flatnonzero(ordered[1:] == ordered[:-1])
        if repeated.size:
            first, second = sorted(order[repeated[0] : repeated[0] + 2].tolist())
            raise ValueError(
                f"{what} row {second}: {ordered[repeated[0]].item()!r} repeats the key of row {first}"
            )
        return cls(keys, order)

    def lookup(self, values: AnyArray) -> tuple[Int64Array, Int64Array]:
        """Positions of ``values``, and the indices of the values that match no row.

        Keys compare as SQLite compares a foreign key with its parent key:
        values of the other kind are converted to the keys' kind first, so
        the text '7' matches the integer key 7 and the integer 7 the text key
        '7'. Positions of unmatched values are undefined. Costs one binary
        search per value (one hash lookup for text keys, with pyarrow).
        """
        unconverted = None
        if key_kind(self.keys) != key_kind(values):
            values, converted = affinity_keys(values, key_kind(self.keys))
            unconverted = np.flatnonzero(~converted)
            if unconverted.size == values.size:
                return np.zeros(values.size, np.int64), np.arange(values.size, dtype=np.int64)
        if self.keys.size == 0:
            return np.zeros(values.size, np.int64), np.arange(values.size, dtype=np.int64)
        if self.keys.dtype.kind == "U" and values.dtype.kind == "U" and values.size:
            # Text keys: one hash lookup per value rather than a binary search
            # comparing strings.
            hashed = text_positions(values, self.keys)
            if hashed is not None:
                positions, missing = hashed
                if unconverted is not None and unconverted.size:
                    missing = np.union1d(missing, unconverted).astype(np.int64)
                return positions, missing
        ordered = self.keys if self.order is None else self.keys[self.order]
        index = np.searchsorted(ordered, values)
        np.minimum(index, ordered.size - 1, out=index)
        missing = np.flatnonzero(ordered[index] != values)
        if unconverted is not None and unconverted.size:
            missing = np.union1d(missing, unconverted).astype(np.int64)
        positions = index if self.order is None else self.order[index]
        return positions.astype(np.int64, copy=False), missing

    @property
    def nbytes(self) -> int:
        return int(self.keys.nbytes) + (0 if self.order is None else int(self.order.nbytes))


def positions_of(
    table: str, key_map: KeyMap | None, count: int | None, key_values: object
) -> Int64Array:
    """Row positions of ``table``'s primary-key values, matched as foreign
    keys are (``KeyMap.lookup``); positions themselves for a table without a
    primary key (``count`` rows, None: unknown). Raises ValueError naming the
    first null or unmatched value."""
    values, null = column_array(key_values)
    what = f"{table} key"
    if null is not None:
        raise ValueError(f"{what} at index {int(np.flatnonzero(null)[0])} is null")
    keys = key_array(values, what) if values.size else np.zeros(0, np.int64)
    if key_map is None:
        if keys.dtype.kind != "i":
            raise ValueError(f"{table} has no primary key: give row positions, got {keys.dtype}")
        bad = np.flatnonzero((keys < 0) | (keys >= (count if count is not None else 2**63 - 1)))
        if bad.size:
            i = int(bad[0])
            raise ValueError(f"{what} at index {i}: position {keys[i]} is outside {table} ({count} rows)")
        return np.ascontiguousarray(keys, dtype=np.int64)
    positions, missing = key_map.lookup(keys)
    if missing.size:
        i = int(missing[0])
        raise ValueError(f"{what} at index {i}: {keys[i].item()!r} matches no row")
    return np.ascontiguousarray(positions)


@dataclass(frozen=True)
class SavedChecksums:
    """Where ``load_graph`` read a graph, and the CRC-32 that ``save_graph``
    recorded for each array: ``arrays[name] = (file, crc32)``, names such as
    ``("row", "a__to__b")``. ``check_graph(graph, verify=True)`` compares
    the arrays with them."""

    folder: str
    arrays: dict[tuple[str, ...], tuple[str, int]]


@dataclass(frozen=True)
class Graph:
    """A heterogeneous graph in the sampler's layout.

    ``colptr`` and ``row`` are keyed by ``edge_type_key``, ``node_time`` by
    node type (only timed types have an entry). ``num_nodes`` gives each node
    type's row count, ``keys`` the primary-key map of each table that has one,
    and ``time_unit`` the numpy unit of every time (``"s"``: seconds since
    1970-01-01 UTC). ``inherited_times`` names the tables that have no time
    column but took their times from their parents, with the foreign-key
    columns they took them through, and ``dangling_keys`` counts, per
    ``"table.column"``, the foreign-key values that matched no parent and
    were read as null (``build_graph(..., dangling_keys="null")``). ``features``
    holds each table's feature matrices (``rerozer_tables.graph.features``), whose
    row p belongs to node p, the table's row at position p. A graph made by
    hand may leave the last six at their defaults; ``check_graph`` then
    takes node counts from the arrays.

    Examples
    --------
    >>> import numpy as np
    >>> from rerozer_tables import Table, build_graph
    >>> graph = build_graph({
    ...     "users": Table({"id": ["a", "b"]}, primary_key="id"),
    ...     "posts": Table({"by": ["b", "b", "a"], "t": [3, 1, 2]},
    ...                    foreign_keys={"by": "users"}, time_column="t"),
    ... })
    >>> graph.row["posts__by__users"].tolist()   # user a: post 2; user b: posts 1, 0 by time
    [2, 1, 0]
    >>> graph.position("users", ["b"]).tolist(), graph.key("users", [0]).tolist()
    ([1], ['a'])
    """

    node_types: list[str]
    edge_types: list[EdgeType]
    colptr: dict[str, Int64Array] = field(repr=False)
    row: dict[str, Int64Array] = field(repr=False)
    node_time: dict[str, Int64Array] = field(repr=False)
    num_nodes: dict[str, int] = field(default_factory=dict)
    keys: dict[str, KeyMap] = field(default_factory=dict, repr=False)
    time_unit: str = "s"
    inherited_times: dict[str, list[str]] = field(default_factory=dict)
    dangling_keys: dict[str, int] = field(default_factory=dict)
    features: dict[str, NodeFeatures] = field(default_factory=dict, repr=False)
    # Set by load_graph; None for a graph that was built or made by hand.
    saved: SavedChecksums | None = field(default=None, repr=False, compare=False)
    # What check_graph_once found to pass: the graph's structure and arrays.
    check_record: list[Any] = field(default_factory=list, init=False, repr=False, compare=False)

    def arguments(self) -> dict[str, Any]:
        """Keyword arguments for ``NeighborSampler(**graph.arguments(), seed=...)``."""
        return {
            "node_types": self.node_types,
            "edge_types": self.edge_types,
            "colptr": self.colptr,
            "row": self.row,
            "node_time": self.node_time,
        }

    @overload
    def sampler(self, seed: int = ..., temporal_strategy: Literal["last"] = ...) -> NeighborSampler: ...
    @overload
    def sampler(self, seed: int = ..., *, temporal_strategy: Literal["uniform"]) -> TemporalUniformSampler: ...
    @overload
    def sampler(
        self, seed: int = ..., temporal_strategy: TemporalStrategy = ...
    ) -> NeighborSampler | TemporalUniformSampler: ...

    def sampler(
        self, seed: int = 123, temporal_strategy: TemporalStrategy = "last"
    ) -> NeighborSampler | TemporalUniformSampler:
        """A new sampler reading this graph's arrays in place.

        The arrays must stay alive and unchanged while it is used (the graph
        holds them, so keeping the graph is enough). ``temporal_strategy``
        decides what a count k takes on an edge type whose source type has
        times: ``"last"``, the k edges with the latest source times at or
        before the example time (a ``rerozer.NeighborSampler``); ``"uniform"``,
        k drawn at random without replacement among all of those edges. Both
        take all of them for k < 0, and treat time windows and edge types
        without times alike. Either sampler's ``sample`` takes and returns
        what ``NeighborSampler.sample`` does. Raises ValueError for another
        strategy.
        """
        if check_temporal_strategy(temporal_strategy) == "uniform":
            from .._temporal import NeighborSampler as TemporalUniformSampler

            return TemporalUniformSampler(**self.arguments(), seed=seed)
        from rerozer import NeighborSampler

        return NeighborSampler(**self.arguments(), seed=seed)

    def num_edges(self) -> dict[str, int]:
        """Edge count per edge type key."""
        return {key: int(row.size) for key, row in self.row.items()}

    @property
    def nbytes(self) -> int:
        """Bytes held by all the graph's arrays, key maps included."""
        arrays = [*self.colptr.values(), *self.row.values(), *self.node_time.values()]
        return (
            sum(int(a.nbytes) for a in arrays)
            + sum(m.nbytes for m in self.keys.values())
            + sum(f.nbytes for f in self.features.values())
        )

    def _count(self, node_type: str) -> int | None:
        if node_type in self.num_nodes:
            return self.num_nodes[node_type]
        if node_type in self.node_time:
            return int(self.node_time[node_type].size)
        return None

    def position(self, table: str, key_values: object) -> Int64Array:
        """Row positions of primary-key values of ``table``.

        For a table without a primary key the values are positions already and
        are only checked. Raises ValueError for a null or a value that matches
        no row, naming the first one, and KeyError for an unknown table.
        """
        if table not in self.node_types:
            raise KeyError(table)
        return positions_of(table, self.keys.get(table), self._count(table), key_values)

    def key(self, table: str, positions: object) -> AnyArray:
        """Primary-key values of row ``positions`` of ``table`` (the positions
        themselves for a table without a primary key)."""
        index = np.asarray(positions, dtype=np.int64)
        key_map = self.keys.get(table)
        if key_map is None:
            if table not in self.node_types:
                raise KeyError(table)
            return index
        return key_map.keys[index]
