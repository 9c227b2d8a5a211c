#include "sampling/block_pool.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sampling/int64_list.h"

namespace rerozer {
namespace {

void* block_of(size_t bytes) { return std::malloc(bytes); }

TEST(BlockPoolTest, TakesTheLargestBlockWithinTheBounds) {
  BlockPool pool;
  pool.set_limit(size_t{1} << 20);
  void* small = block_of(1000);
  void* middle = block_of(4000);
  void* large = block_of(64000);
  pool.give(large);
  pool.give(small);
  pool.give(middle);
  size_t capacity = 0;
  EXPECT_EQ(pool.take(3000, 6000, capacity), middle);
  EXPECT_GE(capacity, 3000u);
  EXPECT_EQ(capacity, malloc_usable_size(middle));
  // 64000 is beyond the upper bound: not handed out for it.
  EXPECT_EQ(pool.take(3000, 6000, capacity), nullptr);
  EXPECT_EQ(pool.take(900, 1800, capacity), small);
  EXPECT_EQ(pool.take(40000, 80000, capacity), large);
  EXPECT_EQ(pool.kept_bytes(), 0u);
  for (void* block : {small, middle, large}) std::free(block);
}

TEST(BlockPoolTest, KeepsNoMoreThanItsLimit) {
  BlockPool pool;
  pool.set_limit(10000);
  pool.give(block_of(6000));
  pool.give(block_of(6000));  // would pass the limit: freed
  EXPECT_LE(pool.kept_bytes(), 10000u);
  EXPECT_GE(pool.kept_bytes(), 6000u);
  pool.give(block_of(2000));
  const size_t before = pool.kept_bytes();
  pool.set_limit(3000);  // drops the largest first
  EXPECT_LE(pool.kept_bytes(), 3000u);
  EXPECT_LT(pool.kept_bytes(), before);
  size_t capacity = 0;
  void* left = pool.take(1500, 3000, capacity);
  ASSERT_NE(left, nullptr);
  EXPECT_LT(capacity, 6000u);
  std::free(left);
  pool.set_limit(0);
  EXPECT_EQ(pool.kept_bytes(), 0u);
  pool.give(nullptr);
  EXPECT_EQ(pool.kept_bytes(), 0u);
}

TEST(Int64ListTest, ReleaseHandsOverTheValuesAndStartsAgainAtTheirSize) {
  Int64List list;
  for (int64_t v = 0; v < 1000; ++v) list.push_back(v * 3);
  int64_t* block = list.release();
  ASSERT_NE(block, nullptr);
  EXPECT_GE(malloc_usable_size(block), 1000 * sizeof(int64_t));
  for (int64_t v = 0; v < 1000; ++v) ASSERT_EQ(block[v], v * 3);
  std::free(block);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.capacity(), 0u);
  list.push_back(7);
  EXPECT_GE(list.capacity(), 1500u);  // one and a half times what was handed over
  EXPECT_EQ(list.back(), 7);
  // An empty list still yields a block.
  Int64List empty;
  void* one = empty.release();
  EXPECT_NE(one, nullptr);
  std::free(one);
}

TEST(Int64ListTest, TakesItsFirstBlockFromThePool) {
  BlockPool pool;
  pool.set_limit(size_t{1} << 20);
  void* kept = block_of(800 * sizeof(int64_t));
  pool.give(kept);
  Int64List list;
  list.set_pool(&pool);
  list.reserve(600);
  EXPECT_EQ(static_cast<void*>(list.data()), kept);
  EXPECT_EQ(pool.kept_bytes(), 0u);
  list.resize(600);
  for (size_t i = 0; i < 600; ++i) list[i] = static_cast<int64_t>(i);
  // With a pool the block is handed over whole; the values are intact.
  int64_t* block = list.release();
  EXPECT_EQ(static_cast<void*>(block), kept);
  EXPECT_EQ(block[599], 599);
  pool.give(block);
  // Growing past the kept block keeps the values.
  list.set_pool(&pool);
  for (int64_t v = 0; v < 5000; ++v) list.push_back(v);
  for (int64_t v = 0; v < 5000; ++v) ASSERT_EQ(list[static_cast<size_t>(v)], v);
}

TEST(Int64ListTest, SwapAndMoveKeepTheValues) {
  Int64List a;
  Int64List b;
  for (int64_t v = 0; v < 10; ++v) a.push_back(v);
  a.swap(b);
  EXPECT_TRUE(a.empty());
  ASSERT_EQ(b.size(), 10u);
  Int64List c(std::move(b));
  EXPECT_EQ(std::vector<int64_t>(c.begin(), c.end()),
            (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  c.clear();
  EXPECT_TRUE(c.empty());
  c.resize(3);
  EXPECT_EQ(c.size(), 3u);
}

}  // namespace
}  // namespace rerozer
