#include "sampling/node_times.h"

#include <cstdint>

namespace rerozer {

namespace {
// Prefetch distance, in registry entries.
constexpr size_t kTimeAhead = 32;
}  // namespace

bool gather_node_times(const Int64View& times, const Int64List& nodes, Int64List& out_time) {
  const size_t n = nodes.size();
  out_time.resize(n);
  const auto num_times = static_cast<uint64_t>(times.size);
  const int64_t* node = nodes.data();
  int64_t* out = out_time.data();
  for (size_t j = 0; j < n && j < kTimeAhead; ++j) {
    if (static_cast<uint64_t>(node[j]) < num_times) __builtin_prefetch(times.data + node[j]);
  }
  for (size_t j = 0; j < n; ++j) {
    if (j + kTimeAhead < n) {
      const int64_t ahead = node[j + kTimeAhead];
      if (static_cast<uint64_t>(ahead) < num_times) __builtin_prefetch(times.data + ahead);
    }
    const int64_t u = node[j];
    if (static_cast<uint64_t>(u) >= num_times) {
      out_time.clear();
      return false;
    }
    out[j] = times.data[u];
  }
  return true;
}

}  // namespace rerozer
