#ifndef REROZER_SAMPLING_HOP_EXPANSION_H_
#define REROZER_SAMPLING_HOP_EXPANSION_H_

#include <cstddef>
#include <cstdint>

#include "graph/graph_store.h"
#include "graph/int64_view.h"
#include "sampling/call_state.h"
#include "sampling/progress.h"
#include "sampling/random_source.h"
#include "sampling/selection.h"

namespace rerozer {

// The request parameters of one edge type in one hop: a neighbour count, or
// a time window (has_window), never both.
struct HopParameters {
  int64_t count = 0;
  bool has_window = false;
  TimeWindow window;
};

// Supplies the per-hop parameters while the hops run. Fetching may fail (a
// missing offsets row, an unreadable bound); the failure ends the call at
// that point, after the draws already made.
class ParameterSource {
 public:
  virtual ~ParameterSource() = default;
  // Parameters of edge_types()[edge_index] in hop `hop`.
  virtual HopParameters fetch(size_t hop, size_t edge_index) = 0;
};

// The seeds of one call: seed i of node slot `entity_slot` starts example i.
// seed_time is empty or has one time per seed (checked by the caller when
// the store is temporal).
struct Seeds {
  size_t entity_slot = 0;
  Int64View seed_node;
  Int64View seed_time;
};

// Grows the subgraph of every seed for num_hops hops and leaves the result in
// the lists of `state`, whose tables it empties when it is done (reset first, with room for every hop's counts, so that an absurd
// hop count fails with std::bad_alloc before anything is drawn): registers
// the seeds, fixes the example times, then
// per hop visits the edge types in order and, for each, the frontier of its
// destination type in position order, asking the selector for neighbours.
// Throws std::out_of_range for reads outside the graph arrays and for edge
// types whose endpoint is not a node type, std::runtime_error for an
// unordered temporal column, and whatever `params` or `progress` throws.
// Touches no interpreter state itself, so it may run without the
// interpreter lock as long as `params` and `progress` do not need it.
// `progress` may be null. `strategy` decides how counts pick on temporal
// edge types (the k latest, or k drawn among all up to the example time).
// With state.record_times, every type with times also gets the time of each
// node it registers (NodeState::out_time, time_missing).
void expand_hops(const GraphStore& graph, const Seeds& seeds, size_t num_hops,
                 ParameterSource& params, RandomSource& rng, CallState& state,
                 ProgressCheck* progress = nullptr,
                 TemporalStrategy strategy = TemporalStrategy::kLast);

}  // namespace rerozer

#endif  // REROZER_SAMPLING_HOP_EXPANSION_H_
