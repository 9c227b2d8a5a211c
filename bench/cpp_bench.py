"""The C++ microbenchmark (bench/cpp), built and run on request by
`run.py --cpp`, optionally side by side with a baseline revision.

The new build configures this tree with -DREROZER_BUILD_MODULE=OFF
-DREROZER_BUILD_BENCH=ON; a baseline builds bench/cpp as a project of its
own over the revision's exported tree (the same benchmark sources, the
revision's core). Both are Release builds with the same compiler. Each
benchmark runs in a process of its own, the two binaries taking turns
(new, old, old, new, ...) benchmark by benchmark, so that the runs compared
are adjacent in time; the table shows medians of the runs.
"""

from __future__ import annotations

import json
import re
import statistics
import subprocess
import sys
from pathlib import Path

import baseline

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = ROOT / "build" / "bench-cpp"
BINARY = "rerozer_core_bench"


def log(message: str) -> None:
    print(f"[bench] {message}", file=sys.stderr, flush=True)


def cmake_build(source: Path, build: Path, defines: list[str]) -> Path | None:
    """Configures and builds; returns the binary, or None after printing
    why it could not be built."""
    configure = ["cmake", "-S", str(source), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 *defines]
    for cmd in (configure, ["cmake", "--build", str(build), "-j", "2"]):
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            print(f"\nCould not build the C++ benchmark in {build}:")
            lines = (proc.stdout + proc.stderr).strip().splitlines()
            errors = [line for line in lines if "error" in line] or lines
            for line in errors[:12]:
                print("  " + line)
            return None
    found = sorted(build.rglob(BINARY))
    return found[0] if found else None


def list_benchmarks(binary: Path, args) -> list[str]:
    cmd = [str(binary), "--benchmark_list_tests=true"]
    if args.cpp_filter:
        cmd.append(f"--benchmark_filter={args.cpp_filter}")
    proc = subprocess.run(cmd, capture_output=True, text=True, check=True)
    return proc.stdout.split()


def regex_literal(text: str) -> str:
    """`text` as a literal for Google Benchmark's std::regex filter (which
    rejects escapes of characters that are not special, such as '-')."""
    return re.sub(r"([.^$|()\[\]{}*+?\\])", r"\\\1", text)


def run_binary(binary: Path, name: str, args) -> list[dict]:
    """One benchmark, by exact name, in a process of its own: its
    repetitions, in order."""
    cmd = [str(binary), "--benchmark_format=json", f"--benchmark_min_time={args.cpp_min_time}",
           f"--benchmark_repetitions={args.cpp_inner}", f"--benchmark_filter=^{regex_literal(name)}$"]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0 or not proc.stdout.strip():
        raise RuntimeError(f"{binary} {name} failed:\n{proc.stderr.strip()[-2000:]}")
    runs = json.loads(proc.stdout)["benchmarks"]
    return [r for r in runs if r.get("run_type", "iteration") == "iteration"]


def run(args) -> int:
    builds = {}
    log("building the C++ benchmark of this tree")
    builds["new"] = cmake_build(ROOT, BUILD_DIR / "new",
                                ["-DREROZER_BUILD_MODULE=OFF", "-DREROZER_BUILD_BENCH=ON"])
    if args.baseline:
        commit, home = baseline.export_source(args.baseline)
        log(f"building the C++ benchmark over {commit[:7]}")
        builds["old"] = cmake_build(ROOT / "bench" / "cpp", BUILD_DIR / commit[:12],
                                    [f"-DREROZER_SOURCE_DIR={home / 'src'}"])
        label_old = f"commit {commit[:7]}"
    builds = {k: v for k, v in builds.items() if v is not None}
    if not builds:
        return 1

    print("NeighborSampler core microbenchmark (Google Benchmark)")
    print(f"new: this tree at {baseline.git('describe', '--always', '--dirty', '--abbrev=7')}, "
          f"{builds.get('new', 'not built')}")
    if args.baseline:
        print(f"old: {label_old}, {builds.get('old', 'not built')}")

    labels = list(builds)
    names = list_benchmarks(builds[labels[0]], args)
    # runs[label][name][index]: the repetitions of process `index`. The
    # builds take turns benchmark by benchmark (new, old, old, new, ...), so
    # processes with the same index ran next to each other.
    runs: dict[str, dict[str, list[list[dict]]]] = {label: {} for label in builds}
    for position, name in enumerate(names, 1):
        log(f"[{position}/{len(names)}] {name}")
        for index in range(args.cpp_repetitions):
            order = labels if index % 2 == 0 else list(reversed(labels))
            for label in order:
                try:
                    runs[label].setdefault(name, []).append(run_binary(builds[label], name, args))
                except RuntimeError as error:
                    print(f"\n{label}: {error}")
    has_old = "old" in builds and "new" in builds

    def rates(label: str, name: str) -> list[float]:
        return [r["items_per_second"] for process in runs[label].get(name, []) for r in process
                if r.get("items_per_second")]

    def process_medians(label: str, name: str) -> list[float]:
        return [statistics.median(r["items_per_second"] for r in process)
                for process in runs[label].get(name, []) if process]

    rows = []
    for name in names:
        row = [name]
        for label in (["old", "new"] if has_old else labels):
            values = rates(label, name)
            row.append(f"{1e9 / statistics.median(values):,.1f}" if values else "-")
        if has_old:
            ratios = [n / o for n, o in zip(process_medians("new", name),
                                            process_medians("old", name))]
            row.append(f"{statistics.median(ratios):.2f}x" if ratios else "-")
            row.append(f"{min(ratios):.2f}-{max(ratios):.2f}" if ratios else "-")
        first = [r for process in runs[labels[0]].get(name, []) for r in process]
        if first:
            cpu = statistics.median(r["cpu_time"] for r in first)
            row.append(f"{cpu:,.0f} {first[0].get('time_unit', 'ns')}")
            edges_per_call = first[0].get("edges/call")
            row.append(f"{edges_per_call:,.0f}" if edges_per_call else "")
        else:
            row += ["-", ""]
        rows.append(row)

    header = ["benchmark"] + (["ns/edge old", "new", "new/old", "range"] if has_old
                              else ["ns/edge"])
    header += ["CPU per iteration", "edges/call"]
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(header)]
    samples = args.cpp_repetitions * args.cpp_inner
    print(f"\nCPU time per recorded edge, median of {samples} runs per build "
          f"({args.cpp_repetitions} processes x {args.cpp_inner} repetitions)")
    if has_old:
        print("(new/old: median over the pairs of processes that ran in turns of the ratio of "
              "their median edges per CPU second; range: smallest and largest pair)")
    line = "  ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, (h, w) in enumerate(zip(header, widths)))
    print(line)
    print("-" * len(line))
    for r in rows:
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))
    print("\nUniformSelect: k of N by Floyd's algorithm (k = -1: the whole column); "
          "RegisterRepeats: 64 edges per example over `distinct` sources;\n"
          "MostRecent/TimeWindow: temporal columns of N edges; ExpandHops: whole calls of 512 "
          "seeds, workload 1 most-recent, 2 uniform, 3 time windows.")
    if args.baseline and "old" not in builds:
        print("\nThe baseline could not be built against these benchmark sources (see above).")
    return 0
