#include "catalog/catalog.hpp"

#include <memory>

#include "bindings/checked_types.hpp"
#include "core/interfaces.hpp"
#include "state/registry.hpp"

namespace kavro::catalog {

namespace py = pybind11;

const std::vector<Entry>& entries() {
    static const std::vector<Entry> all = {
#define KAVRO_CORE(T, name, family, kind, summary) {#name, #family, #kind, summary, true},
#define KAVRO_CLASS(T, family, kind, summary) {#T, #family, #kind, summary, false},
#include "catalog/classes.def"
#undef KAVRO_CORE
#undef KAVRO_CLASS
    };
    return all;
}

void bind_classes(py::module_& m) {
    py::class_<IAnomalyDetector, std::shared_ptr<IAnomalyDetector>>(
        m, "IAnomalyDetector", "Abstract online anomaly detector (higher scores are more anomalous).");
    py::class_<IDriftDetector, std::shared_ptr<IDriftDetector>>(m, "IDriftDetector",
                                                                "Abstract change detector.");
    py::class_<IClassificationMetric, std::shared_ptr<IClassificationMetric>>(
        m, "IClassificationMetric", "Abstract measure of labels, probabilities or scores.")
        .def_property_readonly(
            "input",
            [](const IClassificationMetric& self) {
                switch (self.input()) {
                    case IClassificationMetric::Input::proba: return "proba";
                    case IClassificationMetric::Input::score: return "score";
                    default: return "label";
                }
            },
            "What update(y_true, y_pred) is fed in an evaluation: 'label' (a predicted label), "
            "'proba' (a dict of label probabilities) or 'score' (a real score).");
    py::class_<IRegressionMetric, std::shared_ptr<IRegressionMetric>>(
        m, "IRegressionMetric", "Abstract measure of real-valued predictions.");
#define KAVRO_CORE(T, name, family, kind, summary)
#define KAVRO_CLASS(T, family, kind, summary) bind_##T(m);
#include "catalog/classes.def"
#undef KAVRO_CORE
#undef KAVRO_CLASS
}

void add_states([[maybe_unused]] state::Registry& r) {
#define KAVRO_CORE(T, name, family, kind, summary)
#define KAVRO_CLASS(T, family, kind, summary) state_##T(r);
#include "catalog/classes.def"
#undef KAVRO_CORE
#undef KAVRO_CLASS
}

}  // namespace kavro::catalog
