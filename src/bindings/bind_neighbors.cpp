#include "bindings/bindings.hpp"
#include "bindings/common.hpp"

namespace kavro::bindings {

// TODO(pending): register the class.
void bind_knn_classifier(py::module_&) {}

// TODO(pending): register the class.
void bind_knn_regressor(py::module_&) {}

}  // namespace kavro::bindings
