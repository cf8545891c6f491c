// Batch entry points and the native evaluation loop of kavro._native.
#pragma once

#include <pybind11/pybind11.h>

namespace kavro::native {

void bind_batch(pybind11::module_& m);

}  // namespace kavro::native
