#include "catalog/bind.hpp"
#include "drift/bind_detector.hpp"
#include "drift/stepd.hpp"
#include "state/archive.hpp"

namespace kavro {

template <class Ar>
void STEPD::visit(Ar& ar) {
    ar("window_size", window_size_);
    ar("alpha_drift", alpha_drift_);
    ar("alpha_warning", alpha_warning_);
    state::require(ar,
                   window_size_ >= 1 && window_size_ <= (std::int64_t{1} << 32) && alpha_drift_ > 0.0 &&
                       alpha_drift_ < 1.0 && alpha_warning_ > 0.0 && alpha_warning_ < 1.0,
                   "STEPD parameters are out of range");
    visit_flags(ar);
    ar("window", window_);
    ar("head", head_);
    ar("filled", filled_);
    ar("recent_correct", recent_correct_);
    ar("older_correct", older_correct_);
    ar("older", older_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(static_cast<std::int64_t>(window_.size()) == window_size_ && head_ >= 0 && head_ < window_size_ &&
                       filled_ >= 0 && filled_ <= window_size_ && (head_ == 0 || filled_ == window_size_),
                   "STEPD window is inconsistent");
        std::int64_t correct = 0;
        bool outcomes = true;
        for (std::int64_t i = 0; i < filled_; ++i) {  // sizes checked above: every index is in range
            const auto b = window_[static_cast<std::size_t>((head_ + i) % window_size_)];
            outcomes = outcomes && b <= 1;
            correct += b;
        }
        ar.require(outcomes && correct == recent_correct_ && older_ >= 0 && older_correct_ >= 0 &&
                       older_correct_ <= older_ && (older_ == 0 || filled_ == window_size_) && n_detections_ >= 0,
                   "STEPD window or counts are inconsistent");
    }
}

}  // namespace kavro

KAVRO_STATE(STEPD)

namespace kavro::catalog {

void bind_STEPD(py::module_& m) {
    PyClass<STEPD, IDriftDetector> cls(
        m, "STEPD",
        "Statistical test of equal proportions (Nishida and Yamauchi, Discovery Science 2007) over "
        "prediction outcomes (0 correct, 1 error): compares the accuracy of the last window_size "
        "outcomes with that of the older ones.");
    cls.def(py::init<std::int64_t, double, double>(), py::arg("window_size") = 30, py::arg("alpha_drift") = 0.003,
            py::arg("alpha_warning") = 0.05,
            "window_size: recent outcomes compared with the older ones; alpha_drift, alpha_warning: "
            "significance levels of the drift and warning tests, in (0, 1).");
    def_detector_methods(cls);
    cls.def_property_readonly("window_size", &STEPD::window_size, "Recent outcomes compared.")
        .def_property_readonly("alpha_drift", &STEPD::alpha_drift, "Significance level of a drift.")
        .def_property_readonly("alpha_warning", &STEPD::alpha_warning, "Significance level of a warning.");
}

}  // namespace kavro::catalog
