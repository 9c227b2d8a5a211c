"""One measurement in a fresh process, driven by run.py; answers in JSON lines.

Two builds of the module cannot share a process, so run.py starts this
script once per build and measurement, with --module-dir naming where the
build to import lives (the project venv's build when absent). In serve mode
run.py keeps one process per build and asks them for timed passes in turn,
so that both builds meet the same load on a shared machine.

    --mode serve   two warm-up calls, then one JSON line with the number of
                   calls per pass (--calls, or with --calls 0 enough calls
                   for one pass to take about --target seconds); then, for
                   every line "pass" read from stdin, one timed pass over
                   those calls, each call timed by the wall clock and by the
                   thread's CPU time; "finish" prints the digest and exits
    --mode memory  the first call of a fresh sampler, with the resident-set
                   high-water mark reset just before it (Linux
                   /proc/self/clear_refs), then --calls - 1 further calls,
                   the last of which is measured the same way (steady
                   state: the sampler's buffers have grown, freed results
                   may sit in the allocator); both peaks count from the
                   resident set before the first call, i.e. beyond the
                   loaded graph and the built sampler

Both modes hash every result in call order (the six dictionaries: keys,
dtypes, shapes and bytes), so equal digests mean bit-identical results over
the same sequence of calls on a sampler seeded alike.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import hashlib
import json
import math
import sys
import time
from pathlib import Path


def status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def release_free_memory() -> None:
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def reset_peak() -> bool:
    """Resets VmHWM to the current resident size; False when the kernel
    refuses, so the peak then counts from process start."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def update_digest(digest, result) -> int:
    """Adds one result to the digest; returns the bytes of its arrays."""
    if len(result) != 6:
        raise RuntimeError(f"sample returned {len(result)} items, expected 6")
    nbytes = 0
    for position, table in enumerate(result):
        digest.update(b"\x00dict%d" % position)
        for key, array in table.items():
            digest.update(b"\x00key" + str(key).encode() + b"\x00")
            digest.update(array.dtype.str.encode() + repr(array.shape).encode())
            digest.update(memoryview(array).cast("B"))
            nbytes += array.nbytes
    return nbytes


def sampled_edges(result) -> int:
    return sum(len(a) for a in result[0].values())


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", choices=["serve", "memory"], required=True)
    parser.add_argument("--graph", required=True)
    parser.add_argument("--workload", required=True)
    parser.add_argument("--batch", type=int, required=True)
    parser.add_argument("--calls", type=int, default=0)
    parser.add_argument("--target", type=float, default=0.2)
    parser.add_argument("--max-calls", type=int, default=200)
    parser.add_argument("--batch-seed", type=int, default=7)
    parser.add_argument("--sampler-seed", type=int, default=123)
    parser.add_argument("--module-dir")
    args = parser.parse_args()

    if args.module_dir:
        sys.path.insert(0, args.module_dir)
    import numpy as np  # noqa: F401  (before the module, as users import it)
    import rerozer

    import generate
    from workloads import WORKLOADS, sampler_arguments, sampler_class, seed_batches

    module_file = str(Path(rerozer.__file__).resolve())
    if args.module_dir and not module_file.startswith(str(Path(args.module_dir).resolve())):
        raise RuntimeError(f"imported {module_file}, not the build in {args.module_dir}")

    workload = WORKLOADS[args.workload]
    graph = generate.load(Path(args.graph))
    num_neighbors, offsets = workload.request(graph)
    cls = sampler_class(workload)
    sampler = cls(*sampler_arguments(graph, workload), seed=args.sampler_seed)
    class_file = str(Path(sys.modules[cls.__module__].__file__).resolve())
    if args.module_dir and not class_file.startswith(str(Path(args.module_dir).resolve())):
        raise RuntimeError(f"imported {class_file}, not the build in {args.module_dir}")
    digest = hashlib.sha256()
    out = {"module": module_file, "workload": workload.name, "batch": args.batch}

    def call(seeds):
        return sampler.sample(num_neighbors, offsets, workload.entity, seeds[0], seeds[1])

    if args.mode == "memory":
        calls = max(args.calls, 1)
        batches = seed_batches(graph, workload, args.batch, calls, args.batch_seed)
        release_free_memory()
        out["peak_reset"] = reset_peak()
        rss_before = status_kib("VmRSS")
        result = call(batches[0])
        peak = status_kib("VmHWM")
        out["result_bytes"] = update_digest(digest, result)
        out["edges"] = sampled_edges(result)
        del result
        release_free_memory()
        out["rss_before_kib"] = rss_before
        out["peak_delta_bytes"] = (peak - rss_before) * 1024
        out["retained_bytes"] = (status_kib("VmRSS") - rss_before) * 1024
        for seeds in batches[1:-1]:
            update_digest(digest, call(seeds))
        if calls > 1:
            out["steady_peak_reset"] = reset_peak()
            result = call(batches[-1])
            peak = status_kib("VmHWM")
            out["steady_result_bytes"] = update_digest(digest, result)
            out["steady_peak_delta_bytes"] = (peak - rss_before) * 1024
            del result
        out["calls"] = calls
        out["digest"] = digest.hexdigest()
        print(json.dumps(out))
        return

    # Serve mode. Two warm-up calls on the first two batches; the second,
    # which no longer pays for first-touch costs, calibrates the passes.
    for seeds in seed_batches(graph, workload, args.batch, 2, args.batch_seed):
        start = time.perf_counter()
        result = call(seeds)
        probe_seconds = time.perf_counter() - start
        update_digest(digest, result)
        del result
    calls = args.calls
    if calls <= 0:
        calls = max(1, min(args.max_calls, math.ceil(args.target / max(probe_seconds, 1e-6))))
    batches = seed_batches(graph, workload, args.batch, calls, args.batch_seed)
    out["calls"] = calls
    print(json.dumps(out), flush=True)

    passes = 0
    for line in sys.stdin:
        command = line.strip()
        if command == "pass":
            wall = 0.0
            cpu = 0.0
            edges = 0
            for seeds in batches:
                start_cpu = time.thread_time()
                start = time.perf_counter()
                result = call(seeds)
                wall += time.perf_counter() - start
                cpu += time.thread_time() - start_cpu
                edges += sampled_edges(result)
                update_digest(digest, result)
                del result
            passes += 1
            print(json.dumps({"wall": wall, "cpu": cpu, "edges": edges, "calls": calls}),
                  flush=True)
        elif command == "finish":
            print(json.dumps({"digest": digest.hexdigest(), "calls": 2 + passes * calls}),
                  flush=True)
            return
        else:
            raise RuntimeError(f"unknown command {command!r}")


if __name__ == "__main__":
    main()
