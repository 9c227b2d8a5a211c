#ifndef REROZER_MODULE_REQUEST_H_
#define REROZER_MODULE_REQUEST_H_

#include "module/python.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "graph/graph_store.h"
#include "sampling/hop_expansion.h"

namespace rerozer {

namespace py = pybind11;

// A sample request that passed every check, with what the checks computed.
struct ValidatedRequest {
  size_t entity_slot = 0;
  size_t num_hops = 0;
  // The edge type keys as interpreter strings, in edge type order.
  std::vector<py::str> keys;
};

// Checks a request in a fixed order and stops at the first fault: the two
// dictionaries, the two seed arrays, the entity table, the seed sizes, then
// every edge type in order (in both dictionaries; in neither, KeyError;
// time-window edge types need source times and rows of two bounds). Finally
// every count array must cover all hops. Throws std::runtime_error with the
// fault's message, or passes the interpreter's error on.
ValidatedRequest validate_request(const GraphStore& graph, const py::dict& num_neighbors,
                                  const py::dict& sampling_time_offsets,
                                  const std::string& entity_table, const py::array& seed_node,
                                  const py::array& seed_time);

// Reads the parameters of each hop from the request dictionaries while the
// hops run, looking the edge type up anew each time: element h of its count
// array, or row h of its offsets as (lo, hi) or (None, hi).
class RequestParameters : public ParameterSource {
 public:
  RequestParameters(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                    const ValidatedRequest& request)
      : num_neighbors_(num_neighbors), offsets_(sampling_time_offsets), request_(request) {}

  HopParameters fetch(size_t hop, size_t edge_index) override;

 private:
  const py::dict& num_neighbors_;
  const py::dict& offsets_;
  const ValidatedRequest& request_;
};

}  // namespace rerozer

#endif  // REROZER_MODULE_REQUEST_H_
