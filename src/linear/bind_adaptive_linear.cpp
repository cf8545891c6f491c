#include "catalog/bind.hpp"
#include "linear/adaptive_linear.hpp"
#include "linear/label_models_state.hpp"
#include "state/archive.hpp"

#include <cmath>

namespace kavro {

namespace {

template <class Ar>
void visit_options(Ar& ar, AdaptiveOptions& o) {
    ar("learning_rate", o.learning_rate);
    ar("l2", o.l2);
    ar("normalize", o.normalize);
    ar("adaptive", o.adaptive);
    ar("invariant", o.invariant);
    ar("bias", o.bias);
    state::require(ar, o.learning_rate > 0.0 && std::isfinite(o.learning_rate),
                   "learning_rate must be a finite number above 0");
    state::require(ar, o.l2 >= 0.0 && std::isfinite(o.l2), "l2 must be a finite number of at least 0");
}

}  // namespace

template <class Ar>
void AdaptiveSlot::visit(Ar& ar) {
    ar("weight", weight);
    ar("grad2", grad2);
    ar("scale", scale);
    state::require(ar, grad2 >= 0.0 && scale >= 0.0, "a feature's gradient sum or scale is negative");
}

template <class Ar>
void AdaptiveWeights::visit(Ar& ar) {
    ar("slots", slots_);
    ar("intercept", intercept_);
    ar("examples", examples_);
    ar("norm_sum", norm_sum_);
    state::require(ar, examples_ >= 0.0 && norm_sum_ >= 0.0, "the example count or norm sum is negative");
}

template <class Ar>
void AdaptiveLogisticRegression::visit(Ar& ar) {
    visit_options(ar, options_);
    ar("models", models_);
}

template <class Ar>
void AdaptiveLinearRegression::visit(Ar& ar) {
    visit_options(ar, options_);
    ar("model", model_);
}

}  // namespace kavro

KAVRO_STATE(AdaptiveLogisticRegression)
KAVRO_STATE(AdaptiveLinearRegression)

namespace kavro::catalog {

namespace {

constexpr const char* kOptionsDoc =
    "learning_rate: base step size; l2: L2 penalty, applied as a proximal shrink of the updated "
    "weights (not the intercept); normalize: keep each feature's largest absolute value and "
    "learn as if every feature were scaled by it; adaptive: per-feature AdaGrad steps; "
    "invariant: closed-form importance-invariant updates instead of gradient steps; bias: learn "
    "an intercept.";

template <class T, class I>
void def_options(PyClass<T, I>& cls) {
    cls.def_property_readonly("learning_rate", [](const T& m) { return m.options().learning_rate; },
                              "Base step size.")
        .def_property_readonly("l2", [](const T& m) { return m.options().l2; }, "L2 penalty.")
        .def_property_readonly("normalize", [](const T& m) { return m.options().normalize; },
                               "Whether updates are normalised by each feature's scale.")
        .def_property_readonly("adaptive", [](const T& m) { return m.options().adaptive; },
                               "Whether steps are per-feature adaptive (AdaGrad).")
        .def_property_readonly("invariant", [](const T& m) { return m.options().invariant; },
                               "Whether updates are importance-invariant.")
        .def_property_readonly("bias", [](const T& m) { return m.options().bias; },
                               "Whether an intercept is learnt.");
}

py::dict weights_of(const AdaptiveWeights& m) {
    py::dict out;
    for (const auto& [name, slot] : m.slots()) out[py::str(name)] = slot.weight;
    return out;
}

}  // namespace

void bind_AdaptiveLogisticRegression(py::module_& m) {
    PyClass<AdaptiveLogisticRegression, IClassifier> cls(
        m, "AdaptiveLogisticRegression",
        "Logistic regression with per-feature adaptive (AdaGrad) steps, scale normalisation "
        "(Ross, Mineiro & Langford, 'Normalized online learning', UAI 2013) and "
        "importance-invariant updates (Karampatziakis & Langford, 'Online importance weight "
        "aware updates', UAI 2011). Binary labels: one model scores the larger label against the "
        "smaller (a score above 0 predicts the larger). From a third label on it learns "
        "one-vs-rest: one model per label, the highest score wins, probabilities are the "
        "logistic of each score normalised to sum 1. Zero and non-finite feature values are "
        "skipped.");
    cls.def(py::init<double, double, bool, bool, bool, bool>(), py::arg("learning_rate") = 0.5,
            py::arg("l2") = 0.0, py::arg("normalize") = true, py::arg("adaptive") = true,
            py::arg("invariant") = true, py::arg("bias") = true,
            (std::string("Create the classifier. ") + kOptionsDoc).c_str());
    def_classifier_methods(cls);
    def_options(cls);
    cls.def_property_readonly(
        "weights",
        [](const AdaptiveLogisticRegression& self) {
            py::dict out;
            const auto& lm = self.models();
            if (lm.labels.size() <= 2) {
                if (!lm.models.empty()) out[py::int_(lm.labels.back())] = weights_of(lm.models[0]);
                return out;
            }
            for (std::size_t k = 0; k < lm.labels.size(); ++k) {
                out[py::int_(lm.labels[k])] = weights_of(lm.models[k]);
            }
            return out;
        },
        "Feature weights by the label each model scores (with two labels, the larger one only).");
}

void bind_AdaptiveLinearRegression(py::module_& m) {
    PyClass<AdaptiveLinearRegression, IRegressor> cls(
        m, "AdaptiveLinearRegression",
        "Least-squares regression with per-feature adaptive (AdaGrad) steps, scale normalisation "
        "(Ross, Mineiro & Langford, 'Normalized online learning', UAI 2013) and "
        "importance-invariant updates (Karampatziakis & Langford, 'Online importance weight "
        "aware updates', UAI 2011), on the loss (p - y)^2 / 2. Zero and non-finite feature "
        "values are skipped.");
    cls.def(py::init<double, double, bool, bool, bool, bool>(), py::arg("learning_rate") = 0.5,
            py::arg("l2") = 0.0, py::arg("normalize") = true, py::arg("adaptive") = true,
            py::arg("invariant") = true, py::arg("bias") = true,
            (std::string("Create the regressor. ") + kOptionsDoc).c_str());
    def_regressor_methods(cls);
    def_options(cls);
    cls.def_property_readonly("weights", [](const AdaptiveLinearRegression& self) { return weights_of(self.model()); },
                              "Feature weights by name.")
        .def_property_readonly("intercept", [](const AdaptiveLinearRegression& self) { return self.model().intercept(); },
                               "The intercept.");
}

}  // namespace kavro::catalog
