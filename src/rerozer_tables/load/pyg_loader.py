"""``NeighborLoader``: PyG's ``NeighborLoader`` for heterogeneous temporal
graphs, on our sampler.

It takes PyG's arguments for a ``HeteroData`` whose node types carry their
times, and yields the ``HeteroData`` batches PyG yields, with PyG's fields:
per node type ``n_id``, ``batch``, ``num_sampled_nodes`` and every node
attribute of ``data`` sliced by ``n_id`` (tensors, arrays and PyTorch Frame
``TensorFrame``s); per edge type ``edge_index`` and ``num_sampled_edges``; on
the input node type ``input_id``, ``batch_size`` and, given ``input_time``,
``seed_time``. The samples are PyG's: each seed's subgraph on its own,
hop by hop and edge type by edge type in the data's order, the latest
sources at or before the seed's time for ``"last"``, sources drawn among
those for ``"uniform"``, as pyg-lib draws them.
"""

from __future__ import annotations

import copy
import warnings
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

from ..graph.graph import check_temporal_strategy
from ..tables.columns import Int64Array
from .batch import Batch
from .loader import Loader
from .plan import _Planned
from .pyg_graph import HeteroLayout, hetero_layout, to_numpy
from .pyg_time import mask_future_timestamps
from .torch_bridge import _Builder, import_torch

_MAX_SEED = 2**63 - 1


class _Epochs(Loader):
    """A ``Loader`` whose epoch order and seed the drop-in sets from torch's
    random state before each epoch."""

    order: Int64Array | None = None
    drop_last: bool = False

    def plan(self, epoch: int) -> list[_Planned]:
        total = self._positions.size
        order = np.arange(total, dtype=np.int64) if self.order is None else self.order
        end = total - total % self.batch_size if self.drop_last else total
        batches = []
        for index, start in enumerate(range(0, end, self.batch_size)):
            chosen = order[start : start + self.batch_size]
            times = self._times[chosen] if self._times.size else self._times
            batches.append(_Planned(
                index, chosen, self._positions[chosen], times, self.batch_seed(epoch, index),
                0, int(chosen.size),
            ))
        return batches

    def __len__(self) -> int:
        total = self._positions.size
        return total // self.batch_size if self.drop_last else -(-total // self.batch_size)


def take(value: Any, ids: Int64Array, index: Any, dim: int = 0) -> Any:
    """``torch.index_select(value, dim, index)`` (``ids``: the same indices in
    numpy). A CPU tensor is sliced by numpy, in this thread: torch's
    parallel index_select cost ten times more CPU time than numpy's take on
    a machine whose cores were busy with other work (bench/pyg_loader.py)."""
    if value.device.type == "cpu" and not value.requires_grad:
        try:
            held = value.numpy()
        except (TypeError, RuntimeError):  # dtypes numpy does not have
            return value.index_select(dim, index)
        return _from_numpy(np.take(held, ids, axis=dim))
    return value.index_select(dim, index)


def _from_numpy(array: Any) -> Any:
    return import_torch()[0].from_numpy(array)


def _rows(value: Any, ids: Int64Array, index: Any) -> Any:
    """Rows ``index`` of a tensor, a PyTorch Frame multi-tensor or a dict of them."""
    if isinstance(value, dict):
        return {key: _rows(held, ids, index) for key, held in value.items()}
    if hasattr(value, "offset"):  # MultiNestedTensor, MultiEmbeddingTensor
        return value.index_select(index, dim=0)
    return take(value, ids, index)


def slice_frame(frame: Any, ids: Int64Array, index: Any) -> Any:
    """Rows ``index`` of a ``TensorFrame``, as ``frame[index]`` gives them.

    Each tensor is sliced by ``take`` rather than by ``frame[index]``, whose
    advanced indexing cost a hundred times more per batch on a busy machine
    (bench/pyg_loader.py)."""
    out = copy.copy(frame)
    out.feat_dict = {key: _rows(value, ids, index) for key, value in frame.feat_dict.items()}
    if frame.y is not None:
        out.y = _rows(frame.y, ids, index)
    if getattr(frame, "_num_rows", None) is not None:
        out._num_rows = int(index.numel())
    return out


def _refuse(name: str, value: object, reason: str) -> None:
    raise ValueError(f"{name}={value!r} is not supported: {reason}")


