#include "sampling/int64_list.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

#include "sampling/allocation.h"

namespace rerozer {

Int64List::~Int64List() { std::free(data_); }

void Int64List::reserve(size_t count) {
  if (count <= capacity_) return;
  check_allocation(count, sizeof(int64_t));
  if (size_ == 0 && data_ != nullptr) {
    // Nothing to keep: a new block, rather than realloc copying the old.
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
  }
  if (data_ == nullptr && take_from_pool(count, count)) return;
  void* block = std::realloc(data_, count * sizeof(int64_t));
  if (block == nullptr) throw std::bad_alloc();
  data_ = static_cast<int64_t*>(block);
  capacity_ = count;
}

// A kept block of the pool for `needed` values at the least; any block up
// to twice `wanted` values will do, the larger the better.
bool Int64List::take_from_pool(size_t needed, size_t wanted) {
  if (pool_ == nullptr) return false;
  size_t bytes = 0;
  void* block = pool_->take(needed * sizeof(int64_t), 2 * wanted * sizeof(int64_t), bytes);
  if (block == nullptr) return false;
  data_ = static_cast<int64_t*>(block);
  capacity_ = bytes / sizeof(int64_t);
  return true;
}

void Int64List::grow_for(size_t needed) {
  constexpr size_t kFirstCapacity = 16;
  if (capacity_ != 0) {
    reserve(std::max(needed, 2 * capacity_));
    return;
  }
  // A list that was handed over starts at half as much again as it held
  // then: the next call's list is about as long, and growing past the
  // start would copy it. The hint serves one start only, so that one large
  // call does not make every later start large. A kept block of the pool
  // that holds what is needed now serves, even if it is smaller than that.
  const size_t start = std::max({needed, kFirstCapacity, released_size_ + released_size_ / 2});
  released_size_ = 0;
  if (data_ == nullptr && take_from_pool(needed, start)) return;
  try {
    reserve(start);
  } catch (const std::bad_alloc&) {
    if (start == needed) throw;
    reserve(needed);  // the hint is only a hint
  }
}

// Swaps the contents; each list keeps its pool and its growth hint.
void Int64List::swap(Int64List& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
}

int64_t* Int64List::release() {
  const size_t bytes = std::max<size_t>(size_ * sizeof(int64_t), 1);
  void* block = data_;
  if (block == nullptr) {
    block = std::malloc(bytes);
  } else if (pool_ == nullptr) {
    block = std::realloc(data_, bytes);
  }
  if (block == nullptr) throw std::bad_alloc();
  released_size_ = size_;
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  return static_cast<int64_t*>(block);
}

}  // namespace rerozer
