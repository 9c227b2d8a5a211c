#ifndef REROZER_GRAPH_EDGE_TYPE_H_
#define REROZER_GRAPH_EDGE_TYPE_H_

#include <string>
#include <tuple>

namespace rerozer {

// (source node type, relation, destination node type). Names are byte
// strings as the caller gave them; no validation or escaping.
using EdgeType = std::tuple<std::string, std::string, std::string>;

// The key under which an edge type is filed in every dictionary and table:
// source + "__" + relation + "__" + destination, e.g.
//   ("author", "writes", "paper") -> "author__writes__paper".
// Names that contain "__" can make two edge types share one key.
std::string edge_type_key(const EdgeType& edge_type);

}  // namespace rerozer

#endif  // REROZER_GRAPH_EDGE_TYPE_H_
