// The native test-then-train loop.
#pragma once

#include <pybind11/pybind11.h>

namespace kavro::native {

void bind_prequential(pybind11::module_& m);

}  // namespace kavro::native
