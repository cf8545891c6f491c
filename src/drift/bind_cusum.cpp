#include "catalog/bind.hpp"
#include "drift/bind_detector.hpp"
#include "drift/cusum.hpp"
#include "state/archive.hpp"

namespace kavro {

template <class Ar>
void CUSUM::visit(Ar& ar) {
    ar("min_n_instances", min_n_instances_);
    ar("delta", delta_);
    ar("lambda_", lambda_);
    state::require(ar, min_n_instances_ >= 1 && std::isfinite(delta_) && std::isfinite(lambda_),
                   "CUSUM parameters are out of range");
    visit_flags(ar);
    ar("n", n_);
    ar("mean", mean_);
    ar("sum", sum_);
    state::require(ar, n_ >= 1 && n_detections_ >= 0 && sum_ >= 0.0, "CUSUM counters are out of range");
}

}  // namespace kavro

KAVRO_STATE(CUSUM)

namespace kavro::catalog {

void bind_CUSUM(py::module_& m) {
    PyClass<CUSUM, IDriftDetector> cls(
        m, "CUSUM",
        "Cumulative sum test (Page, Biometrika 1954) for an increase of the mean of real values: "
        "the sum of the deviations from the running mean, less delta and floored at zero, above "
        "lambda_ is a drift.");
    cls.def(py::init<std::int64_t, double, double>(), py::arg("min_n_instances") = 30, py::arg("delta") = 0.005,
            py::arg("lambda_") = 50.0,
            "min_n_instances: values before any test; delta: tolerated change; lambda_: threshold of the sum.");
    def_detector_methods(cls);
    cls.def_property_readonly("min_n_instances", &CUSUM::min_n_instances, "Values before any test.")
        .def_property_readonly("delta", &CUSUM::delta, "Tolerated change.")
        .def_property_readonly("lambda_", &CUSUM::lambda, "Threshold of the sum.");
}

}  // namespace kavro::catalog
