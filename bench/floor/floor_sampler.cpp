#include "floor_sampler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace rerozer::bench {

namespace {

// Prefetch distances of the registration sweep, in selections: the row
// entry first, then (once it has arrived) the table slot of its key.
constexpr size_t kRowAhead = 64;
constexpr size_t kSlotAhead = 32;
// Prefetch distance of the uniform frontier walk: the column pointers.
constexpr size_t kColumnAhead = 16;
// Frontier entries whose time searches run in lockstep.
constexpr size_t kLanes = 16;
// Up to this many picks Floyd's chosen set is a scan of the picks so far.
constexpr int64_t kScanLimit = 32;
constexpr size_t kMinSlots = 64;

inline uint64_t mix(uint64_t key) {
  key ^= key >> 33;
  key *= 0xFF51AFD7ED558CCDULL;
  key ^= key >> 33;
  key *= 0xC4CEB9FE1A85EC53ULL;
  key ^= key >> 33;
  return key;
}

inline unsigned bits_for(uint64_t count) {
  unsigned bits = 1;
  while (bits < 64 && (uint64_t{1} << bits) < count) ++bits;
  return bits;
}

inline int64_t add_wrapping(int64_t t, int64_t offset) {
  return static_cast<int64_t>(static_cast<uint64_t>(t) + static_cast<uint64_t>(offset));
}

// For every lane l < lanes: the first position p in [first[l], last[l])
// with time_src[row[p]] > t[l], or last[l], written to first[l]. The
// halving steps of all lanes run in turn, so their loads are independent.
inline void time_upper_bounds(const int64_t* row, const int64_t* time_src, int64_t* first,
                              const int64_t* last, const int64_t* t, size_t lanes) {
  const int64_t* base[kLanes];
  int64_t len[kLanes];
  for (size_t l = 0; l < lanes; ++l) {
    base[l] = row + first[l];
    len[l] = last[l] - first[l];
  }
  for (bool active = true; active;) {
    active = false;
    for (size_t l = 0; l < lanes; ++l) {
      if (len[l] <= 1) continue;
      const int64_t half = len[l] / 2;
      // Arithmetic rather than a branch: the comparison is a coin toss.
      const int64_t later = time_src[base[l][half - 1]] <= t[l] ? 1 : 0;
      base[l] += half & -later;
      len[l] -= half;
      active = true;
    }
  }
  for (size_t l = 0; l < lanes; ++l) {
    if (len[l] == 1) first[l] = (base[l] - row) + (time_src[*base[l]] <= t[l] ? 1 : 0);
  }
}

// The local index of `key`, entering it as the next entry when absent. The
// caller has made room in the table and the list.
inline uint32_t find_or_add(uint64_t key, uint64_t hash, uint64_t* slots, size_t mask,
                            unsigned slot_shift, uint64_t* keys, size_t& size) {
  size_t s = static_cast<size_t>(hash >> slot_shift);
  const uint64_t fingerprint = hash << 32;
  while (true) {
    const uint64_t slot = slots[s];
    if (slot == 0) {
      keys[size] = key;
      slots[s] = fingerprint | (size + 1);
      return static_cast<uint32_t>(size++);
    }
    if ((slot & 0xFFFFFFFF00000000ULL) == fingerprint) {
      const auto local = static_cast<uint32_t>(slot) - 1;
      if (keys[local] == key) return local;
    }
    s = (s + 1) & mask;
  }
}

}  // namespace

OutArray::OutArray(size_t size, ResultPool* pool) : size_(size), pool_(pool) {
  if (pool_ != nullptr) {
    data_ = pool_->acquire(size, capacity_);
    return;
  }
  data_ = static_cast<int64_t*>(std::malloc(std::max<size_t>(size, 1) * sizeof(int64_t)));
  if (data_ == nullptr) throw std::bad_alloc();
}

OutArray::~OutArray() {
  if (pool_ != nullptr && data_ != nullptr) {
    pool_->release(data_, capacity_);
  } else {
    std::free(data_);
  }
}

ResultPool::~ResultPool() {
  for (auto& buffers : free_) {
    for (int64_t* data : buffers) std::free(data);
  }
}

