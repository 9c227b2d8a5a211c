#include "sampling/local_index.h"

#include <algorithm>
#include <stdexcept>

#include "sampling/allocation.h"

namespace rerozer {

namespace {

constexpr size_t kInitialCapacity = 64;
constexpr uint64_t kMaxIndex = 0xFFFFFFFEULL;

void check_stored(int64_t value, const char* what) {
  if (value < 0 || static_cast<uint64_t>(value) > kMaxIndex) throw std::length_error(what);
}

unsigned log2_of(size_t power_of_two) {
  unsigned bits = 0;
  while ((size_t{1} << bits) < power_of_two) ++bits;
  return bits;
}

}  // namespace

int64_t LocalIndex::find_or_add(int64_t example, int64_t node, Int64List& examples,
                                Int64List& nodes) {
  check_stored(example, "example index too large for the local index");
  // The lists grow first: if that fails, the table is left as it was.
  examples.reserve_more(1);
  nodes.reserve_more(1);
  reserve_more(1, examples, nodes);
  Run run(*this, examples, nodes, 1);
  return run.find_or_add(example, node, hash(example, node));
}

void LocalIndex::grow_for(size_t count, const Int64List& examples, const Int64List& nodes) {
  if (count > kMaxStored || nodes.size() > kMaxStored - count) {
    throw std::length_error("too many sampled nodes for the local index");
  }
  if (fits(size_ + count, slots_.size())) return;
  size_t capacity = std::max(kInitialCapacity, slots_.size() * 2);
  while (!fits(size_ + count, capacity)) capacity *= 2;
  rebuild(capacity, examples, nodes);
}

void LocalIndex::rebuild(size_t capacity, const Int64List& examples, const Int64List& nodes) {
  check_allocation(capacity, sizeof(uint64_t));
  // The pairs are entered again from the lists, so the old slots go first:
  // the old and the new table are never held at once. If the new one cannot
  // be had, the table is left empty, which ends its use in the call that
  // failed (clear() then has nothing to undo).
  std::vector<uint64_t>().swap(slots_);
  try {
    slots_.assign(capacity, 0);
  } catch (...) {
    release();
    throw;
  }
  shift_ = 64 - log2_of(capacity);
  mask_ = capacity - 1;
  for (size_t i = 0; i < size_; ++i) {
    const uint64_t h = hash(examples[i], nodes[i]);
    size_t s = home_slot(h);
    while (slots_[s] != 0) s = (s + 1) & mask_;
    slots_[s] = fingerprint(h) | (i + 1);
  }
}

size_t LocalIndex::slot_of(size_t index, const Int64List& examples, const Int64List& nodes) const {
  size_t s = home_slot(hash(examples[index], nodes[index]));
  while (static_cast<uint32_t>(slots_[s]) != index + 1) s = (s + 1) & mask_;
  return s;
}

void LocalIndex::clear(const Int64List& examples, const Int64List& nodes) {
  if (size_ == 0) return;
  if (size_ * 8 >= slots_.size()) {
    std::fill(slots_.begin(), slots_.end(), 0);
  } else {
    // Walking the pairs back in reverse order of entry, each pair's probe
    // path holds only pairs entered before it, which are still present.
    for (size_t i = size_; i-- > 0;) slots_[slot_of(i, examples, nodes)] = 0;
  }
  size_ = 0;
}

size_t LocalIndex::needed_bytes() const {
  if (size_ == 0) return 0;
  size_t capacity = kInitialCapacity;
  while (!fits(size_, capacity)) capacity *= 2;
  return capacity * sizeof(uint64_t);
}

void LocalIndex::release() {
  std::vector<uint64_t>().swap(slots_);
  shift_ = 64;
  mask_ = 0;
  size_ = 0;
}

}  // namespace rerozer
