#include "catalog/bind.hpp"
#include "drift/bind_detector.hpp"
#include "drift/geometric_moving_average.hpp"
#include "state/archive.hpp"

namespace kavro {

template <class Ar>
void GeometricMovingAverage::visit(Ar& ar) {
    ar("min_n_instances", min_n_instances_);
    ar("lambda_", lambda_);
    ar("alpha", alpha_);
    state::require(ar, min_n_instances_ >= 1 && std::isfinite(lambda_) && alpha_ >= 0.0 && alpha_ <= 1.0,
                   "GeometricMovingAverage parameters are out of range");
    visit_flags(ar);
    ar("n", n_);
    ar("mean", mean_);
    ar("average", average_);
    state::require(ar, n_ >= 1 && n_detections_ >= 0, "GeometricMovingAverage counters are out of range");
}

}  // namespace kavro

KAVRO_STATE(GeometricMovingAverage)

namespace kavro::catalog {

void bind_GeometricMovingAverage(py::module_& m) {
    PyClass<GeometricMovingAverage, IDriftDetector> cls(
        m, "GeometricMovingAverage",
        "Geometric moving average test (Roberts, Technometrics 1959) for an increase of the mean of "
        "real values: a moving average (weight 1 - alpha on the newest) of the deviations from the "
        "running mean above lambda_ is a drift.");
    cls.def(py::init<std::int64_t, double, double>(), py::arg("min_n_instances") = 30, py::arg("lambda_") = 1.0,
            py::arg("alpha") = 0.99,
            "min_n_instances: values before any test; lambda_: threshold of the average; alpha: weight "
            "kept by the average at each value, in [0, 1].");
    def_detector_methods(cls);
    cls.def_property_readonly("min_n_instances", &GeometricMovingAverage::min_n_instances, "Values before any test.")
        .def_property_readonly("lambda_", &GeometricMovingAverage::lambda, "Threshold of the average.")
        .def_property_readonly("alpha", &GeometricMovingAverage::alpha, "Weight kept by the average.");
}

}  // namespace kavro::catalog
