#include "module/neighbor_sampler.h"
#include "module/python.h"

PYBIND11_MODULE(rerozer, module) { rerozer::register_neighbor_sampler(module); }
