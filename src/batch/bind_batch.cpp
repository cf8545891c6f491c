#include "native/native.hpp"

namespace kavro::native {

void bind_batch(pybind11::module_& /*m*/) {}

}  // namespace kavro::native
