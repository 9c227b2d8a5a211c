#include "sampling/local_index.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace rerozer {
namespace {

using Pair = std::pair<int64_t, int64_t>;  // (example, node)
using Pairs = std::vector<Pair>;

// A table with the two lists it indexes, as a node type's state holds them.
struct Registry {
  LocalIndex index;
  Int64List examples;
  Int64List nodes;

  int64_t find_or_add(const Pair& pair) {
    return index.find_or_add(pair.first, pair.second, examples, nodes);
  }
  void clear() {
    index.clear(examples, nodes);
    examples.clear();
    nodes.clear();
  }
};

// `count` distinct pairs in one of the shapes a call produces.
Pairs make_pairs(const std::string& shape, size_t count, uint64_t seed) {
  Pairs pairs;
  std::mt19937_64 rng(seed);
  for (size_t i = 0; i < count; ++i) {
    const auto n = static_cast<int64_t>(i);
    if (shape == "one_example") {
      pairs.emplace_back(0, 1000 + 7 * n);
    } else if (shape == "one_node") {
      pairs.emplace_back(n, 42);
    } else if (shape == "grid") {
      pairs.emplace_back(n % 37, n / 37);
    } else {
      // Distinct by construction: the node carries i in its low bits.
      pairs.emplace_back(static_cast<int64_t>(rng() % 512),
                         static_cast<int64_t>((rng() % 100000) << 20) + n);
    }
  }
  return pairs;
}

// Enters every pair, checking that each is new and gets the next index.
void enter_all_new(Registry& registry, const Pairs& pairs) {
  for (size_t i = 0; i < pairs.size(); ++i) {
    ASSERT_EQ(registry.find_or_add(pairs[i]), static_cast<int64_t>(i))
        << "pair " << i << " (" << pairs[i].first << ", " << pairs[i].second
        << ") was found although the table was empty";
  }
  ASSERT_EQ(registry.nodes.size(), pairs.size());
}

// Every pair is still there with the index it was entered with, and
// finding it again appends nothing.
void expect_all_found(Registry& registry, const Pairs& pairs) {
  for (size_t i = 0; i < pairs.size(); ++i) {
    ASSERT_EQ(registry.find_or_add(pairs[i]), static_cast<int64_t>(i)) << "pair " << i;
  }
  ASSERT_EQ(registry.nodes.size(), pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    ASSERT_EQ(registry.examples[i], pairs[i].first);
    ASSERT_EQ(registry.nodes[i], pairs[i].second);
  }
}

class LocalIndexTest : public ::testing::TestWithParam<std::string> {};

TEST_P(LocalIndexTest, GrowthKeepsEveryIndex) {
  // 64 slots at first, doubled at half load: 3000 pairs grow it seven times.
  Registry registry;
  const Pairs pairs = make_pairs(GetParam(), 3000, 1);
  ASSERT_NO_FATAL_FAILURE(enter_all_new(registry, pairs));
  ASSERT_NO_FATAL_FAILURE(expect_all_found(registry, pairs));
}

TEST_P(LocalIndexTest, ClearAfterGrowthWithFewEntriesForgetsEveryPair) {
  // A large call grows the table to 16384 slots and fills it (cleared by one
  // sweep); a smaller call then enters at most an eighth of the slots, so
  // its clear visits only its own pairs. At an eighth of the load about a
  // hundred of them sit off their home slot, behind an earlier pair.
  Registry registry;
  const Pairs large = make_pairs(GetParam(), 6000, 2);
  ASSERT_NO_FATAL_FAILURE(enter_all_new(registry, large));
  registry.clear();

  const Pairs small(large.begin(), large.begin() + 2000);
  ASSERT_NO_FATAL_FAILURE(enter_all_new(registry, small));
  ASSERT_NO_FATAL_FAILURE(expect_all_found(registry, small));
  registry.clear();

  // Nothing of either call may be found: every pair is new again, in any
  // order, and the same small call gives the same indices.
  const Pairs again(small.rbegin(), small.rend());
  ASSERT_NO_FATAL_FAILURE(enter_all_new(registry, again));
  registry.clear();
  ASSERT_NO_FATAL_FAILURE(enter_all_new(registry, small));
  registry.clear();
  ASSERT_NO_FATAL_FAILURE(enter_all_new(registry, large));
}

TEST_P(LocalIndexTest, RepeatedSmallCallsAfterALargeOne) {
  // The call sequence of the sampler: one large call, then the same small
  // call several times, each starting from an empty table.
  Registry registry;
  ASSERT_NO_FATAL_FAILURE(enter_all_new(registry, make_pairs(GetParam(), 5000, 3)));
  registry.clear();
  const Pairs small = make_pairs(GetParam(), 250, 4);
  for (int call = 0; call < 4; ++call) {
    ASSERT_NO_FATAL_FAILURE(enter_all_new(registry, small));
    ASSERT_NO_FATAL_FAILURE(expect_all_found(registry, small));
    registry.clear();
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LocalIndexTest,
                         ::testing::Values("one_example", "one_node", "grid", "random"),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                           return param.param;
                         });

TEST(LocalIndexLimitTest, ExampleIndexBeyond32BitsIsRefusedAndChangesNothing) {
  Registry registry;
  registry.find_or_add({0, 5});
  EXPECT_THROW(registry.find_or_add({int64_t{1} << 32, 5}), std::length_error);
  EXPECT_THROW(registry.find_or_add({-1, 5}), std::length_error);
  EXPECT_EQ(registry.nodes.size(), 1u);
  EXPECT_EQ(registry.find_or_add({0, 5}), 0);
  EXPECT_EQ(registry.find_or_add({1, 5}), 1);
}

TEST(LocalIndexLimitTest, ReserveMoreRefusesPastTheLimit) {
  Registry registry;
  EXPECT_THROW(registry.index.reserve_more(std::size_t{1} << 32, registry.examples,
                                           registry.nodes),
               std::length_error);
}

}  // namespace
}  // namespace rerozer
