#include "module/request.h"

#include <algorithm>
#include <stdexcept>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "module/array_exchange.h"
#include "module/interpreter_lock.h"
#include "module/keyed_arrays.h"
#include "graph/messages.h"
#include "sampling/allocation.h"
#include "sampling/messages.h"

namespace rerozer {

namespace {

constexpr const char* kNumNeighbors = "num_neighbors";
constexpr const char* kOffsets = "sampling_time_offsets";

}  // namespace

ValidatedRequest validate_request(const GraphStore& graph, const std::vector<py::str>& key_objects,
                                  const py::set& allowed_keys, const py::dict& num_neighbors,
                                  const py::dict& sampling_time_offsets,
                                  const std::string& entity_table, const py::array& seed_node,
                                  const py::array& seed_time) {
  const std::vector<std::string>& keys = graph.edge_type_keys();
  check_keyed_arrays(num_neighbors, kNumNeighbors, keys, 1, true, &allowed_keys);
  check_keyed_arrays(sampling_time_offsets, kOffsets, keys, 2, false, &allowed_keys);
  check_array(seed_node, "seed_node", 1, true);
  check_array(seed_time, "seed_time", 1, true);

  ValidatedRequest request;
  const int64_t entity_slot = graph.node_slot(entity_table);
  if (entity_slot < 0) throw std::runtime_error(messages::invalid_entity_table(entity_table));
  request.entity_slot = static_cast<size_t>(entity_slot);
  if (graph.temporal() && seed_time.size() != 0 && seed_time.size() != seed_node.size()) {
    throw std::runtime_error(messages::seed_size_mismatch());
  }

  // Every edge type is sampled by count or by time window, never both.
  const bool plain = plain_str_dict(num_neighbors) && plain_str_dict(sampling_time_offsets);
  std::vector<int64_t> count_sizes(keys.size(), -1);
  request.keys.reserve(keys.size());
  for (size_t j = 0; j < keys.size(); ++j) {
    const std::string& key = keys[j];
    request.keys.push_back(key_objects[j]);
    const py::str& key_object = request.keys.back();
    // Plain dictionaries of str keys run no code on a lookup: one lookup
    // finds the counts and says whether there are any.
    PyObject* found = nullptr;
    bool has_count = false;
    if (plain) {
      found = PyDict_GetItemWithError(num_neighbors.ptr(), key_object.ptr());
      if (found == nullptr && PyErr_Occurred() != nullptr) throw py::error_already_set();
      has_count = found != nullptr;
    } else {
      has_count = dict_contains(num_neighbors, key_object);
    }
    if (has_count && dict_contains(sampling_time_offsets, key_object)) {
      throw std::runtime_error(messages::edge_type_in_both(key));
    }
    if (has_count) {
      const py::detail::PyArray_Proxy* native = native_int64_array(found, 1);
      const py::ssize_t size =
          native != nullptr ? native->dimensions[0]
                            : to_array(found != nullptr ? py::reinterpret_borrow<py::object>(found)
                                                        : get_item(num_neighbors, key_object))
                                  .size();
      count_sizes[j] = static_cast<int64_t>(size);
      request.num_hops = std::max(request.num_hops, static_cast<size_t>(size));
      continue;
    }
    const py::array offsets = to_array(get_item(sampling_time_offsets, key_object));
    if (offsets.ndim() != 2) {
      throw std::runtime_error(messages::keyed_wrong_ndim(key, kOffsets, 2));
    }
    request.num_hops = std::max(request.num_hops, static_cast<size_t>(offsets.shape(0)));
    const int64_t src_slot = graph.edge_type_slots()[j].src_slot;
    if (src_slot < 0 || graph.node_time_data(static_cast<size_t>(src_slot)) == nullptr) {
      throw std::runtime_error(
          messages::offsets_without_node_time(key, std::get<0>(graph.edge_types()[j])));
    }
    if (offsets.shape(1) != 2) throw std::runtime_error(messages::offsets_not_n_by_2(key));
  }

  // A count array shorter than the request would leave a hop without a count.
  for (size_t j = 0; j < keys.size(); ++j) {
    if (count_sizes[j] >= 0 && static_cast<size_t>(count_sizes[j]) < request.num_hops) {
      throw std::runtime_error(messages::too_few_counts(keys[j], count_sizes[j], request.num_hops));
    }
  }
  return request;
}

PrefetchedParameters::PrefetchedParameters(const py::dict& num_neighbors,
                                           const py::dict& sampling_time_offsets,
                                           const ValidatedRequest& request,
                                           std::vector<HopParameters>& storage)
    : num_neighbors_(num_neighbors),
      offsets_(sampling_time_offsets),
      request_(request),
      params_(storage) {
  params_.clear();
  constexpr size_t kSignalInterval = 4096;
  const size_t num_edge_types = request.keys.size();
  const size_t num_hops = request.num_hops;
  if (num_edge_types != 0 && num_hops > kMaxAllocationBytes / num_edge_types) {
    throw std::bad_alloc();
  }
  check_allocation(num_hops * num_edge_types, sizeof(HopParameters));
  params_.reserve(num_hops * num_edge_types);
  // While both dictionaries are plain ones with str keys and every value
  // read so far was a native int64 array, no interpreter code has run since
  // the first hop looked the keys up, so those lookups still hold: later
  // hops read the same arrays without looking again. The first fetch that
  // takes the general way (which may run code that changes a dictionary)
  // ends this.
  quick_ = plain_str_dict(num_neighbors) && plain_str_dict(sampling_time_offsets);
  found_.assign(quick_ ? num_edge_types : 0, Found{});
  for (size_t hop = 0; hop < num_hops; ++hop) {
    for (size_t j = 0; j < num_edge_types; ++j) {
      if ((params_.size() + 1) % kSignalInterval == 0 && PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
      }
      try {
        if (quick_ && fetch_quick(hop, j)) continue;
        quick_ = false;
        params_.push_back(fetch_now(hop, j));
      } catch (py::error_already_set& error) {
        // An interrupt (KeyboardInterrupt, SystemExit: not an Exception)
        // ends the call now, before any hop; other errors wait for their hop.
        if (!error.matches(PyExc_Exception)) throw;
        failure_ = std::current_exception();
        return;
      }
#if defined(__GLIBCXX__)
      catch (abi::__forced_unwind&) {
        // CPython ends this thread from Python code that the lookup ran, as
        // the interpreter finalises; the lock is not held and must not be
        // taken again, and the frames below must not unwind without it.
        park_thread();
      }
#endif
      catch (...) {
        failure_ = std::current_exception();
        return;
      }
    }
  }
}

HopParameters PrefetchedParameters::fetch(size_t hop, size_t edge_index) {
  const size_t position = hop * request_.keys.size() + edge_index;
  if (position < params_.size()) return params_[position];
  // The hops stop at the first failed fetch, so this is that one.
  if (!failure_) throw std::logic_error("hop parameters requested beyond the request");
  std::rethrow_exception(failure_);
}

bool PrefetchedParameters::fetch_quick(size_t hop, size_t edge_index) {
  Found& found = found_[edge_index];
  if (hop == 0) {
    PyObject* key = request_.keys[edge_index].ptr();
    found.counts = PyDict_GetItemWithError(num_neighbors_.ptr(), key);
    if (found.counts == nullptr) {
      if (PyErr_Occurred() != nullptr) throw py::error_already_set();
      found.offsets = PyDict_GetItemWithError(offsets_.ptr(), key);
      if (found.offsets == nullptr) {
        if (PyErr_Occurred() != nullptr) throw py::error_already_set();
        return false;
      }
    }
  }
  const auto h = static_cast<py::ssize_t>(hop);
  HopParameters params;
  if (found.counts != nullptr) {
    const py::detail::PyArray_Proxy* counts = native_int64_array(found.counts, 1);
    if (counts == nullptr || counts->dimensions[0] <= h) return false;
    params.count = native_int64_at(counts, h);
  } else {
    const py::detail::PyArray_Proxy* rows = native_int64_array(found.offsets, 2);
    if (rows == nullptr || rows->dimensions[0] <= h || rows->dimensions[1] != 2) return false;
    params.has_window = true;
    params.window.has_lo = true;
    params.window.lo = native_int64_at(rows, h, 0);
    params.window.hi = native_int64_at(rows, h, 1);
#ifdef REROZER_TEMPORAL_UNIFORM
    params.window.saturating = true;
#endif
  }
  params_.push_back(params);
  return true;
}

HopParameters PrefetchedParameters::fetch_now(size_t hop, size_t edge_index) const {
  const py::str& key = request_.keys[edge_index];
  HopParameters params;
  if (dict_contains(num_neighbors_, key)) {
    const py::array counts = to_array(get_item(num_neighbors_, key));
    // The key's text only for a message: most fetches pass.
    if (!keyed_value_ok(counts, 1, true)) check_keyed_value(counts, key, kNumNeighbors, 1, true);
    if (static_cast<size_t>(counts.size()) <= hop) {
      throw std::runtime_error(messages::too_few_counts(
          key, static_cast<int64_t>(counts.size()), request_.num_hops));
    }
    params.count = read_int64_element(counts, static_cast<py::ssize_t>(hop));
    return params;
  }
  const py::object row = get_item(get_item(offsets_, key), py::int_(hop));
  const py::object lo = get_item(row, py::int_(0));
  params.has_window = true;
  if (!lo.is_none()) {
    params.window.has_lo = true;
    params.window.lo = read_int64(lo);
  }
  params.window.hi = read_int64(get_item(row, py::int_(1)));
#ifdef REROZER_TEMPORAL_UNIFORM
  // The data layer's module: a window around a time near the ends of the
  // int64 range (the earliest time, given to rows without a timed parent)
  // stops at the end instead of wrapping around into the future.
  params.window.saturating = true;
#endif
  return params;
}

}  // namespace rerozer
