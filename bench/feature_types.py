"""Test AUROC of the README's GraphSAGE with inferred feature types, over seeds.

    .venv/bin/python bench/feature_types.py [--scale 4] [--seeds 0 1 2] [--epochs 5]

Trains examples/train.py's heterogeneous GraphSAGE and its no-graph baseline
on the demo shop (examples/database.py at ``--scale``; 4 gives 16,000
customers, 160,000 orders) for the 30-day task (will a customer order in
the 30 days after a cut-off?), once per seed, two ways in turn:

* ``inferred``: the features as build_graph infers them (integer columns
  whose every value occurs in at least 5 rows, such as an order item's
  quantity and a review's stars, are categories);
* ``plain``: every integer column a number, as before the inference.

Prints each run's test AUROC at the best validation epoch, for the GNN and
the baseline, then the mean and median of each over the seeds. Not part of
the tests.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

import train  # noqa: E402
from rerozer_tables import inference  # noqa: E402

VARIANTS = ("inferred", "plain")


def run(variant: str, seed: int, args: argparse.Namespace, folder: Path) -> tuple[float, float]:
    default = inference.CATEGORY_MIN_COUNT
    # No integer column has every value 2**62 times: all stay numbers.
    inference.CATEGORY_MIN_COUNT = default if variant == "inferred" else 2**62
    stats = folder / f"{variant}-{seed}.json"
    try:
        code = train.main([
            "--scale", str(args.scale), "--seed", str(seed), "--epochs", str(args.epochs),
            "--no-progress", "--stats", str(stats), "--workdir", str(folder / f"{variant}-{seed}"),
        ])
    finally:
        inference.CATEGORY_MIN_COUNT = default
    if code:
        raise SystemExit(code)
    result = json.loads(stats.read_text())
    return float(result["test_gnn"]), float(result["test_baseline"])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=4.0)
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2])
    parser.add_argument("--epochs", type=int, default=5)
    parser.add_argument("--variants", nargs="+", choices=VARIANTS, default=list(VARIANTS))
    args = parser.parse_args()
    results: dict[str, list[tuple[float, float]]] = {v: [] for v in args.variants}
    with tempfile.TemporaryDirectory(prefix="rerozer-feature-types-") as temporary:
        for seed in args.seeds:
            for variant in args.variants:  # in turn, so that load falls on both alike
                results[variant].append(run(variant, seed, args, Path(temporary)))
    print()
    print(f"test AUROC, scale {args.scale:g}, {args.epochs} epochs, seeds {args.seeds}")
    for variant, runs in results.items():
        gnn = [g for g, _ in runs]
        baseline = [b for _, b in runs]
        per_seed = ", ".join(f"{g:.4f}" for g in gnn)
        print(f"{variant:>9}: GNN {per_seed}; mean {statistics.mean(gnn):.4f}, median "
              f"{statistics.median(gnn):.4f}; baseline mean {statistics.mean(baseline):.4f}")
    if len(results) == 2:
        inferred, plain = (statistics.mean(g for g, _ in results[v]) for v in VARIANTS)
        print(f"mean GNN AUROC, inferred - plain: {inferred - plain:+.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
