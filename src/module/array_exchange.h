#ifndef REROZER_MODULE_ARRAY_EXCHANGE_H_
#define REROZER_MODULE_ARRAY_EXCHANGE_H_

#include "module/python.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "graph/int64_view.h"

namespace rerozer {

namespace py = pybind11;

// A read view together with the object that owns its memory. Keeping
// `owner` alive keeps `view` valid.
struct OwnedView {
  py::object owner;
  Int64View view;
};

// Turns a value into a numpy array: an ndarray (or subclass) is returned as
// it is, anything else goes through numpy's array construction with the
// inferred dtype. numpy's errors pass through unchanged.
py::array to_array(py::handle value);

// True for dtype kind 'i' with 8-byte items (byte order not considered).
bool is_int64(const py::dtype& dtype);

// Makes a buffer request on the array (strides and format allowed, no write
// access) and releases it at once: a refused request raises the array's own
// error. The address the buffer names is not used: an ndarray subclass may
// hand out a buffer (its own __buffer__) that is not the array's memory.
void request_buffer(const py::array& array);

// A dense native-order int64 view of a one-dimensional array whose dtype is
// int64 unless it is empty, read through numpy's own data pointer. A
// C-contiguous native-order array is read in place (owner is the array); any
// other layout, a misaligned buffer or another byte order is read through a
// contiguous native copy, which becomes the owner.
OwnedView dense_int64_view(const py::array& array);

// Element i (0 <= i < len) of a one-dimensional int64 array, whatever its
// strides and byte order.
int64_t read_int64_element(const py::array& array, py::ssize_t i);

// An ndarray (or subclass) of `ndim` dimensions whose dtype object is one of
// numpy's own native 64-bit signed integer descriptors, seen through
// pybind11's view of its fields; nullptr for anything else (a null value, an
// int64 array whose descriptor is another object, which is then read the
// general way). Runs no interpreter code and raises nothing, so a caller may
// take values from it where the general path would look them up.
const py::detail::PyArray_Proxy* native_int64_array(PyObject* value, int ndim);

// The value at (i, j) of such an array (j = 0 for one dimension); the
// indices must lie inside its shape.
inline int64_t native_int64_at(const py::detail::PyArray_Proxy* array, py::ssize_t i,
                               py::ssize_t j = 0) {
  const char* at = array->data + i * array->strides[0];
  if (j != 0) at += j * array->strides[1];
  int64_t value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

// One interpreter object as a signed 64-bit integer, converted as pybind11
// converts integers: ints, bools and __index__ objects; floats and other
// values that are not integers are refused with pybind11's cast error
// (RuntimeError). An exception of another kind that the value's own code
// raises (KeyboardInterrupt, SystemExit, MemoryError) passes through.
int64_t read_int64(py::handle value);

// A copy into a result array that is made under the interpreter lock and
// run later, without it: n values from `source` to `target`.
struct PendingCopy {
  int64_t* target;
  const int64_t* source;
  size_t n;
};

// A new one-dimensional, C-contiguous, owning int64 array for a copy of n
// values starting at `data`. The array is made at once; the copy itself is
// appended to `copies`, for run_copies, which must run before the array is
// handed to Python code. `data` must stay valid until then.
py::array to_int64_array(const int64_t* data, size_t n, std::vector<PendingCopy>& copies);

// Runs the copies. Needs no interpreter lock.
void run_copies(const std::vector<PendingCopy>& copies);

}  // namespace rerozer

#endif  // REROZER_MODULE_ARRAY_EXCHANGE_H_
