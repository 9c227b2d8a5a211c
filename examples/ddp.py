"""Data-parallel training with torch.distributed: what train.py needs from it.

A run started by ``torchrun`` has RANK, WORLD_SIZE, LOCAL_RANK, MASTER_ADDR
and MASTER_PORT in its environment; ``start()`` joins that process group over
gloo (CPU), with a timeout on every collective call, so that a rank whose
peers are gone raises instead of waiting for ever. A plain ``python`` run is
a world of one and needs no process group.

Every rank iterates its own ``Loader(rank=..., world_size=...,
even_batches=True)``, so all ranks take the same number of steps of the same
sizes; the short ranks' last batches end with repeated examples that
``Batch.mask`` marks. ``global_mean`` turns per-example losses into the
per-rank loss whose gradient, averaged over the ranks by
``DistributedDataParallel``, is that of the mean over the step's real examples
on all ranks: the gradient one process would get on the whole global batch.
``gather`` collects a tensor's rows from every rank (padding dropped) so that
each rank computes the same validation metric over the whole split.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from datetime import timedelta

import torch
import torch.distributed as dist

from rerozer_tables import Batch


@dataclass(frozen=True)
class World:
    """This process's place among the ranks."""

    rank: int = 0
    world_size: int = 1
    local_rank: int = 0

    @property
    def distributed(self) -> bool:
        return self.world_size > 1

    @property
    def main(self) -> bool:
        """Rank 0: the one that prints, plots and writes."""
        return self.rank == 0


def start(
    timeout_seconds: float = 300.0, *, init_method: str | None = None,
    rank: int | None = None, world_size: int | None = None,
) -> World:
    """Join the process group described by torchrun's environment, if any.

    The gloo backend runs on the CPU. ``timeout_seconds`` bounds each
    collective call: a rank whose peers have died or stopped stepping raises
    after that long at most (gloo usually notices a closed connection at once).
    ``init_method``, ``rank`` and ``world_size`` replace the environment's
    rendezvous (tests meet through a file store).
    """
    if world_size is None:
        world_size = int(os.environ.get("WORLD_SIZE", "1"))
    if world_size == 1:
        return World()
    options = {} if rank is None else {"rank": rank, "world_size": world_size}
    dist.init_process_group(
        "gloo", init_method=init_method, timeout=timedelta(seconds=timeout_seconds), **options
    )
    return World(dist.get_rank(), dist.get_world_size(), int(os.environ.get("LOCAL_RANK", "0")))


def stop(world: World) -> None:
    """Leave the process group (after the last collective call)."""
    if world.distributed and dist.is_initialized():
        dist.destroy_process_group()


def barrier(world: World) -> None:
    if world.distributed:
        dist.barrier()


def broadcast_text(text: str, world: World) -> str:
    """Rank 0's ``text``, on every rank."""
    if not world.distributed:
        return text
    message = [text]
    dist.broadcast_object_list(message, src=0)
    return str(message[0])


def mask(batch: Batch) -> torch.Tensor:
    """Per seed, True for a real example, False for padding."""
    return torch.from_numpy(batch.mask)


def global_mean(per_example: torch.Tensor, batch: Batch, world: World) -> torch.Tensor:
    """This rank's share of the mean of ``per_example`` over the global batch.

    DistributedDataParallel averages gradients over the ranks, so each rank's
    loss is its real examples' sum times ``world_size`` over the number of
    real examples of the step on all ranks. With a per-rank mean instead, a
    short rank's examples would weigh more than the others' in the last step.
    """
    weights = mask(batch).to(per_example.dtype)
    return (per_example * weights).sum() * (world.world_size / max(batch.global_examples, 1))


def gather(rows: torch.Tensor, keep: torch.Tensor, world: World) -> torch.Tensor:
    """The rows marked by ``keep`` from every rank, rank 0's first.

    Every rank must pass tensors of the same shape, which even batches give
    for anything collected per seed over a whole epoch.
    """
    if not world.distributed:
        return rows[keep]
    parts = [torch.empty_like(rows) for _ in range(world.world_size)]
    dist.all_gather(parts, rows.contiguous())
    # gloo gathers no bool tensors: the masks travel as bytes.
    flags = keep.to(torch.uint8).contiguous()
    kept = [torch.empty_like(flags) for _ in range(world.world_size)]
    dist.all_gather(kept, flags)
    return torch.cat([part[k.bool()] for part, k in zip(parts, kept)])


def all_ranks_sum(values: list[float], world: World) -> list[float]:
    """Element-wise sums over the ranks (float64), the same on every rank."""
    tensor = torch.tensor(values, dtype=torch.float64)
    if world.distributed:
        dist.all_reduce(tensor)
    return tensor.tolist()
