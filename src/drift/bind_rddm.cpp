#include "catalog/bind.hpp"
#include "drift/bind_detector.hpp"
#include "drift/rddm.hpp"
#include "state/archive.hpp"

namespace kavro {

template <class Ar>
void RDDM::visit(Ar& ar) {
    ar("min_n_instances", min_n_instances_);
    ar("warning_level", warning_level_);
    ar("drift_level", drift_level_);
    ar("max_size_concept", max_size_concept_);
    ar("min_size_concept", min_size_concept_);
    ar("warning_limit", warning_limit_);
    state::require(ar,
                   min_n_instances_ >= 1 && warning_level_ > 0.0 && drift_level_ >= warning_level_ &&
                       std::isfinite(drift_level_) && min_size_concept_ >= 1 &&
                       min_size_concept_ <= (std::int64_t{1} << 32) && max_size_concept_ >= min_size_concept_ &&
                       warning_limit_ >= 1,
                   "RDDM parameters are out of range");
    visit_flags(ar);
    ar("stored", stored_);
    ar("n_stored", n_stored_);
    ar("first_pos", first_pos_);
    ar("last_pos", last_pos_);
    ar("last_warn_pos", last_warn_pos_);
    ar("last_warn_inst", last_warn_inst_);
    ar("inst_num", inst_num_);
    ar("restart_pending", restart_pending_);
    ar("n", n_);
    ar("n_concept", n_concept_);
    ar("p", p_);
    ar("s", s_);
    ar("p_min", p_min_);
    ar("s_min", s_min_);
    ar("ps_min", ps_min_);
    if constexpr (Ar::mode == state::Mode::read) {
        const auto size = min_size_concept_;
        bool outcomes = true;
        for (auto b : stored_) outcomes = outcomes && b <= 1;
        ar.require(static_cast<std::int64_t>(stored_.size()) == size && outcomes, "RDDM stored outcomes disagree with min_size_concept");
        ar.require(n_stored_ >= 0 && n_stored_ <= size && first_pos_ >= 0 && first_pos_ < size && last_pos_ >= -1 &&
                       last_pos_ < size && last_warn_pos_ >= -1 && last_warn_pos_ < size && last_warn_inst_ >= -1 &&
                       last_warn_inst_ <= inst_num_ && inst_num_ >= 0 && n_ >= 1 && n_concept_ >= 0 &&
                       n_detections_ >= 0,
                   "RDDM positions or counters are out of range");
    }
}

}  // namespace kavro

KAVRO_STATE(RDDM)

namespace kavro::catalog {

void bind_RDDM(py::module_& m) {
    PyClass<RDDM, IDriftDetector> cls(
        m, "RDDM",
        "Reactive drift detection method (Barros, Cabral, Goncalves and Santos, Expert Syst. Appl. "
        "2017) over prediction outcomes (0 correct, 1 error): DDM's tests over a bounded concept, "
        "restarted from the outcomes stored since the warning began; a warning lasting "
        "warning_limit outcomes is a drift.");
    cls.def(py::init<std::int64_t, double, double, std::int64_t, std::int64_t, std::int64_t>(),
            py::arg("min_n_instances") = 129, py::arg("warning_level") = 1.773, py::arg("drift_level") = 2.258,
            py::arg("max_size_concept") = 40000, py::arg("min_size_concept") = 7000, py::arg("warning_limit") = 1400,
            "min_n_instances: outcomes before any test; warning_level, drift_level: deviations above the "
            "lowest point that warn and drift; max_size_concept: outcomes after which a concept not in "
            "warning restarts; min_size_concept: outcomes stored for restarts; warning_limit: outcomes a "
            "warning may last before it is a drift.");
    def_detector_methods(cls);
    cls.def_property_readonly("min_n_instances", &RDDM::min_n_instances, "Outcomes before any test.")
        .def_property_readonly("warning_level", &RDDM::warning_level, "Deviations that warn.")
        .def_property_readonly("drift_level", &RDDM::drift_level, "Deviations that drift.")
        .def_property_readonly("max_size_concept", &RDDM::max_size_concept, "Longest concept before a restart.")
        .def_property_readonly("min_size_concept", &RDDM::min_size_concept, "Outcomes stored for restarts.")
        .def_property_readonly("warning_limit", &RDDM::warning_limit, "Longest warning before a drift.");
}

}  // namespace kavro::catalog
