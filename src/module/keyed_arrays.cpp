#include "module/keyed_arrays.h"

#include <algorithm>
#include <stdexcept>

#include "graph/messages.h"

namespace rerozer {

std::string key_text(py::handle key) {
  PyObject* text = PyObject_Str(key.ptr());
  if (text == nullptr) throw py::error_already_set();
  py::object text_object = py::reinterpret_steal<py::object>(text);
  PyObject* utf8 = PyUnicode_AsUTF8String(text);
  if (utf8 == nullptr) throw py::error_already_set();
  py::bytes bytes = py::reinterpret_steal<py::bytes>(utf8);
  return std::string(bytes);
}

bool plain_str_dict(const py::dict& dict) {
  if (!PyDict_CheckExact(dict.ptr())) return false;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict.ptr(), &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

bool dict_contains(const py::dict& dict, py::handle key) {
  const int found = PyDict_Contains(dict.ptr(), key.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

py::object get_item(py::handle container, py::handle key) {
  PyObject* item = PyObject_GetItem(container.ptr(), key.ptr());
  if (item == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(item);
}

void check_keyed_value(const py::array& array, const std::string& key_text,
                       const std::string& name, int ndim, bool require_int64) {
  if (array.ndim() != ndim) {
    throw std::runtime_error(messages::keyed_wrong_ndim(key_text, name, ndim));
  }
  if (array.size() == 0) return;
  if (require_int64 && !is_int64(array.dtype())) {
    throw std::runtime_error(messages::keyed_not_int64(key_text, name));
  }
}

bool keyed_value_ok(const py::array& array, int ndim, bool require_int64) {
  if (array.ndim() != ndim) return false;
  return array.size() == 0 || !require_int64 || is_int64(array.dtype());
}

void check_keyed_arrays(const py::dict& dict, const std::string& name,
                        const std::vector<std::string>& allowed_keys, int ndim,
                        bool require_int64, const py::set* allowed_objects) {
  Py_ssize_t position = 0;
  PyObject* raw_key = nullptr;
  PyObject* raw_value = nullptr;
  while (PyDict_Next(dict.ptr(), &position, &raw_key, &raw_value)) {
    // Own references: printing a key or converting a value runs Python
    // code, which could drop the dictionary's own.
    py::object key = py::reinterpret_borrow<py::object>(raw_key);
    py::object value = py::reinterpret_borrow<py::object>(raw_value);
    // An exact str equal to an allowed key: printing it would run no Python
    // code and give the allowed text, so only a failing value needs it.
    if (allowed_objects != nullptr && PyUnicode_CheckExact(raw_key)) {
      const int known = PySet_Contains(allowed_objects->ptr(), raw_key);
      if (known < 0) throw py::error_already_set();
      if (known == 1) {
        // A native int64 array of the right rank passes as it is.
        if (native_int64_array(raw_value, ndim) != nullptr) continue;
        const py::array array = to_array(value);
        if (!keyed_value_ok(array, ndim, require_int64)) {
          check_keyed_value(array, key_text(key), name, ndim, require_int64);
        }
        continue;
      }
    }
    const std::string text = key_text(key);
    if (std::find(allowed_keys.begin(), allowed_keys.end(), text) == allowed_keys.end()) {
      throw std::runtime_error(messages::invalid_key(text, name));
    }
    check_keyed_value(to_array(value), text, name, ndim, require_int64);
  }
}

void check_array(const py::array& array, const std::string& name, int ndim, bool require_int64) {
  if (array.ndim() != ndim) throw std::runtime_error(messages::array_wrong_ndim(name, ndim));
  if (array.size() == 0) return;
  if (require_int64 && !is_int64(array.dtype())) {
    throw std::runtime_error(messages::array_not_int64(name));
  }
}

OwnedView array_data(py::handle value, const std::string& key_text, const std::string& name) {
  py::array array = to_array(value);
  check_keyed_value(array, key_text, name, 1, true);
  return dense_int64_view(array);
}

}  // namespace rerozer
