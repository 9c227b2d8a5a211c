#ifndef REROZER_SAMPLING_INT64_LIST_H_
#define REROZER_SAMPLING_INT64_LIST_H_

#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace rerozer {

// std::allocator, except that resize() leaves new items of trivial types
// uninitialised: the sweeps that fill the working lists make room for a
// run of values first and then store them through a plain pointer, so
// zeroing that room would write every value twice.
template <class T>
class NoInitAllocator : public std::allocator<T> {
 public:
  template <class U>
  struct rebind {
    using other = NoInitAllocator<U>;
  };
  NoInitAllocator() noexcept = default;
  template <class U>
  NoInitAllocator(const NoInitAllocator<U>& /*other*/) noexcept {}

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible<U>::value) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T, class U>
bool operator==(const NoInitAllocator<T>& /*a*/, const NoInitAllocator<U>& /*b*/) noexcept {
  return true;
}
template <class T, class U>
bool operator!=(const NoInitAllocator<T>& /*a*/, const NoInitAllocator<U>& /*b*/) noexcept {
  return false;
}

// A working list of int64 values: a std::vector whose resize() does not
// zero what it adds.
using Int64List = std::vector<int64_t, NoInitAllocator<int64_t>>;

}  // namespace rerozer

#endif  // REROZER_SAMPLING_INT64_LIST_H_
