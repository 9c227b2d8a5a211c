#ifndef REROZER_SAMPLING_LOCAL_INDEX_H_
#define REROZER_SAMPLING_LOCAL_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rerozer {

// The registry of the nodes one call sampled for one node type is a pair of
// lists: entry L is (examples[L], nodes[L]) and L is its local index. This
// table finds the local index of a pair in constant time on average.
//
// Open addressing with linear probing over 16-byte slots, kept at most half
// full. Pairs are never removed one by one; `clear` empties the table in
// time proportional to what the call entered (or in one sequential sweep
// when that is cheaper), so a table that grew for a large call costs
// nothing extra in later small ones. The table does not own the lists.
//
// Example indices and local indices are stored in 32 bits: entering an
// example index or a local index of 2^32 - 1 or more throws
// std::length_error.
class LocalIndex {
 public:
  // Returns the local index of (example, node); when the pair is absent it
  // is appended to `examples` and `nodes` and gets the next local index.
  int64_t find_or_add(int64_t example, int64_t node, std::vector<int64_t>& examples,
                      std::vector<int64_t>& nodes);

  // Makes room for `count` more pairs, so that the next `count` calls of
  // find_or_add (with example indices that were entered before) cannot fail
  // or move the table. Throws std::length_error when that many more local
  // indices would pass the 32-bit limit.
  void reserve_more(size_t count, const std::vector<int64_t>& examples,
                    const std::vector<int64_t>& nodes);

  // Hints the processor to load the slot where (example, node) would be
  // looked up first; registrations of a known run of nodes call this a few
  // nodes ahead so that the table's cache misses overlap.
  void prefetch(int64_t example, int64_t node) const {
    if (!slots_.empty()) {
      __builtin_prefetch(&slots_[home_slot(static_cast<uint32_t>(example), node)]);
    }
  }

  // Empties the table. The lists must hold exactly the pairs entered since
  // the last clear, in the order they were entered; they are not changed.
  void clear(const std::vector<int64_t>& examples, const std::vector<int64_t>& nodes);

  // Bytes the table holds, and the bytes a table of its current pairs
  // needs at the least.
  size_t capacity_bytes() const { return slots_.capacity() * sizeof(Slot); }
  size_t needed_bytes() const;
  // Frees the table's memory; it must be empty (cleared).
  void release();

 private:
  struct Slot {
    int64_t node;
    uint32_t example;
    uint32_t index_plus_one;  // 0 marks an empty slot
  };

  size_t home_slot(uint32_t example, int64_t node) const;
  // First slot on the probe path of the pair that holds it or is empty.
  size_t probe(uint32_t example, int64_t node) const;
  // Rebuilds at twice the capacity, entering the pairs in list order, so
  // that the probe paths stay those of a table filled in that order.
  void grow(const std::vector<int64_t>& examples, const std::vector<int64_t>& nodes);

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

}  // namespace rerozer

#endif  // REROZER_SAMPLING_LOCAL_INDEX_H_
