#include "floor_input.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace rerozer::bench {

namespace {

// Sequential reader of an int64 stream.
class Int64Reader {
 public:
  explicit Int64Reader(const std::string& path)
      : path_(path), file_(std::fopen(path.c_str(), "rb"), &std::fclose) {
    if (!file_) throw std::runtime_error("cannot open " + path);
  }

  int64_t next() {
    int64_t value;
    read_into(&value, 1);
    return value;
  }
  size_t next_size() {
    const int64_t value = next();
    if (value < 0) throw std::runtime_error(path_ + ": negative length");
    return static_cast<size_t>(value);
  }
  std::vector<int64_t> next_values(size_t n) {
    std::vector<int64_t> values(n);
    read_into(values.data(), n);
    return values;
  }
  std::vector<int64_t> next_array() { return next_values(next_size()); }
  void expect(int64_t magic) {
    if (next() != magic || next() != 1) throw std::runtime_error(path_ + ": not a floor file");
  }

 private:
  void read_into(int64_t* data, size_t n) {
    if (n != 0 && std::fread(data, sizeof(int64_t), n, file_.get()) != n) {
      throw std::runtime_error(path_ + ": file ends early");
    }
  }

  std::string path_;
  std::unique_ptr<FILE, int (*)(FILE*)> file_;
};

}  // namespace

FloorGraph read_graph(const std::string& path) {
  Int64Reader in(path);
  in.expect(kGraphMagic);
  FloorGraph graph;
  graph.node_types.resize(in.next_size());
  for (FloorGraph::NodeType& type : graph.node_types) {
    type.num_nodes = in.next();
    type.has_time = in.next() != 0;
    if (type.has_time) type.time = in.next_values(static_cast<size_t>(type.num_nodes));
  }
  graph.edge_types.resize(in.next_size());
  for (FloorGraph::EdgeType& type : graph.edge_types) {
    type.src = in.next_size();
    type.dst = in.next_size();
    type.colptr = in.next_array();
    type.row = in.next_array();
    if (type.src >= graph.node_types.size() || type.dst >= graph.node_types.size()) {
      throw std::runtime_error(path + ": edge type endpoint out of range");
    }
  }
  return graph;
}

FloorCase read_case(const std::string& path, const FloorGraph& graph) {
  Int64Reader in(path);
  in.expect(kCaseMagic);
  FloorCase c;
  c.temporal = in.next() != 0;
  c.entity = in.next_size();
  c.sampler_seed = static_cast<uint32_t>(in.next());
  c.num_hops = in.next_size();
  c.rules.assign(c.num_hops, std::vector<HopRule>(graph.edge_types.size()));
  for (auto& hop : c.rules) {
    for (HopRule& rule : hop) {
      rule.window = in.next() != 0;
      rule.count = in.next();
      rule.has_lo = in.next() != 0;
      rule.lo = in.next();
      rule.hi = in.next();
    }
  }
  c.timed_calls = in.next_size();
  const size_t batches = in.next_size();
  for (size_t b = 0; b < batches; ++b) {
    c.seed_node.push_back(in.next_array());
    c.seed_time.push_back(in.next_array());
  }
  if (c.entity >= graph.node_types.size() || batches < 2 || c.timed_calls > batches) {
    throw std::runtime_error(path + ": inconsistent case");
  }
  return c;
}

}  // namespace rerozer::bench
