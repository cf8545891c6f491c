#include "bindings/bindings.hpp"
#include "bindings/common.hpp"
#include "drift/adwin.hpp"
#include "drift/eddm.hpp"

namespace kavro::bindings {

void bind_adwin(py::module_& m) {
    py::class_<ADWIN, std::shared_ptr<ADWIN>> cls(
        m, "ADWIN", "Adaptive-windowing change detector over a stream of real numbers.");
    cls.def(py::init<double, int, int, int, int>(), py::arg("delta") = 0.002,
            py::arg("clock") = 32, py::arg("max_buckets") = 5, py::arg("min_window_length") = 5,
            py::arg("grace_period") = 10,
            "delta: confidence of the cut test (smaller detects less); clock: test every "
            "clock-th update; max_buckets: buckets kept per row; min_window_length: least "
            "values on each side of a split; grace_period: no test while the window holds "
            "this many values or fewer.")
        .def("update", &ADWIN::update, "Add one value; may detect a change.")
        .def("reset", &ADWIN::reset, "Empty the window; keep the parameters.")
        .def_property_readonly("drift_detected", &ADWIN::drift_detected,
                               "Whether the most recent update detected a change.")
        .def_property_readonly("estimation", &ADWIN::estimation, "Mean of the window.")
        .def_property_readonly("width", &ADWIN::width, "Number of values in the window.")
        .def_property_readonly("variance", &ADWIN::variance,
                               "Population variance of the window.");
}

void bind_eddm(py::module_& m) {
    py::class_<EDDM, std::shared_ptr<EDDM>> cls(
        m, "EDDM", "Early drift detector over the distances between prediction errors.");
    cls.def(py::init<int, double, double>(), py::arg("warm_start") = 30, py::arg("alpha") = 0.95,
            py::arg("beta") = 0.9,
            "warm_start: least updates and least errors before testing; alpha: warning "
            "threshold on the ratio; beta: drift threshold on the ratio (at most alpha).")
        .def("update", &EDDM::update, "Record one outcome (1 = error).")
        .def("reset", &EDDM::reset, "Restore the initial state; keep the parameters.")
        .def_property_readonly("drift_detected", &EDDM::drift_detected, "Drift flag.")
        .def_property_readonly("warning_detected", &EDDM::warning_detected, "Warning flag.")
        .def_property("warm_start", &EDDM::warm_start, &EDDM::set_warm_start,
                      "Least updates and least errors before the thresholds are tested.")
        .def_property("alpha", &EDDM::alpha, &EDDM::set_alpha, "Warning threshold.")
        .def_property("beta", &EDDM::beta, &EDDM::set_beta, "Drift threshold.");
}

}  // namespace kavro::bindings
