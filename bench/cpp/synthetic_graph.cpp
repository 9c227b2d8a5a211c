#include "synthetic_graph.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <tuple>
#include <utility>

namespace rerozer::bench {

SyntheticGraph::SyntheticGraph(std::vector<std::string> node_types,
                               std::vector<EdgeType> edge_types)
    : node_types_(std::move(node_types)),
      edge_types_(std::move(edge_types)),
      colptr_(edge_types_.size()),
      row_(edge_types_.size()),
      node_time_(node_types_.size()) {}

namespace {

size_t index_of(const std::vector<std::string>& names, const std::string& name) {
  return static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

}  // namespace

void SyntheticGraph::set_edges(size_t j, const std::vector<int64_t>& src,
                               const std::vector<int64_t>& dst) {
  const std::vector<int64_t>& src_time =
      node_time_[index_of(node_types_, std::get<0>(edge_types_[j]))];
  const size_t num_dst = node_time_[index_of(node_types_, std::get<2>(edge_types_[j]))].size();
  struct Edge {
    int64_t dst;
    int64_t time;
    int64_t src;
  };
  std::vector<Edge> edges(src.size());
  for (size_t p = 0; p < src.size(); ++p) {
    edges[p] = {dst[p], src_time[static_cast<size_t>(src[p])], src[p]};
  }
  std::sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) {
    return std::tie(a.dst, a.time, a.src) < std::tie(b.dst, b.time, b.src);
  });
  std::vector<int64_t>& colptr = colptr_[j];
  std::vector<int64_t>& row = row_[j];
  colptr.assign(num_dst + 1, 0);
  row.resize(edges.size());
  for (size_t p = 0; p < edges.size(); ++p) {
    row[p] = edges[p].src;
    colptr[static_cast<size_t>(edges[p].dst) + 1] += 1;
  }
  std::partial_sum(colptr.begin(), colptr.end(), colptr.begin());
}

size_t SyntheticGraph::num_edges() const {
  size_t total = 0;
  for (const auto& r : row_) total += r.size();
  return total;
}

std::unique_ptr<GraphStore> SyntheticGraph::make_store(bool with_times) const {
  auto store = std::make_unique<GraphStore>(node_types_, edge_types_);
  for (size_t j = 0; j < edge_types_.size(); ++j) {
    const std::string key = edge_type_key(edge_types_[j]);
    store->file_colptr(key, Int64View{colptr_[j].data(), static_cast<int64_t>(colptr_[j].size())});
    store->file_row(key, Int64View{row_[j].data(), static_cast<int64_t>(row_[j].size())});
  }
  if (with_times) {
    for (size_t t = 0; t < node_types_.size(); ++t) {
      store->file_node_time(node_types_[t], Int64View{node_time_[t].data(),
                                                      static_cast<int64_t>(node_time_[t].size())});
    }
  }
  store->set_temporal(with_times);
  return store;
}

std::unique_ptr<SyntheticGraph> make_fixed_columns(int64_t num_columns, int64_t column_length,
                                                   int64_t num_sources,
                                                   int64_t distinct_per_column, uint64_t seed) {
  auto graph = std::make_unique<SyntheticGraph>(
      std::vector<std::string>{"src", "dst"}, std::vector<EdgeType>{{"src", "to", "dst"}});
  std::mt19937_64 rng(seed);
  std::vector<int64_t>& src_time = graph->node_time(0);
  src_time.resize(static_cast<size_t>(num_sources));
  for (int64_t s = 0; s < num_sources; ++s) src_time[static_cast<size_t>(s)] = 10 * s;
  graph->node_time(1).assign(static_cast<size_t>(num_columns), 0);

  std::uniform_int_distribution<int64_t> any_source(0, num_sources - 1);
  std::vector<int64_t> src;
  std::vector<int64_t> dst;
  const auto total = static_cast<size_t>(num_columns * column_length);
  src.reserve(total);
  dst.reserve(total);
  for (int64_t v = 0; v < num_columns; ++v) {
    std::vector<int64_t> pool;
    for (int64_t d = 0; d < distinct_per_column; ++d) pool.push_back(any_source(rng));
    for (int64_t e = 0; e < column_length; ++e) {
      src.push_back(distinct_per_column > 0 ? pool[static_cast<size_t>(e % distinct_per_column)]
                                            : any_source(rng));
      dst.push_back(v);
    }
  }
  graph->set_edges(0, src, dst);
  return graph;
}

std::unique_ptr<SyntheticGraph> make_shop(int64_t num_orders, uint64_t seed) {
  auto graph = std::make_unique<SyntheticGraph>(
      std::vector<std::string>{"customers", "products", "orders"},
      std::vector<EdgeType>{{"customers", "places", "orders"},
                            {"orders", "placed_by", "customers"},
                            {"products", "ordered_in", "orders"},
                            {"orders", "contains", "products"}});
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const int64_t num_customers = std::max<int64_t>(num_orders / 20, 4);
  const int64_t num_products = std::max<int64_t>(num_orders / 300, 4);

  auto uniform_times = [&](std::vector<int64_t>& times, int64_t n, int64_t span) {
    times.resize(static_cast<size_t>(n));
    for (auto& t : times) t = static_cast<int64_t>(unit(rng) * static_cast<double>(span));
  };
  uniform_times(graph->node_time(0), num_customers, kSpan);
  uniform_times(graph->node_time(1), num_products, kSpan * 9 / 10);

  // Power-law picks: id = permuted floor(n * u^skew), so low ranks are hot.
  auto power_law = [&](int64_t n, double skew) {
    std::vector<int64_t> permutation(static_cast<size_t>(n));
    std::iota(permutation.begin(), permutation.end(), int64_t{0});
    std::shuffle(permutation.begin(), permutation.end(), rng);
    std::vector<int64_t> picks(static_cast<size_t>(num_orders));
    for (auto& p : picks) {
      const auto rank = static_cast<int64_t>(static_cast<double>(n) * std::pow(unit(rng), skew));
      p = permutation[static_cast<size_t>(std::min(rank, n - 1))];
    }
    return picks;
  };
  const std::vector<int64_t> customer = power_law(num_customers, 2.5);
  const std::vector<int64_t> product = power_law(num_products, 3.0);

  std::vector<int64_t>& order_time = graph->node_time(2);
  order_time.resize(static_cast<size_t>(num_orders));
  for (size_t o = 0; o < order_time.size(); ++o) {
    const int64_t earliest =
        std::max(graph->node_time(0)[static_cast<size_t>(customer[o])],
                 graph->node_time(1)[static_cast<size_t>(product[o])]);
    order_time[o] =
        earliest + static_cast<int64_t>(unit(rng) * static_cast<double>(kSpan - earliest));
  }
  std::vector<int64_t> orders(static_cast<size_t>(num_orders));
  std::iota(orders.begin(), orders.end(), int64_t{0});
  graph->set_edges(0, customer, orders);
  graph->set_edges(1, orders, customer);
  graph->set_edges(2, product, orders);
  graph->set_edges(3, orders, product);
  return graph;
}

}  // namespace rerozer::bench
