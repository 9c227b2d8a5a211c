"""Benchmarks of NeighborSampler.sample; prints medians and ratios.

    ./dev bench                          this tree's build, small and medium graphs
    ./dev bench --baseline e20ab29       the same, side by side with a build of e20ab29
    ./dev bench --large                  adds the large graph (about 1e8 edges)
    ./dev bench --cpp [--baseline REV]   the C++ microbenchmark of the core instead

Every measurement runs in fresh subprocesses (bench/worker.py): one serving
process per build that loads the graph once and runs timed passes on
request, and one more process per build for the peak memory of a first
call and of a later one. The floor (bench/floor, the same calls in plain
C++) serves passes the same way. The serving processes take turns pass by
pass (new, old, floor, floor, old, new, ...), so that load from other users
of the machine falls on all alike. Every result of both builds is hashed; a difference is
printed in a banner. Nothing here passes or fails: the exit status is 0
unless something could not be run.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import baseline  # noqa: E402
import floor  # noqa: E402
import generate  # noqa: E402
from workloads import WORKLOADS  # noqa: E402

BATCH_SCALING = [64, 256, 1024, 4096]

CLOCKS = {
    "cpu": "seconds of the calling thread's CPU time",
    "wall": "seconds of wall-clock time",
}

# Library thread pools would compete with the sampler for the two cores.
WORKER_ENV = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}


@dataclass(frozen=True)
class Case:
    workload: str
    size: str
    batch: int

    def label(self) -> str:
        return f"{self.workload} {self.size} {self.batch}"


@dataclass
class Outcome:
    passes: list[dict] = field(default_factory=list)  # timed passes, in order
    digests: list[dict] = field(default_factory=list)  # one per serving process
    memory: dict | None = None
    errors: list[str] = field(default_factory=list)
    check_digest: str | None = None  # the floor: digest of the calls of the memory run


def log(message: str) -> None:
    print(f"[bench] {message}", file=sys.stderr, flush=True)


def worker_command(build: baseline.Build, mode: str, case: Case, args, calls: int) -> list[str]:
    cmd = [
        sys.executable, str(BENCH / "worker.py"),
        "--mode", mode,
        "--graph", str(generate.cache_path(case.size, args.graph_seed)),
        "--workload", case.workload,
        "--batch", str(case.batch),
        "--calls", str(calls),
        "--target", str(args.target),
        # Calls of a few seeds take microseconds: a pass needs thousands.
        "--max-calls", str(200 if case.batch >= 64 else 5000),
    ]
    if build.module_dir:
        cmd += ["--module-dir", str(build.module_dir)]
    return cmd


class Server:
    """One serving process (a worker, or the floor): timed passes on
    request, over a pipe."""

    def __init__(self, name: str, command: list[str]):
        self.name = name
        self.stderr = tempfile.TemporaryFile(mode="w+")
        self.proc = subprocess.Popen(
            command, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=self.stderr, text=True,
            env={**os.environ, **WORKER_ENV})

    def read(self) -> dict:
        line = self.proc.stdout.readline()
        if not line:
            self.proc.wait()
            self.stderr.seek(0)
            tail = "\n".join(self.stderr.read().strip().splitlines()[-5:])
            raise RuntimeError(f"{self.name} failed (exit {self.proc.returncode}):\n{tail}")
        return json.loads(line)

    def ask(self, command: str) -> dict:
        try:
            self.proc.stdin.write(command + "\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass  # read() reports the failure
        return self.read()

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except BrokenPipeError:
                pass
        self.stderr.close()


def run_memory(build: baseline.Build, case: Case, args) -> dict:
    proc = subprocess.run(worker_command(build, "memory", case, args, args.check_calls),
                          capture_output=True, text=True, env={**os.environ, **WORKER_ENV})
    if proc.returncode != 0:
        tail = "\n".join(proc.stderr.strip().splitlines()[-5:])
        raise RuntimeError(f"{build.label} memory {case.label()} failed:\n{tail}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def measure(case: Case, builds: list[baseline.Build], args) -> dict[str, Outcome]:
    """Per round one serving process per build and one of the floor, asked
    for passes in ABBA order (new, old, floor, floor, old, new, ...); then
    one memory run per build and of the floor, and the floor's check calls."""
    outcomes = {b.label: Outcome() for b in builds}
    # A baseline from before rerozer_tables._temporal cannot run temporal
    # uniform workloads; only this tree's build runs them.
    if WORKLOADS[case.workload].strategy != "last":
        builds = [b for b in builds if b.label == "new"]
    runner = None
    # The floor does not draw among the edges up to the seed time.
    with_floor = args.floor and WORKLOADS[case.workload].strategy == "last"
    if with_floor:
        outcomes["floor"] = Outcome()
    calls = 0  # fixed by the first process, then the same for every process
    for _ in range(args.rounds):
        servers: dict[str, Server] = {}
        try:
            for build in builds:
                servers[build.label] = Server(f"{build.label} {case.label()}",
                                              worker_command(build, "serve", case, args, calls))
                calls = servers[build.label].read()["calls"]
            if with_floor:
                if runner is None:
                    runner = floor.FloorRunner(generate.cache_path(case.size, args.graph_seed),
                                               case.workload, case.batch, calls,
                                               args.check_calls,
                                               fresh_results=args.floor_fresh_results)
                servers["floor"] = Server(f"floor {case.label()}", runner.serve_command())
                servers["floor"].read()
            labels = list(servers)
            for index in range(args.passes):
                order = labels if index % 2 == 0 else list(reversed(labels))
                for label in order:
                    outcomes[label].passes.append(servers[label].ask("pass"))
            for label in labels:
                outcomes[label].digests.append(servers[label].ask("finish"))
        except RuntimeError as error:
            outcomes[builds[0].label].errors.append(str(error))
        finally:
            for server in servers.values():
                server.close()
    if args.memory:
        for build in builds:
            try:
                outcomes[build.label].memory = run_memory(build, case, args)
            except RuntimeError as error:
                outcomes[build.label].errors.append(str(error))
    if runner is not None:
        try:
            if args.memory:
                outcomes["floor"].memory = runner.memory()
            outcomes["floor"].check_digest = floor.digest(runner.results())
        except RuntimeError as error:
            outcomes["floor"].errors.append(str(error))
        finally:
            runner.close()
    return outcomes


