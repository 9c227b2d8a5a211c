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
// Up to this many picks the chosen set is a scan of the picks so far.
constexpr int64_t kScanLimit = 32;
// Prefetch distance of the uniform frontier walk: the column pointers.
constexpr int64_t kColumnAhead = 16;
// Frontier entries whose time searches run side by side.
constexpr size_t kLanes = 16;
// Prefetch distances of the flush, in pending edges: the row entry first,
// then, once it has arrived, the registry slot of its source.
constexpr size_t kRowAhead = 64;
constexpr size_t kSlotAhead = 32;
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

// Sweep of one frontier entry at a time: select, then record.
void Selector::sample_range(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin,
                            int64_t end, int64_t k) {
  select_range(edge, x, i, begin, end, k);
  flush(edge);
}

void Selector::sample_most_recent(const EdgeContext& edge, int64_t x, int64_t v, int64_t i,
                                  int64_t k, int64_t t) {
  select_most_recent(edge, x, v, i, k, t);
  flush(edge);
}

void Selector::sample_recent_uniform(const EdgeContext& edge, int64_t x, int64_t v, int64_t i,
                                     int64_t k, int64_t t) {
  select_recent_uniform(edge, x, v, i, k, t);
  flush(edge);
}

void Selector::sample_time_window(const EdgeContext& edge, int64_t x, int64_t v, int64_t i,
                                  const TimeWindow& window, int64_t t) {
  select_time_window(edge, x, v, i, window, t);
  flush(edge);
}

void Selector::select_uniform(const EdgeContext& edge, const NodeState& dst, int64_t k,
                              WorkMeter& meter) {
  const int64_t begin = dst.hop_begin;
  const int64_t end = dst.hop_end;
  // The frontier list may grow while it is walked (src == dst), so its
  // entries are read by position, never through a held pointer.
  for (int64_t i = begin; i < end; ++i) {
    if (i + kColumnAhead < end) {
      const int64_t ahead = dst.out_node[static_cast<size_t>(i + kColumnAhead)];
      if (edge.colptr.contains(ahead)) __builtin_prefetch(edge.colptr.data + ahead);
    }
    const int64_t x = dst.out_batch[static_cast<size_t>(i)];
    const int64_t v = dst.out_node[static_cast<size_t>(i)];
    const Column column = read_column(edge, v);
    const size_t before = pending_;
    if (column.begin != column.end) select_range(edge, x, i, column.begin, column.end, k);
    meter.add(1 + static_cast<int64_t>(pending_ - before));
    if (pending_ >= kFlushSize) flush(edge);
  }
  flush(edge);
}

void Selector::select_temporal(const EdgeContext& edge, const NodeState& dst,
                               const TemporalRule& rule, const std::vector<int64_t>& example_times,
                               WorkMeter& meter) {
  const int64_t begin = dst.hop_begin;
  const int64_t end = dst.hop_end;
  const int64_t lanes = static_cast<int64_t>(kLanes);
  const auto group_end = [end, lanes](int64_t group) { return std::min(end, group + lanes); };
  for (int64_t group = begin; group < end; group += lanes) {
    // Three groups ahead the column pointers, two ahead the row entry of
    // each column's first probe, one ahead that entry's source time.
    const auto prefetch_group = [&](int64_t ahead, int stage) {
      const int64_t from = group + ahead * lanes;
      for (int64_t i = from; i < std::min(end, from + lanes); ++i) {
        const int64_t v = dst.out_node[static_cast<size_t>(i)];
        if (!edge.colptr.contains(v) || !edge.colptr.contains(v + 1)) continue;
        if (stage == 0) {
          __builtin_prefetch(edge.colptr.data + v);
          continue;
        }
        // Checked before any arithmetic: the values are the caller's.
        const int64_t b = edge.colptr[v];
        const int64_t e = edge.colptr[v + 1];
        if (e <= b || b < 0 || e > edge.row.size) continue;
        const int64_t probe = b + (e - b) / 2;
        if (stage == 1) {
          __builtin_prefetch(edge.row.data + probe);
        } else {
          const int64_t u = edge.row[probe];
          if (edge.time_src->contains(u)) __builtin_prefetch(edge.time_src->data + u);
        }
      }
    };
    prefetch_group(3, 0);
    prefetch_group(2, 1);
    prefetch_group(1, 2);

    const int64_t last = group_end(group);
    const size_t before = pending_;
    if (!select_temporal_lanes(edge, dst, group, last, rule, example_times)) {
      for (int64_t i = group; i < last; ++i) {
        const int64_t x = dst.out_batch[static_cast<size_t>(i)];
        const int64_t v = dst.out_node[static_cast<size_t>(i)];
        const int64_t t = example_times[static_cast<size_t>(x)];
        if (rule.has_window) {
          select_time_window(edge, x, v, i, rule.window, t);
        } else if (rule.strategy == TemporalStrategy::kUniform) {
          select_recent_uniform(edge, x, v, i, rule.k, t);
        } else {
          select_most_recent(edge, x, v, i, rule.k, t);
        }
      }
    }
    meter.add((last - group) + static_cast<int64_t>(pending_ - before));
    if (pending_ >= kFlushSize) flush(edge);
  }
  flush(edge);
}

