#ifndef REROZER_BENCH_CPP_SYNTHETIC_GRAPH_H_
#define REROZER_BENCH_CPP_SYNTHETIC_GRAPH_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "graph/edge_type.h"
#include "graph/graph_store.h"
#include "graph/int64_view.h"

namespace rerozer::bench {

// A graph owned by the benchmark: the CSC arrays of every edge type and the
// node times of every node type, in vectors that never move once built, so
// that the views handed to a GraphStore stay valid for the object's life.
// Not copyable or movable; hold it through the unique_ptr the builders
// return.
class SyntheticGraph {
 public:
  SyntheticGraph(std::vector<std::string> node_types, std::vector<EdgeType> edge_types);
  SyntheticGraph(const SyntheticGraph&) = delete;
  SyntheticGraph& operator=(const SyntheticGraph&) = delete;

  const std::vector<std::string>& node_types() const { return node_types_; }
  const std::vector<EdgeType>& edge_types() const { return edge_types_; }
  size_t num_nodes(size_t node_type) const { return node_time_[node_type].size(); }

  // Fills edge type j from (source, destination) pairs: one column per
  // destination node, each ordered by source time, then source id.
  void set_edges(size_t j, const std::vector<int64_t>& src, const std::vector<int64_t>& dst);
  std::vector<int64_t>& node_time(size_t node_type) { return node_time_[node_type]; }
  const std::vector<int64_t>& colptr(size_t j) const { return colptr_[j]; }
  const std::vector<int64_t>& row(size_t j) const { return row_[j]; }
  size_t num_edges() const;

  // A store over this graph's arrays (views, no copies): temporal with the
  // node times filed, or without any times.
  std::unique_ptr<GraphStore> make_store(bool with_times) const;

 private:
  std::vector<std::string> node_types_;
  std::vector<EdgeType> edge_types_;
  std::vector<std::vector<int64_t>> colptr_;
  std::vector<std::vector<int64_t>> row_;
  std::vector<std::vector<int64_t>> node_time_;
};

// Node types "src" and "dst", one edge type src__to__dst with
// `num_columns` columns of exactly `column_length` edges each. Sources are
// drawn from `num_sources` ids, or, when `distinct_per_column` > 0, each
// column repeats `distinct_per_column` ids (so registrations hit). The
// time of source s is 10 * s.
std::unique_ptr<SyntheticGraph> make_fixed_columns(int64_t num_columns, int64_t column_length,
                                                   int64_t num_sources,
                                                   int64_t distinct_per_column, uint64_t seed);

// A small shop: node types customers, products, orders; edge types
// customers__places__orders, orders__placed_by__customers,
// products__ordered_in__orders, orders__contains__products. Each order has
// one customer and one product drawn with power-law weights, and a time
// after both exist; times are seconds over three years.
std::unique_ptr<SyntheticGraph> make_shop(int64_t num_orders, uint64_t seed);

inline constexpr int64_t kDay = 86400;
inline constexpr int64_t kSpan = 3 * 365 * kDay;

}  // namespace rerozer::bench

#endif  // REROZER_BENCH_CPP_SYNTHETIC_GRAPH_H_
