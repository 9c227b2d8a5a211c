#ifndef REROZER_MODULE_BLOCK_ARRAYS_H_
#define REROZER_MODULE_BLOCK_ARRAYS_H_

#include "module/python.h"

#include <cstddef>
#include <cstdint>

namespace rerozer {

namespace py = pybind11;

// Turns malloc'd blocks of int64 values into result arrays without copying
// them: the array is an ordinary owning ndarray (no base object) whose
// memory numpy frees, resizes or reuses as its own.
//
// That is only sound when the arrays made now get their memory from numpy's
// default allocator, which is malloc/realloc/free. available() says whether
// that holds; numpy's C API is loaded on first use. Needs the interpreter
// lock throughout.
class BlockArrays {
 public:
  BlockArrays();
  ~BlockArrays();
  BlockArrays(const BlockArrays&) = delete;
  BlockArrays& operator=(const BlockArrays&) = delete;

  bool available() const { return handler_ != nullptr; }
  // A one-dimensional C-contiguous int64 array of n values that owns
  // `block` (at least max(8n, 1) bytes from malloc). Only when available().
  // The block belongs to the array from the call on; if making the array
  // fails, the block is freed and numpy's error raised.
  py::array adopt(int64_t* block, size_t n) const;

 private:
  PyObject* handler_ = nullptr;  // numpy's current memory handler, when it is the default
};

}  // namespace rerozer

#endif  // REROZER_MODULE_BLOCK_ARRAYS_H_