namespace {

// For every lane l < lanes: the first position p in [first[l], last[l])
// whose source time exceeds time[l] + offset (see add_offset), or last[l],
// written to first[l]. The
// probes are those of Selector::time_upper_bound, lane by lane, but the
// halving steps of all lanes run in turn, so that their loads (a row entry,
// then its source time) are independent and overlap. Returns false when a
// probed source has no time; the lanes' results are then meaningless.
bool time_upper_bounds(const Int64View& row, const Int64View& times, int64_t* first,
                       const int64_t* last, const int64_t* time, int64_t offset, bool saturating,
                       size_t lanes) {
  int64_t count[kLanes];
  int64_t bound[kLanes];
  for (size_t l = 0; l < lanes; ++l) {
    count[l] = last[l] - first[l];
    bound[l] = add_offset(time[l], offset, saturating);
  }
  const auto num_times = static_cast<uint64_t>(times.size);
  bool valid = true;
  for (bool active = true; active;) {
    active = false;
    for (size_t l = 0; l < lanes; ++l) {
      if (count[l] <= 0) continue;
      active = true;
      const int64_t half = count[l] / 2;
      const int64_t mid = first[l] + half;
      const int64_t u = row[mid];
      const bool has_time = static_cast<uint64_t>(u) < num_times;
      valid &= has_time;
      // Arithmetic rather than a branch: the comparison is a coin toss.
      const bool later = has_time && times[u] <= bound[l];
      first[l] = later ? mid + 1 : first[l];
      count[l] = later ? count[l] - half - 1 : half;
    }
  }
  return valid;
}

}  // namespace

bool Selector::select_temporal_lanes(const EdgeContext& edge, const NodeState& dst, int64_t first,
                                     int64_t last, const TemporalRule& rule,
                                     const std::vector<int64_t>& example_times) {
  if (!rule.has_window && rule.k == 0) return true;
  int64_t entry[kLanes];
  int64_t example[kLanes];
  int64_t begin[kLanes];
  int64_t end[kLanes];
  int64_t upper[kLanes];
  int64_t time[kLanes];
  size_t lanes = 0;
  // 1. The non-empty columns, one lane each.
  for (int64_t i = first; i < last; ++i) {
    const int64_t x = dst.out_batch[static_cast<size_t>(i)];
    const int64_t v = dst.out_node[static_cast<size_t>(i)];
    if (v < 0 || v >= edge.colptr.size - 1) return false;
    const int64_t b = edge.colptr[v];
    const int64_t e = edge.colptr[v + 1];
    if (e <= b) continue;
    if (b < 0 || e > edge.row.size) return false;
    entry[lanes] = i;
    example[lanes] = x;
    begin[lanes] = b;
    end[lanes] = e;
    time[lanes] = example_times[static_cast<size_t>(x)];
    ++lanes;
  }
  // 2. The searches: for a window its lower end first, then the upper.
  const Int64View& times = *edge.time_src;
  if (rule.has_window && rule.window.has_lo) {
    if (!time_upper_bounds(edge.row, times, begin, end, time, rule.window.lo,
                           rule.window.saturating, lanes)) {
      return false;
    }
  }
  for (size_t l = 0; l < lanes; ++l) upper[l] = begin[l];
  const int64_t upper_offset = rule.has_window ? rule.window.hi : 0;
  if (!time_upper_bounds(edge.row, times, upper, end, time, upper_offset, rule.window.saturating,
                         lanes)) {
    return false;
  }
  // 3. Order checks of the selected ranges' ends, as check_order does them.
  const auto num_times = static_cast<uint64_t>(times.size);
  for (size_t l = 0; l < lanes; ++l) {
    if (upper[l] - begin[l] < 2) continue;
    const int64_t a = edge.row[begin[l]];
    const int64_t z = edge.row[upper[l] - 1];
    if (static_cast<uint64_t>(a) >= num_times || static_cast<uint64_t>(z) >= num_times) {
      return false;
    }
    if (times[a] > times[z]) return false;
  }
  // 4. The selected positions, in frontier order (and so the draws of
  // uniform picks among the candidates, as one entry at a time makes them).
  if (!rule.has_window && rule.strategy == TemporalStrategy::kUniform) {
    for (size_t l = 0; l < lanes; ++l) {
      if (begin[l] < upper[l]) select_range(edge, example[l], entry[l], begin[l], upper[l], rule.k);
    }
    return true;
  }
  for (size_t l = 0; l < lanes; ++l) {
    int64_t b = begin[l];
    if (!rule.has_window && rule.k > 0 && upper[l] - rule.k > b) b = upper[l] - rule.k;
    if (b < upper[l]) select_all(edge, example[l], entry[l], b, upper[l]);
  }
  return true;
}