def _input_nodes(data: Any, input_nodes: Any) -> tuple[str, Int64Array, Int64Array | None]:
    """The input node type, the seed positions and PyG's ``input_id`` of
    each seed when it is not the seed's index among the inputs (a mask)."""
    if isinstance(input_nodes, str):
        node_type, chosen = input_nodes, None
    elif isinstance(input_nodes, (tuple, list)) and len(input_nodes) == 2 and isinstance(input_nodes[0], str):
        node_type, chosen = input_nodes
    else:
        raise ValueError(
            "input_nodes must be a node type or (node type, index tensor or mask) for a "
            f"HeteroData, got {input_nodes!r}"
        )
    if node_type not in data.node_types:
        raise ValueError(f"input_nodes names {node_type!r}, which is not a node type of data")
    count = int(data[node_type].num_nodes or 0)
    if chosen is None:
        return node_type, np.arange(count, dtype=np.int64), None
    values = to_numpy(chosen, "input_nodes")
    if values.dtype == np.bool_:
        if values.shape != (count,):
            raise ValueError(f"the input_nodes mask has shape {values.shape}, {node_type} {count} nodes")
        positions = np.flatnonzero(values).astype(np.int64)
        return node_type, positions, positions
    if values.ndim != 1 or (values.size and not np.issubdtype(values.dtype, np.integer)):
        raise ValueError(f"input_nodes must be a 1-D index tensor or a mask, got {values.dtype} {values.shape}")
    return node_type, np.ascontiguousarray(values, dtype=np.int64), None


