"""Data-parallel training throughput: examples/train.py on 1 and 2 processes.

    .venv/bin/python bench/ddp.py [--repeats 3] [--epochs 2] [--scale 1.0]

Runs ``torchrun --standalone --nproc-per-node N examples/train.py`` for N = 1
and 2 in turn, --repeats times each (interleaved, so that drifting load on
the machine touches both alike), with the loader sampling in each training
process (``--workers 0``) so that the time spent sampling is part of the step
and can be told apart. train.py's rank 0 writes per-epoch figures with
``--stats``; this prints their medians over the epochs after the first
(which also pays for lazy initialisation) and the repeats:

- examples/s: training examples of the epoch (all ranks) per second of the
  epoch's training loop;
- sampling share: the part of each rank's training loop spent getting the
  next batch from its Loader (sampling, gathering features) and turning it
  into a HeteroData, averaged over the ranks;
- the ratio of 2 processes' examples/s to 1's.

Each process gets 2 / N torch threads (train.py's default), so both runs use
the machine's 2 cores. Nothing passes or fails here.
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


def run(nproc: int, args: argparse.Namespace, workdir: Path) -> list[dict]:
    stats = workdir / f"stats-{nproc}.json"
    command = [
        sys.executable, "-m", "torch.distributed.run", "--standalone", f"--nproc-per-node={nproc}",
        str(ROOT / "examples" / "train.py"), "--epochs", str(args.epochs), "--scale", str(args.scale),
        "--workers", "0", "--workdir", str(workdir / f"run-{nproc}"), "--stats", str(stats),
        "--no-progress",
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
    found: dict[int, list[dict]] = {1: [], 2: []}
    with tempfile.TemporaryDirectory(prefix="rerozer-bench-ddp-") as tmp:
        for repeat in range(args.repeats):
            for nproc in found:
                epochs = run(nproc, args, Path(tmp))
                found[nproc] += epochs
                last = epochs[-1]
                print(f"repeat {repeat + 1}, {nproc} process(es): {last['examples_per_second']:,.0f} examples/s, "
                      f"sampling {last['sampling_share']:.0%} of each step", flush=True)
    print(f"\nexamples/train.py --scale {args.scale}, medians of {args.repeats} runs x "
          f"{max(args.epochs - 1, 1)} epoch(s), loader workers 0:")
    print(f"{'processes':>10} {'examples/s':>12} {'sampling share':>15} {'step ms':>9}")
    rate = {}
    for nproc, epochs in found.items():
        rate[nproc] = statistics.median(e["examples_per_second"] for e in epochs)
        share = statistics.median(e["sampling_share"] for e in epochs)
        step = statistics.median(e["seconds_per_step"] for e in epochs) * 1000
        print(f"{nproc:>10} {rate[nproc]:>12,.0f} {share:>15.0%} {step:>9.1f}")
    print(f"2 processes / 1 process: {rate[2] / rate[1]:.2f}x examples/s")


if __name__ == "__main__":
    main()
