# Type information for the extension module rerozer_tables._temporal: the
# NeighborSampler of rerozer, built so that a count on an edge type whose
# source type has times draws that many edges at random among all those at
# or before the example time, instead of taking the latest ones
# (temporal_strategy="last" takes the latest ones, as rerozer's does). Its
# parameters and results are those of rerozer.NeighborSampler; reseed(seed)
# makes the next calls return what a new sampler seeded with `seed` would,
# keeping the sampler's warm memory; sample_batch lays a call's result out as
# a loader's batch needs it.

from collections.abc import Iterable, Mapping, Sequence
from typing import Any, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

_GraphArrays: TypeAlias = dict[str, np.ndarray]
_RequestArrays: TypeAlias = dict[str, Any]
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
        temporal_strategy: str = "uniform",
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

    def sample_batch(
        self,
        num_neighbors: _RequestArrays,
        sampling_time_offsets: _RequestArrays,
        entity_table: str | bytes,
        seed_node: np.ndarray,
        seed_time: np.ndarray,
    ) -> tuple[
        _Int64Arrays, _Int64Arrays, _Int64Arrays, _Int64Arrays, _Int64Arrays, _Int64Arrays,
        _Int64Arrays, _Int64Arrays,
    ]:
        """``sample``'s draws and six dictionaries, plus ``edge_index`` (per
        edge type key a 2 x E array whose rows out_row and out_col are) and
        ``node_time`` (per node type with times, the time of every out_node
        entry; a type with a sampled node outside its times is left out)."""

    def reseed(self, seed: SupportsIndex) -> None:
        """Seed the random source again, as a new sampler with ``seed`` starts."""