# ---------------------------------------------------------------- summaries

def summarise(outcome: Outcome, clock: str) -> dict | None:
    repeats = outcome.passes
    if not repeats:
        return None
    rates = [r["edges"] / r[clock] for r in repeats]
    calls = [r["calls"] / r[clock] for r in repeats]
    edges_per_s = statistics.median(rates)
    other = "wall" if clock == "cpu" else "cpu"
    return {
        "edges_per_s": edges_per_s,
        "other_edges_per_s": statistics.median(r["edges"] / r[other] for r in repeats),
        "calls_per_s": statistics.median(calls),
        "ns_per_edge": 1e9 / edges_per_s if edges_per_s else float("nan"),
        "edges_per_call": repeats[0]["edges"] / repeats[0]["calls"],
        "spread": (max(rates) - min(rates)) / edges_per_s if edges_per_s else 0.0,
        "repeats": len(repeats),
    }


def paired_ratios(new: Outcome, old: Outcome, clock: str) -> tuple[float, float, float] | None:
    """Lower quartile, median and upper quartile of new/old over adjacent
    passes, by edges per second. The passes ran in turns, so each pair met
    about the same load from the rest of the machine; with identical results
    the edges are equal and this is also the ratio of calls per second."""
    ratios = [(n["edges"] / n[clock]) / (o["edges"] / o[clock])
              for n, o in zip(new.passes, old.passes) if n[clock] > 0 and o[clock] > 0 and o["edges"]]
    if not ratios:
        return None
    if len(ratios) == 1:
        return ratios[0], ratios[0], ratios[0]
    q1, median, q3 = statistics.quantiles(ratios, n=4)
    return q1, median, q3


def fmt(value: float | None, pattern: str) -> str:
    return "-" if value is None else format(value, pattern)


def mib(value: float | None) -> float | None:
    return None if value is None else value / 2**20


