// Included first by every bind_*.cpp of a catalogued class: pybind11 with the library's
// checked casters, the catalogue's declarations, and KAVRO_STATE(T), which defines
// state_<T>() registering T's saved state (T::visit) under its class name.
#pragma once

#include <memory>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/checked_types.hpp"
#include "bindings/common.hpp"
#include "catalog/catalog.hpp"
#include "core/interfaces.hpp"
#include "state/registry.hpp"

namespace kavro::catalog {
namespace py = pybind11;
using bindings::def_classifier_methods;
using bindings::def_regressor_methods;
using bindings::PyClass;
}  // namespace kavro::catalog

#define KAVRO_STATE(T) \
    void kavro::catalog::state_##T(kavro::state::Registry& r) { r.add<kavro::T>(#T); }
