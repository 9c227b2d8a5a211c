#ifndef REROZER_SAMPLING_ALLOCATION_H_
#define REROZER_SAMPLING_ALLOCATION_H_

#include <cstddef>
#include <new>

namespace rerozer {

// Requests for more than this many bytes fail with std::bad_alloc before
// they are tried: no machine this runs on has that much memory, and some
// allocators (the sanitizers') abort the process on such a request instead
// of failing it.
constexpr size_t kMaxAllocationBytes = size_t{1} << 39;

// Throws std::bad_alloc unless `count` items of `item_bytes` bytes each stay
// within kMaxAllocationBytes.
inline void check_allocation(size_t count, size_t item_bytes) {
  if (item_bytes != 0 && count > kMaxAllocationBytes / item_bytes) throw std::bad_alloc();
}

}  // namespace rerozer

#endif  // REROZER_SAMPLING_ALLOCATION_H_
