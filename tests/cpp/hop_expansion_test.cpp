#include "sampling/hop_expansion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "graph/graph_store.h"
#include "sampling/call_state.h"
#include "sampling/random_source.h"

namespace rerozer {
namespace {

using Ints = std::vector<int64_t>;

Ints ints(const Int64List& list) { return Ints(list.begin(), list.end()); }

Int64View view_of(const Ints& values) {
  return Int64View{values.data(), static_cast<int64_t>(values.size())};
}

// The same count for every edge type in every hop.
class FixedCount : public ParameterSource {
 public:
  explicit FixedCount(int64_t count) : count_(count) {}
  HopParameters fetch(size_t /*hop*/, size_t /*edge_index*/) override {
    HopParameters params;
    params.count = count_;
    return params;
  }

 private:
  int64_t count_;
};

// One node type p and one edge type p -> p, so that every registration
// appends to the list whose frontier is being walked.
class SelfLoopGraph {
 public:
  SelfLoopGraph(Ints colptr, Ints row)
      : colptr_(std::move(colptr)),
        row_(std::move(row)),
        graph_({"p"}, {EdgeType{"p", "cites", "p"}}) {
    graph_.file_colptr("p__cites__p", view_of(colptr_));
    graph_.file_row("p__cites__p", view_of(row_));
  }

  void expand(const Ints& seed_node, size_t num_hops, int64_t count) {
    seed_node_ = seed_node;
    Seeds seeds;
    seeds.entity_slot = static_cast<size_t>(graph_.node_slot("p"));
    seeds.seed_node = view_of(seed_node_);
    FixedCount params(count);
    rng_.seed(123);
    expand_hops(graph_, seeds, num_hops, params, rng_, state_);
  }

  const NodeState& nodes() const {
    return state_.nodes[static_cast<size_t>(graph_.node_slot("p"))];
  }
  const EdgeState& edges() const { return state_.edges[graph_.edge_type_slots()[0].key_slot]; }

 private:
  Ints colptr_;
  Ints row_;
  Ints seed_node_;
  GraphStore graph_;
  RandomSource rng_;
  CallState state_;
};

TEST(ExpandHopsTest, SelfLoopFrontierIsFixedWhenTheHopBegins) {
  // Node 0 <- 1, 2; node 1 <- 2; node 2 <- 3; node 3 has no edges.
  SelfLoopGraph graph({0, 2, 3, 4, 4}, {1, 2, 2, 3});
  graph.expand({0}, 2, -1);
  // Hop 0 expands seed 0 only (nodes 1 and 2 join the list while it is
  // walked but wait for hop 1); hop 1 finds 2 again (no new entry) and 3.
  EXPECT_EQ(ints(graph.nodes().out_node), (Ints{0, 1, 2, 3}));
  EXPECT_EQ(ints(graph.nodes().out_batch), (Ints{0, 0, 0, 0}));
  EXPECT_EQ(graph.nodes().num_sampled_nodes, (Ints{1, 2, 1}));
  EXPECT_EQ(ints(graph.edges().out_row), (Ints{1, 2, 2, 3}));
  EXPECT_EQ(ints(graph.edges().out_col), (Ints{0, 0, 1, 2}));
  EXPECT_EQ(graph.edges().num_sampled_edges, (Ints{0, 2, 2}));
}

TEST(ExpandHopsTest, SelfLoopListGrowsManyTimesWhileWalked) {
  // 64 seeds, each with 64 incoming edges from its own block of sources:
  // seed s has sources 1000 + 64 s + j. Hop 0 appends 4096 entries to the
  // list it is walking, forcing it to reallocate repeatedly.
  const int64_t n = 64;
  const int64_t num_nodes = 1000 + n * n;
  Ints colptr(static_cast<size_t>(num_nodes + 1), n * n);
  Ints row;
  for (int64_t s = 0; s <= n; ++s) colptr[static_cast<size_t>(s)] = s * n;
  for (int64_t s = 0; s < n; ++s) {
    for (int64_t j = 0; j < n; ++j) row.push_back(1000 + s * n + j);
  }
  Ints seeds;
  for (int64_t s = 0; s < n; ++s) seeds.push_back(s);
  SelfLoopGraph graph(colptr, row);
  graph.expand(seeds, 1, -1);

  const NodeState& nodes = graph.nodes();
  ASSERT_EQ(nodes.out_node.size(), static_cast<size_t>(n + n * n));
  EXPECT_EQ(nodes.num_sampled_nodes, (Ints{n, n * n}));
  const EdgeState& edges = graph.edges();
  ASSERT_EQ(edges.out_row.size(), static_cast<size_t>(n * n));
  for (int64_t e = 0; e < n * n; ++e) {
    const auto idx = static_cast<size_t>(e);
    const int64_t s = e / n;
    ASSERT_EQ(edges.out_col[idx], s);
    ASSERT_EQ(edges.out_row[idx], n + e);
    ASSERT_EQ(nodes.out_node[static_cast<size_t>(n + e)], 1000 + e);
    ASSERT_EQ(nodes.out_batch[static_cast<size_t>(n + e)], s);
  }
}

TEST(ExpandHopsTest, ResetsWhatAnEarlierExpansionLeft) {
  SelfLoopGraph graph({0, 2, 3, 4, 4}, {1, 2, 2, 3});
  graph.expand({0}, 2, -1);
  graph.expand({3}, 1, -1);
  EXPECT_EQ(ints(graph.nodes().out_node), (Ints{3}));
  EXPECT_EQ(graph.nodes().num_sampled_nodes, (Ints{1, 0}));
  EXPECT_TRUE(graph.edges().out_row.empty());
  EXPECT_EQ(graph.edges().num_sampled_edges, (Ints{0, 0}));
}

TEST(ExpandHopsTest, DuplicateSeedsAreSeparateExamples) {
  SelfLoopGraph graph({0, 2, 3, 4, 4}, {1, 2, 2, 3});
  graph.expand({0, 0}, 1, -1);
  EXPECT_EQ(ints(graph.nodes().out_node), (Ints{0, 0, 1, 2, 1, 2}));
  EXPECT_EQ(ints(graph.nodes().out_batch), (Ints{0, 1, 0, 0, 1, 1}));
  EXPECT_EQ(ints(graph.edges().out_row), (Ints{2, 3, 4, 5}));
  EXPECT_EQ(ints(graph.edges().out_col), (Ints{0, 0, 1, 1}));
}

}  // namespace
}  // namespace rerozer
