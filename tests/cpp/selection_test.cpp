#include "sampling/selection.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "sampling/call_state.h"
#include "sampling/random_source.h"

namespace rerozer {
namespace {

using Ints = std::vector<int64_t>;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

Ints ints(const Int64List& list) { return Ints(list.begin(), list.end()); }

Int64View view_of(const Ints& values) {
  return Int64View{values.data(), static_cast<int64_t>(values.size())};
}

// One edge type a -> b built by hand: the CSC arrays, optional source times,
// an empty registry of the source type and empty result lists whose edge
// count list holds the 0 of the running hop.
class EdgeFixture {
 public:
  EdgeFixture(Ints colptr, Ints row) : colptr_(std::move(colptr)), row_(std::move(row)) {
    out_.num_sampled_edges.push_back(0);
  }

  // Gives source node u the time times[u].
  void set_source_times(Ints times) {
    times_ = std::move(times);
    times_view_ = view_of(times_);
  }

  EdgeContext context() {
    EdgeContext edge;
    edge.key = &key_;
    edge.src_type = &src_name_;
    edge.dst_type = &dst_name_;
    edge.colptr = view_of(colptr_);
    edge.row = view_of(row_);
    edge.time_src = times_.empty() ? nullptr : &times_view_;
    edge.src = &src_;
    edge.out = &out_;
    return edge;
  }

  const NodeState& src() const { return src_; }
  const EdgeState& out() const { return out_; }

