#ifndef REROZER_GRAPH_INT64_VIEW_H_
#define REROZER_GRAPH_INT64_VIEW_H_

#include <cstdint>

namespace rerozer {

// A read-only window on `size` dense native-order int64 values starting at
// `data`. It does not own the memory: whoever hands one out keeps the memory
// alive and unchanged for as long as the view is used.
struct Int64View {
  const int64_t* data = nullptr;
  int64_t size = 0;

  int64_t operator[](int64_t i) const { return data[i]; }
  bool empty() const { return size == 0; }
  // True when i is a valid element index.
  bool contains(int64_t i) const { return i >= 0 && i < size; }
};

}  // namespace rerozer

#endif  // REROZER_GRAPH_INT64_VIEW_H_
