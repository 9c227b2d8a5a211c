#ifndef REROZER_SAMPLING_MESSAGES_H_
#define REROZER_SAMPLING_MESSAGES_H_

#include <cstdint>
#include <string>

// Texts of the errors raised while validating and running a sample request.
// Each message is built in exactly one place.
namespace rerozer::messages {

// "Invalid entity table 'users'."
std::string invalid_entity_table(const std::string& entity_table);
// "'seed_node' and 'seed_time' size mismatch."
std::string seed_size_mismatch();
// "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type.
// 'user__rates__item' appears in both."
std::string edge_type_in_both(const std::string& key);
// "'sampling_time_offsets' contains 'user__rates__item' but user is not included in
// 'node_time'."
std::string offsets_without_node_time(const std::string& key, const std::string& src);
// "'sampling_time_offsets' at 'user__rates__item' does not have shape (N, 2)."
std::string offsets_not_n_by_2(const std::string& key);
// "'num_neighbors' at 'user__rates__item' has 1 entries but the request has 2 hops."
std::string too_few_counts(const std::string& key, int64_t size, uint64_t num_hops);
// "Found invalid non-sorted temporal neighborhood"
std::string non_sorted_neighborhood();
// Raised (as an index error) for an edge type whose source or destination
// type is not one of the sampler's node types.
std::string unknown_node_type();

}  // namespace rerozer::messages

#endif  // REROZER_SAMPLING_MESSAGES_H_
