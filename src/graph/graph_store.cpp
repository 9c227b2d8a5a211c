#include "graph/graph_store.h"

#include <utility>

namespace rerozer {

namespace {

// Numbers the distinct names of `names` in order of first appearance.
size_t slot_for(const std::string& name, std::unordered_map<std::string, size_t>& slot_of,
                std::vector<std::string>& slot_names) {
  auto [it, inserted] = slot_of.try_emplace(name, slot_names.size());
  if (inserted) slot_names.push_back(name);
  return it->second;
}

}  // namespace

GraphStore::GraphStore(std::vector<std::string> node_types, std::vector<EdgeType> edge_types)
    : node_types_(std::move(node_types)), edge_types_(std::move(edge_types)) {
  edge_type_keys_.reserve(edge_types_.size());
  for (const auto& edge_type : edge_types_) edge_type_keys_.push_back(edge_type_key(edge_type));

  node_type_slots_.reserve(node_types_.size());
  for (const auto& name : node_types_) {
    node_type_slots_.push_back(slot_for(name, node_slot_of_, node_slot_names_));
  }
  edge_type_slots_.reserve(edge_types_.size());
  for (size_t j = 0; j < edge_types_.size(); ++j) {
    EdgeTypeSlots slots;
    slots.key_slot = slot_for(edge_type_keys_[j], key_slot_of_, key_slot_names_);
    slots.src_slot = node_slot(std::get<0>(edge_types_[j]));
    slots.dst_slot = node_slot(std::get<2>(edge_types_[j]));
    edge_type_slots_.push_back(slots);
  }
  colptr_data_.resize(key_slot_names_.size());
  row_data_.resize(key_slot_names_.size());
  node_time_data_.resize(node_slot_names_.size());
  has_node_time_.assign(node_slot_names_.size(), 0);
}

int64_t GraphStore::node_slot(const std::string& node_type) const {
  auto it = node_slot_of_.find(node_type);
  return it == node_slot_of_.end() ? -1 : static_cast<int64_t>(it->second);
}

void GraphStore::file_colptr(const std::string& key, Int64View data) {
  colptr_data_[key_slot_of_.at(key)] = data;
}

void GraphStore::file_row(const std::string& key, Int64View data) {
  row_data_[key_slot_of_.at(key)] = data;
}

void GraphStore::file_node_time(const std::string& node_type, Int64View data) {
  size_t slot = node_slot_of_.at(node_type);
  node_time_data_[slot] = data;
  has_node_time_[slot] = 1;
}

}  // namespace rerozer
