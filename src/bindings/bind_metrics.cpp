#include "bindings/bindings.hpp"
#include "bindings/common.hpp"

namespace kavro::bindings {

// TODO(pending): register the class.
void bind_accuracy(py::module_&) {}

// TODO(pending): register the class.
void bind_macro_precision(py::module_&) {}

// TODO(pending): register the class.
void bind_macro_recall(py::module_&) {}

// TODO(pending): register the class.
void bind_macro_f1(py::module_&) {}

// TODO(pending): register the class.
void bind_mae(py::module_&) {}

// TODO(pending): register the class.
void bind_rmse(py::module_&) {}

// TODO(pending): register the class.
void bind_window_metric(py::module_&) {}

// TODO(pending): register the class.
void bind_window_regression_metric(py::module_&) {}

// TODO(pending): register the class.
void bind_r2(py::module_&) {}

}  // namespace kavro::bindings
