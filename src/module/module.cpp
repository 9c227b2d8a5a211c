#include <pybind11/pybind11.h>

#include "module/neighbor_sampler.h"

// An interpreter of another version must reach the version check of the
// module's entry function and refuse the import with its own ImportError.
// CPython 3.13 no longer exports this function, which pybind11's headers
// reference; a weak reference lets the dynamic loader load the module there
// anyway. It is only called once the version check has passed.
#pragma weak _PyThreadState_UncheckedGet

PYBIND11_MODULE(rerozer, module) { rerozer::register_neighbor_sampler(module); }
