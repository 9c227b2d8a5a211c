#include "sampling/block_pool.h"

#include <malloc.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>

namespace rerozer {

namespace {

// The live pools, for the fork handlers. Never destroyed: a pool may be
// freed after static objects are (by an array the interpreter frees late).
struct PoolRegistry {
  std::mutex mutex;
  std::vector<BlockPool*> pools;
};

PoolRegistry& registry() {
  static PoolRegistry* const pools = new PoolRegistry;
  return *pools;
}

}  // namespace

BlockPool::BlockPool() {
  static const int fork_handlers = pthread_atfork(lock_all, unlock_all, unlock_all);
  static_cast<void>(fork_handlers);
  PoolRegistry& pools = registry();
  const std::lock_guard<std::mutex> lock(pools.mutex);
  pools.pools.push_back(this);
}

BlockPool::~BlockPool() {
  {
    PoolRegistry& pools = registry();
    const std::lock_guard<std::mutex> lock(pools.mutex);
    pools.pools.erase(std::find(pools.pools.begin(), pools.pools.end(), this));
  }
  for (const auto& block : blocks_) std::free(block.second);
}

void BlockPool::lock_all() {
  PoolRegistry& pools = registry();
  pools.mutex.lock();
  for (BlockPool* pool : pools.pools) pool->mutex_.lock();
}

void BlockPool::unlock_all() {
  PoolRegistry& pools = registry();
  for (BlockPool* pool : pools.pools) pool->mutex_.unlock();
  pools.mutex.unlock();
}

void* BlockPool::take(size_t min_bytes, size_t max_bytes, size_t& capacity) {
  const std::lock_guard<std::mutex> lock(mutex_);
  size_t best = blocks_.size();
  for (size_t b = 0; b < blocks_.size(); ++b) {
    const size_t bytes = blocks_[b].first;
    if (bytes >= min_bytes && bytes <= max_bytes &&
        (best == blocks_.size() || bytes > blocks_[best].first)) {
      best = b;
    }
  }
  if (best == blocks_.size()) return nullptr;
  capacity = blocks_[best].first;
  void* block = blocks_[best].second;
  kept_ -= capacity;
  blocks_[best] = blocks_.back();
  blocks_.pop_back();
  return block;
}

void BlockPool::give(void* block) {
  if (block == nullptr) return;
  const size_t bytes = malloc_usable_size(block);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (kept_ + bytes <= limit_) {
      try {
        blocks_.emplace_back(bytes, block);
        kept_ += bytes;
        return;
      } catch (...) {
        // No room to note it: the block is freed below.
      }
    }
  }
  std::free(block);
}

void BlockPool::set_limit(size_t bytes) {
  const std::lock_guard<std::mutex> lock(mutex_);
  limit_ = bytes;
  if (kept_ <= limit_) return;
  std::sort(blocks_.begin(), blocks_.end());
  while (kept_ > limit_) {
    kept_ -= blocks_.back().first;
    std::free(blocks_.back().second);
    blocks_.pop_back();
  }
}

size_t BlockPool::kept_bytes() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return kept_;
}

}  // namespace rerozer