void Selector::select_range(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin,
                            int64_t end, int64_t k) {
  const int64_t n = end - begin;
  if (k < 0 || k >= n) {
    select_all(edge, x, i, begin, end);
  } else {
    select_floyd(edge, x, i, begin, n, k);
  }
}

void Selector::select_all(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin,
                          int64_t end) {
  make_room(edge, static_cast<size_t>(end - begin));
  const auto x32 = static_cast<uint32_t>(x);
  const auto i32 = static_cast<uint32_t>(i);
  Pending* out = pending_buffer_.data() + pending_;
  const int64_t n = end - begin;
  for (int64_t q = 0; q < n; ++q) out[q] = Pending{begin + q, x32, i32};
  pending_ += static_cast<size_t>(n);
}

// For j = N-k .. N-1, draw d in [0, j] and take d unless it is already
// taken, else take j (which cannot be taken yet): exactly k draws, picks in
// draw order. Room for all k is made before the first draw.
void Selector::select_floyd(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin,
                            int64_t n, int64_t k) {
  make_room(edge, static_cast<size_t>(k));
  const auto x32 = static_cast<uint32_t>(x);
  const auto i32 = static_cast<uint32_t>(i);
  Pending* out = pending_buffer_.data() + pending_;
  pending_ += static_cast<size_t>(k);
  if (k <= kScanLimit) {
    // Few picks: the chosen set is the picks so far.
    int64_t c = 0;
    for (int64_t j = n - k; j < n; ++j, ++c) {
      int64_t position = begin + rng_.random_index(j + 1);
      for (int64_t q = 0; q < c; ++q) {
        if (out[q].position == position) {
          position = begin + j;
          break;
        }
      }
      out[c] = Pending{position, x32, i32};
    }
  } else if (n < kChosenFlagLimit) {
    if (chosen_flags_.size() < static_cast<size_t>(n)) {
      chosen_flags_.resize(static_cast<size_t>(n), 0);
    }
    int64_t c = 0;
    for (int64_t j = n - k; j < n; ++j, ++c) {
      const int64_t d = rng_.random_index(j + 1);
      const int64_t pick = chosen_flags_[static_cast<size_t>(d)] ? j : d;
      chosen_flags_[static_cast<size_t>(pick)] = 1;
      out[c] = Pending{begin + pick, x32, i32};
    }
    for (int64_t q = 0; q < k; ++q) chosen_flags_[static_cast<size_t>(out[q].position - begin)] = 0;
  } else {
    std::unordered_set<int64_t> chosen;
    chosen.reserve(static_cast<size_t>(k));
    int64_t c = 0;
    for (int64_t j = n - k; j < n; ++j, ++c) {
      const int64_t d = rng_.random_index(j + 1);
      const int64_t pick = chosen.insert(d).second ? d : j;
      if (pick == j) chosen.insert(j);
      out[c] = Pending{begin + pick, x32, i32};
    }
  }
}

void Selector::make_room_slow(const EdgeContext& edge, size_t count) {
  const size_t total = pending_ + count;
  NodeState& src = *edge.src;
  // The source times only when they are recorded; the row list stands in
  // for them otherwise.
  Int64List* const lists[] = {&src.out_batch, &src.out_node, &edge.out->out_row,
                              &edge.out->out_col,
                              edge.record_time != nullptr ? &src.out_time : &edge.out->out_row};
  for (Int64List* list : lists) list->reserve_more(total);
  if (pending_buffer_.size() < total) {
    pending_buffer_.resize(std::max(total, 2 * pending_buffer_.size()));
  }
  // Every pending edge may add one value to each list.
  room_ = pending_buffer_.size();
  for (const Int64List* list : lists) room_ = std::min(room_, pending_ + list->capacity() - list->size());
}

