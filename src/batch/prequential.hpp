// Native test-then-train loop and the decimal cell reader of the columnar CSV path.
#pragma once

#include <pybind11/pybind11.h>

namespace kavro::native {

void bind_prequential(pybind11::module_& m);

}  // namespace kavro::native
