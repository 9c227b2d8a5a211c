#ifndef REROZER_SAMPLING_CALL_STATE_H_
#define REROZER_SAMPLING_CALL_STATE_H_

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace rerozer {

// Identity of a sampled node within one call: the pair (example index, node
// id). The same graph node reached for two examples is two entries.
struct NodeKey {
  int64_t example;
  int64_t node;
  bool operator==(const NodeKey& other) const {
    return example == other.example && node == other.node;
  }
};

struct NodeKeyHash {
  size_t operator()(const NodeKey& key) const {
    uint64_t h = static_cast<uint64_t>(key.example) * 0x9E3779B97F4A7C15ULL;
    h ^= static_cast<uint64_t>(key.node) + 0x7F4A7C159E3779B9ULL + (h << 6) + (h >> 2);
    return static_cast<size_t>(h);
  }
};

// Everything one call collects for one node type. `out_batch` and `out_node`
// are the registry of sampled nodes: entry L is the pair
// (out_batch[L], out_node[L]) and L is its local index. For example, seeds
// [7, 7] of the entity type give out_batch = [0, 1], out_node = [7, 7] and
// local_index = {(0, 7): 0, (1, 7): 1}; a neighbour 3 found for example 1
// then becomes entry 2, (1, 3).
// [hop_begin, hop_end) is the frontier of the running hop.
struct NodeState {
  std::vector<int64_t> out_batch;
  std::vector<int64_t> out_node;
  std::unordered_map<NodeKey, int64_t, NodeKeyHash> local_index;
  std::vector<int64_t> num_sampled_nodes;
  int64_t hop_begin = 0;
  int64_t hop_end = 0;
};

// Everything one call records for one edge type key. num_sampled_edges
// starts with a 0 that the result leaves out; each hop appends one count.
struct EdgeState {
  std::vector<int64_t> num_sampled_edges;
  std::vector<int64_t> out_row;
  std::vector<int64_t> out_col;
};

// The per-call working state of a sampler, indexed by the graph store's node
// and key slots. Reset at the start of every call and emptied after its
// result is built, so no call sees what an earlier one (even a failed one)
// left behind.
struct CallState {
  std::vector<NodeState> nodes;
  std::vector<EdgeState> edges;
  std::vector<int64_t> example_times;

  // Empties everything and sizes the tables for the given slot counts, with
  // the initial 0 entry of every count list.
  void reset(size_t num_node_slots, size_t num_key_slots);
  // Empties everything; the tables stay sized.
  void clear();
};

}  // namespace rerozer

#endif  // REROZER_SAMPLING_CALL_STATE_H_