def print_table(title: str, header: list[str], rows: list[list[str]], note: str = "") -> None:
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h)
              for i, h in enumerate(header)]
    print(f"\n{title}")
    if note:
        print(note)
    line = "  ".join(h.rjust(w) if i else h.ljust(w) for i, (h, w) in enumerate(zip(header, widths)))
    print(line)
    print("-" * len(line))
    for r in rows:
        print("  ".join(c.rjust(w) if i else c.ljust(w) for i, (c, w) in enumerate(zip(r, widths))))


def workload_name(name: str) -> str:
    return f"{name} {WORKLOADS[name].title}"


def report(results: dict[Case, dict[str, Outcome]], builds: list[baseline.Build], args) -> int:
    labels = [b.label for b in builds]
    has_old = "old" in labels
    other = "wall" if args.clock == "cpu" else "cpu"

    def summary(outcome: Outcome) -> dict | None:
        return summarise(outcome, args.clock)

    main_cases = [s for s in results if s.batch == WORKLOADS[s.workload].batch]
    mismatches: list[str] = []
    uncompared: list[Case] = []

    # Bit-identity of the results first: a difference heads the report.
    identity_rows = []
    for case, by_build in results.items():
        serve = {label: [d["digest"] for d in by_build[label].digests] for label in labels}
        memory = {label: by_build[label].memory["digest"] for label in labels
                  if by_build[label].memory}
        notes = []
        compared = 0
        across = False  # whether new and old results were compared at all
        for label in labels:
            if len(serve[label]) > 1:
                compared += 1
                if len(set(serve[label])) > 1:
                    notes.append(f"{label} differs between its own processes")
        if has_old:
            if serve["new"] and serve["old"]:
                compared += 1
                across = True
                if set(serve["new"]) != set(serve["old"]):
                    notes.append("timed calls differ, new vs old")
            if "new" in memory and "old" in memory:
                compared += 1
                across = True
                if memory["new"] != memory["old"]:
                    notes.append("memory-run calls differ, new vs old")
        floor_outcome = by_build.get("floor")
        if floor_outcome and floor_outcome.check_digest and "new" in memory:
            compared += 1
            if floor_outcome.check_digest != memory["new"]:
                notes.append("the floor differs from new")
        if notes:
            verdict = "DIFFERENT: " + "; ".join(notes)
            mismatches.append(f"{workload_name(case.workload)}, {case.size} graph, "
                              f"{case.batch} seeds: {'; '.join(notes)}")
        elif has_old and not across and WORKLOADS[case.workload].strategy != "last":
            verdict = "new only"
        elif has_old and not across:
            verdict = "NOT COMPARED: a build failed"
            uncompared.append(case)
        elif compared:
            verdict = "identical"
        else:
            verdict = "not compared"
        calls = by_build["new"].digests[0]["calls"] if by_build["new"].digests else 0
        shown = memory.get("new") or (serve.get("new") or [""])[0]
        identity_rows.append([workload_name(case.workload), case.size, str(case.batch),
                     f"{calls} + {args.check_calls if args.memory else 0}",
                     shown[:16], verdict])
    banner = "#" * 78
    if mismatches:
        print(f"\n{banner}\n#  RESULTS DIFFER" + (" BETWEEN THE BUILDS" if has_old else "")
              + f": see the Results table at the end\n{banner}")

    # 1. Throughput.
    header = ["workload", "graph", "seeds", "edges/call"]
    if has_old:
        header += ["Medges/s old", "new", "calls/s old", "new", "new/old", "quartiles",
                   f"new/old {other}"]
    else:
        header += ["Medges/s", "calls/s", "ns/edge", "spread"]
    rows = []
    for case in results:
        s = {label: summary(results[case][label]) for label in labels}
        new = s.get("new")
        base = [workload_name(case.workload), case.size, str(case.batch),
                fmt(new and new["edges_per_call"], ",.0f")]
        if has_old:
            old = s.get("old")
            ratio = paired_ratios(results[case]["new"], results[case]["old"], args.clock)
            ratio_other = paired_ratios(results[case]["new"], results[case]["old"], other)
            base += [fmt(old and old["edges_per_s"] / 1e6, ".3f"),
                     fmt(new and new["edges_per_s"] / 1e6, ".3f"),
                     fmt(old and old["calls_per_s"], ",.1f"),
                     fmt(new and new["calls_per_s"], ",.1f"),
                     fmt(ratio and ratio[1], ".2f") + "x",
                     f"{ratio[0]:.2f}-{ratio[2]:.2f}" if ratio else "-",
                     fmt(ratio_other and ratio_other[1], ".2f") + "x"]
        else:
            base += [fmt(new and new["edges_per_s"] / 1e6, ".3f"),
                     fmt(new and new["calls_per_s"], ",.1f"),
                     fmt(new and new["ns_per_edge"], ",.0f"),
                     fmt(new and new["spread"] * 100, ".0f") + "%"]
        rows.append(base)
    reps = max((summary(o)["repeats"] for r in results.values() for o in r.values()
                if summary(o)), default=0)
    if has_old:
        note = (f"({CLOCKS[args.clock]}; {reps} passes per build from {args.rounds} process(es) "
                "per build. new/old: median of the ratios of adjacent passes, the same calls in "
                "both builds,\n so it is the ratio of edges/s and of calls/s alike; quartiles of "
                f"those ratios; new/old {other}: the same by the {other} clock)")
    else:
        note = (f"({CLOCKS[args.clock]}; {reps} passes from {args.rounds} process(es); "
                "spread = (max - min) / median of edges/s)")
    print_table("Throughput: sampled edges and calls per second, medians", header, rows, note)

    # 2. Against the floor.
    floor_cases = [c for c in results if "floor" in results[c] and results[c]["floor"].passes]
    if floor_cases:
        compared = ["old", "new"] if has_old else ["new"]
        rows = []
        for case in floor_cases:
            low = summary(results[case]["floor"])
            row = [workload_name(case.workload), case.size, str(case.batch)]
            new = summary(results[case]["new"])
            row.append(fmt(new and new["edges_per_call"], ",.0f"))
            row += [fmt(summary(results[case][label]) and
                        summary(results[case][label])["ns_per_edge"], ",.1f")
                    for label in compared]
            row.append(fmt(low and low["ns_per_edge"], ",.1f"))
            for label in compared:
                # floor edges/s over the build's = the build's time over the floor's.
                ratio = paired_ratios(results[case]["floor"], results[case][label], args.clock)
                row += [fmt(ratio and ratio[1], ".2f") + "x",
                        f"{ratio[0]:.2f}-{ratio[2]:.2f}" if ratio else "-"]
            rows.append(row)
        header = ["workload", "graph", "seeds", "edges/call"]
        header += [f"ns/edge {label}" for label in compared] + ["floor"]
        for label in compared:
            header += [f"{label}/floor", "quartiles"]
        pages = ("fresh result arrays" if args.floor_fresh_results
                 else "result arrays on the pages of the previous call's")
        print_table(
            "Against the floor: ns per sampled edge, medians (bench/floor: the same calls in "
            f"plain C++, {pages})",
            header, rows,
            f"({CLOCKS[args.clock]}; new/floor: median over adjacent passes of new's time per "
            "edge over the floor's, with its quartiles (old/floor alike);\n the floor's results "
            "are checked against new's in the Results table)")

    # 3. Memory.
    if args.memory:
        def ratio_of(memory: dict | None, peak: str, result: str) -> float | None:
            if not memory or peak not in memory or not memory.get(result):
                return None
            return memory[peak] / memory[result]

        for_builds = (["old", "new"] if has_old else ["new"])
        show = for_builds + (["floor"] if args.floor else [])
        header = ["workload", "graph", "seeds", "result MiB"]
        header += [f"peak MiB {b}" for b in for_builds]
        header += [f"peak/result {b}" for b in show]
        header += [f"steady {b}" for b in show]
        header += [f"kept MiB {b}" for b in for_builds]
        rows = []
        # W0's result is a few hundred bytes, below the page granularity of the peak.
        for case in (c for c in results if WORKLOADS[c.workload].graph != generate.WIDE):
            mem = {label: results[case][label].memory for label in show if label in results[case]}
            new = mem.get("new")
            result_bytes = (new or mem.get("old") or {}).get("result_bytes")
            row = [workload_name(case.workload), case.size, str(case.batch),
                   fmt(mib(result_bytes), ".2f")]
            row += [fmt(mib(mem[b]["peak_delta_bytes"]) if mem.get(b) else None, ".2f")
                    for b in for_builds]
            row += [fmt(ratio_of(mem.get(b), "peak_delta_bytes", "result_bytes"), ".2f")
                    for b in show]
            row += [fmt(ratio_of(mem.get(b), "steady_peak_delta_bytes", "steady_result_bytes"),
                        ".2f") for b in show]
            row += [fmt(mib(mem[b]["retained_bytes"]) if mem.get(b) else None, ".2f")
                    for b in for_builds]
            rows.append(row)
        reset = all(o.memory.get("peak_reset", False)
                    for r in results.values() for o in r.values() if o.memory)
        print_table(
            "Peak resident memory beyond the graph: the first call of a fresh sampler, and a "
            "later one (steady)",
            header, rows,
            "(peak = VmHWM during the call - VmRSS before the first call, including the returned "
            "arrays; result = bytes of the returned arrays;\n peak/result: of the first call; "
            f"steady: the same for call {args.check_calls} of the same sampler; kept = VmRSS "
            "after the first result is freed - VmRSS before it"
            + ("" if reset else "; WARNING: the peak could not be reset, it counts from "
               "process start") + ")")

    # 4. Scaling: cost per sampled edge.
    def ns(case: Case, label: str) -> str:
        s = summary(results[case][label]) if case in results else None
        return fmt(s and s["ns_per_edge"], ",.0f")

    def cell(case: Case) -> str:
        if not has_old:
            return ns(case, "new")
        return f"{ns(case, 'new')} / {ns(case, 'old')}"

    unit = "ns per sampled edge" + (", new / old" if has_old else "")
    sized = [s for s in main_cases if not WORKLOADS[s.workload].graph]
    sizes = list(dict.fromkeys(s.size for s in sized))
    names = list(dict.fromkeys(s.workload for s in sized))
    rows = [[workload_name(n)] + [cell(Case(n, z, WORKLOADS[n].batch)) for z in sizes]
            for n in names]
    print_table(f"Scaling with the graph ({unit}, default batch)", ["workload"] + sizes, rows)
    batch_names = sorted({s.workload for s in results if s.size == args.batch_graph
                          and s.batch in BATCH_SCALING})
    if args.batch_scaling and batch_names:
        rows = [[workload_name(n)] + [cell(Case(n, args.batch_graph, b)) for b in BATCH_SCALING]
                for n in batch_names]
        print_table(f"Scaling with the batch ({unit}, {args.batch_graph} graph)",
                    ["workload"] + [f"{b} seeds" for b in BATCH_SCALING], rows)

    # 5. Fixed cost of a call.
    fixed = [c for c in main_cases if WORKLOADS[c.workload].graph == generate.WIDE]
    if fixed:
        shown = labels + (["floor"] if args.floor else [])
        rows = []
        for case in fixed:
            row = [workload_name(case.workload), case.size, str(case.batch)]
            for label in shown:
                s_ = summary(results[case][label]) if label in results[case] else None
                row.append(fmt(s_ and 1e6 / s_["calls_per_s"], ",.1f"))
            new = summary(results[case]["new"])
            row.append(fmt(new and new["edges_per_call"], ",.0f"))
            rows.append(row)
        print_table("Fixed cost of a call: microseconds per call, medians",
                    ["workload", "graph", "seeds"] + [f"us/call {label}" for label in shown]
                    + ["edges/call"], rows,
                    f"({CLOCKS[args.clock]}; {WORKLOADS[fixed[0].workload].describe()})")

    # 5b. Temporal uniform selection against uniform selection of the same
    # request, per sampled edge.
    pairs = [(c, Case("W6", c.size, c.batch)) for c in main_cases if c.workload == "W5"]
    pairs = [(c, u) for c, u in pairs if u in results]
    if pairs:
        rows = []
        for case, against in pairs:
            drawn = summary(results[case]["new"])
            whole = summary(results[against]["new"])
            ratio = drawn and whole and drawn["ns_per_edge"] / whole["ns_per_edge"]
            rows.append([case.size, str(case.batch),
                         fmt(drawn and drawn["edges_per_call"], ",.0f"),
                         fmt(drawn and drawn["ns_per_edge"], ",.1f"),
                         fmt(whole and whole["edges_per_call"], ",.0f"),
                         fmt(whole and whole["ns_per_edge"], ",.1f"), fmt(ratio, ".2f") + "x"])
        print_table("Temporal uniform against uniform selection: W5 and W6, ns per sampled edge, "
                    "medians (new)",
                    ["graph", "seeds", "W5 edges/call", "W5 ns/edge", "W6 edges/call",
                     "W6 ns/edge", "W5/W6"], rows,
                    f"({CLOCKS[args.clock]}; both W1's request, W5 drawn among the edges up to "
                    "the seed time, W6 among whole columns without times)")

    # 6. Bit-identity of the results.
    floor_note = ("; the floor: its results of the checked calls against new's"
                  if args.floor else "")
    if has_old:
        note = ("(in every process a sampler with seed 123 and the same sequence of calls; "
                "timed calls: warm-up and passes of the serving processes,\n checked: the "
                "memory run; identical = the digests of both builds agree, and those of "
                f"repeated processes of one build too{floor_note})")
    else:
        note = ("(in every process a sampler with seed 123 and the same sequence of calls; "
                "the digest shown is that of the checked calls (the timed ones\n depend on the "
                "calibrated number of calls), comparable by hand with another run; --rounds 2 "
                f"compares processes of this build{floor_note})")
    print_table(
        "Results: sha256 over the six dictionaries of every call (keys, dtypes, shapes, bytes)",
        ["workload", "graph", "seeds", "calls timed + checked", "digest of checked",
         "verdict"], identity_rows, note)

    errors = [e for r in results.values() for o in r.values() for e in o.errors]
    if errors:
        print("\nFailed runs:")
        for e in errors:
            print("  " + e.replace("\n", "\n    "))
    if mismatches:
        print(f"\n{banner}\n#  RESULTS DIFFER" + (" BETWEEN THE BUILDS" if has_old else "")
              + f"\n{banner}")
        for m in mismatches:
            print(f"#  {m}")
        print(banner)
    if has_old and uncompared:
        print(f"\n{len(uncompared)} of {len(results)} measurements could not compare the "
              "results of new and old (see Failed runs).")
    elif has_old and not mismatches:
        print("\nAll results bit-identical between new and old.")
    return 1 if errors else 0


