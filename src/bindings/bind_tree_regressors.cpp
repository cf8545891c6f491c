#include <string>

#include "bindings/bindings.hpp"
#include "bindings/common.hpp"
#include "tree/fimtdd_regressor.hpp"
#include "tree/hoeffding_tree_regressor.hpp"

namespace kavro::bindings {

void bind_hoeffding_tree_regressor(py::module_& m) {
    using T = HoeffdingTreeRegressor;
    PyClass<T, IRegressor> cls(
        m, "HoeffdingTreeRegressor",
        "Incremental regression tree with linear leaf models and Hoeffding-bound splits.");
    cls.def(py::init([](int grace_period, double split_confidence, double tie_threshold,
                        int max_depth, double learning_rate) {
                return std::make_shared<T>(grace_period, max_depth, split_confidence,
                                           tie_threshold, learning_rate);
            }),
            py::arg("grace_period") = 200, py::arg("split_confidence") = 1e-07,
            py::arg("tie_threshold") = 0.05, py::arg("max_depth") = 20,
            py::arg("learning_rate") = 0.01,
            "grace_period: examples between split attempts (at least 1); split_confidence: "
            "delta of the Hoeffding bound; tie_threshold: bound below which ties split; "
            "max_depth: leaves this deep never split; learning_rate: step size of the leaf "
            "models.");
    def_regressor_methods(cls);
    cls.def_property("grace_period", &T::grace_period, &T::set_grace_period,
                     "Examples between split attempts.")
        .def_property("split_confidence", &T::split_confidence, &T::set_split_confidence,
                      "Delta of the Hoeffding bound.")
        .def_property("tie_threshold", &T::tie_threshold, &T::set_tie_threshold,
                      "Tie-breaking threshold.")
        .def_property("max_depth", &T::max_depth, &T::set_max_depth,
                      "Leaves at this depth or deeper never split.")
        .def_property("learning_rate", &T::learning_rate, &T::set_learning_rate,
                      "Step size of the leaf models.");
}

void bind_fimtdd_regressor(py::module_& m) {
    using T = FIMTDDRegressor;
    PyClass<T, IRegressor> cls(
        m, "FIMTDDRegressor",
        "Incremental model tree with linear leaves and change-triggered alternate subtrees.");
    cls.def(py::init<int, double, double, int, std::string, double, double, bool, double, double,
                     double, int, int, bool, int>(),
            py::arg("grace_period") = 200, py::arg("split_confidence") = 1e-07,
            py::arg("tie_threshold") = 0.05, py::arg("max_depth") = 20,
            py::arg("leaf_prediction") = "adaptive", py::arg("learning_ratio") = 0.02,
            py::arg("learning_rate_decay") = 0.001, py::arg("learning_ratio_const") = false,
            py::arg("page_hinckley_alpha") = 0.005, py::arg("page_hinckley_threshold") = 50.0,
            py::arg("alternate_tree_fading_factor") = 0.995,
            py::arg("alternate_tree_t_min") = 150, py::arg("alternate_tree_time") = 1500,
            py::arg("drift_detection") = true, py::arg("seed") = 1,
            "grace_period: examples between split attempts; split_confidence: delta of the "
            "Hoeffding bound; tie_threshold: bound below which the best split is taken; "
            "max_depth: leaves this deep never split; leaf_prediction: \"mean\", \"perceptron\" "
            "or \"adaptive\"; learning_ratio: base step size; learning_rate_decay: step-size "
            "decay; learning_ratio_const: keep the step size fixed; page_hinckley_alpha: "
            "tolerance of the change test; page_hinckley_threshold: its threshold; "
            "alternate_tree_fading_factor: fading of the error comparison; "
            "alternate_tree_t_min: examples between comparisons; alternate_tree_time: age at "
            "which a losing alternate is dropped; drift_detection: enable the change test; "
            "seed: seed of the generator for initial model weights.");
    def_regressor_methods(cls);
    cls.def("n_splits", &T::n_splits, "Number of splits performed.");
    cls.def_property("grace_period", &T::grace_period, &T::set_grace_period,
                     "Examples between split attempts.")
        .def_property("split_confidence", &T::split_confidence, &T::set_split_confidence,
                      "Delta of the Hoeffding bound.")
        .def_property("seed", &T::seed, &T::set_seed,
                      "Generator seed; takes effect at the next reset.")
        .def_property("drift_detection", &T::drift_detection, &T::set_drift_detection,
                      "Whether internal nodes run the change test.");
}

}  // namespace kavro::bindings
