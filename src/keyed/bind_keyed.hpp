// Conversions for the keyed models' driver, in kavro._native.
#pragma once

#include <pybind11/pybind11.h>

namespace kavro::native {

void bind_keyed(pybind11::module_& m);

}  // namespace kavro::native
