#ifndef REROZER_SAMPLING_LOCAL_INDEX_H_
#define REROZER_SAMPLING_LOCAL_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/int64_list.h"

namespace rerozer {

// The registry of the nodes one call sampled for one node type is a pair of
// lists: entry L is (examples[L], nodes[L]) and L is its local index. This
// table finds the local index of a pair in constant time on average.
//
// Open addressing with linear probing over 8-byte slots, kept at most 70%
// full: a slot holds 32 bits of the pair's hash and L + 1 (0 marks an empty
// slot), and a slot whose hash bits match is confirmed against the lists. A
// cache line thus holds eight probes, and a lookup of a new pair (the common
// case) reads no list. Pairs are never removed one by one; `clear` empties
// the table in time proportional to what the call entered (or in one
// sequential sweep when that is cheaper), so a table that grew for a large
// call costs nothing extra in later small ones. The table does not own the
// lists.
//
// Example indices and local indices are at most 2^32 - 2: entering an
// example index or a local index beyond that throws std::length_error.
class LocalIndex {
 public:
  // Returns the local index of (example, node); when the pair is absent it
  // is appended to `examples` and `nodes` and gets the next local index.
  // When room cannot be had (std::bad_alloc, std::length_error) the table
  // may be left empty, so the lists no longer match it: the call that
  // failed must end there.
  int64_t find_or_add(int64_t example, int64_t node, Int64List& examples, Int64List& nodes);

  // Makes room for `count` more pairs, so that the next `count`
  // registrations (find_or_add, or a Run, with example indices that were
  // entered before) cannot fail or move the table. Throws std::length_error
  // when that many more local indices would pass the limit.
  void reserve_more(size_t count, const Int64List& examples, const Int64List& nodes) {
    if (count > kMaxStored - size_ || !fits(size_ + count, slots_.size())) {
      grow_for(count, examples, nodes);
    }
  }

  class Run;

  // Empties the table. The lists must hold exactly the pairs entered since
  // the last clear, in the order they were entered; they are not changed.
  void clear(const Int64List& examples, const Int64List& nodes);

  // Bytes the table holds, and the bytes a table of its current pairs
  // needs at the least.
  size_t capacity_bytes() const { return slots_.capacity() * sizeof(uint64_t); }
  size_t needed_bytes() const;
  // Frees the table's memory; it must be empty (cleared).
  void release();

  static uint64_t hash(int64_t example, int64_t node) {
    uint64_t h = static_cast<uint64_t>(node) ^ (static_cast<uint64_t>(example) * 0x9E3779B97F4A7C15ULL);
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 33;
    return h;
  }

 private:
  static constexpr size_t kMaxStored = 0xFFFFFFFEULL;
  // At most 7 in 10 slots are used: with eight slots to a cache line, a
  // lookup still reads about one line, and the table is a third smaller
  // than one kept half empty.
  static bool fits(size_t pairs, size_t capacity) { return pairs * 10 <= capacity * 7; }

  void grow_for(size_t count, const Int64List& examples, const Int64List& nodes);
  size_t home_slot(uint64_t h) const { return static_cast<size_t>(h >> shift_); }
  static uint64_t fingerprint(uint64_t h) { return h << 32; }
  // The slot that holds entry `index`, which must be present.
  size_t slot_of(size_t index, const Int64List& examples, const Int64List& nodes) const;
  // Rebuilds with at least `capacity` slots, entering the pairs in list
  // order, so that the probe paths stay those of a table filled in that
  // order.
  void rebuild(size_t capacity, const Int64List& examples, const Int64List& nodes);

  std::vector<uint64_t> slots_;
  unsigned shift_ = 64;  // home slot = hash >> shift_
  size_t mask_ = 0;
  size_t size_ = 0;
};

// A run of registrations for which room was made with reserve_more(count):
// at most `count` lookups as find_or_add does them, with no growth and no
// limit checks, and with the table's size and the list ends held in locals
// so that a long sweep does not reload them after every store. The lists
// are resized by `count` when the run starts and trimmed to what was
// entered when it ends. Nothing else may use the table or the lists while
// the run lasts.
class LocalIndex::Run {
 public:
  Run(LocalIndex& index, Int64List& examples, Int64List& nodes, size_t count)
      : index_(index),
        examples_list_(examples),
        nodes_list_(nodes),
        slots_(index.slots_.data()),
        mask_(index.mask_),
        shift_(index.shift_),
        size_(index.size_) {
    examples.resize(size_ + count);
    nodes.resize(size_ + count);
    examples_ = examples.data();
    nodes_ = nodes.data();
  }
  ~Run() {
    index_.size_ = size_;
    examples_list_.resize(size_);
    nodes_list_.resize(size_);
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  void prefetch(uint64_t h) const { __builtin_prefetch(slots_ + (h >> shift_)); }

  // The local index of (example, node), whose hash is h.
  int64_t find_or_add(int64_t example, int64_t node, uint64_t h) {
    size_t s = static_cast<size_t>(h >> shift_);
    const uint64_t fingerprint = h << 32;
    while (true) {
      const uint64_t slot = slots_[s];
      if (slot == 0) break;
      if ((slot & 0xFFFFFFFF00000000ULL) == fingerprint) {
        const size_t local = static_cast<uint32_t>(slot) - 1;
        if (nodes_[local] == node && examples_[local] == example) {
          return static_cast<int64_t>(local);
        }
      }
      s = (s + 1) & mask_;
    }
    const size_t local = size_++;
    examples_[local] = example;
    nodes_[local] = node;
    slots_[s] = fingerprint | (local + 1);
    return static_cast<int64_t>(local);
  }

 private:
  LocalIndex& index_;
  Int64List& examples_list_;
  Int64List& nodes_list_;
  uint64_t* slots_;
  size_t mask_;
  unsigned shift_;
  size_t size_;
  int64_t* examples_ = nullptr;
  int64_t* nodes_ = nullptr;
};

}  // namespace rerozer

#endif  // REROZER_SAMPLING_LOCAL_INDEX_H_
