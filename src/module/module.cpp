#include <pybind11/pybind11.h>

#include "module/neighbor_sampler.h"

PYBIND11_MODULE(rerozer, module) { rerozer::register_neighbor_sampler(module); }
