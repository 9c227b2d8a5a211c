#include "module/block_arrays.h"

#include <cstdlib>
#include <cstring>

// The memory-handler interface of the C API dates from numpy 1.22.
#define NPY_NO_DEPRECATED_API NPY_1_22_API_VERSION
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#include <numpy/arrayobject.h>

namespace rerozer {

namespace {

// Loads numpy's C API once; false when it cannot be had (then arrays are
// copied as usual).
bool numpy_api_loaded() {
  static const bool loaded = [] {
    if (_import_array() < 0) {
      PyErr_Clear();
      return false;
    }
    return true;
  }();
  return loaded;
}

}  // namespace

BlockArrays::BlockArrays() {
  if (!numpy_api_loaded()) return;
  PyObject* handler = PyDataMem_GetHandler();
  if (handler == nullptr) {
    PyErr_Clear();
    return;
  }
  const auto* table =
      static_cast<const PyDataMem_Handler*>(PyCapsule_GetPointer(handler, "mem_handler"));
  if (table == nullptr || std::strcmp(table->name, "default_allocator") != 0) {
    PyErr_Clear();
    Py_DECREF(handler);
    return;
  }
  handler_ = handler;
}

BlockArrays::~BlockArrays() { Py_XDECREF(handler_); }

py::array BlockArrays::adopt(int64_t* block, size_t n) const {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_INT64), 1, dims,
                                         nullptr, block, NPY_ARRAY_CARRAY, nullptr);
  if (array == nullptr) {
    std::free(block);
    throw py::error_already_set();
  }
  // The array owns the block from here on, and frees it with the handler
  // that malloc'd memory belongs to.
  PyArray_ENABLEFLAGS(reinterpret_cast<PyArrayObject*>(array), NPY_ARRAY_OWNDATA);
  Py_INCREF(handler_);
  reinterpret_cast<PyArrayObject_fields*>(array)->mem_handler = handler_;
  return py::reinterpret_steal<py::array>(array);
}

}  // namespace rerozer
