#include "sampling/random_source.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace rerozer {
namespace {

RandomSource seeded(int32_t seed) {
  RandomSource source;
  source.seed(seed);
  return source;
}

// Published MT19937 check values.
TEST(RandomSourceTest, Seed5489GivesTheStandardCheckValues) {
  RandomSource source = seeded(5489);
  EXPECT_EQ(source.draw(), 3499211612u);
  for (int n = 2; n < 10000; ++n) source.draw();
  EXPECT_EQ(source.draw(), 4123659995u);
}

TEST(RandomSourceTest, DefaultSeedGivesItsFirstFiveOutputs) {
  RandomSource source = seeded(123);
  const std::vector<uint32_t> expected = {2991312382u, 3062119789u, 1228959102u, 1840268610u,
                                          974319580u};
  std::vector<uint32_t> drawn;
  for (size_t n = 0; n < expected.size(); ++n) drawn.push_back(source.draw());
  EXPECT_EQ(drawn, expected);
}

TEST(RandomSourceTest, NegativeSeedUsesItsTwosComplementPattern) {
  RandomSource source = seeded(-1);
  EXPECT_EQ(source.draw(), 419326371u);
}

TEST(RandomSourceTest, SeedingAgainRestartsTheStream) {
  RandomSource source = seeded(7);
  const uint32_t first = source.draw();
  source.draw();
  source.seed(7);
  EXPECT_EQ(source.draw(), first);
}

// random_index(n) is exactly one draw reduced modulo n: the index stream of
// one source must equal the raw stream of a twin reduced by hand, and the
// two must stay in step (no extra or rejected draws).
TEST(RandomSourceTest, RandomIndexIsOneDrawModuloN) {
  RandomSource indices = seeded(123);
  RandomSource raw = seeded(123);
  const std::vector<int64_t> moduli = {1, 2, 3, 7, 10, 1000003, 2147483648LL, 4294967295LL,
                                       4294967296LL, 4294967301LL, 9000000000LL};
  for (int round = 0; round < 50; ++round) {
    for (int64_t n : moduli) {
      const int64_t expected = static_cast<int64_t>(raw.draw()) % n;
      const int64_t index = indices.random_index(n);
      ASSERT_EQ(index, expected) << "n = " << n << ", round " << round;
      ASSERT_GE(index, 0);
      ASSERT_LT(index, n);
    }
  }
  EXPECT_EQ(indices.draw(), raw.draw());
}

TEST(RandomSourceTest, RandomIndexOfDefaultSeedMatchesTheWorkedPicks) {
  // 2991312382 mod 8, 3062119789 mod 9, 1228959102 mod 10.
  RandomSource source = seeded(123);
  EXPECT_EQ(source.random_index(8), 6);
  EXPECT_EQ(source.random_index(9), 1);
  EXPECT_EQ(source.random_index(10), 2);
}

TEST(RandomSourceTest, RandomIndexAboveTwoToThe32ReturnsTheDrawItself) {
  RandomSource source = seeded(123);
  EXPECT_EQ(source.random_index(int64_t{1} << 40), 2991312382LL);
}

}  // namespace
}  // namespace rerozer
