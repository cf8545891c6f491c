// Parts of the kavro._native module defined outside module.cpp.
#pragma once

#include <pybind11/pybind11.h>

namespace kavro::native {

// Batch entry points and the native evaluation loop.
void bind_batch(pybind11::module_& m);

// Conversions for the keyed models' driver.
void bind_keyed(pybind11::module_& m);

// kavro.score_many's entry for anomaly detectors.
void bind_score_many(pybind11::module_& m);

}  // namespace kavro::native
