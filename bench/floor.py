"""The floor of a `sample` call: bench/floor, a plain C++ program doing the
same selections and registrations, built and fed from here.

    python bench/floor.py --check                 floor vs extension vs model, small graph
    python bench/floor.py --check --size medium   floor vs extension only (the model is slow)

run.py runs the floor side by side with the extension in every measurement
(see `FloorRunner`); this module holds what both need:

- `build()` configures and builds bench/floor into build/bench-floor
  (Release, the extension's optimisation flags); a later call only checks
  that the binary is up to date.
- `graph_file()` exports a cached bench graph once into the floor's int64
  stream format next to its .npz; `write_case()` writes a workload and its
  seed batches for one run.
- `read_dump()` reads what `rerozer_floor dump` wrote back into the six
  result dictionaries, so that the same digest as worker.py's applies.

The check compares whole results of the same calls (a sampler seeded 123,
the workload's seed batches in order): the floor must return exactly what
the extension returns, and on the small graph what tests/reference.py
returns, or its timings mean nothing.
"""

from __future__ import annotations

import argparse
import hashlib
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

import generate  # noqa: E402
from workloads import WORKLOADS, Workload, sampler_arguments, seed_batches  # noqa: E402

BUILD_DIR = ROOT / "build" / "bench-floor"
BINARY = BUILD_DIR / "rerozer_floor"
GRAPH_MAGIC = 0x48505247524F4C46
CASE_MAGIC = 0x45534143524F4C46
FORMAT_VERSION = 1


def build() -> Path:
    """The floor binary, configured and built on first use."""
    steps = [["cmake", "-S", str(BENCH / "floor"), "-B", str(BUILD_DIR),
              "-DCMAKE_BUILD_TYPE=Release"],
             ["cmake", "--build", str(BUILD_DIR), "-j", "2"]]
    if (BUILD_DIR / "CMakeCache.txt").exists():
        steps = steps[1:]
    for cmd in steps:
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            raise RuntimeError(f"could not build the floor:\n{(proc.stdout + proc.stderr)[-3000:]}")
    return BINARY


def _put(out, *values) -> None:
    np.array(values, dtype="<i8").tofile(out)


def _put_array(out, values) -> None:
    _put(out, len(values))
    np.ascontiguousarray(values, dtype="<i8").tofile(out)


def num_nodes(graph: dict) -> dict[str, int]:
    """Node count per type: enough for its node times, its columns, and the
    sources its rows name."""
    counts = {t: len(graph["node_time"].get(t, [])) for t in graph["node_types"]}
    for src, rel, dst in graph["edge_types"]:
        key = generate.edge_type_key((src, rel, dst))
        counts[dst] = max(counts[dst], len(graph["colptr"][key]) - 1)
        row = graph["row"][key]
        if len(row):
            counts[src] = max(counts[src], int(row.max()) + 1)
    return counts


def graph_file(graph_path: Path, graph: dict) -> Path:
    """The floor's copy of a cached graph, exported once."""
    path = graph_path.with_suffix(".floor")
    if path.exists() and path.stat().st_mtime >= graph_path.stat().st_mtime:
        return path
    tmp = path.with_name(path.name + ".tmp")
    sizes = num_nodes(graph)
    slot = {t: i for i, t in enumerate(graph["node_types"])}
    with open(tmp, "wb") as out:
        _put(out, GRAPH_MAGIC, FORMAT_VERSION, len(graph["node_types"]))
        for t in graph["node_types"]:
            times = graph["node_time"].get(t)
            _put(out, sizes[t], 0 if times is None else 1)
            if times is not None:
                padded = np.zeros(sizes[t], dtype=np.int64)
                padded[: len(times)] = times
                padded.astype("<i8").tofile(out)
        _put(out, len(graph["edge_types"]))
        for src, rel, dst in graph["edge_types"]:
            key = generate.edge_type_key((src, rel, dst))
            _put(out, slot[src], slot[dst])
            _put_array(out, graph["colptr"][key])
            _put_array(out, graph["row"][key])
    tmp.replace(path)
    return path


