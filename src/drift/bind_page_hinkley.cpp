#include "catalog/bind.hpp"
#include "drift/bind_detector.hpp"
#include "drift/page_hinkley.hpp"
#include "state/archive.hpp"

namespace kavro {

template <class Ar>
void PageHinkley::visit(Ar& ar) {
    ar("min_n_instances", min_n_instances_);
    ar("delta", delta_);
    ar("lambda_", lambda_);
    ar("alpha", alpha_);
    state::require(ar,
                   min_n_instances_ >= 1 && std::isfinite(delta_) && std::isfinite(lambda_) && alpha_ >= 0.0 &&
                       alpha_ <= 1.0,
                   "PageHinkley parameters are out of range");
    visit_flags(ar);
    ar("n", n_);
    ar("mean", mean_);
    ar("sum", sum_);
    state::require(ar, n_ >= 1 && n_detections_ >= 0, "PageHinkley counters are out of range");
}

}  // namespace kavro

KAVRO_STATE(PageHinkley)

namespace kavro::catalog {

void bind_PageHinkley(py::module_& m) {
    PyClass<PageHinkley, IDriftDetector> cls(
        m, "PageHinkley",
        "Page-Hinkley test (Page, Biometrika 1954) for an increase of the mean of real values: a "
        "faded sum of the deviations from the running mean, less delta, above lambda_ is a drift.");
    cls.def(py::init<std::int64_t, double, double, double>(), py::arg("min_n_instances") = 30,
            py::arg("delta") = 0.005, py::arg("lambda_") = 50.0, py::arg("alpha") = 0.9999,
            "min_n_instances: values before any test; delta: tolerated change; lambda_: threshold of the "
            "sum; alpha: fading factor of the sum, in [0, 1].");
    def_detector_methods(cls);
    cls.def_property_readonly("min_n_instances", &PageHinkley::min_n_instances, "Values before any test.")
        .def_property_readonly("delta", &PageHinkley::delta, "Tolerated change.")
        .def_property_readonly("lambda_", &PageHinkley::lambda, "Threshold of the sum.")
        .def_property_readonly("alpha", &PageHinkley::alpha, "Fading factor of the sum.");
}

}  // namespace kavro::catalog
