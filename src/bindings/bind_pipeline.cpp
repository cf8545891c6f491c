#include "bindings/bindings.hpp"
#include "bindings/common.hpp"

namespace kavro::bindings {

// TODO(pending): register the class.
void bind_classification_pipeline(py::module_&) {}

// TODO(pending): register the class.
void bind_regression_pipeline(py::module_&) {}

}  // namespace kavro::bindings
