#include "module/neighbor_sampler.h"
#include "module/python.h"

// Built twice: as rerozer, and with REROZER_TEMPORAL_UNIFORM as
// rerozer_tables._temporal, whose NeighborSampler draws its temporal counts
// uniformly (see neighbor_sampler.cpp).
#ifdef REROZER_TEMPORAL_UNIFORM
PYBIND11_MODULE(_temporal, module) { rerozer::register_neighbor_sampler(module); }
#else
PYBIND11_MODULE(rerozer, module) { rerozer::register_neighbor_sampler(module); }
#endif
