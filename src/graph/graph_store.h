#ifndef REROZER_GRAPH_GRAPH_STORE_H_
#define REROZER_GRAPH_GRAPH_STORE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "graph/edge_type.h"
#include "graph/int64_view.h"

namespace rerozer {

// Dense numbers of the two endpoint types and the key of one edge type, so
// that the sampling loops index vectors instead of hashing strings.
// A slot of -1 means the type is not one of the sampler's node types.
struct EdgeTypeSlots {
  size_t key_slot = 0;
  int64_t src_slot = -1;
  int64_t dst_slot = -1;
};

// The graph a sampler answers requests about: the node and edge types in
// the caller's order, the key of every edge type, and per key the CSC arrays
// of that edge type, per node type optionally the node times.
//
// One CSC column, for an edge type with three destination nodes:
//   colptr = [0, 2, 3, 3]   row = [4, 1, 1]
//   node 0 has incoming edges from sources 4 and 1 (positions 0 and 1),
//   node 1 from source 1 (position 2), node 2 has none.
// When times matter, each column is ordered by the time of its sources.
//
// The store holds views only: it does not own the array memory. Whoever
// files a view keeps its memory alive and unchanged for the store's life.
// Duplicate node type names, and edge types with equal keys, share one slot.
// Filed once at construction and read-only after that.
class GraphStore {
 public:
  GraphStore(std::vector<std::string> node_types, std::vector<EdgeType> edge_types);

  // Construction: file the arrays of one key or node type; filing again
  // under the same name replaces the view. Keys must be edge type keys and
  // names node type names (the caller has checked them).
  void file_colptr(const std::string& key, Int64View data);
  void file_row(const std::string& key, Int64View data);
  void file_node_time(const std::string& node_type, Int64View data);
  void set_temporal(bool temporal) { temporal_ = temporal; }

  const std::vector<std::string>& node_types() const { return node_types_; }
  const std::vector<EdgeType>& edge_types() const { return edge_types_; }
  const std::vector<std::string>& edge_type_keys() const { return edge_type_keys_; }
  bool temporal() const { return temporal_; }

  // Slot of a node type name, or -1 when it is not one of the node types.
  int64_t node_slot(const std::string& node_type) const;
  size_t num_node_slots() const { return node_slot_names_.size(); }
  const std::string& node_slot_name(size_t slot) const { return node_slot_names_[slot]; }
  // node_type_slots()[i] is the slot of node_types()[i].
  const std::vector<size_t>& node_type_slots() const { return node_type_slots_; }

  size_t num_key_slots() const { return key_slot_names_.size(); }
  const std::string& key_slot_name(size_t slot) const { return key_slot_names_[slot]; }
  // edge_type_slots()[j] belongs to edge_types()[j].
  const std::vector<EdgeTypeSlots>& edge_type_slots() const { return edge_type_slots_; }

  Int64View colptr_data(size_t key_slot) const { return colptr_data_[key_slot]; }
  Int64View row_data(size_t key_slot) const { return row_data_[key_slot]; }
  // Node times of a node slot, or nullptr when the type has none.
  const Int64View* node_time_data(size_t node_slot) const {
    return has_node_time_[node_slot] ? &node_time_data_[node_slot] : nullptr;
  }

 private:
  std::vector<std::string> node_types_;
  std::vector<EdgeType> edge_types_;
  std::vector<std::string> edge_type_keys_;
  bool temporal_ = false;

  std::unordered_map<std::string, size_t> node_slot_of_;
  std::vector<std::string> node_slot_names_;
  std::vector<size_t> node_type_slots_;
  std::unordered_map<std::string, size_t> key_slot_of_;
  std::vector<std::string> key_slot_names_;
  std::vector<EdgeTypeSlots> edge_type_slots_;

  std::vector<Int64View> colptr_data_;
  std::vector<Int64View> row_data_;
  std::vector<Int64View> node_time_data_;
  std::vector<char> has_node_time_;
};

}  // namespace rerozer

#endif  // REROZER_GRAPH_GRAPH_STORE_H_