# --------------------------------------------------------------------- main

def parse_args(argv=None):
    p = argparse.ArgumentParser(
        description="Benchmarks of NeighborSampler.sample (medians and ratios, never pass/fail).")
    p.add_argument("--baseline", metavar="REV",
                   help="also build git revision REV and compare side by side (e.g. e20ab29)")
    p.add_argument("--sizes", default="small,medium",
                   help="graphs for W1-W3, comma-separated from small,medium,large "
                        "(default small,medium)")
    p.add_argument("--large", action="store_true", help="add the large graph (about 1e8 edges)")
    p.add_argument("--workloads", default="W1,W2,W3,W4,W0,W5,W6,W7",
                   help="default W1,W2,W3,W4,W0,W5,W6,W7 (W0 runs on its own wide graph, W7 "
                        "on the retail graph)")
    p.add_argument("--no-floor", dest="floor", action="store_false",
                   help="skip the floor (bench/floor) beside the measurements")
    p.add_argument("--floor-fresh-results", action="store_true",
                   help="the floor allocates every result array afresh, as the extension does, "
                        "instead of reusing the pages of the previous call's arrays")
    p.add_argument("--batch-graph", default="medium",
                   help="graph of the batch-scaling runs (default medium)")
    p.add_argument("--no-batch-scaling", dest="batch_scaling", action="store_false",
                   help="skip the 64 -> 4096 seed runs of W1 and W2")
    p.add_argument("--rounds", type=int, default=1,
                   help="serving processes per build and measurement (default 1)")
    p.add_argument("--passes", type=int, default=6,
                   help="timed passes per serving process, alternating between the builds "
                        "(default 6)")
    p.add_argument("--target", type=float, default=0.2,
                   help="seconds of one timed pass; sets the calls per pass (default 0.2)")
    p.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                   help="cpu (default): the calling thread's CPU time, which leaves out the "
                        "time spent waiting for a core on a shared machine; wall: elapsed time")
    p.add_argument("--check-calls", type=int, default=3,
                   help="calls of the memory/identity run (default 3)")
    p.add_argument("--no-memory", dest="memory", action="store_false",
                   help="skip the memory runs (the timed calls are still hashed)")
    p.add_argument("--graph-seed", type=int, default=0)
    p.add_argument("--json", metavar="PATH", help="also write the raw measurements as JSON")
    p.add_argument("--cpp", action="store_true",
                   help="run the C++ microbenchmark of the core instead of the workloads")
    p.add_argument("--cpp-filter", default="", help="Google Benchmark filter for --cpp")
    p.add_argument("--cpp-repetitions", type=int, default=2,
                   help="processes per benchmark and build, in turns (default 2)")
    p.add_argument("--cpp-inner", type=int, default=3,
                   help="Google Benchmark repetitions inside each process (default 3)")
    p.add_argument("--cpp-min-time", type=float, default=0.05,
                   help="Google Benchmark minimum time per repetition, seconds (default 0.05)")
    return p.parse_args(argv)


