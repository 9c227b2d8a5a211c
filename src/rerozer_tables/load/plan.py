"""What the workers share: ``_Job`` (the request and how a batch is made from
a sampler's result), ``_Planned`` (one batch of an epoch before sampling) and
``_Sampling`` (one worker's sampler, seeded again for each batch)."""

from __future__ import annotations

from dataclasses import dataclass, replace
from functools import cached_property
from typing import TYPE_CHECKING, Any

from ..graph.features import FeatureSources, feature_sources, gather_features
from ..graph.graph import EdgeType, Graph, TemporalStrategy, edge_type_key
from ..graph.node_features import FeatureLayout, Float32Array
from ..graph.rich_features import gather_rich
from ..graph.time_rules import FutureValues, mask_future_values, timestamp_columns_by_type
from ..tables.columns import AnyArray, Int64Array
from .batch import Batch
from .batch_arrays import Result, stacked_edges

if TYPE_CHECKING:
    from .._temporal import NeighborSampler as TemporalSampler


@dataclass(frozen=True)
class _Job:
    """What sampling one batch needs; shared by the worker threads and
    inherited by forked worker processes."""

    graph: Graph
    entity_table: str
    num_neighbors: dict[str, list[int]]
    sampling_time_offsets: dict[str, list[list[int | None]]]
    temporal_strategy: TemporalStrategy = "last"
    features: bool = True
    future_values: FutureValues = "mask"
    labels: AnyArray | None = None

    @cached_property
    def layouts(self) -> dict[str, FeatureLayout]:
        if not self.features:
            return {}
        unit = self.graph.time_unit
        return {t: replace(held.layout, time_unit=unit) for t, held in self.graph.features.items()}

    # What every batch looks up, worked out once for the loader's batches.
    @cached_property
    def sources(self) -> FeatureSources:
        return feature_sources(self.graph.features) if self.features else {}

    @cached_property
    def stamps(self) -> dict[str, list[int]]:
        return timestamp_columns_by_type(self.graph.features) if self.features else {}

    @cached_property
    def edge_keys(self) -> list[tuple[EdgeType, str]]:
        return [(t, edge_type_key(t)) for t in self.graph.edge_types]

    def batch(
        self, planned: _Planned, result: Result, *, stack_edges: bool,
        edge_index: dict[str, Int64Array] | None = None,
        node_time: dict[str, Int64Array] | None = None,
        kind: type[Batch] = Batch, **extra: Any,
    ) -> Batch:
        """The one place where a batch is made from its sampler's result
        (a ``kind`` of batch with ``extra`` fields, for the link loader).

        ``edge_index`` and ``node_time``, when given, are what the sampler's
        ``sample_batch`` wrote besides the result: per edge type key the
        2 x E array whose rows ``out_row``/``out_col`` already are, and the
        times of the sampled nodes of timed types (a type it left out is
        gathered here). Without them and with ``stack_edges`` (in worker
        threads, off the caller's critical path) ``edge_index`` is built
        here, and ``out_row``/``out_col`` become its two rows, so the edges
        are held once. Otherwise ``edge_index`` is built on first use.
        """
        out_row, out_col, out_node, out_batch, num_sampled_nodes, num_sampled_edges = result
        stacked: dict[EdgeType, Int64Array] = {}
        if edge_index is not None:
            stacked = {t: edge_index[key] for t, key in self.edge_keys}
        elif stack_edges:
            for edge_type, key in self.edge_keys:
                both = stacked_edges(out_row[key], out_col[key])
                stacked[edge_type] = both
                out_row[key], out_col[key] = both[0], both[1]
        features = self.graph.features
        x: dict[str, Float32Array] = {}
        x_cat: dict[str, Int64Array] = {}
        x_text: dict[str, Float32Array] = {}
        x_multi: dict[str, tuple[Int64Array, Int64Array]] = {}
        if self.features:
            x, x_cat = gather_features(features, out_node, self.sources)
            if self.future_values == "mask" and self.stamps:
                mask_future_values(features, x, out_batch, planned.seed_time, self.stamps)
            x_text, x_multi = gather_rich(features, out_node)
        graph_time = self.graph.node_time
        times = {} if node_time is None else node_time
        batch = kind(
            planned.index, planned.example_index, planned.seed_node, planned.seed_time,
            out_row, out_col, out_node, out_batch, num_sampled_nodes, num_sampled_edges,
            self.graph.edge_types, self.entity_table, x, x_cat, planned.padding,
            planned.global_examples,
            time={t: times[t] if t in times else graph_time[t][nodes]
                  for t, nodes in out_node.items() if t in graph_time},
            y=None if self.labels is None else self.labels[planned.example_index],
            x_text=x_text, x_multi=x_multi, layouts=self.layouts, time_unit=self.graph.time_unit,
            **extra,
        )
        if edge_index is not None or stack_edges:
            batch.__dict__["edge_index"] = stacked  # where cached_property keeps its value
        return batch


class _Sampling:
    """One worker's sampling of planned batches, in whatever order it gets them.

    Each batch is sampled as a new sampler seeded for that batch would
    sample it, so its result is the same whichever worker samples it and
    after whichever batches. The worker keeps one sampler for all its
    batches and seeds it again before each: a sampler carries nothing from
    one call to the next but the position of its random source, and a kept
    one reuses its working memory and the pages of the result arrays that
    come back to it.
    """

    def __init__(self, job: _Job, *, stack_edges: bool) -> None:
        self.job = job
        self.stack_edges = stack_edges
        self._kept: TemporalSampler | None = None

    def sampler(self, seed: int) -> TemporalSampler:
        if self._kept is None:
            # The second module's sampler takes either strategy and can be
            # seeded again; it returns what Graph.sampler's would.
            from .._temporal import NeighborSampler as TemporalSampler

            self._kept = TemporalSampler(
                **self.job.graph.arguments(), seed=seed,
                temporal_strategy=self.job.temporal_strategy,
            )
        else:
            self._kept.reseed(seed)
        return self._kept

    def __call__(self, planned: _Planned) -> Batch:
        job = self.job
        # The batch's layout straight from the sampler: edge_index written
        # as one 2 x E array per edge type, and the sampled nodes' times.
        out = self.sampler(planned.seed).sample_batch(
            job.num_neighbors, job.sampling_time_offsets, job.entity_table,
            planned.seed_node, planned.seed_time,
        )
        return job.batch(planned, out[:6], stack_edges=self.stack_edges, edge_index=out[6],
                         node_time=out[7])


@dataclass(frozen=True)
class _Planned:
    """One batch of an epoch before sampling."""

    index: int
    example_index: Int64Array
    seed_node: Int64Array
    seed_time: Int64Array
    seed: int
    padding: int
    global_examples: int
    epoch: int = 0
