// The floor of a `sample` call, driven by bench/floor.py and bench/run.py
// over the graph and case files that floor.py exports. Prints JSON lines.
//
//   rerozer_floor serve GRAPH CASE    two warm-up calls (batches 0 and 1),
//       then {"calls": N}; per line "pass" on stdin one timed pass over
//       batches 0 .. N-1 (each call timed by the thread's CPU clock and the
//       wall clock, copy-out included, freeing the result not); "finish"
//       prints a checksum of every result and exits. The same protocol as
//       bench/worker.py, so that run.py can alternate the two pass by pass.
//   rerozer_floor memory GRAPH CASE   the peak resident memory of the first
//       call beyond the loaded graph, and of the last call of the batches
//       (steady state), like worker.py --mode memory.
//   rerozer_floor dump GRAPH CASE OUT every batch in turn from a fresh
//       sampler; writes every result to OUT as int64 values (per array: its
//       length, then its values; arrays in result order).
//
// Result arrays reuse the memory of the previous call's arrays by default;
// with --fresh-results each comes from malloc, and its pages fault anew
// whenever the allocator has given freed memory back to the system.

#include <malloc.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "floor_input.h"
#include "floor_sampler.h"

namespace rerozer::bench {
namespace {

double clock_seconds(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int64_t status_kib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1));
  }
  throw std::runtime_error(field + " not in /proc/self/status");
}

bool reset_peak() {
  std::ofstream clear_refs("/proc/self/clear_refs");
  clear_refs << "5";
  clear_refs.flush();
  return static_cast<bool>(clear_refs);
}

// A cheap order-sensitive checksum of every value of a result.
void add_checksum(uint64_t& sum, const FloorResult& result) {
  for (const auto* lists : {&result.out_row, &result.out_col, &result.out_node,
                            &result.out_batch, &result.num_sampled_nodes,
                            &result.num_sampled_edges}) {
    for (const OutArray& a : *lists) {
      sum = (sum ^ a.size()) * 0x100000001B3ULL;
      for (size_t e = 0; e < a.size(); ++e) {
        sum = (sum ^ static_cast<uint64_t>(a.data()[e])) * 0x100000001B3ULL;
      }
    }
  }
}

FloorResult call(FloorSampler& sampler, const FloorCase& c, size_t batch) {
  return sampler.sample(c.rules, c.entity, c.seed_node[batch], c.seed_time[batch]);
}

int serve(const FloorGraph& graph, const FloorCase& c, bool recycle) {
  FloorSampler sampler(graph, c.temporal, c.sampler_seed, recycle);
  uint64_t sum = 0xCBF29CE484222325ULL;
  for (size_t b = 0; b < 2; ++b) add_checksum(sum, call(sampler, c, b));
  std::cout << "{\"calls\": " << c.timed_calls << "}" << std::endl;
  size_t passes = 0;
  std::string command;
  while (std::getline(std::cin, command)) {
    if (command == "pass") {
      double cpu = 0;
      double wall = 0;
      size_t edges = 0;
      for (size_t b = 0; b < c.timed_calls; ++b) {
        const double cpu0 = clock_seconds(CLOCK_THREAD_CPUTIME_ID);
        const double wall0 = clock_seconds(CLOCK_MONOTONIC);
        FloorResult result = call(sampler, c, b);
        wall += clock_seconds(CLOCK_MONOTONIC) - wall0;
        cpu += clock_seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
        edges += result.edges();
        add_checksum(sum, result);
      }
      ++passes;
      std::printf("{\"wall\": %.9f, \"cpu\": %.9f, \"edges\": %zu, \"calls\": %zu}\n", wall, cpu,
                  edges, c.timed_calls);
      std::fflush(stdout);
    } else if (command == "finish") {
      std::printf("{\"digest\": \"%016llx\", \"calls\": %zu}\n",
                  static_cast<unsigned long long>(sum), 2 + passes * c.timed_calls);
      std::fflush(stdout);
      return 0;
    } else {
      std::cerr << "unknown command " << command << "\n";
      return 2;
    }
  }
  return 0;
}

int memory(const FloorGraph& graph, const FloorCase& c, bool recycle) {
  FloorSampler sampler(graph, c.temporal, c.sampler_seed, recycle);
  malloc_trim(0);
  const bool reset = reset_peak();
  const int64_t before = status_kib("VmRSS");
  size_t first_bytes = 0;
  int64_t first_peak = 0;
  {
    FloorResult result = call(sampler, c, 0);
    first_peak = status_kib("VmHWM");
    first_bytes = result.bytes();
  }
  malloc_trim(0);
  const int64_t kept = status_kib("VmRSS") - before;
  const size_t last = c.seed_node.size() - 1;
  for (size_t b = 1; b < last; ++b) call(sampler, c, b);
  reset_peak();
  size_t steady_bytes = 0;
  int64_t steady_peak = 0;
  {
    FloorResult result = call(sampler, c, last);
    steady_peak = status_kib("VmHWM");
    steady_bytes = result.bytes();
  }
  std::printf(
      "{\"peak_reset\": %s, \"result_bytes\": %zu, \"peak_delta_bytes\": %lld, "
      "\"retained_bytes\": %lld, \"steady_result_bytes\": %zu, \"steady_peak_delta_bytes\": "
      "%lld, \"calls\": %zu}\n",
      reset ? "true" : "false", first_bytes,
      static_cast<long long>((first_peak - before) * 1024), static_cast<long long>(kept * 1024),
      steady_bytes, static_cast<long long>((steady_peak - before) * 1024), last + 1);
  return 0;
}

int dump(const FloorGraph& graph, const FloorCase& c, bool recycle, const std::string& path) {
  FloorSampler sampler(graph, c.temporal, c.sampler_seed, recycle);
  std::ofstream out(path, std::ios::binary);
  const auto put = [&out](const OutArray& a) {
    const auto n = static_cast<int64_t>(a.size());
    out.write(reinterpret_cast<const char*>(&n), sizeof(n));
    out.write(reinterpret_cast<const char*>(a.data()),
              static_cast<std::streamsize>(a.size() * sizeof(int64_t)));
  };
  for (size_t b = 0; b < c.seed_node.size(); ++b) {
    const FloorResult result = call(sampler, c, b);
    for (const auto* lists : {&result.out_row, &result.out_col, &result.out_node,
                              &result.out_batch, &result.num_sampled_nodes,
                              &result.num_sampled_edges}) {
      for (const OutArray& a : *lists) put(a);
    }
  }
  return out ? 0 : 1;
}

}  // namespace
}  // namespace rerozer::bench

int main(int argc, char** argv) {
  using namespace rerozer::bench;
  std::vector<std::string> args;
  bool recycle = true;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--fresh-results") {
      recycle = false;
    } else {
      args.push_back(arg);
    }
  }
  const std::string mode = args.empty() ? "" : args[0];
  if (args.size() < 3 || (mode == "dump" && args.size() < 4)) {
    std::cerr << "usage: rerozer_floor serve|memory|dump GRAPH CASE [OUT] [--fresh-results]\n";
    return 2;
  }
  try {
    const FloorGraph graph = read_graph(args[1]);
    const FloorCase c = read_case(args[2], graph);
    if (mode == "serve") return serve(graph, c, recycle);
    if (mode == "memory") return memory(graph, c, recycle);
    if (mode == "dump") return dump(graph, c, recycle, args[3]);
    std::cerr << "unknown mode " << mode << "\n";
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "rerozer_floor: " << error.what() << "\n";
    return 1;
  }
}
