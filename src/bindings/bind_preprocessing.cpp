#include "bindings/bindings.hpp"
#include "bindings/common.hpp"

namespace kavro::bindings {

// TODO(pending): register the class.
void bind_standard_scaler(py::module_&) {}

// TODO(pending): register the class.
void bind_min_max_scaler(py::module_&) {}

// TODO(pending): register the class.
void bind_max_abs_scaler(py::module_&) {}

// TODO(pending): register the class.
void bind_variance_threshold(py::module_&) {}

// TODO(pending): register the class.
void bind_select_k_best(py::module_&) {}

}  // namespace kavro::bindings
