#ifndef REROZER_SAMPLING_CALL_STATE_H_
#define REROZER_SAMPLING_CALL_STATE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/int64_list.h"
#include "sampling/local_index.h"

namespace rerozer {

// Everything one call collects for one node type. `out_batch` and `out_node`
// are the registry of sampled nodes: entry L is the pair
// (example index, node id) = (out_batch[L], out_node[L]) and L is its local
// index; `local_index` finds L from the pair. For example, seeds [7, 7] of
// the entity type give out_batch = [0, 1], out_node = [7, 7], i.e. the
// entries (0, 7) -> 0 and (1, 7) -> 1; a neighbour 3 found for example 1
// then becomes entry 2, (1, 3), and reaching it again for example 1 yields
// 2 without a new entry.
// [hop_begin, hop_end) is the frontier of the running hop. `out_time`
// stays empty unless the call records node times (CallState::record_times)
// and the type has times: then out_time[L] is the time of out_node[L],
// written as the entry is registered, unless `time_missing` says that a
// registered node lay outside the type's times (its out_time value is then
// a placeholder, and the type has no times in the result).
struct NodeState {
  Int64List out_batch;
  Int64List out_node;
  Int64List out_time;
  bool time_missing = false;
  LocalIndex local_index;
  std::vector<int64_t> num_sampled_nodes;
  int64_t hop_begin = 0;
  int64_t hop_end = 0;
};

// Everything one call records for one edge type key. num_sampled_edges
// starts with a 0 that the result leaves out; each hop appends one count.
struct EdgeState {
  std::vector<int64_t> num_sampled_edges;
  Int64List out_row;
  Int64List out_col;
};

// One edge selected for a frontier entry and not yet recorded: its row
// position, the example and the frontier entry's local index (both below
// 2^32, as registry indices are).
struct SelectedEdge {
  int64_t position;
  uint32_t example;
  uint32_t entry;
};

// Scratch lists of the selections, kept from call to call.
struct SelectionBuffers {
  // The selected edges waiting to be recorded: the first `pending` items
  // (the list is sized, not grown item by item).
  std::vector<SelectedEdge> selected;
  // One flag per candidate offset of a Floyd selection; all clear between
  // selections.
  std::vector<uint8_t> chosen_flags;
};

// The per-call working state of a sampler, indexed by the graph store's node
// and key slots. Reset at the start of every call and emptied after its
// result is built, so no call sees what an earlier one (even a failed one)
// left behind.
struct CallState {
  std::vector<NodeState> nodes;
  std::vector<EdgeState> edges;
  std::vector<int64_t> example_times;
  SelectionBuffers selection;

  // Whether the hops record the time of every node they register, for the
  // types that have times (NodeState::out_time). The caller's setting for
  // its next call; reset() and clear() leave it.
  bool record_times = false;

  // Where the lists take their blocks from first (may be null). Applied by
  // reset(); must outlive the calls.
  BlockPool* pool = nullptr;

  // Empties everything and sizes the tables for the given slot counts, with
  // the initial 0 entry of every count list and room for num_hops more.
  // Throws std::bad_alloc when that room cannot be had.
  void reset(size_t num_node_slots, size_t num_key_slots, size_t num_hops = 0);
  // Empties everything; the tables stay sized.
  void clear();
  // Ends the hops of a call: notes what its lists and tables hold (for
  // end_call) and empties the tables, which the result does not need, while
  // the lists still hold their pairs. The lists may then be handed over.
  void finish_hops();

  // Ends a call, returned or failed: empties everything and gives back the
  // memory beyond what steady calls need. When the lists and tables hold
  // more than kKeepBytes and more than four times what both this call and
  // the one before it used, all of it is freed. A run of similar calls keeps its
  // room; a one-off large call leaves nothing held after it.
  void end_call();
  static constexpr size_t kKeepBytes = size_t{4} << 20;

 private:
  template <class ListBytes, class TableBytes>
  size_t total_bytes(ListBytes list_bytes, TableBytes table_bytes) const;
  size_t used_bytes() const;
  size_t capacity_bytes() const;
  // Frees every list and table, which leaves the state empty.
  void release_memory();

  size_t previous_used_bytes_ = 0;
  size_t hops_used_bytes_ = 0;  // noted by finish_hops, for end_call
};

}  // namespace rerozer

#endif  // REROZER_SAMPLING_CALL_STATE_H_
