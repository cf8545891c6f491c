#include "bindings/bindings.hpp"
#include "bindings/common.hpp"

namespace kavro::bindings {

// TODO(pending): register the class.
void bind_hoeffding_tree_regressor(py::module_&) {}

// TODO(pending): register the class.
void bind_fimtdd_regressor(py::module_&) {}

}  // namespace kavro::bindings
