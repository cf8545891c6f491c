// The catalogue as the native module uses it: its entries, the bindings of the classes of
// kavro._native, and their saved-state registrations (all read from catalog/classes.def).
#pragma once

#include <vector>

#include <pybind11/pybind11.h>

namespace kavro::state {
class Registry;
}

namespace kavro::catalog {

struct Entry {
    const char* name;     // Python name
    const char* family;   // the kavro.* module that exports it
    const char* kind;     // classifier, regressor, transformer, metric, detector, anomaly
    const char* summary;  // one line
    bool core;            // a class of _kavro_core (else of kavro._native)
};

// Every class, core classes first in their registration order.
const std::vector<Entry>& entries();

// Binds the interfaces of the non-core kinds, then every class of kavro._native, in order.
void bind_classes(pybind11::module_& m);

// Adds the saved-state entries of the classes of kavro._native.
void add_states(state::Registry& r);

#define KAVRO_CORE(T, name, family, kind, summary)
#define KAVRO_CLASS(T, family, kind, summary) \
    void bind_##T(pybind11::module_& m);     \
    void state_##T(state::Registry& r);
#include "catalog/classes.def"
#undef KAVRO_CORE
#undef KAVRO_CLASS

}  // namespace kavro::catalog
