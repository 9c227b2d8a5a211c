#include "module/block_arrays.h"

#include <cstdlib>
#include <cstring>

#include <pybind11/gil_safe_call_once.h>

// The memory-handler interface of the C API dates from numpy 1.22.
#define NPY_NO_DEPRECATED_API NPY_1_22_API_VERSION
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#include <numpy/arrayobject.h>

namespace rerozer {

namespace {

// Loads numpy's C API once; false when it cannot be had. The import may run
// Python code, which may let another thread take the interpreter lock and
// get here too: the once-guard waits for the first caller without the
// lock, so neither blocks the other.
bool numpy_api_loaded() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<bool> loaded;
  return loaded
      .call_once_and_store_result([] {
        if (_import_array() < 0) {
          PyErr_Clear();
          return false;
        }
        return true;
      })
      .get_stored();
}

// The handler and what it needs, in one allocation owned by the capsule.
// `handler` comes first: the capsule points to it, and its ctx to the whole.
struct PoolHandler {
  PyDataMem_Handler handler;
  std::shared_ptr<BlockPool> pool;
};

size_t at_least_one(size_t bytes) { return bytes == 0 ? 1 : bytes; }

void* handler_malloc(void* /*ctx*/, size_t size) { return std::malloc(at_least_one(size)); }

void* handler_calloc(void* /*ctx*/, size_t count, size_t size) {
  return std::calloc(at_least_one(count), at_least_one(size));
}

void* handler_realloc(void* /*ctx*/, void* block, size_t size) {
  return std::realloc(block, at_least_one(size));
}

void handler_free(void* ctx, void* block, size_t /*size*/) {
  static_cast<PoolHandler*>(ctx)->pool->give(block);
}

void plain_free(void* /*ctx*/, void* block, size_t /*size*/) { std::free(block); }

// The handler of the arrays that empty() makes: malloc's functions alone.
// One for the process, never freed (arrays of any sampler may use it).
PyObject* plain_handler() {
  static PyDataMem_Handler handler = [] {
    PyDataMem_Handler made{};
    std::strncpy(made.name, "rerozer_result_arrays", sizeof(made.name) - 1);
    made.version = 1;
    made.allocator =
        PyDataMemAllocator{nullptr, handler_malloc, handler_calloc, handler_realloc, plain_free};
    return made;
  }();
  static PyObject* const capsule = PyCapsule_New(&handler, "mem_handler", nullptr);
  return capsule;
}

void delete_handler(PyObject* capsule) {
  auto* handler = static_cast<PyDataMem_Handler*>(PyCapsule_GetPointer(capsule, "mem_handler"));
  if (handler == nullptr) {
    PyErr_Clear();
    return;
  }
  delete static_cast<PoolHandler*>(handler->allocator.ctx);
}

}  // namespace

bool BlockArrays::available() {
  if (tried_) return static_cast<bool>(handler_);
  tried_ = true;
  if (!numpy_api_loaded()) return false;
  auto* owner = new PoolHandler{};
  std::strncpy(owner->handler.name, "rerozer_result_blocks", sizeof(owner->handler.name) - 1);
  owner->handler.version = 1;
  owner->handler.allocator = PyDataMemAllocator{owner, handler_malloc, handler_calloc,
                                                handler_realloc, handler_free};
  owner->pool = pool_;
  PyObject* capsule = PyCapsule_New(&owner->handler, "mem_handler", delete_handler);
  if (capsule == nullptr) {
    delete owner;
    PyErr_Clear();
    return false;
  }
  handler_ = py::reinterpret_steal<py::object>(capsule);
  PyObject* plain = plain_handler();
  if (plain == nullptr) {
    PyErr_Clear();
  } else {
    plain_handler_ = py::reinterpret_borrow<py::object>(plain);
  }
  return true;
}

py::array BlockArrays::adopt(int64_t* block, size_t n) const {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  return adopt_shape(block, 1, dims);
}

py::array BlockArrays::adopt_rows(int64_t* block, size_t rows, size_t n) const {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(n)};
  return adopt_shape(block, 2, dims);
}

py::array BlockArrays::empty(size_t n) const {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  if (!plain_handler_) {
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_INT64), 1,
                                           dims, nullptr, nullptr, 0, nullptr);
    if (array == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::array>(array);
  }
  // malloc directly, then the array takes the block with a handler that
  // frees it: numpy's own allocation path looks its handler up in the
  // running context first, which costs more than the array itself.
  void* block = std::malloc(at_least_one(n * sizeof(int64_t)));
  if (block == nullptr) throw std::bad_alloc();
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_INT64), 1, dims,
                                         nullptr, block, NPY_ARRAY_CARRAY, nullptr);
  if (array == nullptr) {
    std::free(block);
    throw py::error_already_set();
  }
  PyArray_ENABLEFLAGS(reinterpret_cast<PyArrayObject*>(array), NPY_ARRAY_OWNDATA);
  Py_INCREF(plain_handler_.ptr());
  reinterpret_cast<PyArrayObject_fields*>(array)->mem_handler = plain_handler_.ptr();
  return py::reinterpret_steal<py::array>(array);
}

int64_t* BlockArrays::block_for(size_t rows, size_t n) const {
  const size_t bytes = at_least_one(rows * n * sizeof(int64_t));
  size_t capacity = 0;
  void* block = pool_->take(bytes, 2 * bytes, capacity);
  if (block == nullptr) block = std::malloc(bytes);
  return static_cast<int64_t*>(block);
}

py::array BlockArrays::adopt_shape(int64_t* block, int ndim, npy_intp* dims) const {
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_INT64), ndim,
                                         dims, nullptr, block, NPY_ARRAY_CARRAY, nullptr);
  if (array == nullptr) {
    pool_->give(block);
    throw py::error_already_set();
  }
  // The array owns the block from here on and frees it through the handler.
  PyArray_ENABLEFLAGS(reinterpret_cast<PyArrayObject*>(array), NPY_ARRAY_OWNDATA);
  Py_INCREF(handler_.ptr());
  reinterpret_cast<PyArrayObject_fields*>(array)->mem_handler = handler_.ptr();
  return py::reinterpret_steal<py::array>(array);
}

}  // namespace rerozer
