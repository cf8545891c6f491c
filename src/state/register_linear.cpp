#include "state/registry.hpp"
#include "state/visit_linear.hpp"

namespace kavro::state {

void register_linear(Registry& r) {
    r.add<NaiveBayes>("NaiveBayes");
    r.add<Perceptron>("Perceptron");
    r.add<LogisticRegression>("LogisticRegressionClassifier");
    r.add<PassiveAggressiveClassifier>("PassiveAggressiveClassifier");
    r.add<SoftmaxRegression>("SoftmaxRegression");
    r.add<LinearRegression>("LinearRegression");
    r.add<BayesianLinearRegression>("BayesianLinearRegression");
    r.add<PassiveAggressiveRegressor>("PassiveAggressiveRegressor");
}

}  // namespace kavro::state
