#ifndef REROZER_GRAPH_MESSAGES_H_
#define REROZER_GRAPH_MESSAGES_H_

#include <cstdint>
#include <string>

// Texts of the errors raised while checking keyed array dictionaries and
// while reading the graph arrays. Each message is built in exactly one place
// so that tests can compare whole strings.
namespace rerozer::messages {

// "Invalid type 'a__to__b' found in colptr."
std::string invalid_key(const std::string& key_text, const std::string& name);
// "Type 'a__to__b' in colptr is not 1D."
std::string keyed_wrong_ndim(const std::string& key_text, const std::string& name, int ndim);
// "Type 'paper' in node_time must have dtype int64."
std::string keyed_not_int64(const std::string& key_text, const std::string& name);
// "seed_node is not 1D."
std::string array_wrong_ndim(const std::string& name, int ndim);
// "seed_time must have dtype int64."
std::string array_not_int64(const std::string& name);

// Bounds of the graph arrays, checked where they are read.
// "Node id 7 of type 'paper' is out of range for colptr['author__writes__paper'] of length 4."
std::string node_outside_colptr(int64_t node, const std::string& node_type,
                                const std::string& key, int64_t colptr_size);
// "Column 2 of colptr['author__writes__paper'] spans [3, 9), outside row['author__writes__paper']
// of length 5."
std::string column_outside_row(int64_t node, const std::string& key, int64_t begin, int64_t end,
                               int64_t row_size);
// "Node id 12 in row['author__writes__paper'] is out of range for node_time['author'] of
// length 10."
std::string row_node_outside_node_time(int64_t node, const std::string& key,
                                       const std::string& node_type, int64_t time_size);
// "Seed node id 5 is out of range for node_time['paper'] of length 3."
std::string seed_outside_node_time(int64_t node, const std::string& node_type,
                                   int64_t time_size);

}  // namespace rerozer::messages

#endif  // REROZER_GRAPH_MESSAGES_H_
