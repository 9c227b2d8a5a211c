"""The loader's own cost on the shared workloads' request, in CPU seconds:
`Loader(workers=0)` against raw `sample` calls on one warm sampler, as
../shared/workloads/loader_overhead.py measures it by the wall clock (the
same graph, examples, 3 hops [16, 16, 8] and batch 512), but timed by this
thread's CPU clock, which other work on a shared machine moves far less.

    python bench/shared_loader.py [--rounds 5] [--scale 0.25]
    PYTHONPATH=build/bench-baseline/<commit>/install python bench/shared_loader.py

Rounds alternate the runs (in reverse order in odd rounds); prints the median
seconds of each and their ratio, and the median of the per-round ratios.
The second line runs another build's rerozer and rerozer_tables.

``--parts`` adds the loader's sampler calls alone (the data layer's sampler
seeded again per batch, as the loader does, with ``sample`` and with
``sample_batch``, which also writes each batch's edge_index and node times):
what the loader adds to its sampler calls, and what those add to the raw ones.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time

sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parent))

import generate  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", type=float, default=0.25)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--batch", type=int, default=512)
    parser.add_argument("--parts", action="store_true",
                        help="also time the loader's sampler calls alone (sample, sample_batch)")
    args = parser.parse_args()
    relgraph = generate.relgraph_module()
    import loader_overhead  # the shared folder is on the path now

    import rerozer_tables
    from rerozer_tables import Graph, Loader

    g = relgraph.build(args.scale)
    ids, times = loader_overhead.examples(g, 20000)
    hops = loader_overhead.HOPS
    graph = Graph(g["node_types"], [tuple(e) for e in g["edge_types"]], g["colptr"], g["row"],
                  g["node_time"], num_nodes=dict(g["counts"]))
    loader = Loader(graph, "customers", ids, times, batch_size=args.batch,
                    num_neighbors={tuple(e): hops for e in g["edge_types"]}, workers=0)
    nn = {"__".join(e): hops for e in g["edge_types"]}
    sampler = graph.sampler(7)

    def raw() -> int:
        edges = 0
        for i in range(0, len(ids), args.batch):
            out = sampler.sample(nn, {}, "customers", ids[i:i + args.batch],
                                 times[i:i + args.batch])
            edges += sum(v.size for v in out[0].values())
        return edges

    def epoch() -> int:
        return sum(int(v.shape[1]) for b in loader for v in b.edge_index.values())

    runs = {"raw": raw, "workers=0": epoch}
    if args.parts:
        from rerozer_tables._temporal import NeighborSampler as TemporalSampler

        kept = TemporalSampler(**graph.arguments(), seed=7, temporal_strategy="last")  # the loader's

        def calls(method: str) -> int:
            edges = 0
            for index, i in enumerate(range(0, len(ids), args.batch)):
                kept.reseed(loader.batch_seed(0, index))
                out = getattr(kept, method)(nn, {}, "customers", ids[i:i + args.batch],
                                            times[i:i + args.batch])
                edges += sum(v.size for v in out[0].values())
                del out  # as the loader drops a batch before it makes the next
            return edges

        runs["sample"] = lambda: calls("sample")
        runs["sample_batch"] = lambda: calls("sample_batch")
    for run in runs.values():
        run()
    seconds: dict[str, list[float]] = {k: [] for k in runs}
    edges = {}
    for r in range(args.rounds):
        for name in (list(runs) if r % 2 == 0 else list(runs)[::-1]):
            start = time.thread_time()
            edges[name] = runs[name]()
            seconds[name].append(time.thread_time() - start)
    ratios = [w / r for w, r in zip(seconds["workers=0"], seconds["raw"])]
    m = {k: statistics.median(v) for k, v in seconds.items()}
    print(f"{rerozer_tables.__file__}")
    print(f"CPU s/epoch raw {m['raw']:.3f}, workers=0 {m['workers=0']:.3f}: "
          f"{m['workers=0'] / m['raw']:.3f}x (median of round ratios {statistics.median(ratios):.3f}x,"
          f" range {min(ratios):.3f}-{max(ratios):.3f}); edges "
          f"{'same' if edges['raw'] == edges['workers=0'] else edges}")
    for name in runs:
        if name not in ("raw", "workers=0"):
            own = statistics.median(w / p for w, p in zip(seconds["workers=0"], seconds[name]))
            print(f"  {name:<12} {m[name]:.3f}: {m[name] / m['raw']:.3f}x raw; workers=0 / it "
                  f"{m['workers=0'] / m[name]:.3f}x (median of round ratios {own:.3f}x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
