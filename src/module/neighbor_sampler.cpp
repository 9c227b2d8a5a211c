#include "module/neighbor_sampler.h"

#include <pthread.h>

#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "module/array_exchange.h"
#include "module/block_arrays.h"
#include "module/interpreter_lock.h"
#include "module/keyed_arrays.h"
#include "module/request.h"
#include "sampling/hop_expansion.h"

namespace rerozer {

namespace {

// How counts pick on temporal edge types. The module rerozer takes the k
// latest edges; the same sources built with REROZER_TEMPORAL_UNIFORM make
// the module rerozer_tables._temporal, whose samplers draw k at random
// among all edges up to the example time.
#ifdef REROZER_TEMPORAL_UNIFORM
constexpr TemporalStrategy kTemporalStrategy = TemporalStrategy::kUniform;
#else
constexpr TemporalStrategy kTemporalStrategy = TemporalStrategy::kLast;
#endif

// The thread that made the last fork, noted in the child: the one thread of
// the parent that the child has.
std::atomic<std::thread::id> forking_thread{};
// How many forks lie between the first process and this one, counted in
// each child: a sampler made in another generation belongs to an ancestor.
// Comparing it costs a call nothing, where asking the process id would be a
// system call.
std::atomic<uint64_t> fork_generation{0};

void note_fork_in_child() {
  forking_thread.store(std::this_thread::get_id());
  fork_generation.fetch_add(1);
}

// Marks the sampler's call as owned by this thread, and empties the working
// state (giving back what it held beyond its steady size) when the call
// ends, returned or failed.
class ActiveCall {
 public:
  ActiveCall(std::atomic<std::thread::id>& running_thread, CallState& state,
             CallBuffers& buffers)
      : running_thread_(running_thread), state_(state), buffers_(buffers) {
    running_thread_.store(std::this_thread::get_id());
  }
  ~ActiveCall() {
    end();
    running_thread_.store(std::thread::id());
  }
  // Empties the working state; the later calls of end() do nothing.
  void end() {
    if (ended_) return;
    ended_ = true;
    state_.end_call();
    buffers_.end_call();
  }
  ActiveCall(const ActiveCall&) = delete;
  ActiveCall& operator=(const ActiveCall&) = delete;

 private:
  std::atomic<std::thread::id>& running_thread_;
  CallState& state_;
  CallBuffers& buffers_;
  bool ended_ = false;
};

// Lets a long call on the main thread be interrupted: about every
// kSignalPeriod it takes the interpreter lock and runs the pending signal
// handlers. An exception raised by a handler (KeyboardInterrupt) ends the
// call there. Signals are handled on the main thread only, so calls on other
// threads never take the lock for this.
class SignalCheck : public ProgressCheck {
 public:
  static constexpr std::chrono::milliseconds kSignalPeriod = NeighborSampler::kSignalPeriod;

  SignalCheck() : next_(std::chrono::steady_clock::now() + kSignalPeriod) {}

  void check() override {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return;
    next_ = now + kSignalPeriod;
    const LockRetaken retaken(true);  // signals are checked on the main thread only
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }

 private:
  std::chrono::steady_clock::time_point next_;
};

template <class T>
void end_buffer(std::vector<T>& buffer) {
  constexpr size_t kKeepItems = 4096;
  buffer.clear();
  if (buffer.capacity() > kKeepItems) std::vector<T>().swap(buffer);
}

// A result array for a copy of n values at `data`: numpy's C API when the
// blocks have it, else pybind11's.
py::array copied_array(const BlockArrays& blocks, bool direct, const int64_t* data, size_t n,
                       std::vector<PendingCopy>& copies) {
  if (!direct) return to_int64_array(data, n, copies);
  py::array result = blocks.empty(n);
  if (n != 0) copies.push_back(PendingCopy{static_cast<int64_t*>(result.mutable_data()), data, n});
  return result;
}

// Result arrays of the working lists. A list of kHandOverBytes or more hands
// its block to its array, which saves the copy and keeps the call's peak
// memory near the size of its result. A shorter one is copied: its block
// then serves the next call, which saves trips to the allocator in calls
// whose lists are all short. Without numpy's C API every list is copied.
constexpr size_t kHandOverBytes = size_t{4} << 10;

class ResultLists {
 public:
  ResultLists(BlockArrays& blocks, std::vector<PendingCopy>& copies)
      : blocks_(blocks), copies_(copies), direct_(blocks.available()) {}