int64_t* ResultPool::acquire(size_t size, size_t& capacity) {
  const unsigned bits = bits_for(std::max<size_t>(size, 1));
  capacity = size_t{1} << bits;
  if (bits < free_.size() && !free_[bits].empty()) {
    int64_t* data = free_[bits].back();
    free_[bits].pop_back();
    return data;
  }
  auto* data = static_cast<int64_t*>(std::malloc(capacity * sizeof(int64_t)));
  if (data == nullptr) throw std::bad_alloc();
  return data;
}

void ResultPool::release(int64_t* data, size_t capacity) {
  const unsigned bits = bits_for(capacity);
  if (free_.size() <= bits) free_.resize(bits + 1);
  free_[bits].push_back(data);
}

size_t FloorResult::edges() const {
  size_t total = 0;
  for (const OutArray& a : out_row) total += a.size();
  return total;
}

size_t FloorResult::bytes() const {
  size_t total = 0;
  for (const auto* lists :
       {&out_row, &out_col, &out_node, &out_batch, &num_sampled_nodes, &num_sampled_edges}) {
    for (const OutArray& a : *lists) total += a.size() * sizeof(int64_t);
  }
  return total;
}

FloorSampler::FloorSampler(const FloorGraph& graph, bool temporal, uint32_t seed,
                           bool recycle_results)
    : graph_(graph), temporal_(temporal), rng_(seed), recycle_results_(recycle_results) {
  nodes_.resize(graph.node_types.size());
  for (size_t t = 0; t < nodes_.size(); ++t) {
    nodes_[t].shift = bits_for(static_cast<uint64_t>(graph.node_types[t].num_nodes));
    nodes_[t].node_mask = (uint64_t{1} << nodes_[t].shift) - 1;
  }
  edges_.resize(graph.edge_types.size());
  size_t longest = 0;
  for (const FloorGraph::EdgeType& type : graph.edge_types) {
    if (type.row.size() >= (size_t{1} << 32)) {
      throw std::runtime_error("the floor keeps row positions in 32 bits");
    }
    for (size_t v = 0; v + 1 < type.colptr.size(); ++v) {
      longest = std::max(longest, static_cast<size_t>(type.colptr[v + 1] - type.colptr[v]));
    }
  }
  chosen_.assign(longest, 0);
}

void FloorSampler::reserve_table(NodeState& node, size_t more) {
  const size_t size = node.keys.size();
  const size_t needed = (size + more) * 2;
  if (node.slots.size() >= needed) return;
  size_t capacity = std::max(kMinSlots, node.slots.size());
  while (capacity < needed) capacity *= 2;
  node.slots.assign(capacity, 0);
  node.slot_shift = 64 - bits_for(capacity);
  const size_t mask = capacity - 1;
  for (size_t local = 0; local < size; ++local) {
    const uint64_t hash = mix(node.keys[local]);
    size_t s = static_cast<size_t>(hash >> node.slot_shift);
    while (node.slots[s] != 0) s = (s + 1) & mask;
    node.slots[s] = (hash << 32) | (local + 1);
  }
}

void FloorSampler::clear_table(NodeState& node) {
  const size_t size = node.keys.size();
  if (size == 0) return;
  if (size * 8 >= node.slots.size()) {
    std::fill(node.slots.begin(), node.slots.end(), 0);
    return;
  }
  // In reverse order of entry, each entry's probe path holds only entries
  // entered before it, which are still in place.
  const size_t mask = node.slots.size() - 1;
  for (size_t local = size; local-- > 0;) {
    size_t s = static_cast<size_t>(mix(node.keys[local]) >> node.slot_shift);
    while (static_cast<uint32_t>(node.slots[s]) != local + 1) s = (s + 1) & mask;
    node.slots[s] = 0;
  }
}

void FloorSampler::reset() {
  for (NodeState& node : nodes_) {
    clear_table(node);
    node.keys.clear();
    node.hop_begin = 0;
    node.hop_end = 0;
    node.counts.assign(1, 0);
  }
  for (EdgeState& edge : edges_) {
    edge.out_row.clear();
    edge.out_col.clear();
    edge.counts.clear();
  }
  example_times_.clear();
}

void FloorSampler::register_seeds(NodeState& node, const std::vector<int64_t>& seed_node) {
  const size_t n = seed_node.size();
  reserve_table(node, n);
  node.keys.reserve_more(n);
  const size_t mask = node.slots.size() - 1;
  size_t size = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t key = (uint64_t{i} << node.shift) | static_cast<uint64_t>(seed_node[i]);
    find_or_add(key, mix(key), node.slots.data(), mask, node.slot_shift, node.keys.data(), size);
  }
  node.keys.set_size(size);
  node.hop_end = size;
  node.counts[0] = static_cast<int64_t>(size);
}

