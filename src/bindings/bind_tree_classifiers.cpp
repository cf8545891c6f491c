#include "bindings/bindings.hpp"
#include "bindings/common.hpp"

namespace kavro::bindings {

// TODO(pending): register the class.
void bind_hoeffding_tree_classifier(py::module_&) {}

// TODO(pending): register the class.
void bind_efdt_classifier(py::module_&) {}

// TODO(pending): register the class.
void bind_sgt_classifier(py::module_&) {}

// TODO(pending): register the class.
void bind_hoeffding_adaptive_tree_classifier(py::module_&) {}

}  // namespace kavro::bindings
