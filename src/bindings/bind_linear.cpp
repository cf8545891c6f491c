#include "bindings/bindings.hpp"
#include "bindings/common.hpp"
#include "linear/bayesian_linear_regression.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "linear/naive_bayes.hpp"
#include "linear/passive_aggressive_classifier.hpp"
#include "linear/passive_aggressive_regressor.hpp"
#include "linear/perceptron.hpp"
#include "linear/softmax_regression.hpp"

namespace kavro::bindings {

void bind_naive_bayes(py::module_& m) {
    PyClass<NaiveBayes, IClassifier> cls(m, "NaiveBayes",
                                         "Incremental Gaussian naive Bayes classifier.");
    cls.def(py::init<>());
    def_classifier_methods(cls);
}

void bind_perceptron(py::module_& m) {
    PyClass<Perceptron, IClassifier> cls(m, "Perceptron",
                                         "Multi-class perceptron with a fixed step.");
    cls.def(py::init<double>(), py::arg("learning_rate") = 0.01,
            "Create a perceptron. learning_rate: step added to the true label's and taken from "
            "the predicted label's weights on a mistake.");
    def_classifier_methods(cls);
}

void bind_logistic_regression(py::module_& m) {
    PyClass<LogisticRegression, IClassifier> cls(
        m, "LogisticRegressionClassifier", "One-vs-rest online logistic regression classifier.");
    cls.def(py::init<double, double>(), py::arg("learning_rate") = 0.01, py::arg("l2") = 0.0,
            "Create the classifier. learning_rate: gradient step size; l2: L2 penalty on the "
            "weights (not the bias).");
    def_classifier_methods(cls);
    cls.def_property("learning_rate", &LogisticRegression::get_learning_rate,
                     &LogisticRegression::set_learning_rate, "Gradient step size.")
        .def_property("l2", &LogisticRegression::get_l2, &LogisticRegression::set_l2,
                      "L2 penalty on the weights.");
}

void bind_passive_aggressive_classifier(py::module_& m) {
    PyClass<PassiveAggressiveClassifier, IClassifier> cls(
        m, "PassiveAggressiveClassifier",
        "Multi-class passive-aggressive classifier against the strongest competing label.");
    cls.def(py::init<double>(), py::arg("C") = 1.0,
            "Create the classifier. C: cap on the step size (aggressiveness).");
    def_classifier_methods(cls);
}

void bind_softmax_regression(py::module_& m) {
    PyClass<SoftmaxRegression, IClassifier> cls(m, "SoftmaxRegression",
                                                "Online multinomial logistic (softmax) regression.");
    cls.def(py::init<double, double>(), py::arg("learning_rate") = 0.01, py::arg("l2") = 0.0,
            "Create the classifier. learning_rate: gradient step size; l2: L2 penalty on the "
            "weights (not the bias).");
    def_classifier_methods(cls);
    cls.def_property("learning_rate", &SoftmaxRegression::get_learning_rate,
                     &SoftmaxRegression::set_learning_rate, "Gradient step size.")
        .def_property("l2", &SoftmaxRegression::get_l2, &SoftmaxRegression::set_l2,
                      "L2 penalty on the weights.");
}

void bind_linear_regression(py::module_& m) {
    PyClass<LinearRegression, IRegressor> cls(
        m, "LinearRegression", "Online linear regression by clipped stochastic gradient descent.");
    cls.def(py::init<double, double>(), py::arg("learning_rate") = 0.01, py::arg("l2") = 0.0,
            "Create the regressor. learning_rate: gradient step size; l2: L2 penalty on the "
            "weights (not the bias).");
    def_regressor_methods(cls);
    cls.def_property("learning_rate", &LinearRegression::get_learning_rate,
                     &LinearRegression::set_learning_rate, "Gradient step size.")
        .def_property("l2", &LinearRegression::get_l2, &LinearRegression::set_l2,
                      "L2 penalty on the weights.");
}

void bind_bayesian_linear_regression(py::module_& m) {
    PyClass<BayesianLinearRegression, IRegressor> cls(
        m, "BayesianLinearRegression",
        "Online Bayesian linear regression with a diagonal Gaussian posterior.");
    cls.def(py::init<double, double>(), py::arg("alpha") = 1.0, py::arg("beta") = 1.0,
            "Create the regressor. alpha: prior precision of every weight; beta: noise "
            "precision.");
    def_regressor_methods(cls);
    cls.def_property("alpha", &BayesianLinearRegression::get_alpha,
                     &BayesianLinearRegression::set_alpha, "Prior precision of every weight.")
        .def_property("beta", &BayesianLinearRegression::get_beta,
                      &BayesianLinearRegression::set_beta, "Noise precision.");
}

void bind_passive_aggressive_regressor(py::module_& m) {
    PyClass<PassiveAggressiveRegressor, IRegressor> cls(
        m, "PassiveAggressiveRegressor", "Epsilon-insensitive passive-aggressive regressor.");
    cls.def(py::init<double, double>(), py::arg("C") = 1.0, py::arg("epsilon") = 0.1,
            "Create the regressor. C: cap on the step size; epsilon: insensitivity margin.");
    def_regressor_methods(cls);
    cls.def_property("C", &PassiveAggressiveRegressor::get_C, &PassiveAggressiveRegressor::set_C,
                     "Cap on the step size.")
        .def_property("epsilon", &PassiveAggressiveRegressor::get_epsilon,
                      &PassiveAggressiveRegressor::set_epsilon, "Insensitivity margin.");
}

}  // namespace kavro::bindings
