#ifndef REROZER_MODULE_BLOCK_ARRAYS_H_
#define REROZER_MODULE_BLOCK_ARRAYS_H_

#include "module/python.h"

#include <cstddef>
#include <cstdint>
#include <memory>

#include "sampling/block_pool.h"

namespace rerozer {

namespace py = pybind11;

// Turns malloc'd blocks of int64 values into result arrays without copying
// them: each array is an ordinary owning ndarray (no base object) whose
// memory numpy frees and resizes through a memory handler of this sampler.
// The handler's free gives the block to the sampler's pool, so that the
// next call's lists reuse its pages; its other functions are malloc,
// calloc and realloc. The handler keeps the pool alive as long as an array
// uses it, so arrays may outlive their sampler.
//
// numpy's C API is loaded on first use; without it (available() false) the
// caller copies instead. Needs the interpreter lock throughout.
class BlockArrays {
 public:
  explicit BlockArrays(std::shared_ptr<BlockPool> pool) : pool_(std::move(pool)) {}

  bool available();
  // A one-dimensional C-contiguous int64 array of n values that owns
  // `block` (from malloc, at least max(8n, 1) bytes). Only when
  // available(). The block belongs to the array from the call on; if making
  // the array fails, the block is given to the pool and numpy's error
  // raised.
  py::array adopt(int64_t* block, size_t n) const;
  // The same for a rows x n C-contiguous array (block of at least
  // max(8 rows n, 1) bytes).
  py::array adopt_rows(int64_t* block, size_t rows, size_t n) const;
  // A new owning one-dimensional int64 array of n values, uninitialised:
  // what to_int64_array makes, through one call of numpy's C API instead of
  // pybind11's layers. Its block comes from malloc and goes back to free
  // (through a handler of the process's, which numpy also uses to resize
  // it). Only when available(); std::bad_alloc when malloc fails.
  py::array empty(size_t n) const;
  // A block for rows x n values: one the pool keeps (up to twice the size),
  // else a new one from malloc; nullptr when malloc fails.
  int64_t* block_for(size_t rows, size_t n) const;

 private:
  // adopt() for any shape; dims points to ndim extents.
  py::array adopt_shape(int64_t* block, int ndim, Py_ssize_t* dims) const;

  std::shared_ptr<BlockPool> pool_;
  py::object handler_;        // the handler capsule, once made
  py::object plain_handler_;  // the handler of empty()'s arrays (malloc and free)
  bool tried_ = false;
};

}  // namespace rerozer

#endif  // REROZER_MODULE_BLOCK_ARRAYS_H_