def header(builds: list[baseline.Build], args) -> None:
    import numpy

    print("NeighborSampler benchmarks")
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, Linux {platform.release()}; "
          f"CPython {platform.python_version()}, numpy {numpy.__version__}")
    for b in builds:
        print(f"{b.label}: {b.describe()}")


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.cpp:
        import cpp_bench
        return cpp_bench.run(args)

    builds = [baseline.current_build()]
    if args.baseline:
        builds.append(baseline.baseline_build(args.baseline))

    sizes = [s for s in args.sizes.split(",") if s]
    if args.large and "large" not in sizes:
        sizes.append("large")
    for size in sizes:
        if size not in generate.SIZES:
            raise SystemExit(f"unknown graph size {size!r}")
    names = [n for n in args.workloads.split(",") if n]
    for n in names:
        if n not in WORKLOADS:
            raise SystemExit(f"unknown workload {n!r} ({', '.join(WORKLOADS)})")

    cases = [Case(n, z, WORKLOADS[n].batch) for n in names if not WORKLOADS[n].graph
             for z in sizes]
    cases += [Case(n, WORKLOADS[n].graph, WORKLOADS[n].batch) for n in names
              if WORKLOADS[n].graph]
    if args.batch_scaling:
        cases += [Case(n, args.batch_graph, b) for n in names if n in ("W1", "W2")
                  for b in BATCH_SCALING]
    cases = list(dict.fromkeys(cases))
    for size in dict.fromkeys(s.size for s in cases):
        generate.ensure(size, args.graph_seed)

    header(builds, args)
    for size in dict.fromkeys(s.size for s in cases):
        edges = generate.SIZES.get(size, generate.WIDE_EDGES)
        if size == generate.RETAIL:
            edges = sum(4 * r for t, r in generate.RETAIL_ROWS.items()
                        if t in ("transactions", "reviews"))
        print(f"graph {size}: about {edges:,} edges, seed {args.graph_seed} "
              f"({generate.cache_path(size, args.graph_seed).name})")
    for name in names:
        print(f"{name} {WORKLOADS[name].describe()}; default {WORKLOADS[name].batch} seeds")

    results: dict[Case, dict[str, Outcome]] = {}
    start = time.perf_counter()
    for index, case in enumerate(cases, 1):
        log(f"[{index}/{len(cases)}] {case.label()} ({time.perf_counter() - start:.0f} s)")
        results[case] = measure(case, builds, args)
    log(f"measured in {time.perf_counter() - start:.0f} s")

    if args.json:
        raw = [{"case": case.__dict__, **{label: o.__dict__ for label, o in r.items()}}
               for case, r in results.items()]
        Path(args.json).write_text(json.dumps(raw, indent=1))
    return report(results, builds, args)


if __name__ == "__main__":
    sys.exit(main())