 private:
  std::string key_ = "a__to__b";
  std::string src_name_ = "a";
  std::string dst_name_ = "b";
  Ints colptr_;
  Ints row_;
  Ints times_;
  Int64View times_view_;
  NodeState src_;
  EdgeState out_;
};

// Test names of the parameterised suites: the `name` field of each case.
template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& param_info) {
  return param_info.param.name;
}

// One column of n edges whose sources are 0, 1, ..., n - 1, so that a
// recorded source equals its offset in the column.
Ints identity_row(int64_t n) {
  Ints row(static_cast<size_t>(n));
  for (int64_t p = 0; p < n; ++p) row[static_cast<size_t>(p)] = p;
  return row;
}

RandomSource seeded(int32_t seed) {
  RandomSource source;
  source.seed(seed);
  return source;
}

// The source ids of the recorded edges, in record order.
Ints recorded_sources(const EdgeFixture& fixture) {
  Ints sources;
  for (int64_t local : fixture.out().out_row) {
    sources.push_back(fixture.src().out_node[static_cast<size_t>(local)]);
  }
  return sources;
}

// True when `rng` has made exactly `draws` draws since being seeded with
// `seed`: its next output equals output draws + 1 of a fresh twin.
bool made_draws(RandomSource& rng, int32_t seed, int draws) {
  RandomSource twin = seeded(seed);
  for (int n = 0; n < draws; ++n) twin.draw();
  return rng.draw() == twin.draw();
}

// Column 0 holds two edges, column 1 holds ten (positions 2 .. 11); source
// id of position p is 100 + p, so a recorded id names its position.
EdgeFixture ten_candidates() {
  Ints row;
  for (int64_t p = 0; p < 12; ++p) row.push_back(100 + p);
  return EdgeFixture({0, 2, 12}, row);
}

TEST(SampleRangeTest, FloydPicksTenChooseThreeInDrawOrder) {
  EdgeFixture fixture = ten_candidates();
  RandomSource rng = seeded(123);
  Selector selector(rng);
  selector.sample_range(fixture.context(), 0, 5, 2, 12, 3);
  // Draws reduce to 6, 1 and 2: positions b+6, b+1, b+2 with b = 2.
  EXPECT_EQ(recorded_sources(fixture), (Ints{108, 103, 104}));
  EXPECT_EQ(ints(fixture.out().out_row), (Ints{0, 1, 2}));
  EXPECT_EQ(ints(fixture.out().out_col), (Ints{5, 5, 5}));
  EXPECT_EQ(fixture.out().num_sampled_edges, (Ints{3}));
  EXPECT_EQ(ints(fixture.src().out_batch), (Ints{0, 0, 0}));
  EXPECT_TRUE(made_draws(rng, 123, 3));
}

TEST(SampleRangeTest, FloydTakesTheOwnOffsetOnACollision) {
  // Five candidates at positions 3 .. 7, source id 200 + p.
  EdgeFixture fixture({0, 3, 8}, {200, 201, 202, 203, 204, 205, 206, 207});
  RandomSource rng = seeded(123);
  Selector selector(rng);
  selector.sample_range(fixture.context(), 1, 0, 3, 8, 4);
  // Draws reduce to 0, 1, 2, 0; the last collides, so offset 4 is taken.
  EXPECT_EQ(recorded_sources(fixture), (Ints{203, 204, 205, 207}));
  EXPECT_EQ(ints(fixture.src().out_batch), (Ints{1, 1, 1, 1}));
  EXPECT_TRUE(made_draws(rng, 123, 4));
}

struct TakeAllCase {
  const char* name;
  int64_t k;
};

class SampleRangeTakeAllTest : public testing::TestWithParam<TakeAllCase> {};

TEST_P(SampleRangeTakeAllTest, TakesTheWholeRangeInOrderWithoutDrawing) {
  EdgeFixture fixture = ten_candidates();
  RandomSource rng = seeded(123);
  Selector selector(rng);
  selector.sample_range(fixture.context(), 0, 0, 2, 12, GetParam().k);
  EXPECT_EQ(recorded_sources(fixture),
            (Ints{102, 103, 104, 105, 106, 107, 108, 109, 110, 111}));
  EXPECT_EQ(ints(fixture.out().out_row), (Ints{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_TRUE(made_draws(rng, 123, 0));
}

INSTANTIATE_TEST_SUITE_P(Counts, SampleRangeTakeAllTest,
                         testing::Values(TakeAllCase{"k_equals_n", 10},
                                         TakeAllCase{"k_above_n", 11},
                                         TakeAllCase{"k_far_above_n", kMax},
                                         TakeAllCase{"k_minus_one", -1},
                                         TakeAllCase{"k_very_negative", kMin}),
                         case_name<TakeAllCase>);

TEST(SampleRangeTest, OneBelowTheRangeDrawsThatManyTimesWithoutRepeats) {
  EdgeFixture fixture = ten_candidates();
  RandomSource rng = seeded(77);
  Selector selector(rng);
  selector.sample_range(fixture.context(), 0, 0, 2, 12, 9);
  Ints sources = recorded_sources(fixture);
  ASSERT_EQ(sources.size(), 9u);
  std::vector<int> seen(12, 0);
  for (int64_t id : sources) {
    ASSERT_GE(id, 102);
    ASSERT_LE(id, 111);
    ++seen[static_cast<size_t>(id - 100)];
  }
  for (int64_t p = 2; p < 12; ++p) EXPECT_LE(seen[static_cast<size_t>(p)], 1);
  EXPECT_TRUE(made_draws(rng, 77, 9));
}

TEST(SampleRangeTest, ZeroRecordsNothingAndDrawsNothing) {
  EdgeFixture fixture = ten_candidates();
  RandomSource rng = seeded(123);
  Selector selector(rng);
  selector.sample_range(fixture.context(), 0, 0, 2, 12, 0);
  EXPECT_TRUE(fixture.out().out_row.empty());
  EXPECT_TRUE(fixture.src().out_node.empty());
  EXPECT_EQ(fixture.out().num_sampled_edges, (Ints{0}));
  EXPECT_TRUE(made_draws(rng, 123, 0));
}

// A range of at least 100000 candidates: the picks must be those of the
// small-range form (same Floyd steps), here checked against the worked picks
// of seed 123 reduced by hand: draws mod (N-2), (N-1), N.
TEST(SampleRangeTest, LargeRangeFollowsTheSameDrawOrder) {
  const int64_t n = 100003;
  EdgeFixture fixture({0, n}, identity_row(n));
  RandomSource rng = seeded(123);
  Selector selector(rng);
  selector.sample_range(fixture.context(), 0, 0, 0, n, 3);
  const Ints expected = {2991312382LL % (n - 2), 3062119789LL % (n - 1), 1228959102LL % n};
  EXPECT_EQ(recorded_sources(fixture), expected);
  EXPECT_TRUE(made_draws(rng, 123, 3));
}

TEST(SampleRangeTest, LargeRangeCollisionTakesTheOwnOffset) {
  // k = N - 1 on a large range makes many draws hit offsets already taken;
  // every such step must take its own offset, so the picks stay distinct.
  const int64_t n = 100001;
  EdgeFixture fixture({0, n}, identity_row(n));
  RandomSource rng = seeded(5);
  Selector selector(rng);
  selector.sample_range(fixture.context(), 0, 0, 0, n, n - 1);
  std::vector<char> seen(static_cast<size_t>(n), 0);
  for (int64_t id : recorded_sources(fixture)) {
    ASSERT_EQ(seen[static_cast<size_t>(id)], 0) << "offset " << id << " picked twice";
    seen[static_cast<size_t>(id)] = 1;
  }
  EXPECT_EQ(fixture.out().out_row.size(), static_cast<size_t>(n - 1));
  EXPECT_TRUE(made_draws(rng, 5, static_cast<int>(n - 1)));
}

// Source node u of the temporal fixtures has time times[u]; column 0 of
// destination node 0 lists sources 0, 1, 2, 3 in that order.
EdgeFixture timed_column(Ints times) {
  Ints row;
  for (int64_t u = 0; u < static_cast<int64_t>(times.size()); ++u) row.push_back(u);
  EdgeFixture fixture({0, static_cast<int64_t>(row.size())}, row);
  fixture.set_source_times(std::move(times));
  return fixture;
}

TEST(TimeUpperBoundTest, FindsTheFirstLaterPositionInOrderedData) {
  EdgeFixture fixture = timed_column({1, 2, 2, 5});
  RandomSource rng = seeded(123);
  const Selector selector(rng);
  const EdgeContext edge = fixture.context();
  EXPECT_EQ(selector.time_upper_bound(edge, 0, 4, 0), 0);
  EXPECT_EQ(selector.time_upper_bound(edge, 0, 4, 1), 1);
  EXPECT_EQ(selector.time_upper_bound(edge, 0, 4, 2), 3);
  EXPECT_EQ(selector.time_upper_bound(edge, 0, 4, 4), 3);
  EXPECT_EQ(selector.time_upper_bound(edge, 0, 4, 5), 4);
  EXPECT_EQ(selector.time_upper_bound(edge, 1, 3, 1), 1);
  EXPECT_EQ(selector.time_upper_bound(edge, 2, 2, 9), 2);
}

TEST(TimeUpperBoundTest, UsesExactlyTheHalvingOnUnorderedData) {
  EdgeFixture fixture = timed_column({9, 0, 9, 0, 0});
  RandomSource rng = seeded(123);
  const Selector selector(rng);
  // count 5: mid 2 (time 9 > 4) -> count 2; mid 1 (time 0) -> first 2,
  // count 0. A scan for the first time above 4 would give 0.
  EXPECT_EQ(selector.time_upper_bound(fixture.context(), 0, 5, 4), 2);
  // count 4 over [1, 5): mid 3 (0) -> first 4, count 1; mid 4 (0) -> 5.
  EXPECT_EQ(selector.time_upper_bound(fixture.context(), 1, 5, 4), 5);
}

struct MostRecentCase {
  const char* name;
  int64_t k;
  int64_t t;
  Ints expected;  // source ids, in record order
};

class MostRecentTest : public testing::TestWithParam<MostRecentCase> {};

TEST_P(MostRecentTest, TakesTheLatestSourcesAtOrBeforeTheTime) {
  const MostRecentCase& param = GetParam();
  EdgeFixture fixture = timed_column({1, 2, 2, 5});
  RandomSource rng = seeded(123);
  Selector selector(rng);
  selector.sample_most_recent(fixture.context(), 0, 0, 0, param.k, param.t);
  EXPECT_EQ(recorded_sources(fixture), param.expected);
  EXPECT_EQ(fixture.out().num_sampled_edges, (Ints{static_cast<int64_t>(param.expected.size())}));
  EXPECT_TRUE(made_draws(rng, 123, 0));
}

INSTANTIATE_TEST_SUITE_P(
    ColumnTimes1225, MostRecentTest,
    testing::Values(MostRecentCase{"k2_t2_takes_both_twos", 2, 2, {1, 2}},
                    MostRecentCase{"k1_t2_takes_the_later_two", 1, 2, {2}},
                    MostRecentCase{"all_t2_takes_first_three", -1, 2, {0, 1, 2}},
                    MostRecentCase{"k0_takes_nothing", 0, 9, {}},
                    MostRecentCase{"k9_t9_takes_all", 9, 9, {0, 1, 2, 3}},
                    MostRecentCase{"k2_t9_takes_last_two", 2, 9, {2, 3}},
                    MostRecentCase{"all_before_every_time", -1, 0, {}}),
    case_name<MostRecentCase>);

struct WindowCase {
  const char* name;
  TimeWindow window;
  Ints expected;
};

class TimeWindowTest : public testing::TestWithParam<WindowCase> {};

TEST_P(TimeWindowTest, TakesEverySourceInTheWindow) {
  const WindowCase& param = GetParam();
  EdgeFixture fixture = timed_column({1, 3, 5, 7});
  RandomSource rng = seeded(123);
  Selector selector(rng);
  selector.sample_time_window(fixture.context(), 0, 0, 0, param.window, 4);
  EXPECT_EQ(recorded_sources(fixture), param.expected);
  EXPECT_TRUE(made_draws(rng, 123, 0));
}

INSTANTIATE_TEST_SUITE_P(
    ColumnTimes1357AtTime4, TimeWindowTest,
    testing::Values(WindowCase{"minus2_to_1", TimeWindow{true, -2, 1}, {1, 2}},
                    WindowCase{"minus1_to_1", TimeWindow{true, -1, 1}, {2}},
                    WindowCase{"up_to_1", TimeWindow{false, 0, 1}, {0, 1, 2}},
                    WindowCase{"1_to_1_is_empty", TimeWindow{true, 1, 1}, {}},
                    WindowCase{"wide_window_takes_all", TimeWindow{true, -100, 100}, {0, 1, 2, 3}},
                    WindowCase{"before_every_time", TimeWindow{false, 0, -4}, {}},
                    WindowCase{"after_every_time", TimeWindow{true, 3, 9}, {}},
                    // 4 + INT64_MAX wraps to before every time, or stops at the latest.
                    WindowCase{"wrapping_end", TimeWindow{false, 0, INT64_MAX, false}, {}},
                    WindowCase{"saturating_end", TimeWindow{false, 0, INT64_MAX, true}, {0, 1, 2, 3}}),
    case_name<WindowCase>);

// The order check compares the two ends of the range found by the search,
// before the most-recent cut; ranges of one entry pass.
struct OrderCase {
  const char* name;
  Ints times;
  bool window_mode;
  TimeWindow window;  // window mode
  int64_t k;          // most-recent mode
  int64_t t;
  bool fails;
  Ints expected;  // source ids taken when it passes
};

class OrderCheckTest : public testing::TestWithParam<OrderCase> {};

TEST_P(OrderCheckTest, ComparesTheEndsOfTheSearchedRange) {
  const OrderCase& param = GetParam();
  EdgeFixture fixture = timed_column(param.times);
  RandomSource rng = seeded(123);
  Selector selector(rng);
  const EdgeContext edge = fixture.context();
  std::string error;
  try {
    if (param.window_mode) {
      selector.sample_time_window(edge, 0, 0, 0, param.window, param.t);
    } else {
      selector.sample_most_recent(edge, 0, 0, 0, param.k, param.t);
    }
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  if (param.fails) {
    EXPECT_EQ(error, "Found invalid non-sorted temporal neighborhood");
    EXPECT_TRUE(fixture.src().out_node.empty());
    EXPECT_EQ(fixture.out().num_sampled_edges, (Ints{0}));
  } else {
    EXPECT_EQ(error, "");
  }
  EXPECT_EQ(recorded_sources(fixture), param.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OrderCheckTest,
    testing::Values(
        OrderCase{"most_recent_reversed_ends", {5, 1}, false, {}, -1, 9, true, {}},
        OrderCase{"most_recent_checks_before_the_cut", {5, 1}, false, {}, 1, 9, true, {}},
        OrderCase{"window_reversed_ends", {5, 1}, true, {true, -20, 0}, 0, 9, true, {}},
        OrderCase{"only_the_ends_are_compared", {1, 9, 3, 10}, false, {}, -1, 10, false,
                  {0, 1, 2, 3}},
        OrderCase{"one_entry_most_recent", {5}, false, {}, -1, 9, false, {0}},
        OrderCase{"one_entry_window", {5}, true, {false, 0, 0}, 0, 9, false, {0}},
        // At t = 0 the search stops at position 0: nothing to check or take.
        OrderCase{"search_ends_before_the_bad_entry", {5, 1}, false, {}, -1, 0, false, {}}),
    case_name<OrderCase>);

// t + offset wraps around in 64-bit two's-complement arithmetic.
struct WrapCase {
  const char* name;
  int64_t t;
  TimeWindow window;
  Ints expected;
};

class WrapAroundTest : public testing::TestWithParam<WrapCase> {};

TEST_P(WrapAroundTest, WindowBoundsWrapAround) {
  const WrapCase& param = GetParam();
  // Source times kMin, kMin + 1, 0, kMax.
  EdgeFixture fixture = timed_column({kMin, kMin + 1, 0, kMax});
  RandomSource rng = seeded(123);
  Selector selector(rng);
  selector.sample_time_window(fixture.context(), 0, 0, 0, param.window, param.t);
  EXPECT_EQ(recorded_sources(fixture), param.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Int64Limits, WrapAroundTest,
    testing::Values(
        // kMax + 2 wraps to kMin + 1: everything up to kMin + 1.
        WrapCase{"upper_bound_wraps_to_the_bottom", kMax, TimeWindow{false, 0, 2}, {0, 1}},
        // kMax + 1 wraps to kMin.
        WrapCase{"upper_bound_wraps_to_the_minimum", kMax, TimeWindow{false, 0, 1}, {0}},
        // kMin - 1 wraps to kMax: lower bound above every time.
        WrapCase{"lower_bound_wraps_to_the_top", kMin, TimeWindow{true, -1, 0}, {}},
        // Lower bound kMin + kMax = -1 without wrapping, upper bound kMin - 1
        // wraps to kMax: the window (-1, kMax] holds times 0 and kMax.
        WrapCase{"only_the_upper_bound_wraps", kMin, TimeWindow{true, kMax, -1}, {2, 3}},
        WrapCase{"upper_limit_itself", 0, TimeWindow{true, kMin, kMax}, {1, 2, 3}}),
    case_name<WrapCase>);

TEST(RegistrationTest, SameSourceForOneExampleIsOneEntryWithTwoEdges) {
  // Destination 0 has source 4 twice (parallel edges); destination 1 has 4.
  EdgeFixture fixture({0, 2, 3}, {4, 4, 4});
  RandomSource rng = seeded(123);
  Selector selector(rng);
  selector.sample_range(fixture.context(), 0, 0, 0, 2, -1);
  selector.sample_range(fixture.context(), 0, 1, 2, 3, -1);
  EXPECT_EQ(ints(fixture.src().out_node), (Ints{4}));
  EXPECT_EQ(ints(fixture.src().out_batch), (Ints{0}));
  EXPECT_EQ(ints(fixture.out().out_row), (Ints{0, 0, 0}));
  EXPECT_EQ(ints(fixture.out().out_col), (Ints{0, 0, 1}));
  EXPECT_EQ(fixture.out().num_sampled_edges, (Ints{3}));
}

TEST(RegistrationTest, SameSourceForTwoExamplesIsTwoEntries) {
  EdgeFixture fixture({0, 2}, {4, 6});
  RandomSource rng = seeded(123);
  Selector selector(rng);
  selector.sample_range(fixture.context(), 0, 0, 0, 2, -1);
  selector.sample_range(fixture.context(), 1, 1, 0, 2, -1);
  selector.sample_range(fixture.context(), 0, 2, 0, 1, -1);
  EXPECT_EQ(ints(fixture.src().out_node), (Ints{4, 6, 4, 6}));
  EXPECT_EQ(ints(fixture.src().out_batch), (Ints{0, 0, 1, 1}));
  EXPECT_EQ(ints(fixture.out().out_row), (Ints{0, 1, 2, 3, 0}));
  EXPECT_EQ(ints(fixture.out().out_col), (Ints{0, 0, 1, 1, 2}));
}

TEST(RegistrationTest, EdgesAddToTheLastCountOnly) {
  EdgeFixture fixture({0, 2}, {4, 6});
  RandomSource rng = seeded(123);
  Selector selector(rng);
  const EdgeContext edge = fixture.context();
  selector.sample_range(edge, 3, 7, 1, 2, -1);
  edge.out->num_sampled_edges.push_back(0);
  selector.sample_range(edge, 3, 8, 0, 1, -1);
  selector.sample_range(edge, 3, 9, 1, 2, -1);
  EXPECT_EQ(fixture.out().num_sampled_edges, (Ints{1, 2}));
  EXPECT_EQ(ints(fixture.src().out_node), (Ints{6, 4}));
  EXPECT_EQ(ints(fixture.src().out_batch), (Ints{3, 3}));
  EXPECT_EQ(ints(fixture.out().out_row), (Ints{0, 1, 0}));
  EXPECT_EQ(ints(fixture.out().out_col), (Ints{7, 8, 9}));
}

}  // namespace
}  // namespace rerozer
