#include <memory>

#include "bindings/bindings.hpp"
#include "bindings/common.hpp"
#include "bindings/named_record.hpp"
#include "preprocessing/max_abs_scaler.hpp"
#include "preprocessing/min_max_scaler.hpp"
#include "preprocessing/select_k_best.hpp"
#include "preprocessing/standard_scaler.hpp"
#include "preprocessing/variance_threshold.hpp"

namespace kavro::bindings {

namespace {

// learn_one(x) / transform_one / clone_state / reset of a scaler. transform_one rewrites the
// record converted for the call: the same result as copying it, one copy fewer. Results reuse
// the caller's key objects.
template <class T>
void def_scaler_methods(PyClass<T, ITransformer>& cls) {
    cls.def("learn_one", [](T& self, const FeatureMap& x) { self.learn_one(x); },
            "Update the statistics from one record.")
        .def("transform_one",
             [](T& self, NamedRecord& x) {
                 self.transform_inplace(x.map);
                 return named_result(x);
             },
             "Return the scaled record; the argument is not changed.")
        .def("clone_state", [](const T& self) { return std::make_shared<T>(self); },
             "Return an independent copy of this scaler, statistics included.")
        .def("reset", &T::reset, "Forget all statistics; keep the parameters.");
}

}  // namespace

void bind_standard_scaler(py::module_& m) {
    PyClass<StandardScaler, ITransformer> cls(
        m, "StandardScaler", "Online standardisation by running mean and standard deviation.");
    cls.def(py::init<bool>(), py::arg("with_std") = true,
            "with_std: divide by the standard deviation after centring.");
    def_scaler_methods(cls);
}

void bind_min_max_scaler(py::module_& m) {
    PyClass<MinMaxScaler, ITransformer> cls(
        m, "MinMaxScaler", "Online scaling of each feature's learned range onto [0, 1].");
    cls.def(py::init<>(), "No parameters.");
    def_scaler_methods(cls);
}

void bind_max_abs_scaler(py::module_& m) {
    PyClass<MaxAbsScaler, ITransformer> cls(
        m, "MaxAbsScaler", "Online scaling by each feature's largest absolute value.");
    cls.def(py::init<>(), "No parameters.");
    def_scaler_methods(cls);
}

void bind_variance_threshold(py::module_& m) {
    PyClass<VarianceThreshold, ITransformer> cls(
        m, "VarianceThreshold", "Online removal of features whose variance is too small.");
    cls.def(py::init<double, std::int32_t>(), py::arg("threshold") = 0.0,
            py::arg("min_samples") = 2,
            "threshold: a feature survives only with a variance strictly above it; "
            "min_samples: features observed fewer times always survive.")
        .def("learn_one", [](VarianceThreshold& self, const FeatureMap& x) { self.learn_one(x); },
             "Update the per-feature variances from one record.")
        .def("transform_one",
             [](VarianceThreshold& self, const NamedRecord& x) {
                 return named_selection(
                     x, x.map.size(), [&](const std::string& name) { return self.survives(name); },
                     [&] { return self.transform_one(x.map); });
             },
             "Return a new record with the surviving features.")
        .def("clone_state",
             [](const VarianceThreshold& self) { return std::make_shared<VarianceThreshold>(self); },
             "Return an independent copy of this selector, statistics included.")
        .def("reset", &VarianceThreshold::reset, "Forget all statistics; keep the parameters.");
}

void bind_select_k_best(py::module_& m) {
    PyClass<SelectKBest, ITransformer> cls(
        m, "SelectKBest", "Online selection of the k features best correlated with the target.");
    cls.def(py::init<std::int32_t, bool>(), py::arg("k") = 10, py::arg("use_abs") = false,
            "k: number of features to keep; use_abs: score by absolute correlation.")
        .def("learn_one",
             [](SelectKBest& self, const FeatureMap& x, double y) { self.learn_one(x, y); },
             "Update the correlations of the record's features with the target y.")
        .def("transform_one",
             [](SelectKBest& self, NamedRecord& x) {
                 // Before any learning the result is a copy of x, in x's order.
                 if (!self.update_selection()) return named_result(x);
                 return named_selection(
                     x, std::min(x.map.size(), self.n_selected()),
                     [&](const std::string& name) { return self.is_selected(name); },
                     [&] { return self.transform_one(x.map); });
             },
             "Return a new record with the selected features (all of them before any learning).")
        .def("set_feature_order", &SelectKBest::set_feature_order,
             "Give tie-breaking order indices to names that have none yet.")
        .def("clone_state",
             [](const SelectKBest& self) { return std::make_shared<SelectKBest>(self); },
             "Return an independent copy of this selector, statistics included.")
        .def("reset", &SelectKBest::reset,
             "Forget statistics and selection; keep k, use_abs and the order indices.");
}

}  // namespace kavro::bindings