def write_case(path: Path, graph: dict, workload: Workload, batches, timed_calls: int,
               sampler_seed: int = 123) -> None:
    """One workload and its seed batches (at least two: the floor's serving
    mode warms up on the first two, as worker.py does)."""
    if len(batches) < 2:
        raise ValueError("the floor needs at least two batches")
    num_neighbors, offsets = workload.request(graph)
    keys = [generate.edge_type_key(e) for e in graph["edge_types"]]
    num_hops = max(len(num_neighbors.get(k, offsets.get(k, []))) for k in keys)
    entity = graph["node_types"].index(workload.entity)
    with open(path, "wb") as out:
        _put(out, CASE_MAGIC, FORMAT_VERSION, int(workload.temporal), entity, sampler_seed,
             num_hops)
        for h in range(num_hops):
            for k in keys:
                if k in num_neighbors:
                    _put(out, 0, int(num_neighbors[k][h]), 0, 0, 0)
                else:
                    lo, hi = offsets[k][h]
                    _put(out, 1, 0, int(lo is not None), 0 if lo is None else int(lo), int(hi))
        _put(out, timed_calls, len(batches))
        for seed_node, seed_time in batches:
            _put_array(out, seed_node)
            _put_array(out, seed_time)


def read_dump(path: Path, graph: dict, calls: int) -> list[tuple[dict, ...]]:
    """The results `rerozer_floor dump` wrote, as the six dictionaries of
    int64 arrays that `sample` returns."""
    data = np.fromfile(path, dtype="<i8")
    keys = [generate.edge_type_key(e) for e in graph["edge_types"]]
    node_types = graph["node_types"]
    position = 0
    results = []
    for _ in range(calls):
        result = []
        for names in (keys, keys, node_types, node_types, node_types, keys):
            table = {}
            for name in names:
                n = int(data[position])
                table[name] = data[position + 1: position + 1 + n].astype(np.int64)
                position += 1 + n
            result.append(table)
        results.append(tuple(result))
    if position != len(data):
        raise RuntimeError(f"{path}: {len(data) - position} values left over")
    return results


def digest(results) -> str:
    """The sha256 of worker.py over a sequence of results."""
    from worker import update_digest

    h = hashlib.sha256()
    for result in results:
        update_digest(h, result)
    return h.hexdigest()


class FloorRunner:
    """The files and commands of one measurement of the floor: a graph, a
    workload, a batch size and the number of calls of a timed pass."""

    def __init__(self, graph_path: Path, workload_name: str, batch: int, timed_calls: int,
                 check_calls: int, batch_seed: int = 7, fresh_results: bool = False):
        self.binary = build()
        # By default result arrays reuse the pages of the previous call's.
        self.flags = ["--fresh-results"] if fresh_results else []
        self.graph = generate.load(graph_path)
        self.graph_file = graph_file(graph_path, self.graph)
        self.workload = WORKLOADS[workload_name]
        self.dir = tempfile.TemporaryDirectory(prefix="rerozer-floor-")
        self.check_calls = max(check_calls, 2)
        serve_batches = seed_batches(self.graph, self.workload, batch, max(timed_calls, 2),
                                     batch_seed)
        check_batches = seed_batches(self.graph, self.workload, batch, self.check_calls,
                                     batch_seed)
        self.serve_case = Path(self.dir.name) / "serve.case"
        self.check_case = Path(self.dir.name) / "check.case"
        write_case(self.serve_case, self.graph, self.workload, serve_batches, timed_calls)
        write_case(self.check_case, self.graph, self.workload, check_batches, self.check_calls)

    def serve_command(self) -> list[str]:
        return [str(self.binary), "serve", str(self.graph_file), str(self.serve_case),
                *self.flags]

    def memory(self) -> dict:
        import json

        proc = subprocess.run([str(self.binary), "memory", str(self.graph_file),
                               str(self.check_case), *self.flags], capture_output=True, text=True)
        if proc.returncode != 0:
            raise RuntimeError(f"floor memory run failed: {proc.stderr.strip()[-2000:]}")
        return json.loads(proc.stdout.strip().splitlines()[-1])

    def results(self) -> list[tuple[dict, ...]]:
        """The results of the check calls from a fresh floor sampler."""
        out = Path(self.dir.name) / "dump.bin"
        proc = subprocess.run([str(self.binary), "dump", str(self.graph_file),
                               str(self.check_case), str(out)], capture_output=True, text=True)
        if proc.returncode != 0:
            raise RuntimeError(f"floor dump failed: {proc.stderr.strip()[-2000:]}")
        try:
            return read_dump(out, self.graph, self.check_calls)
        finally:
            out.unlink(missing_ok=True)

    def close(self) -> None:
        self.dir.cleanup()


