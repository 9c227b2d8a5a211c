"""One workload's calls in a loop, for a profiler to watch.

    perf record -F 1000 --call-graph dwarf,16384 -o w0.perf \
        .venv/bin/python bench/profile_call.py W0 --calls 100000
    perf report -i w0.perf --children --sort sym -g none

The extension installed by ./dev build is stripped; for function names,
build one with symbols (RelWithDebInfo keeps them) and put it first on the
path with PYTHONPATH:

    cmake -S . -B build/profile -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O3 -g -DNDEBUG" \
        -DPython_EXECUTABLE=$PWD/.venv/bin/python \
        -Dpybind11_DIR=$(.venv/bin/python -c 'import pybind11; print(pybind11.get_cmake_dir())')
    cmake --build build/profile -j 2
    PYTHONPATH=build/profile perf record ... bench/profile_call.py W0

Prints the module used and the mean CPU microseconds per call (the
calling thread's clock), which includes freeing each result.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import generate  # noqa: E402
from workloads import WORKLOADS, sampler_arguments, sampler_class, seed_batches  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workload", choices=sorted(WORKLOADS))
    parser.add_argument("--size", default="small", help="graph, unless the workload has its own")
    parser.add_argument("--calls", type=int, default=100000)
    args = parser.parse_args()
    workload = WORKLOADS[args.workload]
    graph = generate.load(generate.ensure(workload.graph or args.size))
    num_neighbors, offsets = workload.request(graph)
    cls = sampler_class(workload)
    sampler = cls(*sampler_arguments(graph, workload), seed=123)
    batches = seed_batches(graph, workload, workload.batch, 64)
    print(sys.modules[cls.__module__].__file__)
    start = time.thread_time()
    for i in range(args.calls):
        seed_node, seed_time = batches[i % len(batches)]
        sampler.sample(num_neighbors, offsets, workload.entity, seed_node, seed_time)
    print(f"{(time.thread_time() - start) / args.calls * 1e6:.1f} us per call")


if __name__ == "__main__":
    main()
