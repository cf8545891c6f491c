#include <memory>

#include <pybind11/pybind11.h>

#include "bindings/bindings.hpp"
#include "bindings/checked_types.hpp"
#include "core/interfaces.hpp"
#include "bindings/python_signals.hpp"

namespace kavro::bindings {

void bind_interfaces(py::module_& m) {
    py::class_<ITransformer, std::shared_ptr<ITransformer>>(m, "ITransformer",
                                                            "Abstract feature transformer.");
    py::class_<IClassifier, std::shared_ptr<IClassifier>>(m, "IClassifier",
                                                          "Abstract online classifier.");
    py::class_<IRegressor, std::shared_ptr<IRegressor>>(m, "IRegressor",
                                                        "Abstract online regressor.");
}

}  // namespace kavro::bindings

PYBIND11_MODULE(_kavro_core, m) {
    using namespace kavro::bindings;
    m.doc() = "KAVRO C++ core \u2014 streaming learners, preprocessing, metrics, drift, pipelines";

    bind_interfaces(m);
    bind_naive_bayes(m);
    bind_perceptron(m);
    bind_logistic_regression(m);
    bind_passive_aggressive_classifier(m);
    bind_softmax_regression(m);
    bind_knn_classifier(m);
    bind_hoeffding_tree_classifier(m);
    bind_efdt_classifier(m);
    bind_sgt_classifier(m);
    bind_arf_classifier(m);
    bind_srp_classifier(m);
    bind_leveraging_bagging_classifier(m);
    bind_hoeffding_adaptive_tree_classifier(m);
    bind_linear_regression(m);
    bind_bayesian_linear_regression(m);
    bind_passive_aggressive_regressor(m);
    bind_knn_regressor(m);
    bind_hoeffding_tree_regressor(m);
    bind_arf_regressor(m);
    bind_srp_regressor(m);
    bind_fimtdd_regressor(m);
    bind_leveraging_bagging_regressor(m);
    bind_sgbt_classifier(m);
    bind_sgbr_regressor(m);
    bind_standard_scaler(m);
    bind_min_max_scaler(m);
    bind_max_abs_scaler(m);
    bind_variance_threshold(m);
    bind_select_k_best(m);
    bind_classification_pipeline(m);
    bind_regression_pipeline(m);
    bind_accuracy(m);
    bind_macro_precision(m);
    bind_macro_recall(m);
    bind_macro_f1(m);
    bind_mae(m);
    bind_rmse(m);
    bind_window_metric(m);
    bind_window_regression_metric(m);
    bind_r2(m);
    bind_adwin(m);
    bind_eddm(m);

    install_call_checks(m);
    refuse_second_init(m);
    install_interrupt_check();
}
