#ifndef REROZER_SAMPLING_SELECTION_H_
#define REROZER_SAMPLING_SELECTION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "graph/int64_view.h"
#include "sampling/call_state.h"
#include "sampling/progress.h"
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
  // time_src when the call records the time of every source it registers
  // (into src->out_time), else nullptr.
  const Int64View* record_time = nullptr;
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
// else everything up to t + hi. The sums wrap around in 64 bits, or, when
// saturating, stop at the ends of the int64 range (so that a window before
// the earliest time never reaches to the end of time).
struct TimeWindow {
  bool has_lo = false;
  int64_t lo = 0;
  int64_t hi = 0;
  bool saturating = false;
};

// Reads the column of destination node v. Throws std::out_of_range when v
// is not a column of colptr, or when a non-empty column reaches outside row.
// A column whose end is before its start is empty.
Column read_column(const EdgeContext& edge, int64_t v);

// How a count k picks among the edges of a temporal edge type whose source
// time is at or before the example time (the candidates, a prefix of the
// column): the k latest of them (kLast), or k drawn at random among all of
// them as uniform selection draws over a whole column (kUniform). Either
// takes every candidate when k < 0 or k is at least their number.
enum class TemporalStrategy { kLast, kUniform };

// A rule of the temporal selections: k of the edges at or before the
// example time, picked by `strategy` (all of them for k < 0), or every edge
// in a time window.
struct TemporalRule {
  bool has_window = false;
  int64_t k = 0;
  TimeWindow window;
  TemporalStrategy strategy = TemporalStrategy::kLast;
};

// Picks edges for the frontier entries of one edge type and records them.
// Uniform mode draws from the random source; the temporal modes never do.
//
// Selection and recording are two passes. The select_* sweeps walk the
// frontier of the destination type in position order and append the chosen
// row positions (with the entry's example and local index) to a pending
// list, touching no registry; flush() then records the pending edges in
// selection order, registering each source for its example unless the
// example already holds it. Because the sources are known in advance, the
// flush prefetches their row entries and registry slots far ahead, so that
// those cache misses overlap instead of following each other. The pending
// list is flushed every kFlushSize edges and at the end of each sweep.
// When the edge type records source times (record_time), the flush also
// prefetches each source's time with its registry slot and writes it for
// every source it registers, so the times cost no pass of their own.
//
// Room for the pending edges in the registry and the result lists of the
// edge type is made before an entry's draws: recording cannot fail, so an
// allocation failure ends a call before the draws of the entry it happened
// at, as when every edge is recorded at once. A failure of any kind leaves
// pending edges that were never recorded; the call's state is then thrown
// away with the selector.
class Selector {
 public:
  static constexpr size_t kFlushSize = 2048;

  // The scratch lists are `buffers`, or the selector's own.
  explicit Selector(RandomSource& rng) : Selector(rng, own_buffers_) {}
  Selector(RandomSource& rng, SelectionBuffers& buffers)
      : rng_(rng), chosen_flags_(buffers.chosen_flags), pending_buffer_(buffers.selected) {}
  Selector(const Selector&) = delete;
  Selector& operator=(const Selector&) = delete;

  // Sweeps over the frontier [dst.hop_begin, dst.hop_end) of the edge
  // type's destination; each records what it selected before it returns.
  // Uniform: k of each column's edges by Floyd's algorithm (all of them
  // when k < 0 or k >= N). Temporal: by `rule`, with the example times.
  void select_uniform(const EdgeContext& edge, const NodeState& dst, int64_t k, WorkMeter& meter);
  void select_temporal(const EdgeContext& edge, const NodeState& dst, const TemporalRule& rule,
                       const std::vector<int64_t>& example_times, WorkMeter& meter);

