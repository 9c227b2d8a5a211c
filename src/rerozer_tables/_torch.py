"""A ``Batch`` as a ``torch_geometric.data.HeteroData``.

torch and torch_geometric are optional: they are imported here, when a batch
is first converted, and through ``importlib`` so that type checkers do not
read all of torch to check this package.
"""

from __future__ import annotations

import importlib
import warnings
from typing import TYPE_CHECKING, Any

import numpy as np

from ._columns import AnyArray

if TYPE_CHECKING:
    from .loader import Batch

INSTALL_HINT = (
    'Batch.to_hetero_data() needs torch and torch_geometric: pip install "rerozer[torch]" '
    "(or install torch and torch_geometric yourself)"
)


def import_torch() -> tuple[Any, Any]:
    """``(torch, torch_geometric.data.HeteroData)``, or ImportError saying what to install."""
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
    return torch, hetero_data


def _tensor(torch: Any, array: AnyArray) -> Any:
    """A tensor sharing the array's memory; a read-only array (a memory map) is
    copied first, since torch would refuse it or warn."""
    if not array.flags.writeable or not array.flags.c_contiguous:
        array = np.array(array, order="C")
    return torch.from_numpy(array)


def to_hetero_data(batch: Batch) -> Any:
    torch, hetero_data = import_torch()
    data = hetero_data()
    for node_type, nodes in batch.out_node.items():
        store = data[node_type]
        store.n_id = _tensor(torch, nodes)
        store.batch = _tensor(torch, batch.out_batch[node_type])
        store.num_sampled_nodes = _tensor(torch, batch.num_sampled_nodes[node_type])
        x = batch.x.get(node_type)
        store.x = _tensor(torch, np.zeros((nodes.size, 0), np.float32) if x is None else x)
        if node_type in batch.x_cat:
            store.x_cat = _tensor(torch, batch.x_cat[node_type])
    edge_index = batch.edge_index
    for edge_type in batch.edge_types:
        store = data[edge_type]
        store.edge_index = _tensor(torch, edge_index[edge_type])
        store.num_sampled_edges = _tensor(torch, batch.num_sampled_edges["__".join(edge_type)])
    if batch.entity_table:
        store = data[batch.entity_table]
        store.input_id = _tensor(torch, batch.example_index)
        store.seed_time = _tensor(torch, batch.seed_time)
        store.batch_size = int(batch.seed_node.size)
    return data
