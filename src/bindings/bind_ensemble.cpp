#include "bindings/bindings.hpp"
#include "bindings/common.hpp"
#include "ensemble/adaptive_random_forest.hpp"
#include "ensemble/leveraging_bagging.hpp"
#include "ensemble/streaming_random_patches.hpp"

namespace kavro::bindings {

namespace {

// n_models and seed, read and written on the live object.
template <class T, class Base>
void def_size_and_seed(PyClass<T, Base>& cls) {
    cls.def_property("n_models", &T::n_models, &T::set_n_models,
                     "Number of members (applied at the next reset).")
        .def_property("seed", &T::seed, &T::set_seed, "Seed of the ensemble generator.");
}

}  // namespace

void bind_arf_classifier(py::module_& m) {
    PyClass<ARFClassifier, IClassifier> cls(
        m, "ARFClassifier", "Adaptive random forest of drift-aware Hoeffding trees.");
    cls.def(py::init<int, std::uint32_t, double, double, double, int, int, double, int>(),
            py::arg("n_models") = 10, py::arg("seed") = 0u, py::arg("lambda_value") = 6.0,
            py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01,
            py::arg("grace_period") = 50, py::arg("max_depth") = 20,
            py::arg("split_confidence") = 0.01, py::arg("subspace_size") = -1,
            "n_models: members (below 1 gives one); seed: forest generator and tree seeds; "
            "lambda_value: Poisson mean of the repetitions; drift_delta / warning_delta: ADWIN "
            "deltas; grace_period, max_depth, split_confidence: member trees; subspace_size: "
            "features per split attempt (negative: floor(sqrt(n)) + 1).");
    def_classifier_methods(cls);
    def_size_and_seed(cls);
}

void bind_srp_classifier(py::module_& m) {
    PyClass<SRPClassifier, IClassifier> cls(
        m, "SRPClassifier", "Streaming random patches ensemble of Hoeffding trees.");
    cls.def(py::init<int, std::uint32_t, double, double, double, int, int, double, double,
                     std::string>(),
            py::arg("n_models") = 10, py::arg("seed") = 0u, py::arg("lambda_value") = 6.0,
            py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01,
            py::arg("grace_period") = 50, py::arg("max_depth") = 20,
            py::arg("split_confidence") = 0.01, py::arg("subspace_fraction") = 0.6,
            py::arg("training_method") = "patches",
            "n_models: members (below 1 gives one); seed: generator and subspace seeds; "
            "lambda_value: Poisson mean of the repetitions; drift_delta / warning_delta: ADWIN "
            "deltas; grace_period, max_depth, split_confidence: member trees; subspace_fraction: "
            "share of the features per member; training_method: \"patches\", \"subspaces\" or "
            "\"resampling\".");
    def_classifier_methods(cls);
    def_size_and_seed(cls);
}

void bind_leveraging_bagging_classifier(py::module_& m) {
    PyClass<LeveragingBaggingClassifier, IClassifier> cls(
        m, "LeveragingBaggingClassifier", "Leveraging bagging of Hoeffding trees.");
    cls.def(py::init<int, std::uint32_t, double, double, int, int, double>(),
            py::arg("n_models") = 10, py::arg("seed") = 0u, py::arg("lambda_value") = 6.0,
            py::arg("drift_delta") = 0.002, py::arg("grace_period") = 50,
            py::arg("max_depth") = 20, py::arg("split_confidence") = 0.01,
            "n_models: members (below 1 gives one); seed: generator seed; lambda_value: Poisson "
            "mean of the repetitions; drift_delta: ADWIN delta per member; grace_period, "
            "max_depth, split_confidence: member trees.");
    def_classifier_methods(cls);
    def_size_and_seed(cls);
}

void bind_arf_regressor(py::module_& m) {
    PyClass<ARFRegressor, IRegressor> cls(
        m, "ARFRegressor", "Adaptive random forest of Hoeffding regression trees.");
    cls.def(py::init<int, std::uint32_t, double, double, double, int, int, double>(),
            py::arg("n_models") = 10, py::arg("seed") = 0u, py::arg("lambda_value") = 6.0,
            py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01,
            py::arg("grace_period") = 200, py::arg("max_depth") = 20,
            py::arg("learning_rate") = 0.01,
            "n_models: members (below 1 gives one); seed: forest generator; lambda_value: "
            "Poisson mean of the repetitions; drift_delta / warning_delta: ADWIN deltas; "
            "grace_period, max_depth, learning_rate: member trees.");
    def_regressor_methods(cls);
    def_size_and_seed(cls);
}

void bind_srp_regressor(py::module_& m) {
    PyClass<SRPRegressor, IRegressor> cls(
        m, "SRPRegressor", "Streaming random patches ensemble of Hoeffding regression trees.");
    cls.def(py::init<int, std::uint32_t, double, double, double, int, int, double, double,
                     std::string>(),
            py::arg("n_models") = 10, py::arg("seed") = 0u, py::arg("lambda_value") = 6.0,
            py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01,
            py::arg("grace_period") = 200, py::arg("max_depth") = 20,
            py::arg("learning_rate") = 0.01, py::arg("subspace_fraction") = 0.6,
            py::arg("training_method") = "patches",
            "n_models: members (below 1 gives one); seed: generator and subspace seeds; "
            "lambda_value: Poisson mean of the repetitions; drift_delta / warning_delta: ADWIN "
            "deltas; grace_period, max_depth, learning_rate: member trees; subspace_fraction: "
            "share of the features per member; training_method: \"patches\", \"subspaces\" or "
            "\"resampling\".");
    def_regressor_methods(cls);
    def_size_and_seed(cls);
}

void bind_leveraging_bagging_regressor(py::module_& m) {
    PyClass<LeveragingBaggingRegressor, IRegressor> cls(
        m, "LeveragingBaggingRegressor", "Leveraging bagging of model trees.");
    cls.def(py::init<int, std::uint32_t, double, double, int, int, double, std::string>(),
            py::arg("n_models") = 10, py::arg("seed") = 0u, py::arg("lambda_value") = 6.0,
            py::arg("drift_delta") = 0.002, py::arg("grace_period") = 50,
            py::arg("max_depth") = 20, py::arg("split_confidence") = 0.01,
            py::arg("leaf_prediction") = "adaptive",
            "n_models: members (0 allowed, negative rejected); seed: generator and member seeds; "
            "lambda_value: Poisson mean of the repetitions; drift_delta: ADWIN delta per member; "
            "grace_period, max_depth, split_confidence, leaf_prediction: member model trees.");
    def_regressor_methods(cls);
    def_size_and_seed(cls);
}

}  // namespace kavro::bindings
