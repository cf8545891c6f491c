#include "bindings/bindings.hpp"
#include "bindings/common.hpp"

namespace kavro::bindings {

// TODO(pending): register the class.
void bind_arf_classifier(py::module_&) {}

// TODO(pending): register the class.
void bind_srp_classifier(py::module_&) {}

// TODO(pending): register the class.
void bind_leveraging_bagging_classifier(py::module_&) {}

// TODO(pending): register the class.
void bind_arf_regressor(py::module_&) {}

// TODO(pending): register the class.
void bind_srp_regressor(py::module_&) {}

// TODO(pending): register the class.
void bind_leveraging_bagging_regressor(py::module_&) {}

// TODO(pending): register the class.
void bind_sgbt_classifier(py::module_&) {}

// TODO(pending): register the class.
void bind_sgbr_regressor(py::module_&) {}

}  // namespace kavro::bindings
