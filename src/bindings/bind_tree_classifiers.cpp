#include <memory>
#include <string>

#include "bindings/bindings.hpp"
#include "bindings/common.hpp"
#include "tree/efdt_classifier.hpp"
#include "tree/hoeffding_adaptive_tree_classifier.hpp"
#include "tree/hoeffding_tree_classifier.hpp"
#include "tree/sgt_classifier.hpp"

namespace kavro::bindings {

void bind_hoeffding_tree_classifier(py::module_& m) {
    using T = HoeffdingTreeClassifier;
    PyClass<T, IClassifier> cls(m, "HoeffdingTreeClassifier",
                                "Incremental decision tree splitting leaves by the Hoeffding bound.");
    cls.def(py::init([](std::int32_t grace_period, double split_confidence, double tie_threshold,
                        std::int32_t nb_threshold, std::int32_t max_depth,
                        std::string split_criterion) {
                return std::make_shared<T>(grace_period, nb_threshold, max_depth,
                                           std::move(split_criterion), split_confidence,
                                           tie_threshold);
            }),
            py::arg("grace_period") = 200, py::arg("split_confidence") = 1e-07,
            py::arg("tie_threshold") = 0.05, py::arg("nb_threshold") = 0,
            py::arg("max_depth") = 20, py::arg("split_criterion") = "info_gain",
            "grace_period: examples between split attempts at a leaf (>= 1); "
            "split_confidence: delta of the Hoeffding bound; "
            "tie_threshold: bound below which near-ties are split anyway; "
            "nb_threshold: leaf weight below which leaves predict by class frequencies; "
            "max_depth: leaves at this depth never split; "
            "split_criterion: \"gini\" or \"info_gain\".");
    def_classifier_methods(cls);
    cls.def_property("grace_period", &T::grace_period, &T::set_grace_period,
                     "Examples between split attempts at a leaf (>= 1).")
        .def_property("split_confidence", &T::split_confidence, &T::set_split_confidence,
                      "Delta of the Hoeffding bound.")
        .def_property("tie_threshold", &T::tie_threshold, &T::set_tie_threshold,
                      "Bound below which near-ties are split anyway.")
        .def_property("max_depth", &T::max_depth, &T::set_max_depth,
                      "Leaves at this depth or deeper never split.")
        .def_property("split_criterion", &T::split_criterion, &T::set_split_criterion,
                      "\"gini\" for Gini, anything else for information gain.")
        .def_property("leaf_prediction", &T::leaf_prediction, &T::set_leaf_prediction,
                      "\"mc\" class frequencies, \"nb\" naive Bayes, otherwise adaptive.")
        .def_property("n_split_points", &T::n_split_points, &T::set_n_split_points,
                      "Candidate thresholds examined per feature.");
}

void bind_efdt_classifier(py::module_& m) {
    using T = EFDTClassifier;
    PyClass<T, HoeffdingTreeClassifier> cls(
        m, "EFDTClassifier", "Hoeffding tree on information gain with its own defaults.");
    cls.def(py::init([](std::int32_t grace_period, double split_confidence, double tie_threshold,
                        std::int32_t nb_threshold, std::int32_t max_depth) {
                return std::make_shared<T>(grace_period, nb_threshold, max_depth,
                                           split_confidence, tie_threshold);
            }),
            py::arg("grace_period") = 200, py::arg("split_confidence") = 1e-05,
            py::arg("tie_threshold") = 0.05, py::arg("nb_threshold") = 0,
            py::arg("max_depth") = 20,
            "grace_period: examples between split attempts at a leaf (>= 1); "
            "split_confidence: delta of the Hoeffding bound; "
            "tie_threshold: bound below which near-ties are split anyway; "
            "nb_threshold: leaf weight below which leaves predict by class frequencies; "
            "max_depth: leaves at this depth never split.");
}

void bind_sgt_classifier(py::module_& m) {
    using T = SGTClassifier;
    PyClass<T, IClassifier> cls(m, "SGTClassifier",
                                "Two-class stochastic gradient tree on the logistic loss.");
    cls.def(py::init<double, double, std::int32_t, std::int32_t>(),
            py::arg("learning_rate") = 0.1, py::arg("lambda_") = 0.1,
            py::arg("grace_period") = 200, py::arg("max_depth") = 6,
            "learning_rate: step size of the leaf value update; "
            "lambda_: L2 regularisation added to every hessian sum; "
            "grace_period: examples between split attempts at a leaf (>= 1); "
            "max_depth: leaves at this depth never split.");
    def_classifier_methods(cls);
    cls.def_property("learning_rate", &T::learning_rate, &T::set_learning_rate,
                     "Step size of the leaf value update.")
        .def_property("lambda_", &T::lambda, &T::set_lambda,
                      "L2 regularisation added to every hessian sum.")
        .def_property("grace_period", &T::grace_period, &T::set_grace_period,
                      "Examples between split attempts at a leaf (>= 1).")
        .def_property("max_depth", &T::max_depth, &T::set_max_depth,
                      "Leaves at this depth or deeper never split.");
}

void bind_hoeffding_adaptive_tree_classifier(py::module_& m) {
    using T = HoeffdingAdaptiveTreeClassifier;
    PyClass<T, IClassifier> cls(
        m, "HoeffdingAdaptiveTreeClassifier",
        "Hoeffding tree replaced by a background tree when ADWIN detects drift in its error.");
    cls.def(py::init<std::int32_t, double, double, std::int32_t, std::int32_t, double, double,
                     std::string>(),
            py::arg("grace_period") = 200, py::arg("split_confidence") = 1e-07,
            py::arg("tie_threshold") = 0.05, py::arg("nb_threshold") = 0,
            py::arg("max_depth") = 20, py::arg("drift_delta") = 0.002,
            py::arg("warning_delta") = 0.02, py::arg("split_criterion") = "info_gain",
            "grace_period: examples between split attempts at a leaf (>= 1); "
            "split_confidence: delta of the Hoeffding bound; "
            "tie_threshold: bound below which near-ties are split anyway; "
            "nb_threshold: leaf weight below which leaves predict by class frequencies; "
            "max_depth: leaves at this depth never split; "
            "drift_delta: ADWIN delta whose detection replaces the main tree; "
            "warning_delta: ADWIN delta whose detection starts a background tree; "
            "split_criterion: \"gini\" or \"info_gain\".");
    def_classifier_methods(cls);
    cls.def_property("grace_period", &T::grace_period, &T::set_grace_period,
                     "Grace period of trees built from now on (>= 1).")
        .def_property("max_depth", &T::max_depth, &T::set_max_depth,
                      "Maximum depth of trees built from now on.");
}

}  // namespace kavro::bindings
