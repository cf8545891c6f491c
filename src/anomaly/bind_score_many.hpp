// kavro.score_many's native entry for anomaly detectors, in kavro._native.
#pragma once

#include <pybind11/pybind11.h>

namespace kavro::native {

void bind_score_many(pybind11::module_& m);

}  // namespace kavro::native
