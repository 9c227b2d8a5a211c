"""Instructions per call of the extension and of the floor, counted by
valgrind's callgrind: a figure that other work on a shared machine does not
move, where wall and CPU time move by tens of percent.

    python bench/instructions.py S1,S3,W0 [--calls 20]

The extension's figure is the difference between two runs of one Python
process (the same graph, sampler and two warm-up calls, then the counted
calls or none), counted inside the interpreter's calls of C functions
(cfunction_call, through which the method is called) and divided by the
counted calls: argument conversion, the sampling and the result's
dictionaries and arrays (freeing the result is not counted). The floor is counted inside FloorSampler::sample
(its one copy out included) over its two warm-up calls and the counted
ones. Both make the same calls on the same seed batches.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import floor  # noqa: E402
import generate  # noqa: E402
from workloads import WORKLOADS  # noqa: E402

# Run by the extension's process under callgrind: two warm-up calls, then
# the counted ones, on the batches floor.py wrote into the case.
EXTENSION_LOOP = """
import sys
sys.path.insert(0, {bench!r})
import generate
from workloads import WORKLOADS, sampler_arguments, sampler_class, seed_batches
w = WORKLOADS[{name!r}]
g = generate.load(generate.ensure(w.graph or {size!r}, quiet=True))
nn, off = w.request(g)
s = sampler_class(w)(*sampler_arguments(g, w), seed=123)
batches = seed_batches(g, w, w.batch, {calls})
for b in batches[:2]:
    s.sample(nn, off, w.entity, *b)
for b in batches[:{counted}]:
    s.sample(nn, off, w.entity, *b)
"""


def total_instructions(out_file: Path) -> int:
    text = out_file.read_text()
    match = re.search(r"^summary:\s+(\d+)", text, re.M) or re.search(r"^totals:\s+(\d+)",
                                                                       text, re.M)
    if match is None:
        raise RuntimeError(f"no totals in {out_file}")
    return int(match.group(1))


def callgrind(command: list[str], toggle: str | None, out_file: Path, stdin: str = "") -> int:
    toggles = [f"--toggle-collect={toggle}"] if toggle else []
    proc = subprocess.run(["valgrind", "--tool=callgrind", *toggles,
                           f"--callgrind-out-file={out_file}", *command], input=stdin,
                          capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0",
                                                             OPENBLAS_NUM_THREADS="1"))
    if proc.returncode != 0:
        raise RuntimeError(f"callgrind failed: {proc.stderr[-2000:]}")
    return total_instructions(out_file)


def count(name: str, size: str, calls: int) -> tuple[float, float]:
    """(extension, floor) instructions per counted call."""
    workload = WORKLOADS[name]
    graph_path = generate.ensure(workload.graph or size, quiet=True)
    with tempfile.TemporaryDirectory(prefix="rerozer-count-") as tmp:
        runner = floor.FloorRunner(graph_path, name, workload.batch, calls, 2)
        try:
            floor_total = callgrind(runner.serve_command(), "*FloorSampler::sample*",
                                    Path(tmp) / "floor.out", "pass\nfinish\n")
        finally:
            runner.close()
        totals = []
        for counted in (0, calls):
            script = EXTENSION_LOOP.format(bench=str(BENCH), name=name, size=size, calls=calls,
                                           counted=counted)
            totals.append(callgrind([sys.executable, "-c", script], "cfunction_call",
                                    Path(tmp) / f"ext{counted}.out"))
    return (totals[1] - totals[0]) / calls, floor_total / (calls + 2)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workloads", help="comma-separated, e.g. S1,S3,W0")
    parser.add_argument("--size", default="small", help="graph, unless the workload has its own")
    parser.add_argument("--calls", type=int, default=20, help="counted calls (default 20)")
    args = parser.parse_args()
    print(f"{'workload':<10} {'extension':>14} {'floor':>14} {'ext/floor':>10}  (instructions per call)")
    for name in [n for n in args.workloads.split(",") if n]:
        ext, flo = count(name, args.size, args.calls)
        print(f"{name:<10} {ext:>14,.0f} {flo:>14,.0f} {ext / flo:>9.2f}x", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
