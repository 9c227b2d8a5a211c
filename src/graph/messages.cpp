#include "graph/messages.h"

namespace rerozer::messages {

namespace {
std::string quoted(const std::string& s) { return "'" + s + "'"; }
std::string entry(const std::string& dict, const std::string& key) {
  return dict + "[" + quoted(key) + "]";
}
}  // namespace

std::string invalid_key(const std::string& key_text, const std::string& name) {
  return "Invalid type " + quoted(key_text) + " found in " + name + ".";
}

std::string keyed_wrong_ndim(const std::string& key_text, const std::string& name, int ndim) {
  return "Type " + quoted(key_text) + " in " + name + " is not " + std::to_string(ndim) + "D.";
}

std::string keyed_not_int64(const std::string& key_text, const std::string& name) {
  return "Type " + quoted(key_text) + " in " + name + " must have dtype int64.";
}

std::string array_wrong_ndim(const std::string& name, int ndim) {
  return name + " is not " + std::to_string(ndim) + "D.";
}

std::string array_not_int64(const std::string& name) {
  return name + " must have dtype int64.";
}

std::string node_outside_colptr(int64_t node, const std::string& node_type,
                                const std::string& key, int64_t colptr_size) {
  return "Node id " + std::to_string(node) + " of type " + quoted(node_type) +
         " is out of range for " + entry("colptr", key) + " of length " +
         std::to_string(colptr_size) + ".";
}

std::string column_outside_row(int64_t node, const std::string& key, int64_t begin, int64_t end,
                               int64_t row_size) {
  return "Column " + std::to_string(node) + " of " + entry("colptr", key) + " spans [" +
         std::to_string(begin) + ", " + std::to_string(end) + "), outside " + entry("row", key) +
         " of length " + std::to_string(row_size) + ".";
}

std::string row_node_outside_node_time(int64_t node, const std::string& key,
                                       const std::string& node_type, int64_t time_size) {
  return "Node id " + std::to_string(node) + " in " + entry("row", key) +
         " is out of range for " + entry("node_time", node_type) + " of length " +
         std::to_string(time_size) + ".";
}

std::string seed_outside_node_time(int64_t node, const std::string& node_type,
                                   int64_t time_size) {
  return "Seed node id " + std::to_string(node) + " is out of range for " +
         entry("node_time", node_type) + " of length " + std::to_string(time_size) + ".";
}

}  // namespace rerozer::messages
