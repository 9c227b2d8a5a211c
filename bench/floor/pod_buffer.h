#ifndef REROZER_BENCH_FLOOR_POD_BUFFER_H_
#define REROZER_BENCH_FLOOR_POD_BUFFER_H_

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>

namespace rerozer::bench {

// A growable array of plain values that never initialises what it makes
// room for: the hot loops reserve once, write through a raw pointer and set
// the size afterwards, so no capacity check or zero fill runs per element.
// Owns its memory (malloc/realloc); movable, not copyable.
template <typename T>
class PodBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PodBuffer() = default;
  PodBuffer(const PodBuffer&) = delete;
  PodBuffer& operator=(const PodBuffer&) = delete;
  PodBuffer(PodBuffer&& other) noexcept
      : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
  }
  PodBuffer& operator=(PodBuffer&&) = delete;
  ~PodBuffer() { std::free(data_); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  void set_size(size_t size) { size_ = size; }
  void clear() { size_ = 0; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }

  // Room for `count` more values beyond size(); grows geometrically.
  void reserve_more(size_t count) { reserve(size_ + count); }
  // Room for `total` values; grows geometrically.
  void reserve(size_t total) {
    if (total <= capacity_) return;
    size_t capacity = capacity_ < 64 ? 64 : capacity_ * 2;
    while (capacity < total) capacity *= 2;
    void* grown = std::realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
  }
  void push_back(T value) {
    reserve_more(1);
    data_[size_++] = value;
  }

 private:
  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace rerozer::bench

#endif  // REROZER_BENCH_FLOOR_POD_BUFFER_H_