FloorResult FloorSampler::sample(const std::vector<std::vector<HopRule>>& rules, size_t entity,
                                 const std::vector<int64_t>& seed_node,
                                 const std::vector<int64_t>& seed_time) {
  // 1. Fresh state, the seeds as examples 0 .. n-1, the example times.
  reset();
  register_seeds(nodes_[entity], seed_node);
  const FloorGraph::NodeType& entity_type = graph_.node_types[entity];
  if (temporal_ && !seed_time.empty()) {
    example_times_.assign(seed_time.begin(), seed_time.begin() + seed_node.size());
  } else if (temporal_ && entity_type.has_time) {
    for (int64_t v : seed_node) example_times_.push_back(entity_type.time[static_cast<size_t>(v)]);
  }

  // 2. Per hop and edge type: select, then register.
  for (const std::vector<HopRule>& hop : rules) {
    for (size_t j = 0; j < graph_.edge_types.size(); ++j) {
      const FloorGraph::EdgeType& type = graph_.edge_types[j];
      const HopRule& rule = hop[j];
      EdgeState& edge = edges_[j];
      edge.counts.push_back(0);
      const NodeState& dst = nodes_[type.dst];
      const FloorGraph::NodeType& src_type = graph_.node_types[type.src];
      const bool temporal = temporal_ && src_type.has_time && !example_times_.empty();
      positions_.clear();
      size_t n = 0;
      if (!temporal) {
        const int64_t k = rule.window ? 0 : rule.count;
        if (k == 0) continue;
        n = select_uniform(type, dst, k, edge);
      } else {
        if (!rule.window && rule.count == 0) continue;
        n = select_temporal(type, dst, src_type.time.data(), rule, edge);
      }
      if (n == 0) continue;
      register_selected(type, dst, nodes_[type.src], n, edge);
      edge.counts.back() = static_cast<int64_t>(n);
    }
    // 3. What each node type entered in this hop is the next frontier.
    for (NodeState& node : nodes_) {
      node.hop_begin = node.hop_end;
      node.hop_end = node.keys.size();
      node.counts.push_back(static_cast<int64_t>(node.hop_end - node.hop_begin));
    }
  }
  return copy_out();
}

size_t FloorSampler::select_uniform(const FloorGraph::EdgeType& type, const NodeState& dst,
                                    int64_t k, EdgeState& edge) {
  const int64_t* colptr = type.colptr.data();
  const uint64_t* keys = dst.keys.data();
  const uint64_t mask = dst.node_mask;
  const size_t end = dst.hop_end;
  size_t count = positions_.size();
  size_t cols = edge.out_col.size();
  for (size_t i = dst.hop_begin; i < end; ++i) {
    if (i + kColumnAhead < end) __builtin_prefetch(colptr + (keys[i + kColumnAhead] & mask));
    const uint64_t v = keys[i] & mask;
    const int64_t b = colptr[v];
    const int64_t n = colptr[v + 1] - b;
    if (n <= 0) continue;
    const int64_t take = (k < 0 || k >= n) ? n : k;
    positions_.reserve(count + static_cast<size_t>(take));
    edge.out_col.reserve(cols + static_cast<size_t>(take));
    uint32_t* out = positions_.data() + count;
    uint32_t* col = edge.out_col.data() + cols;
    const auto base = static_cast<uint32_t>(b);
    const auto i32 = static_cast<uint32_t>(i);
    if (take == n) {
      for (int64_t p = 0; p < n; ++p) out[p] = base + static_cast<uint32_t>(p);
    } else if (k <= kScanLimit) {
      // Floyd: for j = n-k .. n-1 draw d in [0, j]; take d unless taken,
      // else j. The picks so far are the chosen set.
      const auto n32 = static_cast<uint32_t>(n);
      uint32_t c = 0;
      for (uint32_t j = n32 - static_cast<uint32_t>(k); j < n32; ++j, ++c) {
        const uint32_t d = static_cast<uint32_t>(rng_()) % (j + 1);
        uint32_t pick = base + d;
        for (uint32_t q = 0; q < c; ++q) {
          if (out[q] == pick) {
            pick = base + j;
            break;
          }
        }
        out[c] = pick;
      }
    } else {
      const auto n32 = static_cast<uint32_t>(n);
      uint32_t c = 0;
      for (uint32_t j = n32 - static_cast<uint32_t>(k); j < n32; ++j, ++c) {
        const uint32_t d = static_cast<uint32_t>(rng_()) % (j + 1);
        const uint32_t pick = chosen_[d] ? j : d;
        chosen_[pick] = 1;
        out[c] = base + pick;
      }
      for (int64_t q = 0; q < take; ++q) chosen_[out[q] - base] = 0;
    }
    for (int64_t q = 0; q < take; ++q) col[q] = i32;
    count += static_cast<size_t>(take);
    cols += static_cast<size_t>(take);
  }
  const size_t selected = count - positions_.size();
  positions_.set_size(count);
  edge.out_col.set_size(cols);
  return selected;
}

