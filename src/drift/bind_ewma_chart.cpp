#include "catalog/bind.hpp"
#include "drift/bind_detector.hpp"
#include "drift/ewma_chart.hpp"
#include "state/archive.hpp"

namespace kavro {

template <class Ar>
void EWMAChart::visit(Ar& ar) {
    ar("min_n_instances", min_n_instances_);
    ar("lambda_", lambda_);
    state::require(ar, min_n_instances_ >= 1 && lambda_ > 0.0 && lambda_ <= 1.0, "EWMAChart parameters are out of range");
    visit_flags(ar);
    ar("n", n_);
    ar("sum", sum_);
    ar("z", z_);
    state::require(ar, n_ >= 1 && sum_ >= 0.0 && sum_ <= static_cast<double>(n_) && n_detections_ >= 0,
                   "EWMAChart counters are out of range");
}

}  // namespace kavro

KAVRO_STATE(EWMAChart)

namespace kavro::catalog {

void bind_EWMAChart(py::module_& m) {
    PyClass<EWMAChart, IDriftDetector> cls(
        m, "EWMAChart",
        "Exponentially weighted moving average chart (Ross, Adams, Tasoulis and Hand, Pattern Recogn. "
        "Lett. 2012) over prediction outcomes (0 correct, 1 error): drifts when the moving average "
        "rises above the error rate by the control limit.");
    cls.def(py::init<std::int64_t, double>(), py::arg("min_n_instances") = 30, py::arg("lambda_") = 0.2,
            "min_n_instances: outcomes before a drift can be reported; lambda_: weight of the newest "
            "outcome in the moving average, in (0, 1].");
    def_detector_methods(cls);
    cls.def_property_readonly("min_n_instances", &EWMAChart::min_n_instances, "Outcomes before a drift.")
        .def_property_readonly("lambda_", &EWMAChart::lambda, "Weight of the newest outcome.");
}

}  // namespace kavro::catalog
