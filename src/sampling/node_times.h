#ifndef REROZER_SAMPLING_NODE_TIMES_H_
#define REROZER_SAMPLING_NODE_TIMES_H_

#include "graph/int64_view.h"
#include "sampling/int64_list.h"

namespace rerozer {

// The time of every registered node of one type, in registry order:
// out_time[L] = times[nodes[L]]. For example times = [50, 20, 70] and
// nodes = [2, 0, 2] give out_time = [70, 50, 70].
//
// The nodes are read in order and their times fetched a few entries ahead,
// so that a call's tens of thousands of scattered time reads overlap
// instead of waiting one after another. Returns false, leaving `out_time`
// empty, when a node lies outside `times` (a graph whose rows name nodes
// its times do not cover); the caller then has no times for the type.
// `out_time` is the caller's; it is resized to nodes.size() (may throw
// std::bad_alloc, as its growth does).
bool gather_node_times(const Int64View& times, const Int64List& nodes, Int64List& out_time);

}  // namespace rerozer

#endif  // REROZER_SAMPLING_NODE_TIMES_H_
