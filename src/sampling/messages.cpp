#include "sampling/messages.h"

namespace rerozer::messages {

std::string invalid_entity_table(const std::string& entity_table) {
  return "Invalid entity table '" + entity_table + "'.";
}

std::string seed_size_mismatch() { return "'seed_node' and 'seed_time' size mismatch."; }

std::string edge_type_in_both(const std::string& key) {
  return "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. '" +
         key + "' appears in both.";
}

std::string offsets_without_node_time(const std::string& key, const std::string& src) {
  return "'sampling_time_offsets' contains '" + key + "' but " + src +
         " is not included in 'node_time'.";
}

std::string offsets_not_n_by_2(const std::string& key) {
  return "'sampling_time_offsets' at '" + key + "' does not have shape (N, 2).";
}

std::string too_few_counts(const std::string& key, int64_t size, uint64_t num_hops) {
  return "'num_neighbors' at '" + key + "' has " + std::to_string(size) +
         " entries but the request has " + std::to_string(num_hops) + " hops.";
}

std::string non_sorted_neighborhood() { return "Found invalid non-sorted temporal neighborhood"; }

std::string unknown_node_type() { return "invalid unordered_map<K, T> key"; }

}  // namespace rerozer::messages