void Selector::flush(const EdgeContext& edge) {
  room_ = 0;
  const size_t n = pending_;
  if (n == 0) return;
  EdgeState& out = *edge.out;
  const size_t recorded = out.out_row.size();
  out.out_row.resize(recorded + n);
  out.out_col.resize(recorded + n);
  int64_t* rows = out.out_row.data() + recorded;
  int64_t* cols = out.out_col.data() + recorded;
  if (edge.record_time != nullptr) {
    record_pending<true>(edge, rows, cols);
  } else {
    record_pending<false>(edge, rows, cols);
  }
  out.num_sampled_edges.back() += static_cast<int64_t>(n);
  pending_ = 0;
}

// The flush's sweep over the pending_ edges: rows[j] and cols[j] of edge j.
// With kRecordTime, an edge that registers its source (the local index it
// gets is the next one) also appends the source's time to src.out_time, or
// marks the type's times missing when the source lies outside them.
template <bool kRecordTime>
void Selector::record_pending(const EdgeContext& edge, int64_t* rows, int64_t* cols) {
  const size_t n = pending_;
  const Pending* pending = pending_buffer_.data();
  const Int64View row = edge.row;
  NodeState& src = *edge.src;
  Int64View times;
  int64_t* time_out = nullptr;
  size_t registered = 0;
  if (kRecordTime) {
    times = *edge.record_time;
    registered = src.out_time.size();
    src.out_time.resize(registered + n);  // room made with the other lists
    time_out = src.out_time.data();
  }
  {
    LocalIndex::Run run(src.local_index, src.out_batch, src.out_node, n);
    for (size_t j = 0; j < std::min(n, kRowAhead); ++j) {
      __builtin_prefetch(row.data + pending[j].position);
    }
    for (size_t j = 0; j < n; ++j) {
      if (j + kRowAhead < n) __builtin_prefetch(row.data + pending[j + kRowAhead].position);
      if (j + kSlotAhead < n) {
        const Pending& ahead = pending[j + kSlotAhead];
        const int64_t v = row[ahead.position];
        run.prefetch(LocalIndex::hash(ahead.example, v));
        if (kRecordTime && times.contains(v)) __builtin_prefetch(times.data + v);
      }
      const int64_t example = pending[j].example;
      const int64_t u = row[pending[j].position];
      rows[j] = run.find_or_add(example, u, LocalIndex::hash(example, u));
      cols[j] = pending[j].entry;
      if (kRecordTime && static_cast<size_t>(rows[j]) == registered) {
        if (times.contains(u)) {
          time_out[registered] = times[u];
        } else {
          time_out[registered] = 0;
          src.time_missing = true;
        }
        ++registered;
      }
    }
  }
  if (kRecordTime) src.out_time.resize(registered);
}

void Selector::select_most_recent(const EdgeContext& edge, int64_t x, int64_t v, int64_t i,
                                  int64_t k, int64_t t) {
  if (k == 0) return;
  const Column column = read_column(edge, v);
  if (column.begin == column.end) return;
  int64_t begin = column.begin;
  const int64_t end = time_upper_bound(edge, begin, column.end, t);
  check_order(edge, begin, end);
  if (k > 0 && end - k > begin) begin = end - k;
  if (begin == end) return;
  select_all(edge, x, i, begin, end);
}

// The candidates are those most-recent selection cuts from: the column up
// to the first source later than t, checked for order the same way. Of
// them, k are drawn as select_range draws over a whole column.
void Selector::select_recent_uniform(const EdgeContext& edge, int64_t x, int64_t v, int64_t i,
                                     int64_t k, int64_t t) {
  if (k == 0) return;
  const Column column = read_column(edge, v);
  if (column.begin == column.end) return;
  const int64_t end = time_upper_bound(edge, column.begin, column.end, t);
  check_order(edge, column.begin, end);
  if (column.begin == end) return;
  select_range(edge, x, i, column.begin, end, k);
}

void Selector::select_time_window(const EdgeContext& edge, int64_t x, int64_t v, int64_t i,
                                  const TimeWindow& window, int64_t t) {
  const Column column = read_column(edge, v);
  if (column.begin == column.end) return;
  int64_t begin = column.begin;
  if (window.has_lo) {
    begin = time_upper_bound(edge, begin, column.end, add_offset(t, window.lo, window.saturating));
  }
  const int64_t end =
      time_upper_bound(edge, begin, column.end, add_offset(t, window.hi, window.saturating));
  check_order(edge, begin, end);
  if (begin == end) return;
  select_all(edge, x, i, begin, end);
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
