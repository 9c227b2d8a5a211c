#ifndef REROZER_MODULE_PYTHON_H_
#define REROZER_MODULE_PYTHON_H_

// The one way the module's files include pybind11.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

// An interpreter of another version must reach the version check of the
// module's entry function and refuse the import with its own ImportError.
// CPython 3.13 no longer exports this function, which pybind11's headers
// reference from every file that includes them; a weak reference lets the
// dynamic loader load the module there anyway. It is only called once the
// version check has passed.
#pragma weak _PyThreadState_UncheckedGet

#endif  // REROZER_MODULE_PYTHON_H_
