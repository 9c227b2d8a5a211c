#ifndef REROZER_BENCH_FLOOR_FLOOR_SAMPLER_H_
#define REROZER_BENCH_FLOOR_FLOOR_SAMPLER_H_

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "floor_input.h"
#include "pod_buffer.h"

namespace rerozer::bench {

class ResultPool;

// One result array. Its memory comes from malloc (fresh, as an array handed
// to a caller is), or from a ResultPool that takes it back when the array
// is destroyed, so that its pages stay mapped between calls.
class OutArray {
 public:
  OutArray() = default;
  OutArray(size_t size, ResultPool* pool);
  OutArray(OutArray&& other) noexcept
      : data_(other.data_), size_(other.size_), capacity_(other.capacity_), pool_(other.pool_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  OutArray(const OutArray&) = delete;
  OutArray& operator=(const OutArray&) = delete;
  OutArray& operator=(OutArray&&) = delete;
  ~OutArray();

  int64_t* data() { return data_; }
  const int64_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  int64_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  ResultPool* pool_ = nullptr;
};

// Buffers of freed result arrays, by capacity (powers of two), kept for the
// next call instead of going back to the allocator. Owns the buffers; must
// outlive every array it hands out. Single-threaded.
class ResultPool {
 public:
  ResultPool() = default;
  ResultPool(const ResultPool&) = delete;
  ResultPool& operator=(const ResultPool&) = delete;
  ~ResultPool();

  // A buffer of at least `size` values; sets `capacity` to its size.
  int64_t* acquire(size_t size, size_t& capacity);
  void release(int64_t* data, size_t capacity);

 private:
  std::vector<std::vector<int64_t*>> free_;  // by log2 of the capacity
};

// The six lists of one call, in the sampler's result order: out_row and
// out_col per edge type, out_node and out_batch per node type, then the
// per-hop counts per node type and per edge type.
struct FloorResult {
  std::vector<OutArray> out_row, out_col, out_node, out_batch, num_sampled_nodes,
      num_sampled_edges;
  size_t edges() const;
  size_t bytes() const;
};

// The fastest plain version of a `sample` call over a FloorGraph: the same
// selections (Floyd's algorithm over the same MT19937 draws reduced by
// `draw mod n`, most recent, time window) and the same (example, node)
// registration order as the extension, with no checks, no interpreter and
// one copy of each list out. The graph must be valid and sorted; it is not
// owned and must outlive the sampler. Examples and local indices are kept
// in 32 bits; graphs whose (example, node) pairs do not pack into 64 bits,
// or whose edge types have 2^32 rows or more, are refused by the
// constructor (std::runtime_error).
//
// Per (hop, edge type) the work is two sweeps:
//  1. selection: walk the frontier of the destination type, choose row
//     positions and record them with the frontier entry's local index, in
//     selection order, touching no table;
//  2. registration: look up or enter every selected source in one sweep,
//     prefetching the row entry kRowAhead and the table slot kSlotAhead
//     selections ahead.
class FloorSampler {
 public:
  // With `recycle_results`, result arrays take their memory from a pool of
  // this sampler, so they must be destroyed before the sampler.
  FloorSampler(const FloorGraph& graph, bool temporal, uint32_t seed, bool recycle_results);

  FloorResult sample(const std::vector<std::vector<HopRule>>& rules, size_t entity,
                     const std::vector<int64_t>& seed_node, const std::vector<int64_t>& seed_time);

 private:
  // The registry of one node type. Entry L is the packed key
  // (example << shift) | node, so seeds [7, 7] of a type with 16 nodes
  // (shift 4) are keys 7 and 23, local indices 0 and 1. The table maps a key
  // to L: open addressing with linear probing over 8-byte slots holding
  // (32-bit fingerprint << 32) | (L + 1), 0 for an empty slot, checked
  // against `keys` on a fingerprint match; at most half full.
  struct NodeState {
    unsigned shift = 0;
    uint64_t node_mask = 0;
    PodBuffer<uint64_t> keys;
    std::vector<uint64_t> slots;
    unsigned slot_shift = 64;  // home slot = hash >> slot_shift
    size_t hop_begin = 0;
    size_t hop_end = 0;
    std::vector<int64_t> counts;
  };
  struct EdgeState {
    PodBuffer<uint32_t> out_row;
    PodBuffer<uint32_t> out_col;
    std::vector<int64_t> counts;
  };

  void reset();
  // Makes room in the table of `node` for `more` entries beyond its list.
  static void reserve_table(NodeState& node, size_t more);
  static void clear_table(NodeState& node);
  void register_seeds(NodeState& node, const std::vector<int64_t>& seed_node);

  // Selection sweep; appends row positions to positions_ and frontier local
  // indices to edge.out_col. Returns the number of selected edges.
  size_t select_uniform(const FloorGraph::EdgeType& type, const NodeState& dst, int64_t k,
                        EdgeState& edge);
  // Most recent (the last k at or before the example time; all for k < 0)
  // or a time window, by rule.window.
  size_t select_temporal(const FloorGraph::EdgeType& type, const NodeState& dst,
                         const int64_t* time_src, const HopRule& rule, EdgeState& edge);
  // Registration sweep over the last `n` selections.
  void register_selected(const FloorGraph::EdgeType& type, const NodeState& dst, NodeState& src,
                         size_t n, EdgeState& edge);
  FloorResult copy_out();

  const FloorGraph& graph_;
  bool temporal_;
  std::mt19937 rng_;
  std::vector<NodeState> nodes_;
  std::vector<EdgeState> edges_;
  std::vector<int64_t> example_times_;
  PodBuffer<uint32_t> positions_;
  std::vector<uint8_t> chosen_;  // Floyd's chosen set for large k
  ResultPool pool_;
  bool recycle_results_;
};

}  // namespace rerozer::bench

#endif  // REROZER_BENCH_FLOOR_FLOOR_SAMPLER_H_
