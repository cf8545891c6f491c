// Helpers shared by the per-family binders.
#pragma once

#include <memory>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/checked_types.hpp"
#include "core/interfaces.hpp"

namespace kavro::bindings {

namespace py = pybind11;

template <class T, class Base>
using PyClass = py::class_<T, Base, std::shared_ptr<T>>;

// learn_one / predict_one / predict_proba_one / reset, positional only.
template <class T>
void def_classifier_methods(PyClass<T, IClassifier>& cls) {
    cls.def("learn_one", &IClassifier::learn_one, "Learn one example (x, y).")
        .def("predict_one", &IClassifier::predict_one, "Predict the label of x.")
        .def("predict_proba_one", &IClassifier::predict_proba_one,
             "Predict class probabilities for x.")
        .def("reset", &IClassifier::reset, "Forget everything learnt; keep the parameters.");
}

template <class T, class Base>
void def_regressor_methods(PyClass<T, Base>& cls) {
    cls.def("learn_one", &IRegressor::learn_one, "Learn one example (x, y).")
        .def("predict_one", &IRegressor::predict_one, "Predict the target of x.")
        .def("reset", &IRegressor::reset, "Forget everything learnt; keep the parameters.");
}

}  // namespace kavro::bindings
