#ifndef REROZER_MODULE_REQUEST_H_
#define REROZER_MODULE_REQUEST_H_

#include "module/python.h"

#include <cstddef>
#include <cstdint>
#include <exception>
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
//
// `keys` holds the graph's edge type keys as interpreter strings, in edge
// type order, and `allowed_keys` the same strings as a set; the caller makes
// both once, so that a call does not build and hash them again.
ValidatedRequest validate_request(const GraphStore& graph, const std::vector<py::str>& keys,
                                  const py::set& allowed_keys, const py::dict& num_neighbors,
                                  const py::dict& sampling_time_offsets,
                                  const std::string& entity_table, const py::array& seed_node,
                                  const py::array& seed_time);

// The per-hop parameters of a whole call, fetched from the request
// dictionaries under the interpreter lock before the hops run, so that the
// hops themselves need no interpreter. The fetches follow the hops' order
// (hop by hop, edge type by edge type) and are the lookups the hops would
// make: element h of the count array, or row h of the offsets as (lo, hi) or
// (None, hi), with the edge type looked up anew each time. (Plain
// dictionaries with str keys holding native int64 arrays are looked up once
// per edge type and read from the arrays' memory: no interpreter code runs
// between their fetches, so every later lookup would find the same array.)
//
// The first fetch that fails ends the fetching; its exception is kept and
// rethrown by fetch() at that same (hop, edge type), so the hops before it
// run, and draw, exactly as if each fetch had been made when its hop reached
// it. Python code that a lookup runs (a dict subclass's __getitem__, an
// __index__) thus runs before the hops instead of between them. An
// interrupt raised there (an exception that is not an Exception subclass:
// KeyboardInterrupt, SystemExit) is not kept: it propagates at once, before
// any hop runs.
class PrefetchedParameters : public ParameterSource {
 public:
  // Makes room for num_hops x edge types parameters in `storage` first
  // (std::bad_alloc when that is impossible, before any lookup), then
  // fetches them into it. `storage` is the caller's, reused from call to
  // call so that a call allocates nothing for it; it must outlive this
  // object. Pending signals are checked every few thousand fetches; an
  // exception raised by a signal handler propagates at once.
  PrefetchedParameters(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                       const ValidatedRequest& request, std::vector<HopParameters>& storage);

  // The parameters fetched for (hop, edge_index), or the kept exception
  // where fetching stopped. Needs no interpreter lock.
  HopParameters fetch(size_t hop, size_t edge_index) override;

 private:
  HopParameters fetch_now(size_t hop, size_t edge_index) const;
  // The fetch of plain dictionaries holding native int64 arrays, read from
  // the arrays' memory; false, having appended nothing, where the general
  // fetch must take over. Looks the key up at hop 0 only.
  bool fetch_quick(size_t hop, size_t edge_index);

  // The values that hop 0 found for an edge type (borrowed from the
  // dictionaries, valid while quick_ holds): its counts, else its offsets.
  struct Found {
    PyObject* counts = nullptr;
    PyObject* offsets = nullptr;
  };

  const py::dict& num_neighbors_;
  const py::dict& offsets_;
  const ValidatedRequest& request_;
  std::vector<HopParameters>& params_;
  std::exception_ptr failure_;
  bool quick_ = false;
  std::vector<Found> found_;
};

}  // namespace rerozer

#endif  // REROZER_MODULE_REQUEST_H_
