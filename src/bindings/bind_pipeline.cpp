#include <memory>
#include <string>
#include <vector>

#include "bindings/bindings.hpp"
#include "bindings/common.hpp"
#include "pipeline/classification_pipeline.hpp"
#include "pipeline/regression_pipeline.hpp"

namespace kavro::bindings {

namespace {

// None converts to a null reference; refuse it before the pipeline is built.
template <class Learner>
void refuse_none(const char* owner, const char* family, const TransformerSteps& steps,
                 const std::shared_ptr<Learner>& learner) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (!steps[i]) {
            throw py::type_error(std::string(owner) + ": steps[" + std::to_string(i) +
                                 "] is None; expected a transformer.");
        }
    }
    if (!learner) {
        throw py::type_error(std::string(owner) + ": learner is None; expected " + family + ".");
    }
}

}  // namespace

// The Python methods run on the record converted for the call, which is the one copy.
void bind_classification_pipeline(py::module_& m) {
    using P = ClassificationPipeline;
    PyClass<P, IClassifier> cls(m, "ClassificationPipeline",
                                "Transformers applied in order before a classifier.");
    cls.def(py::init([](TransformerSteps steps, std::shared_ptr<IClassifier> learner) {
                refuse_none("ClassificationPipeline", "a classifier", steps, learner);
                return std::make_shared<P>(std::move(steps), std::move(learner));
            }),
            py::arg("steps"), py::arg("learner"),
            "steps: transformers, shared and applied in order; learner: the final classifier, "
            "shared (pipelines nest at most 1000 deep through their learners).")
        .def("learn_one", [](P& self, FeatureMap& x, ClassLabel y) { self.learn_one_inplace(x, y); },
             "Learn one example (x, y) through every step and the learner.")
        .def("predict_one", [](P& self, FeatureMap& x) { return self.predict_one_inplace(x); },
             "Predict the label of the transformed x.")
        .def("predict_proba_one",
             [](P& self, FeatureMap& x) { return self.predict_proba_one_inplace(x); },
             "Predict class probabilities for the transformed x.")
        .def("set_feature_order", &P::set_feature_order,
             "Forward a feature order to every step.")
        .def("reset", &P::reset, "Reset every step and the learner.");
}

void bind_regression_pipeline(py::module_& m) {
    using P = RegressionPipeline;
    PyClass<P, IRegressor> cls(m, "RegressionPipeline",
                               "Transformers applied in order before a regressor.");
    cls.def(py::init([](TransformerSteps steps, std::shared_ptr<IRegressor> learner) {
                refuse_none("RegressionPipeline", "a regressor", steps, learner);
                return std::make_shared<P>(std::move(steps), std::move(learner));
            }),
            py::arg("steps"), py::arg("learner"),
            "steps: transformers, shared and applied in order; learner: the final regressor, "
            "shared (pipelines nest at most 1000 deep through their learners).")
        .def("learn_one", [](P& self, FeatureMap& x, double y) { self.learn_one_inplace(x, y); },
             "Learn one example (x, y) through every step and the learner.")
        .def("predict_one", [](P& self, FeatureMap& x) { return self.predict_one_inplace(x); },
             "Predict the target of the transformed x.")
        .def("set_feature_order", &P::set_feature_order,
             "Forward a feature order to every step.")
        .def("reset", &P::reset, "Reset every step and the learner.");
}

}  // namespace kavro::bindings
