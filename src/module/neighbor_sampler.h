#ifndef REROZER_MODULE_NEIGHBOR_SAMPLER_H_
#define REROZER_MODULE_NEIGHBOR_SAMPLER_H_

#include "module/python.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "graph/edge_type.h"
#include "graph/graph_store.h"
#include "module/array_exchange.h"
#include "module/block_arrays.h"
#include "sampling/call_state.h"
#include "sampling/hop_expansion.h"
#include "sampling/random_source.h"

namespace rerozer {

namespace py = pybind11;

using SampleResult = std::tuple<py::dict, py::dict, py::dict, py::dict, py::dict, py::dict>;

// What sample_batch returns besides the six dictionaries of sample: per edge
// type key a 2 x E int64 array whose rows are (views of which) out_row and
// out_col are, and per node type with times the time of every out_node
// entry.
struct BatchExtras {
  py::dict edge_index;
  py::dict node_time;
};
using BatchResult = std::tuple<py::dict, py::dict, py::dict, py::dict, py::dict, py::dict,
                               py::dict, py::dict>;

// Per-call buffers that a sampler keeps from call to call, so that an
// ordinary call allocates nothing for them: every hop's parameters, and the
// copies into the result arrays.
struct CallBuffers {
  std::vector<HopParameters> hop_parameters;
  std::vector<PendingCopy> pending_copies;

  // Empties both, and frees one that an unusual call made large.
  void end_call();
};

// The object behind a Python NeighborSampler: the graph store, the arrays
// that back it, the random source and the per-call working state.
//
// Construction checks colptr, row and node_time and keeps a reference to
// every array it reads (or to the converted copy, for values that were not
// C-contiguous native int64 arrays), so the graph stays valid for the
// sampler's life whatever the caller does with its own references. The
// dictionaries themselves are not kept.
//
// Calls on one sampler are serialised by the sampler itself: the hops run
// without the interpreter lock, and a call from another thread waits (with
// the lock released) until the running call has ended. On the main thread
// that wait runs pending signal handlers about every kSignalPeriod.
//
// In a child process forked while a call ran in another thread (which the
// child does not have), the first call takes the sampler over: it makes a
// new call mutex and working state and leaves the old ones as they were.
// The random source goes on from its state at the fork.
//
// Destroying the sampler lets its block pool keep nothing: result arrays
// that outlive it give their blocks straight back to the allocator.
class NeighborSampler {
 public:
  // How often a call waiting on the main thread looks for signals.
  static constexpr std::chrono::milliseconds kSignalPeriod{20};

  NeighborSampler(std::vector<std::string> node_types, std::vector<EdgeType> edge_types,
                  const py::dict& colptr, const py::dict& row, const py::dict& node_time,
                  int32_t seed);
  ~NeighborSampler();
  NeighborSampler(const NeighborSampler&) = delete;
  NeighborSampler& operator=(const NeighborSampler&) = delete;

  // Validates the request, grows the subgraphs and returns
  // (out_row, out_col, out_node, out_batch, num_sampled_nodes,
  // num_sampled_edges). A failed call keeps the draws it made and leaves
  // nothing else behind. A call made from another thread while one runs
  // waits for it; a call nested in a running one on the same thread (from
  // Python code that the running call runs) raises std::runtime_error.
  SampleResult sample(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                      const std::string& entity_table, const py::array& seed_node,
                      const py::array& seed_time);

  // sample(), laid out as a loader's batch needs it (the same draws, the
  // same six dictionaries), plus BatchExtras: each edge type's out_row and
  // out_col are the two rows of its edge_index array, and node_time holds,
  // for every node type with times whose sampled nodes all lie within them,
  // the time of each out_node entry (a type with a node outside its times
  // is left out). The times are read after the hops, without the
  // interpreter lock.
  BatchResult sample_batch(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                           const std::string& entity_table, const py::array& seed_node,
                           const py::array& seed_time);

  // Seeds the random source as the constructor does, so that the following
  // calls return what a new sampler built with `seed` would return (the
  // position of the random source is the only state a call leaves for the
  // next), while the working state, the pool of result blocks and their
  // pages stay warm. Waits for a running call of another thread as sample()
  // does; raises std::runtime_error when called from a running call.
  void reseed(int32_t seed);

  // How counts pick on temporal edge types; the module's own strategy
  // unless set before the first call.
  void set_temporal_strategy(TemporalStrategy strategy) { strategy_ = strategy; }

 private:
  // Makes the result's dictionaries and arrays. Large working lists become
  // their arrays (the lists are left empty); the other arrays are filled by
  // the copies it appends, which need no interpreter lock.
  //
  // With `extras`, every edge type's rows are copied into one 2 x E array
  // and node times become arrays as the lists do.
  SampleResult build_result(std::vector<PendingCopy>& copies, BatchExtras* extras);
  // A call of sample() (extras null) or sample_batch().
  SampleResult run_call(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                        const std::string& entity_table, const py::array& seed_node,
                        const py::array& seed_time, BatchExtras* extras);
  // Holds the owner of a graph array for the sampler's life.
  Int64View keep(OwnedView data);
  // In a process forked since the last call, resets what a call of a thread
  // that did not survive the fork may hold. Needs the interpreter lock.
  void take_over_after_fork();
  // Takes the sampler for sample() or reseed() (`method`, for the message):
  // refuses a nested call on the running thread, then waits for another
  // thread's call.
  std::unique_lock<std::timed_mutex> take_call(const char* method);
  // Takes call_mutex_ into `call_lock` when another thread's call holds it.
  // Throws what a signal handler raised (main thread only).
  void wait_for_call(std::unique_lock<std::timed_mutex>& call_lock);

  GraphStore graph_;
  RandomSource rng_;
  TemporalStrategy strategy_;
  std::vector<py::object> array_owners_;
  // Blocks of freed result arrays, for the lists of later calls; shared
  // with the arrays' memory handler, which gives the blocks back.
  std::shared_ptr<BlockPool> pool_ = std::make_shared<BlockPool>();
  BlockArrays blocks_{pool_};
  // Bytes handed over to result arrays by the last call.
  size_t last_handed_over_ = 0;
  CallState state_;
  CallBuffers buffers_;
  // Held for the whole of a call: the working state and the random source
  // belong to one call at a time.
  std::timed_mutex call_mutex_;
  // The thread whose call holds call_mutex_, if any. Python code that a call
  // runs (a dict subclass's __getitem__, an __index__) could call sample on
  // the same sampler again from that thread; waiting for the mutex would
  // then never end, so that nested call is refused.
  std::atomic<std::thread::id> running_thread_{};
  // The fork generation (see neighbor_sampler.cpp) of the process whose
  // threads the call mutex and working state belong to.
  uint64_t owner_generation_;
  // The node types and edge type keys as interpreter strings, made once:
  // the request's lookups and the result's keys use them on every call.
  std::vector<py::str> node_type_objects_;
  std::vector<py::str> key_objects_;
  py::set allowed_keys_;
};

// Registers the class NeighborSampler in the module.
void register_neighbor_sampler(py::module_& module);

}  // namespace rerozer

#endif  // REROZER_MODULE_NEIGHBOR_SAMPLER_H_
