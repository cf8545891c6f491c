#include "bindings/bindings.hpp"
#include "bindings/common.hpp"

namespace kavro::bindings {

// TODO(pending): register the class.
void bind_adwin(py::module_&) {}

// TODO(pending): register the class.
void bind_eddm(py::module_&) {}

}  // namespace kavro::bindings
