#include "sampling/selection.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_set>

#include "graph/messages.h"
#include "sampling/messages.h"

namespace rerozer {

namespace {
// Below this many candidates the chosen set is a byte per candidate; above
// it a hash set of the picks, which holds at most k entries.
constexpr int64_t kChosenFlagLimit = 100000;
}  // namespace

Column read_column(const EdgeContext& edge, int64_t v) {
  if (v < 0 || v >= edge.colptr.size - 1) {
    throw std::out_of_range(
        messages::node_outside_colptr(v, *edge.dst_type, *edge.key, edge.colptr.size));
  }
  const int64_t begin = edge.colptr[v];
  const int64_t end = edge.colptr[v + 1];
  if (end <= begin) return {begin, begin};
  if (begin < 0 || end > edge.row.size) {
    throw std::out_of_range(
        messages::column_outside_row(v, *edge.key, begin, end, edge.row.size));
  }
  return {begin, end};
}

void Selector::sample_range(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin,
                            int64_t end, int64_t k) {
  const int64_t n = end - begin;
  if (k < 0 || k >= n) {
    add_all(edge, x, i, begin, end);
  } else {
    add_floyd(edge, x, i, begin, n, k);
  }
}

void Selector::add_all(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin,
                       int64_t end) {
  constexpr int64_t kPrefetchDistance = 8;
  const LocalIndex& local_index = edge.src->local_index;
  for (int64_t p = begin; p < end; ++p) {
    if (p + kPrefetchDistance < end) local_index.prefetch(x, edge.row[p + kPrefetchDistance]);
    add_sampled_edge(edge, p, x, i);
  }
}

// For j = N-k .. N-1, draw d in [0, j] and take d unless it is already
// taken, else take j (which cannot be taken yet): exactly k draws. The picks
// are drawn first and recorded afterwards in draw order, so that their cache
// misses (the row entries, then the registry slots) overlap. Room for all k
// is made before the first draw: recording cannot fail after a draw, so the
// draws made are exactly those of recording each pick at once.
void Selector::add_floyd(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin, int64_t n,
                         int64_t k) {
  reserve_more(edge, static_cast<size_t>(k));
  picks_.clear();
  if (n < kChosenFlagLimit) {
    if (chosen_flags_.size() < static_cast<size_t>(n)) {
      chosen_flags_.resize(static_cast<size_t>(n), 0);
    }
    for (int64_t j = n - k; j < n; ++j) {
      const int64_t d = rng_.random_index(j + 1);
      const int64_t pick = chosen_flags_[static_cast<size_t>(d)] ? j : d;
      chosen_flags_[static_cast<size_t>(pick)] = 1;
      picks_.push_back(pick);
    }
    for (int64_t pick : picks_) chosen_flags_[static_cast<size_t>(pick)] = 0;
  } else {
    std::unordered_set<int64_t> chosen;
    chosen.reserve(static_cast<size_t>(k));
    for (int64_t j = n - k; j < n; ++j) {
      const int64_t d = rng_.random_index(j + 1);
      const int64_t pick = chosen.insert(d).second ? d : j;
      if (pick == j) chosen.insert(j);
      picks_.push_back(pick);
    }
  }
  add_picks(edge, x, i, begin);
}

void Selector::add_picks(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin) {
  for (int64_t pick : picks_) __builtin_prefetch(edge.row.data + begin + pick);
  const LocalIndex& local_index = edge.src->local_index;
  pick_nodes_.clear();
  for (int64_t pick : picks_) {
    const int64_t u = edge.row[begin + pick];
    local_index.prefetch(x, u);
    pick_nodes_.push_back(u);
  }
  NodeState& src = *edge.src;
  EdgeState& out = *edge.out;
  for (int64_t u : pick_nodes_) {
    out.out_row.push_back(src.local_index.find_or_add(x, u, src.out_batch, src.out_node));
    out.out_col.push_back(i);
  }
  out.num_sampled_edges.back() += static_cast<int64_t>(pick_nodes_.size());
}

void Selector::reserve_more(const EdgeContext& edge, size_t count) {
  const auto grow = [count](std::vector<int64_t>& list) {
    if (list.capacity() - list.size() < count) {
      list.reserve(std::max(list.size() + count, 2 * list.capacity()));
    }
  };
  NodeState& src = *edge.src;
  grow(src.out_batch);
  grow(src.out_node);
  src.local_index.reserve_more(count, src.out_batch, src.out_node);
  grow(edge.out->out_row);
  grow(edge.out->out_col);
}

void Selector::sample_most_recent(const EdgeContext& edge, int64_t x, int64_t v, int64_t i,
                                  int64_t k, int64_t t) {
  if (k == 0) return;
  const Column column = read_column(edge, v);
  if (column.begin == column.end) return;
  int64_t begin = column.begin;
  const int64_t end = time_upper_bound(edge, begin, column.end, t);
  check_order(edge, begin, end);
  if (k > 0 && end - k > begin) begin = end - k;
  if (begin == end) return;
  sample_range(edge, x, i, begin, end, k);
}

void Selector::sample_time_window(const EdgeContext& edge, int64_t x, int64_t v, int64_t i,
                                  const TimeWindow& window, int64_t t) {
  const Column column = read_column(edge, v);
  if (column.begin == column.end) return;
  int64_t begin = column.begin;
  if (window.has_lo) {
    begin = time_upper_bound(edge, begin, column.end, add_wrapping(t, window.lo));
  }
  const int64_t end = time_upper_bound(edge, begin, column.end, add_wrapping(t, window.hi));
  check_order(edge, begin, end);
  if (begin == end) return;
  sample_range(edge, x, i, begin, end, end - begin);
}

void Selector::add_sampled_edge(const EdgeContext& edge, int64_t p, int64_t x, int64_t i) {
  NodeState& src = *edge.src;
  const int64_t local = src.local_index.find_or_add(x, edge.row[p], src.out_batch, src.out_node);
  EdgeState& out = *edge.out;
  out.num_sampled_edges.back() += 1;
  out.out_row.push_back(local);
  out.out_col.push_back(i);
}

int64_t Selector::time_upper_bound(const EdgeContext& edge, int64_t first, int64_t last,
                                   int64_t t) const {
  int64_t count = last - first;
  while (count > 0) {
    const int64_t half = count / 2;
    const int64_t mid = first + half;
    if (source_time(edge, mid) <= t) {
      first = mid + 1;
      count -= half + 1;
    } else {
      count = half;
    }
  }
  return first;
}

int64_t Selector::source_time(const EdgeContext& edge, int64_t p) const {
  const int64_t u = edge.row[p];
  const Int64View& times = *edge.time_src;
  if (!times.contains(u)) {
    throw std::out_of_range(
        messages::row_node_outside_node_time(u, *edge.key, *edge.src_type, times.size));
  }
  return times[u];
}

// Only the two ends are compared, so a range that passes may still be out of
// order inside; equal times pass.
void Selector::check_order(const EdgeContext& edge, int64_t begin, int64_t end) const {
  if (end - begin >= 2 && source_time(edge, begin) > source_time(edge, end - 1)) {
    throw std::runtime_error(messages::non_sorted_neighborhood());
  }
}

}  // namespace rerozer
