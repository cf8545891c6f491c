#include <cstdint>

#include "bindings/bindings.hpp"
#include "bindings/common.hpp"
#include "neighbors/knn_classifier.hpp"
#include "neighbors/knn_regressor.hpp"

namespace kavro::bindings {

#define KAVRO_KNN_INIT_PARAMS                                                                   \
    "n_neighbors: number of neighbours k (>= 0); window_size: number of most recent examples " \
    "kept (not 0; negative means unbounded); p: power of the Minkowski distance."

void bind_knn_classifier(py::module_& m) {
    PyClass<KNNClassifier, IClassifier> cls(
        m, "KNNClassifier", "Windowed k-nearest-neighbour classifier (majority vote).");
    cls.def(py::init<std::int32_t, std::int32_t, std::int32_t>(), py::arg("n_neighbors") = 5,
            py::arg("window_size") = 1000, py::arg("p") = 2,
            "Create the classifier. " KAVRO_KNN_INIT_PARAMS);
    def_classifier_methods(cls);
    cls.def_property("n_neighbors", &KNNClassifier::get_n_neighbors,
                     &KNNClassifier::set_n_neighbors, "Number of neighbours k (>= 0).")
        .def_property("p", &KNNClassifier::get_p, &KNNClassifier::set_p,
                      "Power of the Minkowski distance.");
}

void bind_knn_regressor(py::module_& m) {
    PyClass<KNNRegressor, IRegressor> cls(
        m, "KNNRegressor", "Windowed k-nearest-neighbour regressor (inverse-distance weighted).");
    cls.def(py::init<std::int32_t, std::int32_t, std::int32_t>(), py::arg("n_neighbors") = 5,
            py::arg("window_size") = 1000, py::arg("p") = 2,
            "Create the regressor. " KAVRO_KNN_INIT_PARAMS);
    def_regressor_methods(cls);
    cls.def_property("n_neighbors", &KNNRegressor::get_n_neighbors,
                     &KNNRegressor::set_n_neighbors, "Number of neighbours k (>= 0).")
        .def_property("p", &KNNRegressor::get_p, &KNNRegressor::set_p,
                      "Power of the Minkowski distance.");
}

}  // namespace kavro::bindings