// Both temporal selections, over the frontier in groups of kLanes entries:
// the time searches of a group advance in lockstep, one halving step for
// every lane in turn, so that the lanes' cache misses (a row entry, then
// its source time) overlap instead of following each other.
size_t FloorSampler::select_temporal(const FloorGraph::EdgeType& type, const NodeState& dst,
                                     const int64_t* time_src, const HopRule& rule,
                                     EdgeState& edge) {
  const int64_t* colptr = type.colptr.data();
  const int64_t* row = type.row.data();
  const uint64_t* keys = dst.keys.data();
  const uint64_t mask = dst.node_mask;
  const unsigned shift = dst.shift;
  const int64_t* example_times = example_times_.data();
  const int64_t k = rule.count;
  const size_t end = dst.hop_end;
  size_t count = positions_.size();
  size_t cols = edge.out_col.size();

  uint32_t lane_entry[kLanes];
  int64_t first[kLanes];
  int64_t last[kLanes];
  int64_t bound[kLanes];
  int64_t time[kLanes];
  // Row position of the first probe of entry i's search, -1 for an empty
  // column.
  const auto first_probe = [&](size_t i) -> int64_t {
    const uint64_t v = keys[i] & mask;
    const int64_t b = colptr[v];
    const int64_t len = colptr[v + 1] - b;
    return len <= 0 ? -1 : b + (len > 1 ? len / 2 - 1 : 0);
  };
  const auto group_range = [&](size_t group, size_t ahead) {
    const size_t from = std::min(end, group + ahead * kLanes);
    return std::make_pair(from, std::min(end, from + kLanes));
  };
  for (size_t group = dst.hop_begin; group < end; group += kLanes) {
    const size_t group_end = std::min(end, group + kLanes);
    // Three groups ahead the column pointers, two ahead the row entry of
    // the first probe, one ahead its source time.
    for (auto [i, to] = group_range(group, 3); i < to; ++i) {
      __builtin_prefetch(colptr + (keys[i] & mask));
    }
    for (auto [i, to] = group_range(group, 2); i < to; ++i) {
      const int64_t p = first_probe(i);
      if (p >= 0) __builtin_prefetch(row + p);
    }
    for (auto [i, to] = group_range(group, 1); i < to; ++i) {
      const int64_t p = first_probe(i);
      if (p >= 0) __builtin_prefetch(time_src + row[p]);
    }
    // 1. The non-empty columns of the group, one lane each.
    size_t lanes = 0;
    for (size_t i = group; i < group_end; ++i) {
      const uint64_t key = keys[i];
      const uint64_t v = key & mask;
      const int64_t b = colptr[v];
      const int64_t e = colptr[v + 1];
      if (b >= e) continue;
      lane_entry[lanes] = static_cast<uint32_t>(i);
      first[lanes] = b;
      last[lanes] = e;
      time[lanes] = example_times[key >> shift];
      ++lanes;
    }
    // 2. The searches: for a window its lower end first, then the upper.
    if (rule.window && rule.has_lo) {
      for (size_t l = 0; l < lanes; ++l) bound[l] = add_wrapping(time[l], rule.lo);
      time_upper_bounds(row, time_src, first, last, bound, lanes);
    }
    for (size_t l = 0; l < lanes; ++l) bound[l] = rule.window ? add_wrapping(time[l], rule.hi) : time[l];
    int64_t upper[kLanes];
    std::copy(first, first + lanes, upper);
    time_upper_bounds(row, time_src, upper, last, bound, lanes);
    // 3. The selected positions, in frontier order.
    for (size_t l = 0; l < lanes; ++l) {
      int64_t b = first[l];
      if (!rule.window && k > 0 && upper[l] - k > b) b = upper[l] - k;
      const int64_t take = upper[l] - b;
      if (take <= 0) continue;
      positions_.reserve(count + static_cast<size_t>(take));
      edge.out_col.reserve(cols + static_cast<size_t>(take));
      uint32_t* out = positions_.data() + count;
      uint32_t* col = edge.out_col.data() + cols;
      for (int64_t q = 0; q < take; ++q) {
        out[q] = static_cast<uint32_t>(b + q);
        col[q] = lane_entry[l];
      }
      count += static_cast<size_t>(take);
      cols += static_cast<size_t>(take);
    }
  }
  const size_t selected = count - positions_.size();
  positions_.set_size(count);
  edge.out_col.set_size(cols);
  return selected;
}

