#include "sampling/hop_expansion.h"

#include <stdexcept>

#include "graph/messages.h"
#include "sampling/messages.h"

namespace rerozer {

namespace {

void register_seeds(const Seeds& seeds, NodeState& entity) {
  const int64_t n = seeds.seed_node.size;
  const auto count = static_cast<size_t>(n);
  entity.local_index.reserve_more(count, entity.out_batch, entity.out_node);
  entity.out_batch.reserve(count);
  entity.out_node.reserve(count);
  {
    LocalIndex::Run run(entity.local_index, entity.out_batch, entity.out_node, count);
    constexpr int64_t kAhead = 16;
    for (int64_t i = 0; i < n; ++i) {
      if (i + kAhead < n) run.prefetch(LocalIndex::hash(i + kAhead, seeds.seed_node[i + kAhead]));
      const int64_t node = seeds.seed_node[i];
      run.find_or_add(i, node, LocalIndex::hash(i, node));
    }
  }
  entity.hop_begin = 0;
  entity.hop_end = n;
  entity.num_sampled_nodes[0] = n;
}

// The times of the registered seeds (the entity type's only entries so
// far), when the call records times and the type has them.
void record_seed_times(const Int64View* times, NodeState& entity) {
  if (times == nullptr) return;
  const size_t n = entity.out_node.size();
  entity.out_time.resize(n);
  int64_t* out = entity.out_time.data();
  for (size_t i = 0; i < n; ++i) {
    const int64_t node = entity.out_node[i];
    if (times->contains(node)) {
      out[i] = (*times)[node];
    } else {
      out[i] = 0;
      entity.time_missing = true;
    }
  }
}

// The reference time of every example: its seed time, else the seed's own
// node time, else none (then no selection is temporal). A store without
// times never compares times, so it keeps no example times.
void fix_example_times(const GraphStore& graph, const Seeds& seeds,
                       std::vector<int64_t>& example_times) {
  if (!graph.temporal()) return;
  const int64_t n = seeds.seed_node.size;
  if (!seeds.seed_time.empty()) {
    if (seeds.seed_time.size != n) throw std::runtime_error(messages::seed_size_mismatch());
    example_times.assign(seeds.seed_time.data, seeds.seed_time.data + n);
    return;
  }
  const Int64View* times = graph.node_time_data(seeds.entity_slot);
  if (times == nullptr) return;
  example_times.reserve(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    const int64_t id = seeds.seed_node[i];
    if (!times->contains(id)) {
      throw std::out_of_range(messages::seed_outside_node_time(
          id, graph.node_slot_name(seeds.entity_slot), times->size));
    }
    example_times.push_back((*times)[id]);
  }
}

}  // namespace

void expand_hops(const GraphStore& graph, const Seeds& seeds, size_t num_hops,
                 ParameterSource& params, RandomSource& rng, CallState& state,
                 ProgressCheck* progress, TemporalStrategy strategy) {
  // 1. Fresh working state, then the seeds as examples 0 .. n-1.
  state.reset(graph.num_node_slots(), graph.num_key_slots(), num_hops);
  register_seeds(seeds, state.nodes[seeds.entity_slot]);
  if (state.record_times) {
    record_seed_times(graph.node_time_data(seeds.entity_slot), state.nodes[seeds.entity_slot]);
  }
  fix_example_times(graph, seeds, state.example_times);
  const std::vector<int64_t>& example_times = state.example_times;

  Selector selector(rng, state.selection);
  WorkMeter meter(progress);
  const auto& edge_type_slots = graph.edge_type_slots();
  for (size_t hop = 0; hop < num_hops; ++hop) {
    // 2. Every edge type in order, over the frontier its destination type
    // had when the hop began.
    for (size_t j = 0; j < edge_type_slots.size(); ++j) {
      const EdgeTypeSlots& slots = edge_type_slots[j];
      EdgeState& out = state.edges[slots.key_slot];
      out.num_sampled_edges.push_back(0);
      const HopParameters hop_params = params.fetch(hop, j);
      meter.add(1);
      if (slots.dst_slot < 0 || slots.src_slot < 0) {
        throw std::out_of_range(messages::unknown_node_type());
      }
      const auto src_slot = static_cast<size_t>(slots.src_slot);
      const auto dst_slot = static_cast<size_t>(slots.dst_slot);

      EdgeContext edge;
      edge.key = &graph.key_slot_name(slots.key_slot);
      edge.src_type = &graph.node_slot_name(src_slot);
      edge.dst_type = &graph.node_slot_name(dst_slot);
      edge.colptr = graph.colptr_data(slots.key_slot);
      edge.row = graph.row_data(slots.key_slot);
      edge.time_src = graph.node_time_data(src_slot);
      edge.record_time = state.record_times ? edge.time_src : nullptr;
      edge.src = &state.nodes[src_slot];
      edge.out = &out;
      const bool temporal =
          graph.temporal() && edge.time_src != nullptr && !example_times.empty();
      // A count of 0 selects nothing, in uniform and most-recent mode alike.
      if (hop_params.count == 0 && !(temporal && hop_params.has_window)) continue;

      const NodeState& dst = state.nodes[dst_slot];
      if (!temporal) {
        selector.select_uniform(edge, dst, hop_params.count, meter);
      } else {
        TemporalRule rule;
        rule.has_window = hop_params.has_window;
        rule.k = hop_params.count;
        rule.window = hop_params.window;
        rule.strategy = strategy;
        selector.select_temporal(edge, dst, rule, example_times, meter);
      }
    }
    // 3. What each node type registered in this hop is the next frontier.
    for (size_t slot : graph.node_type_slots()) {
      NodeState& node = state.nodes[slot];
      node.hop_begin = node.hop_end;
      node.hop_end = static_cast<int64_t>(node.out_node.size());
      node.num_sampled_nodes.push_back(node.hop_end - node.hop_begin);
    }
  }
  state.finish_hops();
}

}  // namespace rerozer
