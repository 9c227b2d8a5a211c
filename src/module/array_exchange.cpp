#include "module/array_exchange.h"

#include <cstring>

namespace rerozer {

namespace {

bool is_native_byte_order(char byteorder) {
  constexpr bool kLittleEndian = (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
  return byteorder == '=' || byteorder == '|' || byteorder == (kLittleEndian ? '<' : '>');
}

}  // namespace

py::array to_array(py::handle value) {
  if (py::isinstance<py::array>(value)) return py::reinterpret_borrow<py::array>(value);
  auto& api = py::detail::npy_api::get();
  PyObject* converted = api.PyArray_FromAny_(value.ptr(), nullptr, 0, 0,
                                             py::detail::npy_api::NPY_ARRAY_ENSUREARRAY_, nullptr);
  if (converted == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::array>(converted);
}

bool is_int64(const py::dtype& dtype) { return dtype.kind() == 'i' && dtype.itemsize() == 8; }

void request_buffer(const py::array& array) {
  Py_buffer buffer;
  if (PyObject_GetBuffer(array.ptr(), &buffer, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
    throw py::error_already_set();
  }
  PyBuffer_Release(&buffer);
}

OwnedView dense_int64_view(const py::array& array) {
  const auto size = static_cast<int64_t>(array.size());
  request_buffer(array);
  if (size == 0) return {array, Int64View{nullptr, 0}};
  const py::dtype dtype = array.dtype();
  const int flags = array.flags();
  const bool dense = (flags & py::array::c_style) != 0 &&
                     (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
  if (dense && is_int64(dtype) && is_native_byte_order(dtype.byteorder())) {
    return {array, Int64View{static_cast<const int64_t*>(array.data()), size}};
  }
  // ALIGNED as well: without it numpy hands a misaligned array back as it is.
  py::array_t<int64_t, py::array::c_style | py::array::forcecast |
                           py::detail::npy_api::NPY_ARRAY_ALIGNED_>
      copy(array);
  return {copy, Int64View{copy.data(), size}};
}

const py::detail::PyArray_Proxy* native_int64_array(PyObject* value, int ndim) {
  auto& api = py::detail::npy_api::get();
  // numpy's builtin descriptors are singletons: an array made with dtype
  // int64 in native order holds one of these two (long and long long are
  // both 64 bits here, and either may name int64).
  static PyObject* const kLong = api.PyArray_DescrFromType_(py::detail::npy_api::NPY_LONG_);
  static PyObject* const kLongLong =
      api.PyArray_DescrFromType_(py::detail::npy_api::NPY_LONGLONG_);
  static_assert(sizeof(long) == 8 && sizeof(long long) == 8, "int64 is long and long long");
  if (value == nullptr || !api.PyArray_Check_(value)) return nullptr;
  const py::detail::PyArray_Proxy* array = py::detail::array_proxy(value);
  if (array->nd != ndim || (array->descr != kLong && array->descr != kLongLong)) return nullptr;
  return array;
}

int64_t read_int64_element(const py::array& array, py::ssize_t i) {
  int64_t value;
  std::memcpy(&value, array.data(i), sizeof(value));
  if (!is_native_byte_order(array.dtype().byteorder())) value = __builtin_bswap64(value);
  return value;
}

namespace {

// Clears a pending error that means "not an integer" (TypeError, ValueError,
// OverflowError: what the integer conversion refuses). Any other pending
// error, such as a KeyboardInterrupt raised inside a caller's __index__, is
// raised unchanged.
void clear_rejection() {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
      !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    throw py::error_already_set();
  }
  PyErr_Clear();
}

}  // namespace

int64_t read_int64(py::handle value) {
  PyObject* object = value.ptr();
  // The steps of pybind11's integer conversion, which would turn every
  // error into its cast error: floats are refused, anything else is read
  // through __index__, and a number without it once more through int().
  if (!PyFloat_Check(object)) {
    long long result = PyLong_AsLongLong(object);
    if (result != -1 || PyErr_Occurred() == nullptr) return result;
    clear_rejection();
    if (PyNumber_Check(object) != 0) {
      const auto as_int = py::reinterpret_steal<py::object>(PyNumber_Long(object));
      if (!as_int) {
        clear_rejection();
      } else {
        result = PyLong_AsLongLong(as_int.ptr());
        if (result != -1 || PyErr_Occurred() == nullptr) return result;
        clear_rejection();
      }
    }
  }
  throw py::cast_error("Unable to cast Python instance of type " +
                       py::str(py::type::handle_of(value)).cast<std::string>() +
                       " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in "
                       "debug mode for details)");
}

py::array to_int64_array(const int64_t* data, size_t n, std::vector<PendingCopy>& copies) {
  py::array_t<int64_t> result(static_cast<py::ssize_t>(n));
  if (n != 0) copies.push_back(PendingCopy{result.mutable_data(), data, n});
  return std::move(result);
}

void run_copies(const std::vector<PendingCopy>& copies) {
  for (const PendingCopy& copy : copies) {
    std::memcpy(copy.target, copy.source, copy.n * sizeof(int64_t));
  }
}

}  // namespace rerozer