void FloorSampler::register_selected(const FloorGraph::EdgeType& type, const NodeState& dst,
                                     NodeState& src, size_t n, EdgeState& edge) {
  // Room first: src may be dst, whose list the keys below are read from.
  reserve_table(src, n);
  src.keys.reserve_more(n);
  edge.out_row.reserve_more(n);

  const int64_t* row = type.row.data();
  const uint32_t* pos = positions_.data();
  const uint32_t* col = edge.out_col.data() + edge.out_col.size() - n;
  const uint64_t* dst_keys = dst.keys.data();
  const unsigned dst_shift = dst.shift;
  const unsigned src_shift = src.shift;
  uint64_t* keys = src.keys.data();
  uint64_t* slots = src.slots.data();
  const size_t mask = src.slots.size() - 1;
  const unsigned slot_shift = src.slot_shift;
  uint32_t* out = edge.out_row.data() + edge.out_row.size();
  size_t size = src.keys.size();

  const auto key_of = [&](size_t j) {
    return ((dst_keys[col[j]] >> dst_shift) << src_shift) | static_cast<uint64_t>(row[pos[j]]);
  };
  for (size_t j = 0; j < n; ++j) {
    if (j + kRowAhead < n) __builtin_prefetch(row + pos[j + kRowAhead]);
    if (j + kSlotAhead < n) __builtin_prefetch(slots + (mix(key_of(j + kSlotAhead)) >> slot_shift));
    const uint64_t key = key_of(j);
    out[j] = find_or_add(key, mix(key), slots, mask, slot_shift, keys, size);
  }
  src.keys.set_size(size);
  edge.out_row.set_size(edge.out_row.size() + n);
}

FloorResult FloorSampler::copy_out() {
  FloorResult result;
  ResultPool* pool = recycle_results_ ? &pool_ : nullptr;
  const auto widen = [pool](const PodBuffer<uint32_t>& list) {
    OutArray out(list.size(), pool);
    const uint32_t* in = list.data();
    int64_t* to = out.data();
    for (size_t e = 0; e < list.size(); ++e) to[e] = in[e];
    return out;
  };
  const auto copy = [pool](const std::vector<int64_t>& list) {
    OutArray out(list.size(), pool);
    if (!list.empty()) std::memcpy(out.data(), list.data(), list.size() * sizeof(int64_t));
    return out;
  };
  for (const EdgeState& edge : edges_) result.out_row.push_back(widen(edge.out_row));
  for (const EdgeState& edge : edges_) result.out_col.push_back(widen(edge.out_col));
  for (const NodeState& node : nodes_) {
    OutArray out(node.keys.size(), pool);
    const uint64_t* keys = node.keys.data();
    for (size_t e = 0; e < node.keys.size(); ++e) {
      out.data()[e] = static_cast<int64_t>(keys[e] & node.node_mask);
    }
    result.out_node.push_back(std::move(out));
  }
  for (const NodeState& node : nodes_) {
    OutArray out(node.keys.size(), pool);
    const uint64_t* keys = node.keys.data();
    for (size_t e = 0; e < node.keys.size(); ++e) {
      out.data()[e] = static_cast<int64_t>(keys[e] >> node.shift);
    }
    result.out_batch.push_back(std::move(out));
  }
  for (const NodeState& node : nodes_) result.num_sampled_nodes.push_back(copy(node.counts));
  for (const EdgeState& edge : edges_) result.num_sampled_edges.push_back(copy(edge.counts));
  return result;
}

}  // namespace rerozer::bench
