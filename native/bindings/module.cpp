// Aerolume._core: the toolkit's numerical core (core/) bound for the Python layer, one file
// per domain (see binding.h for the conventions every binding follows).
#include "binding.h"

#include <cstddef>

#include "parallel.h"

NB_MODULE(_core, m) {
    namespace nb = nanobind;
    namespace bindings = aerolume::bindings;
    nb::register_exception_translator(bindings::translate_cancelled);
    m.doc() = "Aerolume's numerical core: float64 kernels over arrays whose last axis is range.";
    m.def("hardware_threads", [] { return aerolume::resolve_threads(0, static_cast<std::size_t>(-1)); },
          "The number of threads `threads=None` uses: one per core.");
    bindings::bind_noise(m);
    bindings::bind_atmosphere(m);
    bindings::bind_raw_data(m);
    bindings::bind_corrections(m);
    bindings::bind_simulate(m);
    bindings::bind_retrievals(m);
    bindings::bind_clouds(m);
    bindings::bind_depolarization(m);
}
