#ifndef REROZER_GRAPH_INT64_VIEW_H_
#define REROZER_GRAPH_INT64_VIEW_H_

#include <cstdint>

namespace rerozer {

// A read-only window on `size` dense native-order int64 values starting at
// `data`. It does not own the memory: whoever hands one out keeps the memory
// alive for as long as the view is used.
//
// Another thread may write into the memory while it is read (the sampler
// reads the caller's arrays without the interpreter lock). Each element is
// therefore read by one relaxed atomic load, which compiles to a plain load:
// a value is read once into a local, checked, and used as checked, never
// read again behind the check. A racing write can change what is sampled,
// but never make a read leave its array.
struct Int64View {
  const int64_t* data = nullptr;
  int64_t size = 0;

  int64_t operator[](int64_t i) const { return __atomic_load_n(data + i, __ATOMIC_RELAXED); }
  bool empty() const { return size == 0; }
  // True when i is a valid element index.
  bool contains(int64_t i) const { return i >= 0 && i < size; }
};

}  // namespace rerozer

#endif  // REROZER_GRAPH_INT64_VIEW_H_