class NeighborLoader:
    """PyG's ``NeighborLoader`` for a heterogeneous graph with node times.

    ``from rerozer_tables.pyg import NeighborLoader`` in place of
    ``from torch_geometric.loader import NeighborLoader`` leaves a training
    script as it was. The arguments are PyG's: ``data`` (a ``HeteroData``),
    ``num_neighbors`` (one list for every edge type, or a dict by edge
    type), ``input_nodes`` (a node type, or ``(node type, index tensor or
    mask)``), ``input_time``, ``time_attr``, ``temporal_strategy``
    (``"uniform"``, PyG's default, or ``"last"``), ``transform``,
    ``disjoint``, and the ``DataLoader``'s ``batch_size``, ``shuffle``,
    ``drop_last``, ``num_workers`` (threads), ``persistent_workers``,
    ``prefetch_factor``, ``timeout`` and ``generator``.

    The graph is built from ``data`` on the first loader of that object and
    shared by the later ones (train, validation, test). Shuffling and
    sampling draw from torch's random state (one draw per epoch, and the
    order as the ``DataLoader``'s ``RandomSampler`` makes it), so
    ``torch.manual_seed`` makes runs repeat; an epoch is the same for any
    ``num_workers``.

    Refused by name, with ValueError: edge-level time, ``replace=True``,
    weighted sampling (``weight_attr``), ``subgraph_type`` other than
    ``"directional"``, edge attributes other than ``edge_index``, sampling
    without ``time_attr`` unless ``disjoint=True`` (PyG then merges the
    seeds' subgraphs; each seed's subgraph here is its own), and any
    ``DataLoader`` argument not named above (TypeError).

    Like PyG, it samples seeds whose own row comes after their time (a node
    whose ``time`` is later than its ``input_time``), warning once with
    their count. ``leak_guard=True`` refuses them instead (ValueError naming
    the first) and hides, in every ``TensorFrame`` of the batch, timestamp
    values later than the time of the seed the node was sampled for (they
    become PyTorch Frame's missing timestamp); ``time_unit`` is then the
    unit of the times (RelBench's: seconds).
    """

    def __init__(
        self,
        data: Any,
        num_neighbors: Any,
        input_nodes: Any = None,
        input_time: Any = None,
        replace: bool = False,
        subgraph_type: Any = "directional",
        disjoint: bool = False,
        temporal_strategy: str = "uniform",
        time_attr: str | None = None,
        weight_attr: str | None = None,
        transform: Callable[[Any], Any] | None = None,
        transform_sampler_output: Callable[[Any], Any] | None = None,
        is_sorted: bool = False,
        filter_per_worker: bool | None = None,
        neighbor_sampler: Any = None,
        directed: bool = True,
        *,
        batch_size: int = 1,
        shuffle: bool = False,
        drop_last: bool = False,
        num_workers: int = 0,
        persistent_workers: bool = False,
        prefetch_factor: int | None = None,
        timeout: float = 0,
        generator: Any = None,
        leak_guard: bool = False,
        time_unit: str = "s",
        **kwargs: Any,
    ) -> None:
        torch, hetero_data = import_torch()
        if kwargs:
            name = sorted(kwargs)[0]
            raise TypeError(f"NeighborLoader does not take the DataLoader argument {name!r}")
        if not isinstance(data, hetero_data):
            raise ValueError(
                f"data must be a torch_geometric.data.HeteroData, got {type(data).__name__}: "
                "this NeighborLoader samples heterogeneous graphs"
            )
        if replace:
            _refuse("replace", replace, "the sampler draws without replacement")
        if weight_attr is not None:
            _refuse("weight_attr", weight_attr, "the sampler does not draw by weight")
        if str(getattr(subgraph_type, "value", subgraph_type)) != "directional":
            _refuse("subgraph_type", subgraph_type, "batches hold the sampled edges ('directional')")
        if not directed:
            _refuse("directed", directed, "batches hold the sampled edges")
        if transform_sampler_output is not None or neighbor_sampler is not None:
            which = "transform_sampler_output" if transform_sampler_output is not None else "neighbor_sampler"
            _refuse(which, "...", "this loader has its own sampler")
        if time_attr is None and not disjoint:
            _refuse("time_attr", None, "without times, PyG merges the seeds' subgraphs "
                    "(disjoint=False), and every subgraph here is the seed's own: pass "
                    "disjoint=True, or the time attribute")
        if input_time is not None and time_attr is None:
            raise ValueError("Received conflicting 'input_time' and 'time_attr' arguments: "
                             "'input_time' is set while 'time_attr' is not set.")
        if persistent_workers and num_workers == 0:
            raise ValueError("persistent_workers option needs num_workers > 0")
        strategy = check_temporal_strategy(temporal_strategy)
        self.layout: HeteroLayout = hetero_layout(data, time_attr)
        graph = self.layout.graph
        self.input_type, positions, self._input_ids = _input_nodes(data, input_nodes)
        times = None
        if input_time is not None:
            times = to_numpy(input_time, "input_time")
            if times.size and not np.issubdtype(times.dtype, np.integer):
                raise ValueError(f"input_time must hold integer times, got {times.dtype}")
        late = 0
        row_times = graph.node_time.get(self.input_type)
        if times is not None and row_times is not None and times.size == positions.size:
            inside = (positions >= 0) & (positions < row_times.size)
            late = int(np.count_nonzero(row_times[positions[inside]] > times[inside]))
        self._loader = _Epochs(
            graph, self.input_type, positions, times, batch_size=batch_size,
            num_neighbors=num_neighbors, workers=num_workers,
            prefetch=prefetch_factor or 2, timeout=timeout or None, check=False,
            temporal_strategy=strategy, features=False, future_values="keep",
            late_seeds="refuse" if leak_guard else "allow",
        )
        self._loader.drop_last = drop_last
        if late:
            warnings.warn(
                f"{late} of {positions.size} input nodes of {self.input_type} come after their "
                "input_time (their own time is later), and are sampled as PyG samples them, "
                "with their own row as of a later time; NeighborLoader(..., leak_guard=True) "
                "refuses them",
                UserWarning,
                stacklevel=2,
            )
        self.data = data
        self.num_neighbors = num_neighbors
        self.time_attr = time_attr
        self.temporal_strategy = temporal_strategy
        self.transform = transform
        self.batch_size = batch_size
        self.shuffle = shuffle
        self.drop_last = drop_last
        self.num_workers = num_workers
        self.persistent_workers = persistent_workers
        self.generator = generator
        self.leak_guard = leak_guard
        self.time_unit = time_unit
        self._with_seed_time = input_time is not None
        self._epoch = 0
        self._torch = torch
        self._builder = _Builder(hetero_data)
        self._dims = {
            (t, key): int(data.__cat_dim__(key, data[t][key], data[t]))
            for t, keys in self.layout.node_attributes.items() for key in keys
        }

    def __len__(self) -> int:
        return len(self._loader)

    def __iter__(self) -> Iterator[Any]:
        torch = self._torch
        # What the DataLoader draws: its base seed when the iterator is made,
        # then its RandomSampler's seed and permutation.
        base = int(torch.empty((), dtype=torch.int64).random_(generator=self.generator).item())
        loader = self._loader
        loader.seed = base & _MAX_SEED
        loader.order = None
        if self.shuffle:
            shuffler = self.generator
            if shuffler is None:
                shuffler = torch.Generator()
                shuffler.manual_seed(int(torch.empty((), dtype=torch.int64).random_().item()))
            count = loader._positions.size
            loader.order = torch.randperm(count, generator=shuffler).numpy().astype(np.int64)
        epoch = self._epoch
        self._epoch += 1
        return self._batches(loader.plan(epoch))

    def __call__(self, index: Any) -> Any:
        """The batch of the inputs at ``index`` (positions among
        ``input_nodes``), as PyG's loaders sample one for a list of indices."""
        loader = self._loader
        chosen = np.ascontiguousarray(to_numpy(index, "index"), dtype=np.int64).reshape(-1)
        total = loader._positions.size
        if chosen.size and (chosen.min() < -total or chosen.max() >= total):
            raise IndexError(f"index out of range for {total} input nodes")
        chosen = chosen % max(total, 1)
        seed = int(self._torch.empty((), dtype=self._torch.int64).random_(generator=self.generator).item())
        times = loader._times[chosen] if loader._times.size else loader._times
        planned = _Planned(0, chosen, loader._positions[chosen], times, seed & 0x7FFFFFFF, 0, int(chosen.size))
        data = self.to_hetero_data(loader._sampling(stack_edges=False)(planned))
        return data if self.transform is None else self.transform(data)

    def _batches(self, plan: list[_Planned]) -> Iterator[Any]:
        for batch in self._loader._iterate(plan):
            data = self.to_hetero_data(batch)
            yield data if self.transform is None else self.transform(data)

    def _slice(self, node_type: str, key: str, value: Any, ids: Int64Array, index: Any) -> Any:
        dim = self._dims[(node_type, key)]
        if isinstance(value, self._torch.Tensor):
            return take(value, ids, index, dim)
        if isinstance(value, np.ndarray):
            return self._torch.from_numpy(np.take(value, ids, axis=dim))
        if hasattr(value, "feat_dict") and hasattr(value, "col_names_dict"):  # a TensorFrame
            return slice_frame(value, ids, index)
        raise ValueError(
            f"data[{node_type!r}].{key} is a {type(value).__name__}: node attributes must be "
            "tensors, arrays or TensorFrames"
        )

    def to_hetero_data(self, batch: Batch) -> Any:
        """One sampled batch as PyG's ``NeighborLoader`` gives it."""
        torch, data = self._torch, self.data
        tensor = torch.from_numpy
        attributes = self.layout.node_attributes
        nodes: dict[str, dict[str, Any]] = {}
        for node_type in data.node_types:
            store = data[node_type]
            ids = batch.out_node[node_type]
            index = tensor(ids)
            values: dict[str, Any] = {}
            sliced = attributes[node_type]
            for key, value in store.items():
                if key in sliced:
                    values[key] = self._slice(node_type, key, value, ids, index)
                    if self.leak_guard:
                        mask_future_timestamps(values[key], batch.seed_time, batch.out_batch[node_type],
                                               self.time_unit)
                elif key == "num_nodes":
                    values[key] = int(ids.size)
                else:
                    values[key] = value
            values.setdefault("n_id", index)
            values["batch"] = tensor(batch.out_batch[node_type])
            values["num_sampled_nodes"] = batch.num_sampled_nodes[node_type].tolist()
            if node_type == self.input_type:
                example = batch.example_index
                ids_in = example if self._input_ids is None else self._input_ids[example]
                values["input_id"] = tensor(np.ascontiguousarray(ids_in))
                if self._with_seed_time:
                    values["seed_time"] = tensor(batch.seed_time)
                values["batch_size"] = int(example.size)
            nodes[node_type] = values
        edges: dict[Any, dict[str, Any]] = {}
        edge_index = batch.edge_index
        for edge_type in data.edge_types:
            values = {k: v for k, v in data[edge_type].items() if k != "edge_index"}
            values["edge_index"] = tensor(edge_index[edge_type])
            values["num_sampled_edges"] = batch.num_sampled_edges["__".join(edge_type)].tolist()
            edges[edge_type] = values
        out = self._builder(nodes, edges)
        for key, value in data._global_store.items():
            setattr(out, key, value)
        return out

    def __repr__(self) -> str:
        return f"{type(self).__name__}()"
