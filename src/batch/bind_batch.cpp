#include "batch/prequential.hpp"
#include "native/native.hpp"

namespace kavro::native {

void bind_batch(pybind11::module_& m) { bind_prequential(m); }

}  // namespace kavro::native
