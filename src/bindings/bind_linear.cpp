#include "bindings/bindings.hpp"
#include "bindings/common.hpp"
#include "linear/naive_bayes.hpp"

namespace kavro::bindings {

void bind_naive_bayes(py::module_& m) {
    PyClass<NaiveBayes, IClassifier> cls(m, "NaiveBayes",
                                         "Incremental Gaussian naive Bayes classifier.");
    cls.def(py::init<>());
    def_classifier_methods(cls);
}

// TODO(pending): register the class.
void bind_perceptron(py::module_&) {}

// TODO(pending): register the class.
void bind_logistic_regression(py::module_&) {}

// TODO(pending): register the class.
void bind_passive_aggressive_classifier(py::module_&) {}

// TODO(pending): register the class.
void bind_softmax_regression(py::module_&) {}

// TODO(pending): register the class.
void bind_linear_regression(py::module_&) {}

// TODO(pending): register the class.
void bind_bayesian_linear_regression(py::module_&) {}

// TODO(pending): register the class.
void bind_passive_aggressive_regressor(py::module_&) {}

}  // namespace kavro::bindings
