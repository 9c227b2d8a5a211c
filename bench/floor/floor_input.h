#ifndef REROZER_BENCH_FLOOR_FLOOR_INPUT_H_
#define REROZER_BENCH_FLOOR_FLOOR_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rerozer::bench {

// The graph the floor samples from, in the sampler's CSC layout, read from
// the file bench/floor.py exports. Node types and edge types are numbered
// in the order of the sampler's constructor arguments.
//
// Both files are streams of little-endian int64 values. The graph file:
//   magic kGraphMagic, version 1,
//   T, then per node type: num_nodes, has_time, [num_nodes times if has_time]
//   E, then per edge type: src, dst, len(colptr), colptr..., len(row), row...
// For example one column (node 0 of "paper" fed by authors 0 and 1) is
// colptr [0, 2], row [0, 1].
struct FloorGraph {
  struct NodeType {
    int64_t num_nodes = 0;
    bool has_time = false;
    std::vector<int64_t> time;
  };
  struct EdgeType {
    size_t src = 0;
    size_t dst = 0;
    std::vector<int64_t> colptr;
    std::vector<int64_t> row;
  };
  std::vector<NodeType> node_types;
  std::vector<EdgeType> edge_types;
};

// What one edge type does in one hop: a count (negative: all) or a window
// (t + lo, t + hi] around the example time (everything up to t + hi when
// !has_lo).
struct HopRule {
  int64_t count = 0;
  bool window = false;
  bool has_lo = false;
  int64_t lo = 0;
  int64_t hi = 0;
};

// One workload over a fixed sequence of seed batches. The case file:
//   magic kCaseMagic, version 1, temporal, entity, sampler_seed, num_hops,
//   per hop and edge type: window, count, has_lo, lo, hi
//   timed_calls, num_batches, then per batch: n, n seed nodes, m, m seed times
struct FloorCase {
  bool temporal = false;  // the sampler holds node times
  size_t entity = 0;
  uint32_t sampler_seed = 0;
  size_t num_hops = 0;
  std::vector<std::vector<HopRule>> rules;  // [hop][edge type]
  size_t timed_calls = 0;                   // batches per timed pass
  std::vector<std::vector<int64_t>> seed_node;
  std::vector<std::vector<int64_t>> seed_time;
};

inline constexpr int64_t kGraphMagic = 0x48505247524f4c46;  // "FLORGRPH"
inline constexpr int64_t kCaseMagic = 0x45534143524f4c46;   // "FLORCASE"

// Read the files; throw std::runtime_error on a short or foreign file.
FloorGraph read_graph(const std::string& path);
FloorCase read_case(const std::string& path, const FloorGraph& graph);

}  // namespace rerozer::bench

#endif  // REROZER_BENCH_FLOOR_FLOOR_INPUT_H_
