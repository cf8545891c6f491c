// Methods every catalogued drift detector binds: update, a batch update_many, reset, the
// flags and the detection count.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>


#include "catalog/bind.hpp"
#include "core/interrupt.hpp"

namespace kavro::catalog {

// The values of a one-dimensional array of doubles (copied in bulk) or of any iterable of
// numbers. ValueError/TypeError naming 'values' otherwise.
inline std::vector<double> detector_values(py::handle values) {
    std::vector<double> out;
    if (PyObject_CheckBuffer(values.ptr())) {
        const py::buffer_info info = py::reinterpret_borrow<py::buffer>(values).request();
        if (info.ndim != 1)
            throw py::value_error("'values' must be one-dimensional (got " + std::to_string(info.ndim) + " dimensions).");
        if (info.format == py::format_descriptor<double>::format()) {
            out.resize(static_cast<std::size_t>(info.shape[0]));
            const char* base = static_cast<const char*>(info.ptr);
            for (py::ssize_t i = 0; i < info.shape[0]; ++i)
                std::memcpy(&out[static_cast<std::size_t>(i)], base + i * info.strides[0], sizeof(double));
            return out;
        }
    }
    if (py::isinstance<py::str>(values) || py::isinstance<py::bytes>(values) || !py::hasattr(values, "__iter__"))
        throw py::type_error("'values' must be a one-dimensional sequence or array of numbers.");
    for (py::handle item : values) {
        const double x = PyFloat_AsDouble(item.ptr());
        if (x == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            throw py::type_error("'values' must hold numbers (got " +
                                 std::string(py::str(py::type::handle_of(item).attr("__name__"))) + ").");
        }
        out.push_back(x);
    }
    return out;
}

template <class T>
void def_detector_methods(PyClass<T, IDriftDetector>& cls) {
    cls.def("update", &T::update, py::arg("x"), "Add one value; sets drift_detected and warning_detected.")
        .def(
            "update_many",
            [](T& self, py::handle values, bool warnings) {
                const std::vector<double> v = detector_values(values);
                for (double x : v) T::check_input(x);  // all checked before any update
                std::vector<std::int64_t> drifts, warned;
                for (std::size_t i = 0; i < v.size(); ++i) {
                    if ((i + 1) % kInterruptInterval == 0) poll_interrupt();  // keeps the updates done
                    self.step(v[i]);
                    if (self.drift_detected()) drifts.push_back(static_cast<std::int64_t>(i));
                    if (warnings && self.warning_detected()) warned.push_back(static_cast<std::int64_t>(i));
                }
                if (!warnings) return py::object(py::cast(drifts));
                return py::object(py::make_tuple(drifts, warned));
            },
            py::arg("values"), py::kw_only(), py::arg("warnings") = false,
            "Update with every value of a one-dimensional sequence or array, in order; returns the "
            "positions (in values) where a drift was detected, and with warnings=True a pair (drift "
            "positions, warning positions). Every value is checked before the first update.")
        .def("reset", &T::reset, "Restore the initial state; keep the parameters.")
        .def_property_readonly("drift_detected", &T::drift_detected, "Whether the last update detected a drift.")
        .def_property_readonly("warning_detected", &T::warning_detected,
                               "Whether the last update is in the warning zone (always False without one).")
        .def_property_readonly("n_detections", &T::n_detections,
                               "Drifts detected since construction or reset().");
}

}  // namespace kavro::catalog
