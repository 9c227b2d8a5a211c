#ifndef REROZER_SAMPLING_INT64_LIST_H_
#define REROZER_SAMPLING_INT64_LIST_H_

#include <cstddef>
#include <cstdint>

#include "sampling/block_pool.h"

namespace rerozer {

// A growable list of int64 values in one malloc'd block, for the working
// lists of a call. Unlike std::vector it
//  - grows with realloc, which moves large blocks by remapping their pages
//    instead of copying them;
//  - leaves the items that resize() adds uninitialised: the sweeps that fill
//    the lists make room for a run of values first and then store them
//    through a plain pointer, so zeroing that room would write every value
//    twice;
//  - can hand its block over (release()), so that a result array can take
//    the values without a copy.
// Allocation failures throw std::bad_alloc, and leave the list as it was.
class Int64List {
 public:
  Int64List() = default;
  Int64List(const Int64List&) = delete;
  Int64List& operator=(const Int64List&) = delete;
  Int64List(Int64List&& other) noexcept
      : released_size_(other.released_size_), pool_(other.pool_) {
    swap(other);
  }
  Int64List& operator=(Int64List&& other) noexcept {
    swap(other);
    return *this;
  }
  ~Int64List();

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  int64_t* data() { return data_; }
  const int64_t* data() const { return data_; }
  int64_t& operator[](size_t i) { return data_[i]; }
  const int64_t& operator[](size_t i) const { return data_[i]; }
  const int64_t* begin() const { return data_; }
  const int64_t* end() const { return data_ + size_; }
  const int64_t& back() const { return data_[size_ - 1]; }

  void push_back(int64_t value) {
    if (size_ == capacity_) grow_for(size_ + 1);
    data_[size_++] = value;
  }
  // Makes the capacity at least `count` (exactly `count` when it grows).
  void reserve(size_t count);
  // Makes room for `count` more values; grows at least geometrically.
  void reserve_more(size_t count) {
    if (capacity_ - size_ < count) grow_for(size_ + count);
  }
  // New values are left uninitialised.
  void resize(size_t count) {
    if (count > capacity_) reserve(count);
    size_ = count;
  }
  void clear() { size_ = 0; }
  void swap(Int64List& other) noexcept;

  // Hands over the block (at least one byte, so that an empty list also
  // yields a block), and leaves the list empty with no block. The caller
  // frees it with std::free, or gives it to the pool. Without a pool the
  // block is cut to size() values first. The next growth (only that one)
  // starts at one and a half times the released size, so that a list
  // handed over call after call is allocated once per call, not grown (and
  // copied) step by step.
  int64_t* release();

  // A list with a pool starts a new block with a kept block of the pool
  // when there is one large enough. The pool must outlive the list's use.
  void set_pool(BlockPool* pool) { pool_ = pool; }

 private:
  void grow_for(size_t needed);
  bool take_from_pool(size_t needed, size_t wanted);

  int64_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t released_size_ = 0;
  BlockPool* pool_ = nullptr;
};

}  // namespace rerozer

#endif  // REROZER_SAMPLING_INT64_LIST_H_
