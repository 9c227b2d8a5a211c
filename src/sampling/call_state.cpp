#include "sampling/call_state.h"

#include <algorithm>

#include "sampling/allocation.h"

namespace rerozer {

void CallState::clear() {
  for (NodeState& node : nodes) {
    node.local_index.clear(node.out_batch, node.out_node);
    node.out_batch.clear();
    node.out_node.clear();
    node.out_time.clear();
    node.time_missing = false;
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
  for (NodeState& node : nodes) {
    node.out_batch.set_pool(pool);
    node.out_node.set_pool(pool);
    node.out_time.set_pool(pool);
  }
  for (EdgeState& edge : edges) {
    edge.out_row.set_pool(pool);
    edge.out_col.set_pool(pool);
  }
  check_allocation(num_hops, sizeof(int64_t));
  for (NodeState& node : nodes) node.num_sampled_nodes.reserve(num_hops + 1);
  for (EdgeState& edge : edges) edge.num_sampled_edges.reserve(num_hops + 1);
  for (NodeState& node : nodes) node.num_sampled_nodes.push_back(0);
  for (EdgeState& edge : edges) edge.num_sampled_edges.push_back(0);
}

namespace {

template <class List>
void free_list(List& list) {
  List().swap(list);
}

}  // namespace

// Adds up, over every list and table, what `list_bytes` says of a list and
// `table_bytes` of a table.
template <class ListBytes, class TableBytes>
size_t CallState::total_bytes(ListBytes list_bytes, TableBytes table_bytes) const {
  size_t total = list_bytes(example_times) + list_bytes(selection.selected) +
                 list_bytes(selection.chosen_flags);
  for (const NodeState& node : nodes) {
    total += list_bytes(node.out_batch) + list_bytes(node.out_node) + list_bytes(node.out_time) +
             list_bytes(node.num_sampled_nodes) + table_bytes(node.local_index);
  }
  for (const EdgeState& edge : edges) {
    total += list_bytes(edge.num_sampled_edges) + list_bytes(edge.out_row) +
             list_bytes(edge.out_col);
  }
  return total;
}

size_t CallState::used_bytes() const {
  return total_bytes([](const auto& list) { return list.size() * sizeof(list[0]); },
                     [](const LocalIndex& table) { return table.needed_bytes(); });
}

size_t CallState::capacity_bytes() const {
  return total_bytes([](const auto& list) { return list.capacity() * sizeof(list[0]); },
                     [](const LocalIndex& table) { return table.capacity_bytes(); });
}

void CallState::release_memory() {
  for (NodeState& node : nodes) {
    node.local_index.release();
    free_list(node.out_batch);
    free_list(node.out_node);
    free_list(node.out_time);
    free_list(node.num_sampled_nodes);
    node.hop_begin = 0;
    node.hop_end = 0;
  }
  for (EdgeState& edge : edges) {
    free_list(edge.num_sampled_edges);
    free_list(edge.out_row);
    free_list(edge.out_col);
  }
  free_list(example_times);
  free_list(selection.selected);
  free_list(selection.chosen_flags);
}

void CallState::finish_hops() {
  hops_used_bytes_ = used_bytes();
  for (NodeState& node : nodes) node.local_index.clear(node.out_batch, node.out_node);
}

void CallState::end_call() {
  const size_t used = std::max(used_bytes(), hops_used_bytes_);
  hops_used_bytes_ = 0;
  const size_t steady = std::min(used, previous_used_bytes_);
  previous_used_bytes_ = used;
  // Freeing empties as well, and skips clearing tables about to be freed.
  if (capacity_bytes() > std::max(kKeepBytes, 4 * steady)) {
    release_memory();
  } else {
    clear();
  }
}

}  // namespace rerozer
