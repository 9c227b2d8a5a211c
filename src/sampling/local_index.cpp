#include "sampling/local_index.h"

#include <algorithm>
#include <stdexcept>

namespace rerozer {

namespace {

constexpr size_t kInitialCapacity = 64;
constexpr uint64_t kMaxStored = 0xFFFFFFFEULL;

uint32_t checked_u32(int64_t value, const char* what) {
  if (value < 0 || static_cast<uint64_t>(value) > kMaxStored) throw std::length_error(what);
  return static_cast<uint32_t>(value);
}

}  // namespace

size_t LocalIndex::home_slot(uint32_t example, int64_t node) const {
  uint64_t h = static_cast<uint64_t>(node) * 0x9E3779B97F4A7C15ULL;
  h ^= static_cast<uint64_t>(example) * 0xC2B2AE3D27D4EB4FULL;
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 29;
  return static_cast<size_t>(h) & mask_;
}

size_t LocalIndex::probe(uint32_t example, int64_t node) const {
  size_t slot = home_slot(example, node);
  while (true) {
    const Slot& s = slots_[slot];
    if (s.index_plus_one == 0 || (s.node == node && s.example == example)) return slot;
    slot = (slot + 1) & mask_;
  }
}

int64_t LocalIndex::find_or_add(int64_t example, int64_t node, std::vector<int64_t>& examples,
                                std::vector<int64_t>& nodes) {
  const uint32_t example32 = checked_u32(example, "example index too large for the local index");
  if ((size_ + 1) * 2 > slots_.size()) grow(examples, nodes);
  const size_t slot = probe(example32, node);
  Slot& s = slots_[slot];
  if (s.index_plus_one != 0) return static_cast<int64_t>(s.index_plus_one) - 1;
  const auto index = static_cast<int64_t>(nodes.size());
  const uint32_t index32 = checked_u32(index, "too many sampled nodes for the local index");
  // The lists grow first: if that fails, the table is left as it was.
  examples.push_back(example);
  nodes.push_back(node);
  s.node = node;
  s.example = example32;
  s.index_plus_one = index32 + 1;
  ++size_;
  return index;
}

void LocalIndex::reserve_more(size_t count, const std::vector<int64_t>& examples,
                              const std::vector<int64_t>& nodes) {
  if (count > kMaxStored || nodes.size() > kMaxStored - count) {
    throw std::length_error("too many sampled nodes for the local index");
  }
  while ((size_ + count) * 2 > slots_.size()) grow(examples, nodes);
}

void LocalIndex::grow(const std::vector<int64_t>& examples, const std::vector<int64_t>& nodes) {
  const size_t capacity = std::max(kInitialCapacity, slots_.size() * 2);
  std::vector<Slot> larger(capacity, Slot{0, 0, 0});
  slots_.swap(larger);
  mask_ = capacity - 1;
  for (size_t i = 0; i < size_; ++i) {
    const auto example = static_cast<uint32_t>(examples[i]);
    Slot& s = slots_[probe(example, nodes[i])];
    s.node = nodes[i];
    s.example = example;
    s.index_plus_one = static_cast<uint32_t>(i + 1);
  }
}

void LocalIndex::clear(const std::vector<int64_t>& examples, const std::vector<int64_t>& nodes) {
  if (size_ == 0) return;
  if (size_ * 8 >= slots_.size()) {
    std::fill(slots_.begin(), slots_.end(), Slot{0, 0, 0});
  } else {
    // Walking the pairs back in reverse order of entry, each pair's probe
    // path holds only pairs entered before it, which are still present.
    for (size_t i = size_; i-- > 0;) {
      slots_[probe(static_cast<uint32_t>(examples[i]), nodes[i])].index_plus_one = 0;
    }
  }
  size_ = 0;
}

size_t LocalIndex::needed_bytes() const {
  if (size_ == 0) return 0;
  size_t capacity = kInitialCapacity;
  while (capacity < size_ * 2) capacity *= 2;
  return capacity * sizeof(Slot);
}

void LocalIndex::release() {
  std::vector<Slot>().swap(slots_);
  mask_ = 0;
  size_ = 0;
}

}  // namespace rerozer
