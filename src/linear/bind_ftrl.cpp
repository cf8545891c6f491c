#include "catalog/bind.hpp"
#include "linear/ftrl.hpp"
#include "linear/label_models_state.hpp"
#include "state/archive.hpp"

#include <cmath>

namespace kavro {

template <class Ar>
void FTRLSlot::visit(Ar& ar) {
    ar("z", z);
    ar("n", n);
    state::require(ar, n >= 0.0, "a squared-gradient sum is negative");
}

template <class Ar>
void FTRLWeights::visit(Ar& ar) {
    ar("slots", slots_);
    ar("intercept", intercept_);
}

template <class Ar>
void FTRLClassifier::visit(Ar& ar) {
    ar("alpha", options_.alpha);
    ar("beta", options_.beta);
    ar("l1", options_.l1);
    ar("l2", options_.l2);
    const auto& o = options_;
    state::require(ar, o.alpha > 0.0 && std::isfinite(o.alpha), "alpha must be a finite number above 0");
    state::require(ar, o.beta >= 0.0 && std::isfinite(o.beta) && o.l1 >= 0.0 && std::isfinite(o.l1) &&
                           o.l2 >= 0.0 && std::isfinite(o.l2),
                   "beta, l1 and l2 must be finite numbers of at least 0");
    ar("models", models_);
}

}  // namespace kavro

KAVRO_STATE(FTRLClassifier)

namespace kavro::catalog {

void bind_FTRLClassifier(py::module_& m) {
    PyClass<FTRLClassifier, IClassifier> cls(
        m, "FTRLClassifier",
        "FTRL-Proximal logistic regression (McMahan et al., 'Ad click prediction: a view from the "
        "trenches', KDD 2013): per-coordinate rates alpha / (beta + sqrt(sum of squared "
        "gradients)), L1 and L2 penalties; with l1 > 0 most weights stay exactly zero. The "
        "intercept is a coordinate like the others. Binary labels: one model scores the larger "
        "label against the smaller. From a third label on it learns one-vs-rest (the highest "
        "score wins; probabilities are the logistic of each score normalised to sum 1). Zero and "
        "non-finite feature values are skipped.");
    cls.def(py::init<double, double, double, double>(), py::arg("alpha") = 0.6, py::arg("beta") = 1.0,
            py::arg("l1") = 0.0, py::arg("l2") = 0.0,
            "Create the classifier. alpha, beta: per-coordinate rate alpha / (beta + sqrt(n)); l1, "
            "l2: penalties on the weights.");
    def_classifier_methods(cls);
    cls.def_property_readonly("alpha", [](const FTRLClassifier& s) { return s.options().alpha; }, "Rate scale.")
        .def_property_readonly("beta", [](const FTRLClassifier& s) { return s.options().beta; }, "Rate offset.")
        .def_property_readonly("l1", [](const FTRLClassifier& s) { return s.options().l1; }, "L1 penalty.")
        .def_property_readonly("l2", [](const FTRLClassifier& s) { return s.options().l2; }, "L2 penalty.")
        .def_property_readonly("n_nonzero", &FTRLClassifier::n_nonzero,
                               "Weights not exactly zero, over every model, intercepts included.")
        .def_property_readonly(
            "weights",
            [](const FTRLClassifier& self) {
                py::dict out;
                const auto& lm = self.models();
                const std::size_t first = lm.labels.size() <= 2 ? lm.labels.size() - 1 : 0;
                for (std::size_t k = 0; k < lm.models.size(); ++k) {
                    py::dict w;
                    for (const auto& [name, slot] : lm.models[k].slots()) w[py::str(name)] = self.weight(slot);
                    out[py::int_(lm.labels[first + k])] = w;
                }
                return out;
            },
            "Feature weights by the label each model scores (with two labels, the larger one only).");
}

}  // namespace kavro::catalog
