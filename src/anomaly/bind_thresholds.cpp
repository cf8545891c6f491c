#include "catalog/bind.hpp"

#include <cmath>
#include <string>

#include "anomaly/anomaly_pipeline.hpp"
#include "anomaly/thresholds.hpp"
#include "state/archive.hpp"

namespace kavro {

namespace state {
namespace detail {
// The detector a wrapper is built with before its saved detector is read in its place.
class PendingDetector : public IAnomalyDetector {
public:
    void learn_one(const FeatureMap&) override {}
    double score_one(const FeatureMap&) const override { return 0.0; }
    void reset() override {}
};
}  // namespace detail

template <>
struct Construct<ThresholdFilter> {
    static std::unique_ptr<ThresholdFilter> make_unique() {
        return std::make_unique<ThresholdFilter>(std::make_shared<detail::PendingDetector>(), 0.0);
    }
};
template <>
struct Construct<QuantileThreshold> {
    static std::unique_ptr<QuantileThreshold> make_unique() {
        return std::make_unique<QuantileThreshold>(std::make_shared<detail::PendingDetector>());
    }
};
template <>
struct Construct<AnomalyPipeline> {
    static std::unique_ptr<AnomalyPipeline> make_unique() {
        return std::make_unique<AnomalyPipeline>(TransformerSteps{},
                                                 std::make_shared<detail::PendingDetector>());
    }
};
}  // namespace state

template <class Ar>
void ThresholdFilter::visit(Ar& ar) {
    ar("detector", detector_);
    ar("threshold", threshold_);
    state::require(ar, !std::isnan(threshold_), "the threshold is NaN");
}

template <class Ar>
void QuantileThreshold::visit(Ar& ar) {
    ar("detector", detector_);
    ar("quantile", quantile_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(quantile_.q >= 0.0 && quantile_.q <= 1.0 && quantile_.count >= 0,
                   "the quantile is out of range");
    }
}

template <class Ar>
void AnomalyPipeline::visit(Ar& ar) {
    ar("steps", steps_);
    ar("detector", detector_);
}

}  // namespace kavro

KAVRO_STATE(ThresholdFilter)
KAVRO_STATE(QuantileThreshold)
KAVRO_STATE(AnomalyPipeline)

namespace kavro::catalog {

namespace {

template <class T>
void def_wrapper_methods(PyClass<T, IAnomalyDetector>& cls) {
    cls.def("learn_one", [](T& self, const FeatureMap& x) { self.learn_one(x); },
            "Learn one record; the detector learns it only when it raises no alarm.")
        .def("score_one", [](const T& self, const FeatureMap& x) { return self.score_one(x); },
             "The detector's anomaly score of x; changes nothing.")
        .def("predict_one", [](const T& self, const FeatureMap& x) { return self.predict_one(x); },
             "1 (alarm) when the score of x is above the threshold, else 0.")
        .def("reset", &T::reset, "Reset the detector and what the wrapper learnt.")
        .def_property_readonly("detector", &T::detector, "The detector (shared).")
        .def_property_readonly("threshold", &T::threshold, "The current threshold.");
}

void refuse_no_detector(const char* owner, const std::shared_ptr<IAnomalyDetector>& d) {
    if (!d) throw py::type_error(std::string(owner) + ": detector is None; expected an anomaly detector.");
}

}  // namespace

void bind_ThresholdFilter(py::module_& m) {
    using T = ThresholdFilter;
    PyClass<T, IAnomalyDetector> cls(
        m, "ThresholdFilter",
        "Alarms (predict_one = 1) when the detector's score is above a fixed threshold; learn_one "
        "passes only records without an alarm on to the detector, so outliers stay out of it. To "
        "shield a learner, let it learn only when predict_one(x) is 0.");
    cls.def(py::init([](std::shared_ptr<IAnomalyDetector> detector, double threshold) {
                refuse_no_detector("ThresholdFilter", detector);
                return std::make_shared<T>(std::move(detector), threshold);
            }),
            py::arg("detector"), py::arg("threshold"),
            "detector: the anomaly detector (shared); threshold: scores above it raise an alarm.");
    def_wrapper_methods(cls);
}

void bind_QuantileThreshold(py::module_& m) {
    using T = QuantileThreshold;
    PyClass<T, IAnomalyDetector> cls(
        m, "QuantileThreshold",
        "Alarms (predict_one = 1) when the detector's score is above the running q-quantile of the "
        "scores of the records learnt (P-square estimate, Jain & Chlamtac 1985); learn_one passes only "
        "records without an alarm on to the detector. No alarm before any record is learnt.");
    cls.def(py::init([](std::shared_ptr<IAnomalyDetector> detector, double q) {
                refuse_no_detector("QuantileThreshold", detector);
                return std::make_shared<T>(std::move(detector), q);
            }),
            py::arg("detector"), py::arg("q") = 0.99,
            "detector: the anomaly detector (shared); q: quantile of the scores above which records "
            "raise an alarm, in [0, 1].");
    def_wrapper_methods(cls);
    cls.def_property_readonly("q", &T::q, "The quantile.");
}

void bind_AnomalyPipeline(py::module_& m) {
    using T = AnomalyPipeline;
    PyClass<T, IAnomalyDetector> cls(m, "AnomalyPipeline",
                                     "Transformers applied in order before an anomaly detector.");
    cls.def(py::init([](TransformerSteps steps, std::shared_ptr<IAnomalyDetector> detector) {
                for (std::size_t i = 0; i < steps.size(); ++i) {
                    if (!steps[i]) {
                        throw py::type_error("AnomalyPipeline: steps[" + std::to_string(i) +
                                             "] is None; expected a transformer.");
                    }
                }
                refuse_no_detector("AnomalyPipeline", detector);
                return std::make_shared<T>(std::move(steps), std::move(detector));
            }),
            py::arg("steps"), py::arg("detector"),
            "steps: transformers, shared and applied in order (each learns from the records before "
            "transforming them); detector: the anomaly detector, shared.");
    cls.def("learn_one", [](T& self, const FeatureMap& x) { self.learn_one(x); },
            "Learn one record through every step and the detector.")
        .def("score_one", [](const T& self, const FeatureMap& x) { return self.score_one(x); },
             "The detector's score of the transformed x; nothing learns.")
        .def("reset", &T::reset, "Reset every step and the detector.")
        .def_property_readonly("steps", &T::steps, "The transformers (shared).")
        .def_property_readonly("detector", &T::detector, "The detector (shared).");
}

}  // namespace kavro::catalog
