// Microbenchmarks of whole hop expansions (expand_hops) on a synthetic shop
// graph, without the Python boundary: the three request shapes of the
// Python workloads, per call of 512 seeds. Items are recorded edges. The
// graph of 200,000 orders (800,000 edges) fits the last-level cache, the one
// of 1,000,000 orders (56 MB of arrays) does not.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "graph/graph_store.h"
#include "graph/int64_view.h"
#include "sampling/call_state.h"
#include "sampling/hop_expansion.h"
#include "sampling/random_source.h"
#include "synthetic_graph.h"

namespace rerozer::bench {
namespace {

constexpr int64_t kBatch = 512;
constexpr int kBatches = 16;  // distinct seed batches, used in turn

enum Workload : int64_t { kMostRecent = 1, kUniform = 2, kTimeWindow = 3 };

// The same parameters for every edge type: counts per hop, or a window.
class FixedParameters : public ParameterSource {
 public:
  FixedParameters(std::vector<int64_t> counts, bool window)
      : counts_(std::move(counts)), window_(window) {}
  HopParameters fetch(size_t hop, size_t) override {
    HopParameters params;
    if (window_) {
      params.has_window = true;
      params.window.has_lo = true;
      params.window.lo = -30 * kDay;
      params.window.hi = 0;
    } else {
      params.count = counts_[hop];
    }
    return params;
  }

 private:
  std::vector<int64_t> counts_;
  bool window_;
};

// Shop graphs by number of orders, built once per process.
const SyntheticGraph& shop(int64_t num_orders) {
  static std::map<int64_t, std::unique_ptr<SyntheticGraph>> graphs;
  auto& graph = graphs[num_orders];
  if (!graph) graph = make_shop(num_orders, 7);
  return *graph;
}

// Args: workload (1 most-recent, 2 uniform, 3 time windows), orders.
void BM_ExpandHops(benchmark::State& state) {
  const auto workload = static_cast<Workload>(state.range(0));
  const SyntheticGraph& graph = shop(state.range(1));
  const bool temporal = workload != kUniform;
  const std::unique_ptr<GraphStore> store = graph.make_store(temporal);

  // Seeds: customers (products for time windows), with times in the second
  // half of the span when the workload is temporal.
  const size_t entity = workload == kTimeWindow ? 1 : 0;
  const auto num_entities = static_cast<int64_t>(graph.num_nodes(entity));
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int64_t> any_node(0, num_entities - 1);
  std::uniform_int_distribution<int64_t> any_time(kSpan / 2, kSpan);
  std::vector<std::vector<int64_t>> seed_nodes(kBatches);
  std::vector<std::vector<int64_t>> seed_times(kBatches);
  for (int b = 0; b < kBatches; ++b) {
    for (int64_t i = 0; i < kBatch; ++i) {
      seed_nodes[static_cast<size_t>(b)].push_back(any_node(rng));
      if (temporal) seed_times[static_cast<size_t>(b)].push_back(any_time(rng));
    }
  }

  FixedParameters params(workload == kMostRecent ? std::vector<int64_t>{128, 128}
                                                 : std::vector<int64_t>{15, 10, 5},
                         workload == kTimeWindow);
  const size_t num_hops = workload == kUniform ? 3 : 2;
  RandomSource random;
  random.seed(123);
  CallState call_state;
  int64_t edges = 0;
  int64_t calls = 0;
  for (auto _ : state) {
    const auto b = static_cast<size_t>(calls % kBatches);
    Seeds seeds;
    seeds.entity_slot = entity;
    seeds.seed_node = Int64View{seed_nodes[b].data(), kBatch};
    seeds.seed_time = Int64View{seed_times[b].data(), static_cast<int64_t>(seed_times[b].size())};
    expand_hops(*store, seeds, num_hops, params, random, call_state);
    for (const EdgeState& edge : call_state.edges) {
      edges += static_cast<int64_t>(edge.out_row.size());
    }
    call_state.clear();
    ++calls;
  }
  state.SetItemsProcessed(edges);
  state.counters["edges/call"] =
      benchmark::Counter(calls ? static_cast<double>(edges) / static_cast<double>(calls) : 0.0);
  state.counters["graph_edges"] = benchmark::Counter(static_cast<double>(graph.num_edges()));
}
BENCHMARK(BM_ExpandHops)
    ->ArgNames({"workload", "orders"})
    ->Args({kMostRecent, 200'000})
    ->Args({kUniform, 200'000})
    ->Args({kTimeWindow, 200'000})
    ->Args({kMostRecent, 1'000'000})
    ->Args({kUniform, 1'000'000})
    ->Args({kTimeWindow, 1'000'000})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace rerozer::bench
