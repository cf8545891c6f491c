#include "catalog/bind.hpp"
#include "dummy/baselines.hpp"
#include "state/archive.hpp"

namespace kavro {

template <class Ar>
void NoChangeClassifier::visit(Ar& ar) {
    ar("seen", seen_);
    ar("last", last_);
}

template <class Ar>
void MajorityClassClassifier::visit(Ar& ar) {
    ar("labels", labels_);
    ar("counts", counts_);
    ar("total", total_);
    if constexpr (Ar::mode == state::Mode::read) {
        ar.require(labels_.size() == counts_.size(), "label and count tables disagree");
        std::int64_t sum = 0;
        for (std::size_t i = 0; i < counts_.size(); ++i) {
            ar.require(counts_[i] >= 1 && counts_[i] <= total_ - sum, "a label count is out of range");
            sum += counts_[i];
            for (std::size_t j = 0; j < i; ++j) ar.require(labels_[j] != labels_[i], "a label is listed twice");
        }
        ar.require(sum == total_, "label counts disagree with the total");
    }
}

template <class Ar>
void NoChangeRegressor::visit(Ar& ar) {
    ar("last", last_);
}

template <class Ar>
void MeanRegressor::visit(Ar& ar) {
    ar("n", n_);
    ar("mean", mean_);
    state::require(ar, n_ >= 0, "the count is negative");
}

}  // namespace kavro

KAVRO_STATE(NoChangeClassifier)
KAVRO_STATE(MajorityClassClassifier)
KAVRO_STATE(NoChangeRegressor)
KAVRO_STATE(MeanRegressor)

namespace kavro::catalog {

void bind_NoChangeClassifier(py::module_& m) {
    PyClass<NoChangeClassifier, IClassifier> cls(
        m, "NoChangeClassifier", "Baseline that predicts the last label learnt (-1 before any).");
    cls.def(py::init<>(), "Create the baseline.");
    def_classifier_methods(cls);
}

void bind_MajorityClassClassifier(py::module_& m) {
    PyClass<MajorityClassClassifier, IClassifier> cls(
        m, "MajorityClassClassifier",
        "Baseline that predicts the most frequent label learnt so far (ties keep the label seen "
        "first); its probabilities are the label frequencies.");
    cls.def(py::init<>(), "Create the baseline.");
    def_classifier_methods(cls);
}

void bind_NoChangeRegressor(py::module_& m) {
    PyClass<NoChangeRegressor, IRegressor> cls(
        m, "NoChangeRegressor", "Baseline that predicts the last target learnt (0.0 before any).");
    cls.def(py::init<>(), "Create the baseline.");
    def_regressor_methods(cls);
}

void bind_MeanRegressor(py::module_& m) {
    PyClass<MeanRegressor, IRegressor> cls(
        m, "MeanRegressor", "Baseline that predicts the running mean of the targets (0.0 before any).");
    cls.def(py::init<>(), "Create the baseline.");
    def_regressor_methods(cls);
    cls.def_property_readonly("n", &MeanRegressor::n, "Number of targets learnt.");
}

}  // namespace kavro::catalog
