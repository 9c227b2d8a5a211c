#include "graph/edge_type.h"

namespace rerozer {

std::string edge_type_key(const EdgeType& edge_type) {
  const auto& [src, rel, dst] = edge_type;
  std::string key;
  key.reserve(src.size() + rel.size() + dst.size() + 4);
  key.append(src).append("__").append(rel).append("__").append(dst);
  return key;
}

}  // namespace rerozer