  // One frontier entry (x, v) with local index i, selected and recorded at
  // once.
  // Takes all positions of [begin, end) in order when k < 0 or k >= N, else
  // k of them by Floyd's algorithm, recorded in draw order (exactly k draws).
  void sample_range(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin, int64_t end,
                    int64_t k);
  // Takes the k latest edges whose source time is at or before t (all of
  // them for k < 0). Throws std::runtime_error on a column out of order.
  void sample_most_recent(const EdgeContext& edge, int64_t x, int64_t v, int64_t i, int64_t k,
                          int64_t t);
  // Takes k edges drawn by Floyd's algorithm among those whose source time
  // is at or before t (all of them, in column order and without a draw,
  // when k < 0 or k is at least their number). Throws std::runtime_error
  // on a column out of order, before any draw.
  void sample_recent_uniform(const EdgeContext& edge, int64_t x, int64_t v, int64_t i, int64_t k,
                             int64_t t);
  // Takes every edge whose source time lies in the window around t.
  void sample_time_window(const EdgeContext& edge, int64_t x, int64_t v, int64_t i,
                          const TimeWindow& window, int64_t t);
  // First position p in [first, last) whose source time exceeds t, or last;
  // binary search that assumes the range is ordered by time.
  int64_t time_upper_bound(const EdgeContext& edge, int64_t first, int64_t last, int64_t t) const;

  // Records every pending edge, in selection order, and empties the list.
  void flush(const EdgeContext& edge);

 private:
  using Pending = SelectedEdge;

  int64_t source_time(const EdgeContext& edge, int64_t p) const;
  void check_order(const EdgeContext& edge, int64_t begin, int64_t end) const;

  // Selections of one entry, appended to the pending list.
  void select_range(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin, int64_t end,
                    int64_t k);
  void select_most_recent(const EdgeContext& edge, int64_t x, int64_t v, int64_t i, int64_t k,
                          int64_t t);
  void select_recent_uniform(const EdgeContext& edge, int64_t x, int64_t v, int64_t i, int64_t k,
                             int64_t t);
  void select_time_window(const EdgeContext& edge, int64_t x, int64_t v, int64_t i,
                          const TimeWindow& window, int64_t t);
  // Appends the positions [begin, end) in order.
  void select_all(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin, int64_t end);
  // Floyd's algorithm over the N = end - begin candidates.
  void select_floyd(const EdgeContext& edge, int64_t x, int64_t i, int64_t begin, int64_t n,
                    int64_t k);
  // The temporal selection of up to kLanes frontier entries from `first`,
  // with their time searches run side by side. Returns false, having
  // selected nothing, when an entry would fail (a column or a source time
  // out of range, a column out of order); the caller then selects the
  // entries one by one, which raises the failure of the first.
  bool select_temporal_lanes(const EdgeContext& edge, const NodeState& dst, int64_t first,
                             int64_t last, const TemporalRule& rule,
                             const std::vector<int64_t>& example_times);

  // Makes sure that `count` more pending edges fit in the lists they will
  // be recorded in and in the pending list (which grow geometrically), and
  // in the registry.
  // The registry grows only as far as the pending edges need (its room is
  // checked for every entry); the lists and the pending list grow in steps.
  void make_room(const EdgeContext& edge, size_t count) {
    if (pending_ + count > room_) make_room_slow(edge, count);
    edge.src->local_index.reserve_more(pending_ + count, edge.src->out_batch, edge.src->out_node);
  }
  void make_room_slow(const EdgeContext& edge, size_t count);
  template <bool kRecordTime>
  void record_pending(const EdgeContext& edge, int64_t* rows, int64_t* cols);

  RandomSource& rng_;
  SelectionBuffers own_buffers_;
  // One flag per candidate offset, for columns of fewer than
  // kChosenFlagLimit candidates. All clear between selections: a selection
  // clears exactly the flags it set.
  std::vector<uint8_t>& chosen_flags_;
  // The pending edges are the first pending_ items of pending_buffer_,
  // which is at least room_ long.
  std::vector<SelectedEdge>& pending_buffer_;
  size_t pending_ = 0;
  // Pending edges that the result lists of the current edge type and the
  // pending list have room for.
  size_t room_ = 0;
};

// t + offset with 64-bit two's-complement wrap-around.
inline int64_t add_wrapping(int64_t t, int64_t offset) {
  return static_cast<int64_t>(static_cast<uint64_t>(t) + static_cast<uint64_t>(offset));
}

// t + offset held at the ends of the int64 range.
inline int64_t add_saturating(int64_t t, int64_t offset) {
  if (offset > 0 && t > INT64_MAX - offset) return INT64_MAX;
  if (offset < 0 && t < INT64_MIN - offset) return INT64_MIN;
  return t + offset;
}

// t + offset as the window asks for it.
inline int64_t add_offset(int64_t t, int64_t offset, bool saturating) {
  return saturating ? add_saturating(t, offset) : add_wrapping(t, offset);
}

}  // namespace rerozer

#endif  // REROZER_SAMPLING_SELECTION_H_
