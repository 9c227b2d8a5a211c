// Microbenchmarks of one selection and its registrations: Selector on the
// columns of a synthetic edge type, with a fresh CallState per batch of
// examples, as one hop of a call sees it. Items are recorded edges, so
// items_per_second is edges per second.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "graph/graph_store.h"
#include "graph/int64_view.h"
#include "sampling/call_state.h"
#include "sampling/random_source.h"
#include "sampling/selection.h"
#include "synthetic_graph.h"

namespace rerozer::bench {
namespace {

constexpr int64_t kExamples = 256;  // frontier entries per batch, one per example
constexpr int64_t kSources = int64_t{1} << 20;
constexpr int64_t kMaxEdges = 1'000'000;  // bound on the synthetic column storage

// One edge type src -> dst with fixed-length columns, and the call state a
// Selector records into. Frontier entry x (example x) asks for column
// x mod num_columns.
class SelectionSetup {
 public:
  SelectionSetup(int64_t column_length, int64_t distinct_per_column, bool with_times)
      : num_columns_(std::clamp<int64_t>(kMaxEdges / column_length, 1, kExamples)),
        graph_(make_fixed_columns(num_columns_, column_length, kSources, distinct_per_column,
                                  42)),
        key_(edge_type_key(graph_->edge_types()[0])),
        src_name_("src"),
        dst_name_("dst"),
        times_{graph_->node_time(0).data(), static_cast<int64_t>(graph_->node_time(0).size())} {
    rng_.seed(123);
    state_.reset(2, 1);
    edge_.key = &key_;
    edge_.src_type = &src_name_;
    edge_.dst_type = &dst_name_;
    edge_.colptr = Int64View{graph_->colptr(0).data(), static_cast<int64_t>(graph_->colptr(0).size())};
    edge_.row = Int64View{graph_->row(0).data(), static_cast<int64_t>(graph_->row(0).size())};
    edge_.time_src = with_times ? &times_ : nullptr;
  }

  // Starts a batch: an empty state (same table sizes, so the pointers in
  // the edge context stay valid).
  const EdgeContext& begin_batch() {
    state_.reset(2, 1);
    edge_.src = &state_.nodes[0];
    edge_.out = &state_.edges[0];
    return edge_;
  }
  int64_t column_of(int64_t x) const { return x % num_columns_; }
  int64_t column_begin(int64_t v) const { return graph_->colptr(0)[static_cast<size_t>(v)]; }
  int64_t column_end(int64_t v) const { return graph_->colptr(0)[static_cast<size_t>(v) + 1]; }
  int64_t recorded_edges() const {
    return static_cast<int64_t>(state_.edges[0].out_row.size());
  }
  RandomSource& rng() { return rng_; }

 private:
  int64_t num_columns_;
  std::unique_ptr<SyntheticGraph> graph_;
  std::string key_;
  std::string src_name_;
  std::string dst_name_;
  Int64View times_;
  RandomSource rng_;
  CallState state_;
  EdgeContext edge_;
};

// Uniform mode: k of N by Floyd's algorithm (k < N), or all (k < 0).
// Args: N, k.
void BM_UniformSelect(benchmark::State& state) {
  const int64_t n = state.range(0);
  const int64_t k = state.range(1);
  SelectionSetup setup(n, 0, false);
  Selector selector(setup.rng());
  int64_t edges = 0;
  for (auto _ : state) {
    const EdgeContext& edge = setup.begin_batch();
    for (int64_t x = 0; x < kExamples; ++x) {
      const int64_t v = setup.column_of(x);
      selector.sample_range(edge, x, x, setup.column_begin(v), setup.column_end(v), k);
    }
    edges += setup.recorded_edges();
  }
  state.SetItemsProcessed(edges);
}
BENCHMARK(BM_UniformSelect)
    ->ArgNames({"N", "k"})
    ->Args({16, 5})
    ->Args({16, 15})
    ->Args({256, 15})
    ->Args({256, 128})
    ->Args({4096, 15})
    ->Args({4096, 128})
    ->Args({65536, 15})
    ->Args({200000, 15})
    ->Args({64, -1})
    ->Args({512, -1});

// Registration when sources repeat within an example: columns of 64 edges
// over `distinct` source ids, all taken; 64 distinct means every edge
// registers a new node, 1 means one registration and 63 look-up hits.
void BM_RegisterRepeats(benchmark::State& state) {
  const int64_t distinct = state.range(0);
  SelectionSetup setup(64, distinct, false);
  Selector selector(setup.rng());
  int64_t edges = 0;
  for (auto _ : state) {
    const EdgeContext& edge = setup.begin_batch();
    for (int64_t x = 0; x < kExamples; ++x) {
      const int64_t v = setup.column_of(x);
      selector.sample_range(edge, x, x, setup.column_begin(v), setup.column_end(v), -1);
    }
    edges += setup.recorded_edges();
  }
  state.SetItemsProcessed(edges);
}
BENCHMARK(BM_RegisterRepeats)->ArgNames({"distinct"})->Arg(64)->Arg(16)->Arg(4)->Arg(1);

// The example times of the temporal benchmarks: spread over the source
// times (10 * id), so that a column's cut falls anywhere in it.
int64_t example_time(int64_t x) { return 10 * kSources * (x % 97 + 1) / 98; }

// Most-recent mode: the k latest of the edges at or before the example
// time. Args: N, k.
void BM_MostRecent(benchmark::State& state) {
  const int64_t n = state.range(0);
  const int64_t k = state.range(1);
  SelectionSetup setup(n, 0, true);
  Selector selector(setup.rng());
  int64_t edges = 0;
  for (auto _ : state) {
    const EdgeContext& edge = setup.begin_batch();
    for (int64_t x = 0; x < kExamples; ++x) {
      selector.sample_most_recent(edge, x, setup.column_of(x), x, k, example_time(x));
    }
    edges += setup.recorded_edges();
  }
  state.SetItemsProcessed(edges);
}
BENCHMARK(BM_MostRecent)
    ->ArgNames({"N", "k"})
    ->Args({16, 128})
    ->Args({256, 128})
    ->Args({4096, 128})
    ->Args({4096, 16});

// Time-window mode: every edge whose source time lies in the window of a
// tenth of the time range before the example time. Args: N.
void BM_TimeWindow(benchmark::State& state) {
  const int64_t n = state.range(0);
  SelectionSetup setup(n, 0, true);
  Selector selector(setup.rng());
  TimeWindow window;
  window.has_lo = true;
  window.lo = -kSources;  // a tenth of the time range 10 * kSources
  window.hi = 0;
  int64_t edges = 0;
  for (auto _ : state) {
    const EdgeContext& edge = setup.begin_batch();
    for (int64_t x = 0; x < kExamples; ++x) {
      selector.sample_time_window(edge, x, setup.column_of(x), x, window, example_time(x));
    }
    edges += setup.recorded_edges();
  }
  state.SetItemsProcessed(edges);
}
BENCHMARK(BM_TimeWindow)->ArgNames({"N"})->Arg(16)->Arg(256)->Arg(4096);

}  // namespace
}  // namespace rerozer::bench
