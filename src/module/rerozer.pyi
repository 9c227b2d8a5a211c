# Type information for the extension module rerozer. Installed as the
# stub-only package rerozer-stubs, where type checkers look for the stubs of a
# single-module distribution.

from collections.abc import Iterable, Mapping, Sequence
from typing import Any, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

# Per edge type key ("src__rel__dst") or node type name, a one-dimensional
# C-contiguous int64 array. Arrays of another layout are read through a copy.
_GraphArrays: TypeAlias = dict[str, np.ndarray]
# num_neighbors: per edge type key, one count per hop (an int64 array, or a
# list that numpy turns into one). sampling_time_offsets: per edge type key,
# one (start, end) row per hop, start may be None. Typed loosely because dict
# is invariant in its value type.
_RequestArrays: TypeAlias = dict[str, Any]
# Every value of a result dictionary is a fresh one-dimensional int64 array.
_Int64Arrays: TypeAlias = dict[str, npt.NDArray[np.int64]]

class NeighborSampler:
    def __init__(
        self,
        node_types: Sequence[str],
        edge_types: Sequence[tuple[str, str, str]],
        colptr: _GraphArrays,
        row: _GraphArrays,
        node_time: Mapping[str, np.ndarray] | Iterable[tuple[str, np.ndarray]],
        seed: SupportsIndex = 123,
    ) -> None:
        """Build a sampler over a CSC graph; the arrays are read in place and
        must stay alive and unchanged while the sampler is used."""

    def sample(
        self,
        num_neighbors: _RequestArrays,
        sampling_time_offsets: _RequestArrays,
        entity_table: str | bytes,
        seed_node: np.ndarray,
        seed_time: np.ndarray,
    ) -> tuple[
        _Int64Arrays, _Int64Arrays, _Int64Arrays, _Int64Arrays, _Int64Arrays, _Int64Arrays
    ]:
        """Return (out_row, out_col, out_node, out_batch, num_sampled_nodes,
        num_sampled_edges)."""
