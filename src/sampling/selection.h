#ifndef REROZER_SAMPLING_SELECTION_H_
#define REROZER_SAMPLING_SELECTION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "graph/int64_view.h"
#include "sampling/call_state.h"
#include "sampling/random_source.h"

namespace rerozer {

// One edge type (src, relation, dst) as seen by one selection: its arrays,
// the registry of its source type and the result lists of its key. The
// pointers do not own; they stay valid for the whole call.
struct EdgeContext {
  const std::string* key = nullptr;       // edge type key, for messages
  const std::string* src_type = nullptr;  // source node type name, for messages
  const std::string* dst_type = nullptr;  // destination node type name, for messages
  Int64View colptr;
  Int64View row;
  const Int64View* time_src = nullptr;  // node times of src, nullptr when none
  NodeState* src = nullptr;
  EdgeState* out = nullptr;
};

// Positions [begin, end) of row that hold the incoming edges of one node;
// end >= begin always.
struct Column {
  int64_t begin;
  int64_t end;
};

// A time window relative to the example time: (t + lo, t + hi] when has_lo,
// else everything up to t + hi.
struct TimeWindow {
  bool has_lo = false;
  int64_t lo = 0;
  int64_t hi = 0;
};

// Reads the column of destination node v. Throws std::out_of_range when v
// is not a column of colptr, or when a non-empty column reaches outside row.
// A column whose end is before its start is empty.
Column read_column(const EdgeContext& edge, int64_t v);

// Picks edges for one frontier entry (x, v) with local index i, and records
// them. Uniform mode draws from the random source; the temporal modes never
// do. Every edge is recorded at once, in selection order. The entry is
// passed by value because a registration may grow the list it came from.
class Selector {
 public:
  explicit Selector(RandomSource& rng) : rng_(rng) {}

  // Takes all positions of [begin, end) in order when k < 0 or k >= N, else
  // k of them by Floyd's algorithm, recorded in draw order (exactly k draws).
  void sample_range(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin, int64_t end,
                    int64_t k);
  // Takes the k latest edges whose source time is at or before t (all of
  // them for k < 0). Throws std::runtime_error on a column out of order.
  void sample_most_recent(const EdgeContext& edge, int64_t x, int64_t v, int64_t i, int64_t k,
                          int64_t t);
  // Takes every edge whose source time lies in the window around t.
  void sample_time_window(const EdgeContext& edge, int64_t x, int64_t v, int64_t i,
                          const TimeWindow& window, int64_t t);
  // Records the edge at row position p: registers its source for example x
  // unless x already holds it, and appends the edge.
  void add_sampled_edge(const EdgeContext& edge, int64_t p, int64_t x, int64_t i);
  // First position p in [first, last) whose source time exceeds t, or last;
  // binary search that assumes the range is ordered by time.
  int64_t time_upper_bound(const EdgeContext& edge, int64_t first, int64_t last, int64_t t) const;

 private:
  int64_t source_time(const EdgeContext& edge, int64_t p) const;
  void check_order(const EdgeContext& edge, int64_t begin, int64_t end) const;

  // Makes room for `count` more registrations and recorded edges, so that
  // recording them cannot fail part-way.
  static void reserve_more(const EdgeContext& edge, size_t count);
  // Records the edges at positions begin + picks_[j], in order.
  void add_picks(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin);
  // Records every position of [begin, end) in order.
  void add_all(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin, int64_t end);
  // Floyd's algorithm over the N = end - begin candidates.
  void add_floyd(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin, int64_t n,
                 int64_t k);

  RandomSource& rng_;
  // One flag per candidate offset, for columns of fewer than
  // kChosenFlagLimit candidates. All clear between selections: a selection
  // clears exactly the flags it set.
  std::vector<uint8_t> chosen_flags_;
  std::vector<int64_t> picks_;
  std::vector<int64_t> pick_nodes_;
};

// t + offset with 64-bit two's-complement wrap-around.
inline int64_t add_wrapping(int64_t t, int64_t offset) {
  return static_cast<int64_t>(static_cast<uint64_t>(t) + static_cast<uint64_t>(offset));
}

}  // namespace rerozer

#endif  // REROZER_SAMPLING_SELECTION_H_
