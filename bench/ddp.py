"""Data-parallel training throughput: examples/train.py on 1 and 2 processes.

    .venv/bin/python bench/ddp.py [--repeats 3] [--epochs 2] [--scale 1.0]

Runs ``torchrun --standalone --nproc-per-node N examples/train.py`` in three
configurations on the machine's 2 cores: 1 process with 2 torch threads, 1
process with 1 thread, and 2 processes with 1 thread each; --repeats times
each, interleaved so that drifting load on the machine touches all alike, with the loader sampling in each training
process (``--workers 0``) so that the time spent sampling is part of the step
and can be told apart. train.py's rank 0 writes per-epoch figures with
``--stats``; this prints their medians over the epochs after the first
(which also pays for lazy initialisation) and the repeats:

- examples/s: training examples of the epoch (all ranks) per second of the
  epoch's training loop;
- sampling share: the part of each rank's training loop spent getting the
  next batch from its Loader (sampling, gathering features) and turning it
  into a HeteroData, averaged over the ranks;
- step ms and sampling ms: the median time of one step and of its wait for
  the batch (per rank: each rank's batch is --batch-size examples);
- the ratios of 2 processes' examples/s to each single process's.

Nothing passes or fails here.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


CONFIGS = [(1, 2), (1, 1), (2, 1)]  # (processes, torch threads per process)


def run(nproc: int, threads: int, args: argparse.Namespace, workdir: Path) -> list[dict]:
    stats = workdir / f"stats-{nproc}x{threads}.json"
    command = [
        sys.executable, "-m", "torch.distributed.run", "--standalone", f"--nproc-per-node={nproc}",
        str(ROOT / "examples" / "train.py"), "--epochs", str(args.epochs), "--scale", str(args.scale),
        "--workers", "0", "--threads", str(threads), "--workdir", str(workdir / f"run-{nproc}x{threads}"),
        "--stats", str(stats), "--no-progress",
    ]
    env = {**os.environ, "GLOO_SOCKET_IFNAME": "lo"}
    subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL, cwd=ROOT)
    epochs: list[dict] = json.loads(stats.read_text())["epochs"]
    return epochs[1:] if len(epochs) > 1 else epochs


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--epochs", type=int, default=2, help="epochs per run (the first is not counted)")
    parser.add_argument("--scale", type=float, default=1.0, help="database size factor of train.py")
    args = parser.parse_args()
    found: dict[tuple[int, int], list[dict]] = {config: [] for config in CONFIGS}
    with tempfile.TemporaryDirectory(prefix="rerozer-bench-ddp-") as tmp:
        for repeat in range(args.repeats):
            for nproc, threads in CONFIGS:
                epochs = run(nproc, threads, args, Path(tmp))
                found[nproc, threads] += epochs
                last = epochs[-1]
                print(f"repeat {repeat + 1}, {nproc} process(es) x {threads} thread(s): "
                      f"{last['examples_per_second']:,.0f} examples/s, "
                      f"sampling {last['sampling_share']:.0%} of each step", flush=True)
    print(f"\nexamples/train.py --scale {args.scale}, medians of {args.repeats} runs x "
          f"{max(args.epochs - 1, 1)} epoch(s), loader workers 0:")
    print(f"{'processes':>10} {'threads':>8} {'examples/s':>12} {'sampling share':>15} {'step ms':>9} "
          f"{'sampling ms':>12}")
    rate = {}
    for (nproc, threads), epochs in found.items():
        rate[nproc, threads] = statistics.median(e["examples_per_second"] for e in epochs)
        share = statistics.median(e["sampling_share"] for e in epochs)
        step = statistics.median(e["seconds_per_step"] for e in epochs) * 1000
        sampling = statistics.median(e["sampling_seconds_per_step"] for e in epochs) * 1000
        print(f"{nproc:>10} {threads:>8} {rate[nproc, threads]:>12,.0f} {share:>15.0%} {step:>9.1f} "
              f"{sampling:>12.1f}")
    for single in ((1, 2), (1, 1)):
        print(f"2 processes x 1 thread / 1 process x {single[1]} thread(s): "
              f"{rate[2, 1] / rate[single]:.2f}x examples/s")


if __name__ == "__main__":
    main()
