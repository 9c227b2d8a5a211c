#include "sampling/call_state.h"

#include <limits>
#include <new>
#include <stdexcept>

namespace rerozer {

void CallState::clear() {
  for (NodeState& node : nodes) {
    node.local_index.clear(node.out_batch, node.out_node);
    node.out_batch.clear();
    node.out_node.clear();
    node.num_sampled_nodes.clear();
    node.hop_begin = 0;
    node.hop_end = 0;
  }
  for (EdgeState& edge : edges) {
    edge.num_sampled_edges.clear();
    edge.out_row.clear();
    edge.out_col.clear();
  }
  example_times.clear();
}

void CallState::reset(size_t num_node_slots, size_t num_key_slots, size_t num_hops) {
  nodes.resize(num_node_slots);
  edges.resize(num_key_slots);
  clear();
  if (num_hops >= std::numeric_limits<size_t>::max() / sizeof(int64_t)) throw std::bad_alloc();
  try {
    for (NodeState& node : nodes) node.num_sampled_nodes.reserve(num_hops + 1);
    for (EdgeState& edge : edges) edge.num_sampled_edges.reserve(num_hops + 1);
  } catch (const std::length_error&) {
    throw std::bad_alloc();
  }
  for (NodeState& node : nodes) node.num_sampled_nodes.push_back(0);
  for (EdgeState& edge : edges) edge.num_sampled_edges.push_back(0);
}

}  // namespace rerozer