# ------------------------------------------------------------------ check

def _same(a, b) -> bool:
    """Whether two sequences of results hold the same keys, in order, and
    the same values."""
    if len(a) != len(b):
        return False
    for result_a, result_b in zip(a, b):
        for x, y in zip(result_a, result_b, strict=True):
            if list(x) != list(y):
                return False
            for key in x:
                if not np.array_equal(np.asarray(x[key], dtype=np.int64),
                                      np.asarray(y[key], dtype=np.int64)):
                    return False
    return True


def check(size: str, names: list[str], calls: int, model: bool) -> int:
    """Prints one verdict line per workload; 1 when any result differs."""
    import rerozer

    failures = 0
    for name in names:
        workload = WORKLOADS[name]
        graph_size = workload.graph or size
        graph_path = generate.ensure(graph_size)
        batch = workload.batch
        runner = FloorRunner(graph_path, name, batch, 2, calls)
        try:
            graph = runner.graph
            floor_results = runner.results()
            batches = seed_batches(graph, workload, batch, runner.check_calls)
            num_neighbors, offsets = workload.request(graph)
            sampler = rerozer.NeighborSampler(*sampler_arguments(graph, workload), seed=123)
            module_results = [sampler.sample(num_neighbors, offsets, workload.entity, *seeds)
                              for seeds in batches]
            verdicts = ["extension " + ("identical" if _same(floor_results, module_results)
                                        else "DIFFERENT")]
            if model and graph_size != generate.RELGRAPH:
                sys.path.insert(0, str(ROOT / "tests"))
                from reference import ReferenceSampler

                reference = ReferenceSampler(*sampler_arguments(graph, workload), seed=123)
                model_results = [reference.sample(num_neighbors, offsets, workload.entity,
                                                  *seeds) for seeds in batches]
                verdicts.append("model " + ("identical" if _same(floor_results, model_results)
                                            else "DIFFERENT"))
            edges = sum(len(a) for r in floor_results for a in r[0].values())
            print(f"{name} {graph_size}: {len(batches)} calls, {edges:,} edges: "
                  + ", ".join(verdicts), flush=True)
            failures += sum("DIFFERENT" in v for v in verdicts)
        finally:
            runner.close()
    return 1 if failures else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", required=True,
                        help="compare the floor's results with the extension's and the model's")
    parser.add_argument("--size", default="small", help="graph (default small)")
    parser.add_argument("--workloads", default="W1,W2,W3,W4,W0,S1,S2,S3,S4")
    parser.add_argument("--calls", type=int, default=3, help="calls per workload (default 3)")
    parser.add_argument("--no-model", dest="model", action="store_false",
                        help="skip the reference model (slow on the medium graph)")
    args = parser.parse_args()
    names = [n for n in args.workloads.split(",") if n]
    size = args.size
    if size != "small" and args.model:
        print("(the reference model is skipped beyond the small graph)")
        args.model = False
    return check(size, names, args.calls, args.model)


if __name__ == "__main__":
    sys.exit(main())
