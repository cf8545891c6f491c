#include "catalog/bind.hpp"
#include "drift/bind_detector.hpp"
#include "drift/ddm.hpp"
#include "state/archive.hpp"

namespace kavro {

template <class Ar>
void DDM::visit(Ar& ar) {
    ar("min_n_instances", min_n_instances_);
    ar("warning_level", warning_level_);
    ar("out_control_level", out_control_level_);
    state::require(ar, min_n_instances_ >= 1 && warning_level_ > 0.0 && std::isfinite(warning_level_) &&
                           out_control_level_ >= warning_level_ && std::isfinite(out_control_level_),
                   "DDM parameters are out of range");
    visit_flags(ar);
    ar("n", n_);
    ar("p", p_);
    ar("s", s_);
    ar("p_min", p_min_);
    ar("s_min", s_min_);
    ar("ps_min", ps_min_);
    state::require(ar, n_ >= 1 && n_detections_ >= 0, "DDM counters are out of range");
}

}  // namespace kavro

KAVRO_STATE(DDM)

namespace kavro::catalog {

void bind_DDM(py::module_& m) {
    PyClass<DDM, IDriftDetector> cls(
        m, "DDM",
        "Drift detection method (Gama, Medas, Castillo and Rodrigues, SBIA 2004) over prediction "
        "outcomes (0 correct, 1 error): warns and drifts when the error rate plus its deviation "
        "rises warning_level or out_control_level deviations above its lowest point.");
    cls.def(py::init<std::int64_t, double, double>(), py::arg("min_n_instances") = 30, py::arg("warning_level") = 2.0,
            py::arg("out_control_level") = 3.0,
            "min_n_instances: outcomes before any test; warning_level, out_control_level: deviations "
            "above the lowest point that warn and drift (out_control_level >= warning_level).");
    def_detector_methods(cls);
    cls.def_property_readonly("min_n_instances", &DDM::min_n_instances, "Outcomes before any test.")
        .def_property_readonly("warning_level", &DDM::warning_level, "Deviations that warn.")
        .def_property_readonly("out_control_level", &DDM::out_control_level, "Deviations that drift.");
}

}  // namespace kavro::catalog
