#include "bindings/bindings.hpp"
#include "bindings/common.hpp"
#include "metrics/classification_metrics.hpp"
#include "metrics/regression_metrics.hpp"
#include "metrics/window_metrics.hpp"

namespace kavro::bindings {

namespace {

template <class T>
using Metric = py::class_<T, std::shared_ptr<T>>;

// update(y_true, y_pred) / get() / reset() of the cumulative metrics.
template <class T, class Value>
void def_cumulative(Metric<T>& cls, const char* get_doc) {
    cls.def(py::init<>(), "Create an empty metric (no parameters).")
        .def(
            "update", [](T& self, Value y_true, Value y_pred) { self.update(y_true, y_pred); },
            py::arg("y_true"), py::arg("y_pred"), "Score one prediction.")
        .def("get", &T::get, get_doc)
        .def("reset", &T::reset, "Forget every update.");
}

}  // namespace

void bind_accuracy(py::module_& m) {
    Metric<Accuracy> cls(m, "Accuracy", "Fraction of correct predictions.");
    def_cumulative<Accuracy, ClassLabel>(cls, "Accuracy so far; 0 before any update.");
}

void bind_macro_precision(py::module_& m) {
    Metric<MacroPrecision> cls(m, "MacroPrecision", "Precision averaged over every class seen.");
    def_cumulative<MacroPrecision, ClassLabel>(cls, "Macro-averaged precision so far.");
}

void bind_macro_recall(py::module_& m) {
    Metric<MacroRecall> cls(m, "MacroRecall", "Recall averaged over every class seen.");
    def_cumulative<MacroRecall, ClassLabel>(cls, "Macro-averaged recall so far.");
}

void bind_macro_f1(py::module_& m) {
    Metric<MacroF1> cls(m, "MacroF1", "F1 score averaged over every class seen.");
    def_cumulative<MacroF1, ClassLabel>(cls, "Macro-averaged F1 so far.");
}

void bind_mae(py::module_& m) {
    Metric<MAE> cls(m, "MAE", "Mean absolute error.");
    def_cumulative<MAE, double>(cls, "Mean absolute error so far.");
}

void bind_rmse(py::module_& m) {
    Metric<RMSE> cls(m, "RMSE", "Root mean squared error.");
    def_cumulative<RMSE, double>(cls, "Root mean squared error so far.");
}

void bind_window_metric(py::module_& m) {
    Metric<WindowMetric> cls(m, "WindowMetric",
                             "Accuracy and macro F1 over the most recent predictions.");
    cls.def(py::init<int>(), py::arg("window_size") = 1000,
            "window_size: number of recent predictions scored (0 or less ignores updates).")
        .def("update", &WindowMetric::update, py::arg("predicted"), py::arg("actual"),
             "Score one prediction.")
        .def("get", &WindowMetric::get, py::arg("metric") = 0,
             "macro_f1() when metric is 1, accuracy() otherwise.")
        .def("accuracy", &WindowMetric::accuracy, "Accuracy over the window.")
        .def("macro_f1", &WindowMetric::macro_f1, "Macro F1 over the classes in the window.")
        .def("reset", &WindowMetric::reset, "Empty the window.")
        .def_property_readonly("size", &WindowMetric::size, "Number of entries in the window.");
}

void bind_window_regression_metric(py::module_& m) {
    Metric<WindowRegressionMetric> cls(m, "WindowRegressionMetric",
                                       "MAE and RMSE over the most recent predictions.");
    cls.def(py::init<int>(), py::arg("window_size") = 1000,
            "window_size: number of recent predictions scored (0 or less ignores updates).")
        .def("update", &WindowRegressionMetric::update, py::arg("y_true"), py::arg("y_pred"),
             "Score one prediction.")
        .def("get", &WindowRegressionMetric::get, py::arg("metric") = 0,
             "rmse() when metric is 1, mae() otherwise.")
        .def("mae", &WindowRegressionMetric::mae, "Mean absolute error over the window.")
        .def("rmse", &WindowRegressionMetric::rmse, "Root mean squared error over the window.")
        .def("reset", &WindowRegressionMetric::reset, "Empty the window.")
        .def_property_readonly("size", &WindowRegressionMetric::size,
                               "Number of entries in the window.");
}

void bind_r2(py::module_& m) {
    Metric<R2> cls(m, "R2", "Coefficient of determination.");
    def_cumulative<R2, double>(cls, "R2 so far; 0 before two updates or for constant targets.");
}

}  // namespace kavro::bindings
