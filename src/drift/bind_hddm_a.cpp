#include "catalog/bind.hpp"
#include "drift/bind_detector.hpp"
#include "drift/hddm_a.hpp"
#include "state/archive.hpp"

namespace kavro {

template <class Ar>
void HDDM_A::visit(Ar& ar) {
    ar("drift_confidence", drift_confidence_);
    ar("warning_confidence", warning_confidence_);
    ar("two_sided", two_sided_);
    state::require(ar,
                   drift_confidence_ > 0.0 && drift_confidence_ < 1.0 && warning_confidence_ > 0.0 &&
                       warning_confidence_ < 1.0,
                   "HDDM_A confidences are out of range");
    visit_flags(ar);
    ar("n", n_);
    ar("total", total_);
    ar("n_min", n_min_);
    ar("total_min", total_min_);
    ar("n_max", n_max_);
    ar("total_max", total_max_);
    state::require(ar, n_ >= 0 && n_min_ >= 0 && n_min_ <= n_ && n_max_ >= 0 && n_max_ <= n_ && (n_ == 0) == (n_min_ == 0) &&
                           (n_ == 0) == (n_max_ == 0) && n_detections_ >= 0,
                   "HDDM_A counts are out of range");
}

}  // namespace kavro

KAVRO_STATE(HDDM_A)

namespace kavro::catalog {

void bind_HDDM_A(py::module_& m) {
    PyClass<HDDM_A, IDriftDetector> cls(
        m, "HDDM_A",
        "Drift detection from Hoeffding's bound on averages (Frias-Blanco et al., IEEE TKDE 2015, "
        "HDDM_A) over values in [0, 1]: drifts when the mean rises above the lowest cut point's by "
        "the bound.");
    cls.def(py::init<double, double, bool>(), py::arg("drift_confidence") = 0.001,
            py::arg("warning_confidence") = 0.005, py::arg("two_sided") = true,
            "drift_confidence, warning_confidence: confidences of the drift and warning tests, in (0, 1); "
            "two_sided: also follow decreases, which restart the statistics without a drift.");
    def_detector_methods(cls);
    cls.def_property_readonly("drift_confidence", &HDDM_A::drift_confidence, "Confidence of the drift test.")
        .def_property_readonly("warning_confidence", &HDDM_A::warning_confidence, "Confidence of the warning test.")
        .def_property_readonly("two_sided", &HDDM_A::two_sided, "Whether decreases are followed.");
}

}  // namespace kavro::catalog
