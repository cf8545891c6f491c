#include "catalog/bind.hpp"
#include "drift/bind_detector.hpp"
#include "drift/hddm_w.hpp"
#include "state/archive.hpp"

namespace kavro {

template <class Ar>
void HDDM_W::Sample::visit(Ar& ar) {
    ar("average", average);
    ar("squared_weights", squared_weights);
    ar("bound", bound);
    ar("started", started);
}

template <class Ar>
void HDDM_W::visit(Ar& ar) {
    ar("drift_confidence", drift_confidence_);
    ar("warning_confidence", warning_confidence_);
    ar("lambda_", lambda_);
    ar("two_sided", two_sided_);
    state::require(ar,
                   drift_confidence_ > 0.0 && drift_confidence_ < 1.0 && warning_confidence_ > 0.0 &&
                       warning_confidence_ < 1.0 && lambda_ > 0.0 && lambda_ <= 1.0,
                   "HDDM_W parameters are out of range");
    visit_flags(ar);
    ar("total", total_);
    ar("cut_up", cut_up_);
    ar("after_up", after_up_);
    ar("cut_down", cut_down_);
    ar("after_down", after_down_);
    state::require(ar, n_detections_ >= 0, "HDDM_W detection count is negative");
}

}  // namespace kavro

KAVRO_STATE(HDDM_W)

namespace kavro::catalog {

void bind_HDDM_W(py::module_& m) {
    PyClass<HDDM_W, IDriftDetector> cls(
        m, "HDDM_W",
        "Drift detection from McDiarmid's bound on weighted averages (Frias-Blanco et al., IEEE TKDE "
        "2015, HDDM_W) over values in [0, 1]: drifts when the weighted average after the cut rises "
        "above the cut's by the bound.");
    cls.def(py::init<double, double, double, bool>(), py::arg("drift_confidence") = 0.001,
            py::arg("warning_confidence") = 0.005, py::arg("lambda_") = 0.05, py::arg("two_sided") = true,
            "drift_confidence, warning_confidence: confidences of the drift and warning tests, in (0, 1); "
            "lambda_: weight of the newest value, in (0, 1]; two_sided: also follow decreases, which "
            "restart the statistics without a drift.");
    def_detector_methods(cls);
    cls.def_property_readonly("drift_confidence", &HDDM_W::drift_confidence, "Confidence of the drift test.")
        .def_property_readonly("warning_confidence", &HDDM_W::warning_confidence, "Confidence of the warning test.")
        .def_property_readonly("lambda_", &HDDM_W::lambda, "Weight of the newest value.")
        .def_property_readonly("two_sided", &HDDM_W::two_sided, "Whether decreases are followed.");
}

}  // namespace kavro::catalog
