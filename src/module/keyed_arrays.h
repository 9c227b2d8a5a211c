#ifndef REROZER_MODULE_KEYED_ARRAYS_H_
#define REROZER_MODULE_KEYED_ARRAYS_H_

#include "module/python.h"

#include <string>
#include <vector>

#include "module/array_exchange.h"

namespace rerozer {

namespace py = pybind11;

// The text of a dictionary key: str(key) as UTF-8 bytes. A string key is its
// own text; any other key its printed form.
std::string key_text(py::handle key);

// True when `dict` is a dict (no subclass) whose keys are all str (no
// subclass): looking a str up in it runs no interpreter code, so lookups
// may be merged or made once for several uses.
bool plain_str_dict(const py::dict& dict);

// Membership by PyDict_Contains (a dict subclass's own __contains__ is not
// consulted); errors of hashing pass through.
bool dict_contains(const py::dict& dict, py::handle key);

// container[key] through PyObject_GetItem, so that a dict subclass's
// __getitem__ and __missing__ apply; KeyError and others pass through.
py::object get_item(py::handle container, py::handle key);

// Checks one value of a keyed array dictionary, already made an array:
// dimensions first, then (unless it is empty) the int64 element type.
// Throws std::runtime_error naming the key and the dictionary.
void check_keyed_value(const py::array& array, const std::string& key_text,
                       const std::string& name, int ndim, bool require_int64);

// Checks a whole keyed array dictionary, entry by entry in insertion order,
// and stops at the first fault: a key whose text is not in allowed_keys,
// then the value's dimensions, then its dtype. Missing keys are not faults.
// Errors of key printing and array conversion pass through unchanged.
//
// `allowed_objects`, when given, is a set of the allowed keys as
// interpreter strings: a key that is exactly a str and in it needs no
// printing (its text is itself), and a value that passes its checks no text
// at all, which spares a call the conversions of every key.
void check_keyed_arrays(const py::dict& dict, const std::string& name,
                        const std::vector<std::string>& allowed_keys, int ndim,
                        bool require_int64, const py::set* allowed_objects = nullptr);

// Whether check_keyed_value would pass the array.
bool keyed_value_ok(const py::array& array, int ndim, bool require_int64);

// The same tests for one bare array, named in messages by `name`.
void check_array(const py::array& array, const std::string& name, int ndim, bool require_int64);

// A dictionary value, fetched under `key_text` from the dictionary `name`,
// as a dense int64 view, converting it to an array first. The value is
// checked again (one dimension, int64 unless empty), since a dict subclass
// may hand out another value than the one the whole-dictionary check saw.
// The returned owner keeps the memory alive: the caller's array when it was
// already a C-contiguous native int64 array, else a converted copy.
OwnedView array_data(py::handle value, const std::string& key_text, const std::string& name);

}  // namespace rerozer

#endif  // REROZER_MODULE_KEYED_ARRAYS_H_
