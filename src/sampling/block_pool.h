#ifndef REROZER_SAMPLING_BLOCK_POOL_H_
#define REROZER_SAMPLING_BLOCK_POOL_H_

#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace rerozer {

// malloc'd blocks that result arrays gave back when they were freed, kept
// for the working lists of later calls. A block taken from here has its
// pages in memory already, so filling it costs no page faults, where a
// fresh block from the system faults (and is zeroed) page by page.
//
// The pool keeps at most limit() bytes (as malloc_usable_size counts them);
// a block given back beyond that is freed. Safe to use from several threads,
// and across fork(): every pool's lock is taken while a process forks, so a
// child gets whole pools with free locks whatever its parent's threads did.
class BlockPool {
 public:
  BlockPool();
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;
  ~BlockPool();

  // The largest kept block of min_bytes to max_bytes, whose usable size is
  // then stored in `capacity`; nullptr when there is none.
  void* take(size_t min_bytes, size_t max_bytes, size_t& capacity);
  // Keeps `block` (from malloc or realloc) or frees it.
  void give(void* block);
  // Sets the limit, freeing the largest kept blocks until it holds.
  void set_limit(size_t bytes);
  size_t kept_bytes() const;

 private:
  // The fork handlers: every live pool's lock is taken before a fork and
  // given back after it, in the parent and in the child.
  static void lock_all();
  static void unlock_all();

  mutable std::mutex mutex_;
  std::vector<std::pair<size_t, void*>> blocks_;  // (usable bytes, block)
  size_t kept_ = 0;
  size_t limit_ = 0;
};

}  // namespace rerozer

#endif  // REROZER_SAMPLING_BLOCK_POOL_H_