  // An array for a copy of values[skip:].
  py::array copy_of(const std::vector<int64_t>& values, size_t skip = 0) {
    return copied_array(blocks_, direct_, values.data() + skip, values.size() - skip, copies_);
  }

  py::array to_array(Int64List& list) {
    const size_t n = list.size();
    if (n * sizeof(int64_t) >= kHandOverBytes && direct_) {
      handed_over_ += n * sizeof(int64_t);
      return blocks_.adopt(list.release(), n);
    }
    return copied_array(blocks_, direct_, list.data(), n, copies_);
  }
  size_t handed_over() const { return handed_over_; }
  // Counts a block that a result array took from the pool another way.
  void note_handed_over(size_t bytes) { handed_over_ += bytes; }

 private:
  BlockArrays& blocks_;
  std::vector<PendingCopy>& copies_;
  const bool direct_;  // numpy's C API loaded
  size_t handed_over_ = 0;
};

size_t slot_of(size_t node_slot) { return node_slot; }
size_t slot_of(const EdgeTypeSlots& slots) { return slots.key_slot; }

// An empty dictionary with room for n keys, so that filling it never
// resizes it.
py::dict dict_for(size_t n) {
#if PY_VERSION_HEX < 0x030D0000
  PyObject* dict = _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
#else
  static_cast<void>(n);
  PyObject* dict = PyDict_New();
#endif
  if (dict == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::dict>(dict);
}

// dict[key] = value on a dictionary of ours (no interpreter code runs).
void set_item(const py::dict& dict, const py::str& key, const py::object& value) {
  if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

py::dict to_dict(const py::object& value) {
  if (PyDict_Check(value.ptr())) return py::reinterpret_borrow<py::dict>(value);
  PyObject* dict = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value.ptr());
  if (dict == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::dict>(dict);
}

}  // namespace

void CallBuffers::end_call() {
  end_buffer(hop_parameters);
  end_buffer(pending_copies);
}

NeighborSampler::NeighborSampler(std::vector<std::string> node_types,
                                 std::vector<EdgeType> edge_types, const py::dict& colptr,
                                 const py::dict& row, const py::dict& node_time, int32_t seed)
    : graph_(std::move(node_types), std::move(edge_types)), strategy_(kTemporalStrategy) {
  const std::vector<std::string>& keys = graph_.edge_type_keys();
  check_keyed_arrays(colptr, "colptr", keys, 1, true);
  check_keyed_arrays(row, "row", keys, 1, true);
  graph_.set_temporal(PyDict_Size(node_time.ptr()) > 0);
  check_keyed_arrays(node_time, "node_time", graph_.node_types(), 1, true);

  for (const std::string& key : keys) {
    const py::str key_object(key);
    graph_.file_colptr(key, keep(array_data(get_item(colptr, key_object), key, "colptr")));
    graph_.file_row(key, keep(array_data(get_item(row, key_object), key, "row")));
  }
  for (const std::string& name : graph_.node_types()) {
    const py::str name_object(name);
    if (!dict_contains(node_time, name_object)) continue;
    graph_.file_node_time(name,
                          keep(array_data(get_item(node_time, name_object), name, "node_time")));
  }
  node_type_objects_.reserve(graph_.node_types().size());
  for (const std::string& name : graph_.node_types()) node_type_objects_.emplace_back(name);
  key_objects_.reserve(keys.size());
  for (const std::string& key : keys) {
    key_objects_.emplace_back(key);
    allowed_keys_.add(key_objects_.back());
  }
  rng_.seed(seed);
  state_.pool = pool_.get();
  static const int fork_handler = pthread_atfork(nullptr, nullptr, note_fork_in_child);
  static_cast<void>(fork_handler);
  owner_generation_ = fork_generation.load();
}

NeighborSampler::~NeighborSampler() {
  // Nothing will take blocks from the pool any more: free what it keeps,
  // and let the arrays that outlive the sampler free theirs.
  pool_->set_limit(0);
}

Int64View NeighborSampler::keep(OwnedView data) {
  array_owners_.push_back(std::move(data.owner));
  return data.view;
}

void NeighborSampler::take_over_after_fork() {
  const uint64_t generation = fork_generation.load();
  if (generation == owner_generation_) return;
  owner_generation_ = generation;
  const std::thread::id running = running_thread_.load();
  // A call of the thread that forked goes on in this process.
  if (running != std::thread::id() && running == forking_thread.load()) return;
  // The mutex may be held by a thread that is not here, and a call that
  // was running left its working state half made. Both are left as they
  // are (a held mutex cannot be destroyed, the state may be torn) and new
  // ones made in their storage.
  new (&call_mutex_) std::timed_mutex();
  if (running != std::thread::id()) {
    new (&state_) CallState();
    state_.pool = pool_.get();
    new (&buffers_) CallBuffers();
    running_thread_.store(std::thread::id());
  }
}

void NeighborSampler::wait_for_call(std::unique_lock<std::timed_mutex>& call_lock) {
  if (_PyOS_IsMainThread() == 0) {
    const LockReleased released;
    call_lock.lock();
    return;
  }
  // Signals are handled on the main thread: between waits of kSignalPeriod
  // it runs their handlers, and one that raises ends this call, which has
  // drawn nothing yet.
  for (;;) {
    {
      const LockReleased released;
      if (call_lock.try_lock_for(kSignalPeriod)) return;
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

std::unique_lock<std::timed_mutex> NeighborSampler::take_call(const char* method) {
  take_over_after_fork();
  if (running_thread_.load() == std::this_thread::get_id()) {
    throw std::runtime_error(std::string("NeighborSampler.") + method +
                             "() was called on a sampler whose sample() call is still running.");
  }
  std::unique_lock<std::timed_mutex> call_lock(call_mutex_, std::try_to_lock);
  if (!call_lock.owns_lock()) wait_for_call(call_lock);
  return call_lock;
}

void NeighborSampler::reseed(int32_t seed) {
  const std::unique_lock<std::timed_mutex> call_lock = take_call("reseed");
  rng_.seed(seed);
}

SampleResult NeighborSampler::sample(const py::dict& num_neighbors,
                                     const py::dict& sampling_time_offsets,
                                     const std::string& entity_table, const py::array& seed_node,
                                     const py::array& seed_time) {
  return run_call(num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time,
                  nullptr);
}

BatchResult NeighborSampler::sample_batch(const py::dict& num_neighbors,
                                          const py::dict& sampling_time_offsets,
                                          const std::string& entity_table,
                                          const py::array& seed_node,
                                          const py::array& seed_time) {
  BatchExtras extras;
  SampleResult six = run_call(num_neighbors, sampling_time_offsets, entity_table, seed_node,
                              seed_time, &extras);
  return std::tuple_cat(std::move(six), std::make_tuple(extras.edge_index, extras.node_time));
}

SampleResult NeighborSampler::run_call(const py::dict& num_neighbors,
                                       const py::dict& sampling_time_offsets,
                                       const std::string& entity_table, const py::array& seed_node,
                                       const py::array& seed_time, BatchExtras* extras) {
  // 1. Take the sampler for this call; wait for another thread's call with
  // the interpreter lock released, so that call can go on and end.
  const std::unique_lock<std::timed_mutex> call_lock =
      take_call(extras == nullptr ? "sample" : "sample_batch");
  ActiveCall active_call(running_thread_, state_, buffers_);

  // 2. Everything that needs the interpreter: the checks, the seed arrays and
  // every hop's parameters.
  const ValidatedRequest request =
      validate_request(graph_, key_objects_, allowed_keys_, num_neighbors, sampling_time_offsets,
                       entity_table, seed_node, seed_time);
  Seeds seeds;
  seeds.entity_slot = request.entity_slot;
  const OwnedView seed_nodes = dense_int64_view(seed_node);
  seeds.seed_node = seed_nodes.view;
  OwnedView seed_times;
  if (graph_.temporal() && seed_time.size() != 0) {
    seed_times = dense_int64_view(seed_time);
    seeds.seed_time = seed_times.view;
  }
  PrefetchedParameters params(num_neighbors, sampling_time_offsets, request, buffers_.hop_parameters);
  SignalCheck signal_check;
  ProgressCheck* progress = _PyOS_IsMainThread() ? &signal_check : nullptr;

  // 3. The hops, without the interpreter lock. Every array they read is kept
  // alive by this call's arguments or by the sampler.
  {
    const LockReleased released;
    // A batch's node times are written as its nodes are registered.
    state_.record_times = extras != nullptr;
    expand_hops(graph_, seeds, request.num_hops, params, rng_, state_, progress, strategy_);
  }

  // 4. The result: its dictionaries and arrays are made under the lock, the
  // lists are copied into them and the working state emptied without it
  // (unless the result is small).
  buffers_.pending_copies.clear();
  SampleResult result = build_result(buffers_.pending_copies, extras);
  // A small result is copied at once: releasing the lock would cost more
  // than the copy keeps other threads waiting.
  constexpr size_t kCopyWithLockBytes = size_t{256} << 10;
  size_t result_bytes = 0;
  for (const PendingCopy& copy : buffers_.pending_copies) {
    result_bytes += copy.n * sizeof(int64_t);
  }
  if (result_bytes <= kCopyWithLockBytes) {
    run_copies(buffers_.pending_copies);
    active_call.end();
  } else {
    const LockReleased released;
    run_copies(buffers_.pending_copies);
    active_call.end();
  }
  return result;
}

SampleResult NeighborSampler::build_result(std::vector<PendingCopy>& copies,
                                           BatchExtras* extras) {
  ResultLists lists(blocks_, copies);
  // A type named twice shares its slot, and its key takes the value of the
  // last assignment; only that one gets arrays (the lists' blocks can be
  // handed over once, and an array replaced in its dictionary would be
  // freed before its pending copy ran into it). Earlier ones just place the
  // key (None, overwritten).
  const auto is_last = [](const auto& slots, size_t i) {
    for (size_t later = i + 1; later < slots.size(); ++later) {
      if (slot_of(slots[later]) == slot_of(slots[i])) return false;
    }
    return true;
  };
  const auto& node_types = graph_.node_types();
  const py::dict out_node = dict_for(node_types.size());
  const py::dict num_sampled_nodes = dict_for(node_types.size());
  const py::dict out_batch = dict_for(node_types.size());
  const auto& node_slots = graph_.node_type_slots();
  for (size_t i = 0; i < node_types.size(); ++i) {
    NodeState& node = state_.nodes[node_slots[i]];
    const py::str& key = node_type_objects_[i];
    const bool last = is_last(node_slots, i);
    // Recorded for every type with times, unless a node fell outside them
    // (a type without sampled nodes has nothing to fall outside). Compared
    // before out_node may hand its block over.
    const bool has_times = graph_.node_time_data(node_slots[i]) != nullptr &&
                           !node.time_missing &&
                           node.out_time.size() == node.out_node.size();
    set_item(out_node, key, last ? py::object(lists.to_array(node.out_node)) : py::none());
    set_item(num_sampled_nodes, key,
             last ? py::object(lists.copy_of(node.num_sampled_nodes)) : py::none());
    set_item(out_batch, key, last ? py::object(lists.to_array(node.out_batch)) : py::none());
    if (extras != nullptr && last && has_times) {
      extras->node_time[key] = lists.to_array(node.out_time);
    }
  }
  const auto& keys = graph_.edge_type_keys();
  const py::dict num_sampled_edges = dict_for(keys.size());
  const py::dict out_row = dict_for(keys.size());
  const py::dict out_col = dict_for(keys.size());
  const auto& edge_slots = graph_.edge_type_slots();
  for (size_t j = 0; j < keys.size(); ++j) {
    EdgeState& edge = state_.edges[edge_slots[j].key_slot];
    const py::str& key = key_objects_[j];
    const bool last = is_last(edge_slots, j);
    set_item(num_sampled_edges, key,
             last ? py::object(lists.copy_of(edge.num_sampled_edges, 1)) : py::none());
    if (extras == nullptr || !last) {
      set_item(out_row, key, last ? py::object(lists.to_array(edge.out_row)) : py::none());
      set_item(out_col, key, last ? py::object(lists.to_array(edge.out_col)) : py::none());
      if (extras != nullptr) extras->edge_index[key] = py::none();
      continue;
    }
    // One 2 x E array; out_row and out_col are views of its rows. A large
    // one takes a block that a freed result gave back to the pool, whose
    // pages are already there.
    const size_t n = edge.out_row.size();
    const auto width = static_cast<py::ssize_t>(n);
    py::array both;
    if (2 * n * sizeof(int64_t) >= kHandOverBytes && blocks_.available()) {
      int64_t* block = blocks_.block_for(2, n);
      if (block == nullptr) throw std::bad_alloc();
      both = blocks_.adopt_rows(block, 2, n);
      lists.note_handed_over(2 * n * sizeof(int64_t));
    } else {
      both = py::array_t<int64_t>({py::ssize_t{2}, width});
    }
    auto* rows = static_cast<int64_t*>(both.mutable_data());
    if (n != 0) {
      copies.push_back(PendingCopy{rows, edge.out_row.data(), n});
      copies.push_back(PendingCopy{rows + n, edge.out_col.data(), n});
    }
    const std::vector<py::ssize_t> shape{width};
    const std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(sizeof(int64_t))};
    set_item(out_row, key, py::array_t<int64_t>(shape, strides, rows, both));
    set_item(out_col, key, py::array_t<int64_t>(shape, strides, rows + n, both));
    extras->edge_index[key] = both;
  }
  // The pool keeps up to twice what both this call and the last one handed
  // over (so that a caller who holds one result while the next is made
  // still finds blocks), and at least CallState::kKeepBytes: a run of
  // similar calls reuses its blocks, and a one-off large call's blocks are
  // freed as they come back, as the working state's memory is.
  const size_t steady = std::min(lists.handed_over(), last_handed_over_);
  pool_->set_limit(std::max(CallState::kKeepBytes, 2 * steady));
  last_handed_over_ = lists.handed_over();
  return {out_row, out_col, out_node, out_batch, num_sampled_nodes, num_sampled_edges};
}

namespace {

// What a Python NeighborSampler instance holds: its sampler, shared with the
// calls running on it. A call keeps its own reference, so that Python code
// the call runs (a dict subclass's __getitem__) or another thread may call
// __init__ on the instance again, which destroys what the instance held,
// without freeing the sampler under the running call.
struct SamplerHandle {
  std::shared_ptr<NeighborSampler> sampler;
};

// The sampler of `self`, for a call of `method` that may outlive what the
// instance holds. An instance made by __new__ alone has no sampler: pybind11
// hands over uninitialised storage for it, which was never registered.
std::shared_ptr<NeighborSampler> sampler_of(SamplerHandle* self, const char* method) {
  static const py::detail::type_info* type = py::detail::get_type_info(typeid(SamplerHandle));
  if (!py::detail::get_object_handle(self, type)) {
    throw py::type_error(std::string("NeighborSampler.") + method +
                         "() called on an instance whose __init__ has not run");
  }
  return self->sampler;
}

SamplerHandle* new_sampler(std::vector<std::string> node_types, std::vector<EdgeType> edge_types,
                           const py::dict& colptr, const py::dict& row,
                           const py::object& node_time, int32_t seed) {
  // node_time becomes a dictionary before anything else is looked at.
  const py::dict node_time_dict = to_dict(node_time);
  return new SamplerHandle{std::make_shared<NeighborSampler>(
      std::move(node_types), std::move(edge_types), colptr, row, node_time_dict, seed)};
}

}  // namespace

void register_neighbor_sampler(py::module_& module) {
  py::class_<SamplerHandle> sampler_class(module, "NeighborSampler");
#ifdef REROZER_TEMPORAL_UNIFORM
  // This module's samplers also take the strategy of either module, and can
  // be seeded again: a loader keeps one warm sampler per worker and seeds
  // it for each batch.
  sampler_class
      .def(py::init([](std::vector<std::string> node_types, std::vector<EdgeType> edge_types,
                       const py::dict& colptr, const py::dict& row, const py::object& node_time,
                       int32_t seed, const std::string& temporal_strategy) {
             TemporalStrategy strategy = TemporalStrategy::kUniform;
             if (temporal_strategy == "last") {
               strategy = TemporalStrategy::kLast;
             } else if (temporal_strategy != "uniform") {
               throw py::value_error("temporal_strategy must be 'last' or 'uniform', got '" +
                                     temporal_strategy + "'");
             }
             SamplerHandle* handle = new_sampler(std::move(node_types), std::move(edge_types),
                                                 colptr, row, node_time, seed);
             handle->sampler->set_temporal_strategy(strategy);
             return handle;
           }),
           py::arg("node_types"), py::arg("edge_types"), py::arg("colptr"), py::arg("row"),
           py::arg("node_time"), py::arg("seed") = 123,
           py::arg("temporal_strategy") = "uniform")
      .def(
          "reseed",
          [](SamplerHandle* self, int32_t seed) { sampler_of(self, "reseed")->reseed(seed); },
          py::arg("seed"))
      .def(
          "sample_batch",
          [](SamplerHandle* self, const py::dict& num_neighbors,
             const py::dict& sampling_time_offsets, const std::string& entity_table,
             const py::array& seed_node, const py::array& seed_time) {
            const std::shared_ptr<NeighborSampler> sampler = sampler_of(self, "sample_batch");
            return sampler->sample_batch(num_neighbors, sampling_time_offsets, entity_table,
                                         seed_node, seed_time);
          },
          py::arg("num_neighbors"), py::arg("sampling_time_offsets"), py::arg("entity_table"),
          py::arg("seed_node"), py::arg("seed_time"));
#else
  sampler_class.def(py::init(&new_sampler), py::arg("node_types"), py::arg("edge_types"),
                    py::arg("colptr"), py::arg("row"), py::arg("node_time"),
                    py::arg("seed") = 123);
#endif
  sampler_class
      .def(
          "sample",
          [](SamplerHandle* self, const py::dict& num_neighbors,
             const py::dict& sampling_time_offsets, const std::string& entity_table,
             const py::array& seed_node, const py::array& seed_time) {
            // `self` is not used again: the call may outlive what it holds.
            const std::shared_ptr<NeighborSampler> sampler = sampler_of(self, "sample");
            return sampler->sample(num_neighbors, sampling_time_offsets, entity_table, seed_node,
                                   seed_time);
          },
          py::arg("num_neighbors"), py::arg("sampling_time_offsets"), py::arg("entity_table"),
          py::arg("seed_node"), py::arg("seed_time"))
      // Without this, pickle protocols 0 and 1 and copyreg's fallback try to
      // build an instance of pybind11's base class, whose constructor aborts
      // the process. Every route now raises the TypeError that protocol 2
      // raises; __reduce_ex__ of every protocol calls an overridden __reduce__.
      .def("__reduce__", [](const py::object& self) -> py::object {
        throw py::type_error(std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name +
                             "' object");
      });
}

}  // namespace rerozer
