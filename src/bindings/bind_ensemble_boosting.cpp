#include "bindings/bindings.hpp"
#include "bindings/common.hpp"
#include "ensemble/streaming_gradient_boosting.hpp"

namespace kavro::bindings {

void bind_sgbt_classifier(py::module_& m) {
    PyClass<SGBTClassifier, IClassifier> cls(
        m, "SGBTClassifier", "Streaming gradient-boosted model trees for classification.");
    cls.def(py::init<int, double, int, int, int, bool, int, int, bool, int, double, int,
                     std::string, int>(),
            py::arg("n_models") = 100, py::arg("learning_rate") = 0.0125,
            py::arg("percentage_of_features") = 75, py::arg("multiply_hessian_by") = 1,
            py::arg("skip_training") = 1, py::arg("use_squared_loss") = false,
            py::arg("bag_size") = 1, py::arg("n_classes") = 0,
            py::arg("scale_prediction_by_lr") = false, py::arg("grace_period") = 25,
            py::arg("split_confidence") = 0.05, py::arg("max_depth") = 20,
            py::arg("leaf_prediction") = "mean", py::arg("seed") = 1,
            "n_models: stages; learning_rate: stage shrinkage; percentage_of_features: features "
            "per stage; multiply_hessian_by: hessian repetition factor; skip_training: skip about "
            "one example in this many; use_squared_loss: squared instead of logistic loss; "
            "bag_size: trees per stage; n_classes: 2 selects the two-class mode, else one "
            "booster per class; scale_prediction_by_lr: scale outputs by learning_rate; "
            "grace_period, split_confidence, max_depth, leaf_prediction: stage trees; seed: "
            "booster generators.");
    def_classifier_methods(cls);
    cls.def_property("n_models", &SGBTClassifier::n_models, &SGBTClassifier::set_n_models,
                     "Stages of boosters created from now on.")
        .def_property("n_classes", &SGBTClassifier::n_classes, &SGBTClassifier::set_n_classes,
                      "2 selects the two-class mode; read on every call.")
        .def_property("seed", &SGBTClassifier::seed, &SGBTClassifier::set_seed,
                      "Seed of boosters created from now on.");
}

void bind_sgbr_regressor(py::module_& m) {
    PyClass<SGBRRegressor, IRegressor> cls(
        m, "SGBRRegressor", "Streaming gradient-boosted model trees for regression.");
    cls.def(py::init<int, double, int, int, int, int, int, double, int, std::string, int>(),
            py::arg("n_models") = 10, py::arg("learning_rate") = 1.0,
            py::arg("percentage_of_features") = 75, py::arg("multiply_hessian_by") = 1,
            py::arg("skip_training") = 1, py::arg("bag_size") = 10,
            py::arg("grace_period") = 50, py::arg("split_confidence") = 0.01,
            py::arg("max_depth") = 20, py::arg("leaf_prediction") = "mean", py::arg("seed") = 1,
            "n_models: stages; learning_rate: stage shrinkage; percentage_of_features: features "
            "per stage; multiply_hessian_by: hessian repetition factor; skip_training: skip about "
            "one example in this many; bag_size: trees per stage; grace_period, "
            "split_confidence, max_depth, leaf_prediction: stage trees; seed: booster generator.");
    def_regressor_methods(cls);
    cls.def_property("n_models", &SGBRRegressor::n_models, &SGBRRegressor::set_n_models,
                     "Stages of a booster created from now on.")
        .def_property("seed", &SGBRRegressor::seed, &SGBRRegressor::set_seed,
                      "Seed of a booster created from now on.");
}

}  // namespace kavro::bindings
