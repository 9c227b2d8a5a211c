"""What feature gathering and Batch.to_hetero_data() add to an epoch of the demo.

    .venv/bin/python bench/features_cost.py [--scale 1] [--passes 5] [--workers 0] [--baseline REV]

Builds the demo's shop database (examples/database.py) through SQLite, saves
and memory-maps the graph, and times whole epochs of the demo's request
(customers at monthly cut-offs, 3 hops, batches of 128) three ways:

* ``sample``:    the Loader with ``features=False``;
* ``features``:  the Loader gathering each batch's feature rows;
* ``hetero``:    the same, and every batch converted by ``to_hetero_data()``.

The three take turns pass by pass, so that load from other users of the
machine falls on all alike. Prints the median epoch time of each and its
ratio to ``sample``, and the median of the per-pass ratios, in CPU seconds of
the process and its workers (``--clock cpu``, the default: steady when other
work shares the machine) or in elapsed seconds (``--clock wall``). torch is
imported (and warmed up) before the first pass.

With ``--baseline REV`` the same epochs of git revision REV (built once into
build/bench-baseline/, as ``./dev bench --baseline`` builds it) run beside
this tree's: each build runs in its own process over the same SQLite file,
and the processes take turns pass by pass, so both see the same load; the
ratios of the two builds are then comparable. Not part of the tests.
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))

VARIANTS = ("sample", "features", "hetero")


def cpu_seconds() -> float:
    """CPU time of this process and of its ended children (the loader's workers)."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


def epoch(loader: object, convert: bool, clock: str) -> float:
    now = time.perf_counter if clock == "wall" else cpu_seconds
    began = now()
    for batch in loader:  # type: ignore[attr-defined]
        if convert:
            batch.to_hetero_data()
    return now() - began


def serve(args: argparse.Namespace) -> int:
    """One build's side: build the graph from ``--serve``'s SQLite file, then
    time one epoch per variant named on stdin, answering with its seconds."""
    from database import customer_request, training_table
    from rerozer_tables import Loader, build_graph, load_graph, read_sqlite, save_graph

    import torch  # imported before timing: its first import takes seconds

    torch.set_num_threads(1)
    with tempfile.TemporaryDirectory(prefix="rerozer-bench-") as tmp:
        save_graph(build_graph(read_sqlite(args.serve)), Path(tmp) / "graph")
        graph = load_graph(Path(tmp) / "graph", mmap=True)
        positions, cutoffs = training_table(graph.node_time["customers"])
        num_neighbors, offsets = customer_request()

        def loader(features: bool) -> Loader:
            return Loader(
                graph, "customers", graph.key("customers", positions), cutoffs,
                batch_size=args.batch_size,
                num_neighbors=num_neighbors, sampling_time_offsets=offsets,
                workers=args.workers, features=features, check=False,
            )

        loaders = {"sample": loader(False), "features": loader(True), "hetero": loader(True)}
        epoch(loaders["hetero"], True, args.clock)  # warm-up: page cache, torch's first conversion
        import rerozer_tables

        print(f"ready {positions.size} {len(loaders['sample'])} {rerozer_tables.__file__}",
              flush=True)
        for line in sys.stdin:
            variant = line.strip()
            seconds = epoch(loaders[variant], variant == "hetero", args.clock)
            print(f"{seconds!r}", flush=True)
    return 0


class Side:
    """A build's serving process, asked for one epoch at a time."""

    def __init__(self, label: str, database: Path, args: argparse.Namespace,
                 path: Path | None) -> None:
        env = dict(os.environ)
        if path is not None:
            env["PYTHONPATH"] = os.pathsep.join([str(path), env.get("PYTHONPATH", "")])
        self.label = label
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve", str(database), "--batch-size",
             str(args.batch_size), "--workers", str(args.workers), "--clock", args.clock],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env,
        )
        ready = self._line().rstrip("\n").split(maxsplit=3)
        self.examples, self.batches, self.module = int(ready[1]), int(ready[2]), ready[3]

    def _line(self) -> str:
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        if not line:
            raise SystemExit(f"the {self.label} build's process ended early")
        return line

    def epoch(self, variant: str) -> float:
        assert self.process.stdin is not None
        self.process.stdin.write(variant + "\n")
        self.process.stdin.flush()
        return float(self._line())

    def close(self) -> None:
        if self.process.stdin is not None:
            self.process.stdin.close()
        self.process.wait()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="database size factor")
    parser.add_argument("--passes", type=int, default=5)
    parser.add_argument("--batch-size", type=int, default=128)
    parser.add_argument("--workers", type=int, default=0, help="loader worker threads")
    parser.add_argument(
        "--clock", choices=["cpu", "wall"], default="cpu",
        help="cpu: CPU seconds of this process and its workers (steady on a shared machine); "
        "wall: elapsed seconds",
    )
    parser.add_argument("--baseline", metavar="REV",
                        help="also time git revision REV's build, pass by pass in turn")
    parser.add_argument("--serve", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve is not None:
        return serve(args)

    from database import Sizes, make_tables, write_sqlite

    builds: list[tuple[str, Path | None]] = [("this tree", None)]
    if args.baseline:
        import baseline

        builds.append((args.baseline, baseline.baseline_build(args.baseline).module_dir))
    with tempfile.TemporaryDirectory(prefix="rerozer-bench-") as tmp:
        database = Path(tmp) / "shop.sqlite"
        write_sqlite(make_tables(Sizes().scaled(args.scale)), database)
        sides = [Side(label, database, args, path) for label, path in builds]
        times = {side.label: {v: [] for v in VARIANTS} for side in sides}
        try:
            for p in range(args.passes):
                for side in (sides if p % 2 == 0 else sides[::-1]):
                    for variant in (VARIANTS if p % 2 == 0 else VARIANTS[::-1]):
                        times[side.label][variant].append(side.epoch(variant))
        finally:
            for side in sides:
                side.close()
    first = sides[0]
    print(
        f"Demo epoch: {first.examples:,} examples in {first.batches} batches of "
        f"{args.batch_size}, workers={args.workers}, {args.passes} passes (median {args.clock} "
        f"seconds per epoch; in brackets the median of the per-pass ratios)"
    )
    for side in sides:
        print(f"{side.label}: {side.module}")
        seconds = times[side.label]
        base = statistics.median(seconds["sample"])
        for variant in VARIANTS:
            median = statistics.median(seconds[variant])
            per_pass = statistics.median(v / s for v, s in zip(seconds[variant], seconds["sample"]))
            print(f"  {variant:<9} {median:8.3f} s   x{median / base:.3f}  (x{per_pass:.3f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
